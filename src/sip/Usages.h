// SPDX-License-Identifier: MIT
// The usages: one registration, pager message, invite session or server subscription each, owned by the
// usage manager and reached by the application through handles. User-interface thread only.
#pragma once

#include "sip/Contents.h"
#include "sip/Handle.h"
#include "sip/Handlers.h"
#include "sip/KeepAlive.h"
#include "sip/SdpContents.h"
#include "sip/SipMessage.h"
#include "sip/Targets.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct nua_handle_s;

namespace sip {

class DialogUsageManager;

namespace detail {
class Event;
class StackWait;
class StackCore;
struct DumState;
}  // namespace detail

enum EncryptionLevel { None, Sign, Encrypt, SignAndEncrypt };

class Usage : public std::enable_shared_from_this<Usage> {
public:
    virtual ~Usage();
    Usage(const Usage&) = delete;
    // Taken out of the manager, or gone for the application while the layer sees its last request
    // through; its handles are invalid.
    bool retired() const { return m_retired || m_detached; }
    // Gone for the application, while the layer still sees a request of it through (see detach()).
    bool detached() const { return m_detached && !m_retired; }
    Usage& operator=(const Usage&) = delete;

protected:
    Usage(DialogUsageManager& dum, nua_handle_s* nh);

    // Handles one event of this usage's handle (or one the layer made for it); may keep the event.
    virtual void dispatch(std::unique_ptr<detail::Event>& event) = 0;
    // Takes the usage out of the manager: its handles become invalid, and its sofia-sip handle is
    // released once no call in progress uses the usage any more.
    void retire();
    // Ends the usage for the application (its handles become invalid, the manager lists it no more) while
    // a request of it is still under way: the manager keeps passing it that request's answers, and a
    // shutdown waits for it, until it retires.
    void detach() { m_detached = true; }
    detail::DumState& state();
    // Fails the request in progress as if a response with this status had come, after the current call.
    void failSoon(int event, int status, const char* phrase);

    // Where a request to `uri` (the outbound proxy, or the request's own target) goes: the address of the
    // server that answered first (NextHop.cpp), checked over TLS the first time it is used. `then` runs
    // on the user-interface thread while the usage lives; at once when the server was reached before and
    // `avoid` (addresses as "[2001:db8::1]:5060") is empty.
    void reach(const std::string& uri, std::vector<std::string> avoid,
               std::function<void(const detail::NextHop&)> then);

    DialogUsageManager& m_dum;
    detail::StackCore& m_core;
    nua_handle_s* m_nh;

private:
    friend class DialogUsageManager;
    bool m_retired = false;
    bool m_detached = false;
};

class ClientRegistration : public Usage {
public:
    ~ClientRegistration() override;

    // Our own bindings among those the registrar listed in its last 2xx.
    std::vector<NameAddr> myContacts() const { return m_myContacts; }
    // Asks the registrar to remove every binding of the address of record: one REGISTER with
    // "Contact: *" and "Expires: 0" (answering a challenge to it). With stopWhenDone the usage ends when
    // it has been answered.
    void removeAll(bool stopWhenDone = false);
    // Ends the usage for the application at once. A removal asked for is still seen through to its final
    // answer: a shutdown waits for it, and a registration made meanwhile is sent once it is done.
    void stopRegistering();
    // Ends the usage whatever it is doing: a REGISTER still waiting for its answer is abandoned, so the
    // stack stops sending it, and nothing more is reported for this registration, however late its
    // answer. Bindings it holds stay until they expire (removeAll removes them).
    void end();
    ClientRegistrationHandle getHandle();

    // The network changed and the stack is about to close its transports: the registration lets go of
    // its handle (a removal under way ends), and waits for rejoinAfterNetworkChange() to register again,
    // from the new transports, on a handle of its own; the application sees nothing of it.
    void leaveForNetworkChange();
    void rejoinAfterNetworkChange();

private:
    friend class DialogUsageManager;
    ClientRegistration(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target);

    void start();
    void issue();
    void dispatch(std::unique_ptr<detail::Event>& event) override;
    void onFinal(detail::Event& event);
    void fail(const SipMessage& response);
    // The removal has its final answer: the usage goes, and registrations waiting for it are sent.
    void removalDone();
    void keepAlive(const detail::Event& response);
    void armKeepAlive();
    void pin(const detail::Event& response);
    // Finds the registrar's address (Usage::reach), avoiding those that failed, then goes on with start().
    void findRegistrar();
    // Where the registration's requests go now: the registrar that answered, else the outbound proxy.
    std::string nextHop();

    NameAddr m_target;
    // The registrar: the domain of the address of record.
    std::string m_registrar;
    std::vector<NameAddr> m_myContacts;
    detail::DatagramFlow m_flow;
    // Where the stack sends this registration's requests since the registrar answered (see pin()), and
    // that registrar's address.
    std::string m_pinned;
    std::string m_pinnedAddress;
    // Registrars that stopped answering or refused since the last success: the next one is looked for
    // among the others.
    std::vector<std::string> m_avoid;
    bool m_keepAliveDue = false;
    bool m_awaitingNetwork = false;
    bool m_registrarFound = false;
    bool m_registered = false;
    bool m_removing = false;
    bool m_stopWhenDone = false;
};

class ClientPagerMessage : public Usage {
public:
    ~ClientPagerMessage() override;

    // Sends `contents` in a MESSAGE to the target; pages given while one is under way follow in turn.
    void page(std::unique_ptr<Contents> contents, EncryptionLevel level = None);
    // Ends the usage; nothing more is reported for it.
    void end();
    ClientPagerMessageHandle getHandle();

private:
    friend class DialogUsageManager;
    ClientPagerMessage(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target);

