// SPDX-License-Identifier: MIT
// Private to the SIP layer: the sofia-sip side of SipStack, and the events it queues for the usage
// manager. User-interface thread, except where a comment says otherwise.
//
// The stack runs in a thread of the layer's own, the stack's thread: sofia-sip's root is created there
// and told not to start a thread of its own (su_root_threading(root, 0)), so nua works in the root's
// thread and its callback runs there too. A received text is answered at once, in the same pass of the
// stack's loop that read it (ReceivedTexts.cpp), from what the user-interface thread last published: a
// plain one outside any dialog before the stack makes a handle for it, any other in the callback.
// Everything else the callback only saves. It queues each event under the queue's lock and wakes the
// user-interface thread through a GLib source of that thread's main context; the handlers run there
// later, from DialogUsageManager::process(), one event at a time. Handlers that open modal loops
// therefore never hold up the events behind them, nor the answers to texts.
//
// The two threads meet in three places, each with a lock or an atomic of the layer's own: the event
// queue, the published answers to texts, and the counts a flood is seen by. Calls into nua from the
// user-interface thread pass through sofia-sip's own message queue, as before, and in the order they were
// made, which the stack relies on (a registration's handle let go of before the transports are opened
// again, every handle before the shutdown). The one that also writes in place, nua_handle_destroy(),
// marks the handle invalid; the stack's thread reads that mark only to drop the handle's later events,
// which the layer drops as well when they come.
#pragma once

#include "sip/Contents.h"
#include "sip/Data.h"
#include "sip/MasterProfile.h"
#include "sip/PeerGuards.h"
#include "sip/Uri.h"

#include <glib.h>
#include <sofia-sip/nta.h>
#include <sofia-sip/nua.h>
#include <sofia-sip/nua_tag.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/sip_status.h>
#include <sofia-sip/sip_tag.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace sip {

class SipMessage;

namespace detail {

class TlsFiles;
class TextCharge;
struct WakeSource;

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
    // A text answered before the stack made a handle for it: the request, referenced (no saved event then),
    // and while it is answered, its transaction.
    msg_t* request = nullptr;
    nta_incoming_t* irq = nullptr;
    // A received text the stack's thread has answered already: the status it answered (200: the text is
    // to be shown, and its share of the held-text budget comes with it).
    int answered = 0;
    std::shared_ptr<TextCharge> charge;
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

// Bytes of received texts someone still holds (the application's waiting texts among them). Taken in the
// stack's thread as each text is answered, given back in the user-interface thread as each goes.
struct HeldTexts {
    std::atomic<std::size_t> bytes{0};
};

// One received text's share of the budget of held texts, from its 200 until the last holder of the text
// (or of the event, when nobody took the text) lets go. Any thread.
class TextCharge {
public:
    TextCharge(std::shared_ptr<HeldTexts> held, std::size_t cost);
    ~TextCharge();
    TextCharge(const TextCharge&) = delete;
    TextCharge& operator=(const TextCharge&) = delete;

private:
    std::shared_ptr<HeldTexts> m_held;
    std::size_t m_cost;
};

// What received texts are answered by, as the user-interface thread last published it for the stack's
// thread: a copy, since the application changes its own profile at any time.
struct TextPolicy {
    MasterProfile profile;
    // The Contact our registration last bound (its user is ours too).
    Uri ownContact;
    // A handler takes texts that come outside any dialog.
    bool pagerHandler = false;
    // The usage manager is winding down: texts outside a dialog are refused.
    bool shuttingDown = false;
    // What the stack puts in its answers itself, for the answers made without it.
    std::string userAgent;
    std::string allow;
};

// Texts answered 200 lately, by what makes a request the same request again (Call-ID, CSeq, From tag,
// top Via branch): a peer that lost our 200 sends the text again, and once the stack has let the first
// transaction go, only this tells the text from a new one. Stack's thread.
class AnsweredTexts {
public:
    AnsweredTexts();
    // Whether the request was answered 200 within the time a peer sends a request again (64 x T1).
    bool contains(const sip_t* request, std::chrono::steady_clock::time_point now);
    void add(const sip_t* request, std::chrono::steady_clock::time_point now);

private:
    std::uint64_t key(const sip_t* request) const;
    void forgetOld(std::chrono::steady_clock::time_point now);

    std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> m_order;
    std::unordered_set<std::uint64_t> m_keys;
    std::uint64_t m_salt = 0;
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

    // Takes the next queued event: the layer's own first, then what the stack's thread queued.
    std::unique_ptr<Event> pop();
    // Queues an event of the layer's own, to be handled after `delay`.
    void post(std::unique_ptr<Event> event, std::chrono::milliseconds delay = {});
    // Runs `call` in the stack's thread, after what was handed to the stack before it. Any thread.
    void inStack(std::function<void()> call);
    // The first time only: waits, at most `limit`, until the stack's thread has taken what was handed to it
    // so far. The first REGISTER of a run is handed over just before the window's controls are made, and
    // left to itself the stack's thread competed with them (and the X server) for the processor: the
    // REGISTER left 0.2 to 3 ms after it was handed over, 0.2 to 0.5 ms when the handing thread waited.
    void letFirstRequestLeave(std::chrono::milliseconds limit);
    // Lets go of a handle (nua_handle_destroy), and of the requests of ours it was waiting for.
    void destroyHandle(nua_handle_t* nh);

    // What received texts are answered by from now on (ReceivedTexts.cpp).
    void publishTexts(std::shared_ptr<const TextPolicy> policy);

