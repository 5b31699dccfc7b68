// SPDX-License-Identifier: MIT
// Private to the SIP layer: the sofia-sip side of SipStack, and the events it queues for the usage
// manager. User-interface thread, except where a comment says otherwise.
//
// sofia-sip's nua runs the stack in a thread of its own and reports through a callback in the thread
// that owns the root. The root here is a GLib source attached to the user-interface thread's main
// context, so the callback runs as soon as the stack has something, even inside a modal loop. The
// callback only saves the event, queues it and wakes the application; the handlers run later, from
// DialogUsageManager::process(), one event at a time. Handlers that open modal loops therefore never
// hold up the events behind them.
#pragma once

#include "sip/Contents.h"
#include "sip/Data.h"
#include "sip/PeerGuards.h"
#include "sip/Uri.h"

#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/sip_tag.h>
#include <sofia-sip/su_glib.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sip {

class SipMessage;

namespace detail {

class TlsFiles;

// One event of the stack, kept with its message until it has been handled. The layer makes events of
// its own too (a retry that is due): those carry a call and no saved event.
class Event {
public:
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    nua_event_t type = nua_i_none;
    int status = 0;
    std::string phrase;
    // Referenced while the event lives, so the pointer stays unique among queued events.
    nua_handle_t* nh = nullptr;
    // The first event of a handle the stack made for an incoming request.
    bool newHandle = false;
    nua_saved_event_t saved[1] = {};
    bool hasSaved = false;
    std::function<void()> call;

    // The message the event carries (a response or an incoming request); null when there is none.
    msg_t* msg() const;
    const sip_t* sip() const;
    const tagi_t* tags() const;
    // The event's message as a SipMessage (a bare status line when it carries none).
    SipMessage message() const;
};

struct TransportSpec {
    // A stream (TCP, or TLS over TCP).
    bool tcp = false;
    bool tls = false;
    int port = 0;
    // TLS: the certificate authorities trusted besides the system's, a PEM file or a hashed directory.
    std::string caCertificates;

    const char* name() const { return tls ? "TLS" : tcp ? "TCP" : "UDP"; }
};

class StackCore {
public:
    StackCore();
    ~StackCore();

    // Opens the transport and starts the stack's thread. False, with error() saying why, when the
    // transport cannot be opened.
    bool start();
    bool running() const { return nua != nullptr; }
    // Over TLS, the file of the certificate authorities the stack trusts; "" otherwise.
    std::string tlsTrustFile() const;
    const std::string& error() const { return m_error; }

    // Takes the next queued event, collecting what the stack has pending first when the queue is empty.
    std::unique_ptr<Event> pop();
    // Queues an event of the layer's own, to be handled after `delay`.
    void post(std::unique_ptr<Event> event, std::chrono::milliseconds delay = {});

    // Releases every usage, drops what is queued and asks the stack to shut down if nobody has.
    void requestStop();
    // Then waits (bounded) for the shutdown to complete and destroys the stack, which joins its thread.
    void stop(std::chrono::milliseconds wait = std::chrono::milliseconds{3000});
    bool stopped() const { return m_stopped; }

    // Set by the usage manager.
    std::function<void()> wake;
    // The application's: the stack has followed a change of the network (nua_i_network_changed).
    std::function<void()> networkChanged;
    // The usage manager's: the kernel told of a change the stack has not followed yet. It lets go of what
    // holds the stack's transports, then calls followNetworkChange().
    std::function<void()> networkChanging;
    void followNetworkChange();
    // Has the stack open its transports again, after an attempt that failed to.
    void repeatNetworkChange();
    std::function<void(nua_t*)> onStarted;
    std::function<void()> releaseUsages;

    std::optional<TransportSpec> transport;
    std::optional<std::chrono::milliseconds> transactionTimeout;
    std::chrono::milliseconds connectionIdle = guard::kConnectionIdle;
    nua_t* nua = nullptr;
    bool shutdownRequested = false;
    bool shutdownComplete = false;
    // Handles whose events the usage manager no longer wants (their usage is gone).
    static nua_hmagic_t* marker();

private:
    static void callback(nua_event_t event, int status, const char* phrase, nua_t* nua, nua_magic_t* magic,
                         nua_handle_t* nh, nua_hmagic_t* hmagic, const sip_t* sip, tagi_t tags[]);
    void collect();
    std::string probe() const;

    su_root_t* m_root = nullptr;
    GSource* m_source = nullptr;
    std::deque<std::unique_ptr<Event>> m_queue;
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        std::unique_ptr<Event> event;
    };
    std::vector<Delayed> m_delayed;
    std::string m_error;
    std::unique_ptr<TlsFiles> m_tlsFiles;
    // Over TLS: the regular look for quiet connections peers opened (closeQuietConnections).
    su_timer_t* m_quietSweep = nullptr;
    bool m_stopping = false;
    bool m_stopped = false;
};

// Runs `call` on the user-interface thread soon: at the next StackCore::pop(), or from the GLib main loop
// when that runs first. For the layer's own threads (Targets.cpp, Tls.cpp). Any thread.
void deliverOnUiThread(std::function<void()> call);

// Tells the stack's usage manager, on the user-interface thread, that the network of the stack `nua`
// changed (NetworkWatch.cpp, from the stack's thread). Any thread.
void announceNetworkChange(const void* nua);
// Makes the next followNetworkChange() of the stack `nua` open its transports again, though the kernel told
// of nothing new (NetworkWatch.cpp). Any thread.
void markNetworkChanged(const void* nua);

// The bounds on TCP connections peers open (Connections.cpp). The soft descriptor limit goes up to the
// hard one, once per process; then the connections accepted on the SIP port are counted and capped.
void raiseDescriptorLimit();
void guardInboundConnections(int port);
// Shuts down the connections accepted on the SIP port that have received nothing for `quiet`: over TLS
// the stack closes neither an idle connection nor one whose message never ends, so the kernel's count of
// the time since the last bytes arrived (TCP_INFO) stands in for its timers. Returns how many it shut.
std::size_t closeQuietConnections(std::chrono::milliseconds quiet);
// The connections peers opened that are held now.
std::size_t inboundConnectionsKept();

struct HeldTexts;

// Fills SipMessage values; the only writer of their fields.
class MessageAccess {
public:
    static SipMessage fromMsg(msg_t* msg, int status, const char* phrase);
    // A request or response the application is given to send.
    static SipMessage request(const char* method, const NameAddr& target, const Contents* contents = nullptr);
    static SipMessage response(int status, const char* phrase);
    static void setSend(SipMessage& message, std::function<void()> send);
    // Makes `message`'s contents (an empty text when it has none) count `cost` bytes against `held` for
    // as long as anyone keeps them.
    static void charge(SipMessage& message, const std::shared_ptr<HeldTexts>& held, std::size_t cost);
    static void send(SipMessage& message);
};

}  // namespace detail
}  // namespace sip