    void sendNext();
    void issue();
    void dispatch(std::unique_ptr<detail::Event>& event) override;

    std::unique_ptr<detail::StackWait> m_stackWait;
    std::string m_target;
    // Where the MESSAGEs go (Usage::reach), once found.
    std::optional<detail::NextHop> m_hop;
    std::deque<std::unique_ptr<Contents>> m_pages;
    bool m_inProgress = false;
};

class ServerPagerMessage : public Usage {
public:
    ~ServerPagerMessage() override;

    // The response to the MESSAGE, to be given to send(), which ends the usage. The layer has answered
    // the MESSAGE 200 already, in the stack's thread, before the handler heard of it: the status given
    // here goes nowhere.
    std::shared_ptr<SipMessage> accept(int statusCode = 200);
    std::shared_ptr<SipMessage> reject(int statusCode);
    void send(std::shared_ptr<SipMessage> response);
    ServerPagerMessageHandle getHandle();

private:
    friend class DialogUsageManager;
    ServerPagerMessage(DialogUsageManager& dum, nua_handle_s* nh, std::unique_ptr<detail::Event> request);
    std::shared_ptr<SipMessage> response(int statusCode);
    void dispatch(std::unique_ptr<detail::Event>& event) override;

    std::unique_ptr<detail::Event> m_request;
};

class InviteSession : public Usage {
public:
    ~InviteSession() override;

    // Sends a MESSAGE inside the dialog; its outcome comes to onMessageSuccess or onMessageFailure.
    void message(const Contents& contents);
    // Answers the INFO the session received last. A MESSAGE is answered 200 in the stack's thread before
    // the handler hears of it: for one, this only lets it go.
    void acceptNIT(int statusCode = 200, const Contents* contents = nullptr);
    void rejectNIT(int statusCode = 488);
    // Ends the session: BYE once it is up, CANCEL while our INVITE is unanswered, 480 to an INVITE we
    // have not answered.
    void end();
    bool isConnected() const { return m_connected; }
    InviteSessionHandle getSessionHandle();

protected:
    InviteSession(DialogUsageManager& dum, nua_handle_s* nh);
    InviteSessionHandler& handler();
    // Handles what is common to both sides; false when the event was not one of those.
    bool dispatchCommon(std::unique_ptr<detail::Event>& event);
    void terminated(InviteSessionHandler::TerminatedReason reason, const SipMessage* message);

    bool m_connected = false;
    bool m_ending = false;
    bool m_terminated = false;
    std::unique_ptr<detail::Event> m_pendingNit;
};

class ClientInviteSession : public InviteSession {
public:
    ClientInviteSessionHandle getHandle();

private:
    friend class DialogUsageManager;
    ClientInviteSession(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target, Data offer);

    void start();
    void issue();
    void dispatch(std::unique_ptr<detail::Event>& event) override;
    void onInviteResponse(detail::Event& event);

    std::string m_target;
    std::string m_hop;
    Data m_offer;
    bool m_newSessionReported = false;
    bool m_failed = false;
};

class ServerInviteSession : public InviteSession {
public:
    // The SDP that accept() sends in its 200.
    void provideAnswer(const Contents& answer);
    void accept(int statusCode = 200);
    void reject(int statusCode);
    ServerInviteSessionHandle getHandle();

private:
    friend class DialogUsageManager;
    ServerInviteSession(DialogUsageManager& dum, nua_handle_s* nh, std::unique_ptr<detail::Event> invite);
    void dispatch(std::unique_ptr<detail::Event>& event) override;

    std::unique_ptr<detail::Event> m_invite;
    std::unique_ptr<Contents> m_answer;
    bool m_answered = false;
};

class ServerSubscription : public Usage {
public:
    ~ServerSubscription() override;

    // The response to the SUBSCRIBE, to be given to send(). Its Expires is the SUBSCRIBE's own, or the
    // handler's default when the SUBSCRIBE had none.
    std::shared_ptr<SipMessage> accept(int statusCode = 202);
    std::shared_ptr<SipMessage> reject(int statusCode);
    // Makes `document` (none: no body) the subscription's state and returns the NOTIFY that carries it.
    std::shared_ptr<SipMessage> update(const Contents* document);
    void send(std::shared_ptr<SipMessage> message);
    // Sends the final NOTIFY ("terminated" with the reason) with `document` or no body, and ends.
    void end(ServerSubscriptionHandler::TerminateReason reason, const Contents* document = nullptr);
    const Data& getEventType() const { return m_eventType; }
    ServerSubscriptionHandle getHandle();

private:
    friend class DialogUsageManager;
    ServerSubscription(DialogUsageManager& dum, nua_handle_s* nh, std::unique_ptr<detail::Event> subscribe,
                       ServerSubscriptionHandler& handler, Data eventType);
    void dispatch(std::unique_ptr<detail::Event>& event) override;
    void notify(bool final, const char* reason);
    void finish();

    std::unique_ptr<detail::Event> m_subscribe;
    ServerSubscriptionHandler& m_handler;
    Data m_eventType;
    std::unique_ptr<Contents> m_document;
    bool m_ending = false;
    bool m_finished = false;
};

// The application never publishes nor subscribes; no such usage is ever made.
class ClientPublication {
public:
    bool retired() const { return true; }
};
class ClientSubscription {
public:
    bool retired() const { return true; }
};

}  // namespace sip