    // The stack keeps every answered request over UDP for 64 times the retransmission interval, 32 s, so
    // that a repeat of it is answered as before: in a flood that is most of the program's memory. While
    // many requests arrive, that time is shortened (the answered texts above tell a repeat from a new text
    // meanwhile), and it is restored once it is quiet. The stack shortens the wait of requests of our own
    // with it: before each, ownRequest() restores it, and it stays restored until every request of ours
    // has had its final answer (seen by answered()) or its handle is gone. User-interface thread
    // (ReceivedTexts.cpp).
    void ownRequest(nua_handle_t* nh);
    void answered(const Event& event);
    void followFlood();

    // Asks the stack to shut down (nua_r_shutdown follows).
    void shutdown();
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
    // The usage manager's: publishes what texts are answered by before the stack starts.
    std::function<void()> beforeStart;
    std::function<void()> releaseUsages;

    std::optional<TransportSpec> transport;
    std::optional<std::chrono::milliseconds> transactionTimeout;
    std::chrono::milliseconds connectionIdle = guard::kConnectionIdle;
    nua_t* nua = nullptr;
    bool shutdownRequested = false;
    bool shutdownComplete = false;
    // The handles the usage manager knows (every handle it made, and every one the stack made for a
    // request once the stack's thread has seen it), and among them those of message sessions, whose texts
    // the stack's thread answers.
    static nua_hmagic_t* marker();
    static nua_hmagic_t* sessionMarker();

    // What the stack's thread shares with the user-interface thread; everything that thread touches.
    struct Shared;

private:
    static void callback(nua_event_t event, int status, const char* phrase, nua_t* nua, nua_magic_t* magic,
                         nua_handle_t* nh, nua_hmagic_t* hmagic, const sip_t* sip, tagi_t tags[]);
    // Takes what the stack's thread queued so far.
    void collect();
    std::optional<std::string> probe() const;
    // Ends the stack's thread: at once when the stack has shut down, else after `wait`.
    void endThread(std::chrono::milliseconds wait);

    std::unique_ptr<Shared> m_shared;
    std::thread m_thread;
    std::deque<std::unique_ptr<Event>> m_queue;
    struct Delayed {
        std::chrono::steady_clock::time_point due;
        std::unique_ptr<Event> event;
    };
    std::vector<Delayed> m_delayed;
    std::string m_error;
    bool m_firstRequestLeft = false;
    std::unique_ptr<TlsFiles> m_tlsFiles;
    // Through a flood (ReceivedTexts.cpp).
    struct Flood {
        bool shortened = false;
        unsigned arrivedBefore = 0;
        std::chrono::steady_clock::time_point windowStart;
        std::chrono::steady_clock::time_point lastBusy;
        // Requests of our own waiting for their final answers, by handle.
        std::map<const void*, unsigned> waiting;
    } m_flood;
    bool m_stopping = false;
    bool m_stopped = false;
};

struct StackCore::Shared {
    // Written by the stack's thread before start() returns; the root is the thread's own.
    su_root_t* root = nullptr;
    nua_t* nua = nullptr;
    // Over TLS: the regular look for quiet connections peers opened (closeQuietConnections).
    su_timer_t* quietSweep = nullptr;
    std::chrono::milliseconds connectionIdle{};

    // What the stack's thread queued for the user-interface thread.
    std::mutex mutex;
    std::deque<std::unique_ptr<Event>> events;
    WakeSource* wake = nullptr;
    std::atomic<bool> wakeArmed{false};

    // How received texts are answered (ReceivedTexts.cpp).
    std::mutex policyMutex;
    std::shared_ptr<const TextPolicy> policy;
    std::shared_ptr<HeldTexts> held = std::make_shared<HeldTexts>();
    AnsweredTexts answered;
    std::atomic<unsigned> requestsArrived{0};

    // The end of the stack's thread: whether it destroys the stack first (only once it has shut down).
    std::atomic<bool> destroyAtEnd{false};
    std::mutex endMutex;
    std::condition_variable endSignal;
    bool ended = false;
};

// Answers the received text `event` carries, in the stack's thread, from the policy last published
// (ReceivedTexts.cpp): 415, 404, 405 or 503 when it is not taken, 200 when it is. Returns whether the
// user-interface thread is to see the event: only a text taken, and seen for the first time, is.
bool answerText(StackCore::Shared& shared, Event& event);
// Queues `event` for the user-interface thread and wakes it; when the answer to its request still waits
// in the stack's own queue (`answerQueued`), from behind that answer. Stack's thread.
void queueForUi(StackCore::Shared& shared, std::unique_ptr<Event> event, bool answerQueued);
// Makes the heap's next pages resident, once a text's answer has left (SipStack.cpp). Stack's thread.
void keepRunwayResident();
// The stack whose thread this is; null in any other thread.
StackCore::Shared* stackOfThisThread();
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

// Fills SipMessage values; the only writer of their fields.
class MessageAccess {
public:
    static SipMessage fromMsg(msg_t* msg, int status, const char* phrase);
    // A request or response the application is given to send.
    static SipMessage request(const char* method, const NameAddr& target, const Contents* contents = nullptr);
    static SipMessage response(int status, const char* phrase);
    static void setSend(SipMessage& message, std::function<void()> send);
    // Makes `message`'s contents (an empty text when it has none) carry `charge` for as long as anyone
    // keeps them.
    static void charge(SipMessage& message, std::shared_ptr<TextCharge> charge);
    static void send(SipMessage& message);
};

}  // namespace detail
}  // namespace sip
