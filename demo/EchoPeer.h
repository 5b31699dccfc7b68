// SPDX-License-Identifier: MIT
// EchoPeer: the demo's other user, on the program's own SIP layer. It signs in at a registrar, answers
// every text it receives with "echo: <text>" sent back to the sender, accepts message sessions as the
// program offers them, and watches one user's presence, subscribing again a few seconds after the user
// was not there. Runs on the thread of Qt's event loop, which pumps it.
//
//   program (alice)       Kamailio           echo peer
//     | INVITE m=message    |                    |
//     |-------------------->|------------------->|
//     |        200          |<-------------------|
//     |<--------------------|                    |
//     | ACK, MESSAGE "hi"   |                    |
//     |-------------------->|------------------->|
//     |        200          |<-------------------|
//     |<--------------------|                    |
//     |     MESSAGE "echo: hi" (pager)           |
//     |<--------------------|<-------------------|
//     |        200          |                    |
//     |-------------------->|------------------->|
#pragma once

#include "sip/DialogUsageManager.h"
#include "sip/PresenceWatch.h"
#include "sip/SipStack.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

namespace demo {

class EchoPeer : public QObject,
                 public sip::ClientRegistrationHandler,
                 public sip::ClientPagerMessageHandler,
                 public sip::ServerPagerMessageHandler,
                 public sip::InviteSessionHandler,
                 public sip::DumShutdownHandler {
public:
    struct Options {
        std::string aor;       // echo@demo.test
        std::string password;  // its digest password
        std::string outboundProxy;
        std::string watch;  // the user whose presence it watches, as user@domain; empty: none
        int port = 0;       // 0: a free one
        bool tcp = false;
    };

    explicit EchoPeer(Options options);
    ~EchoPeer() override;

    // Opens the transport, signs in and starts watching. False (with a line in the log) when the
    // transport cannot be opened.
    bool start();
    // Removes the binding, ends the watch and shuts the stack down; `done` runs when that has finished,
    // or after `limit` at the latest.
    void stop(std::function<void()> done, std::chrono::milliseconds limit = std::chrono::seconds(5));

    // One line for each thing that happened, for the demo's output.
    std::function<void(const std::string&)> log;

    bool registered() const { return m_registered; }
    // The watched user's last basic status: "open", "closed", or "" while unknown.
    const std::string& watchedStatus() const { return m_watchedStatus; }
    int echoed() const { return m_echoed; }
    int port() const { return m_port; }
    bool stopped() const { return m_stopped; }

    // The reply to a text.
    static std::string echoOf(const std::string& text) { return "echo: " + text; }

    // ClientRegistrationHandler
    void onSuccess(sip::ClientRegistrationHandle, const sip::SipMessage&) override;
    void onRemoved(sip::ClientRegistrationHandle, const sip::SipMessage&) override;
    int onRequestRetry(sip::ClientRegistrationHandle, int, const sip::SipMessage&) override { return 5; }
    void onFailure(sip::ClientRegistrationHandle, const sip::SipMessage&) override;
    // ClientPagerMessageHandler
    void onSuccess(sip::ClientPagerMessageHandle, const sip::SipMessage&) override;
    void onFailure(sip::ClientPagerMessageHandle, const sip::SipMessage&,
                   std::unique_ptr<sip::Contents>) override;
    // ServerPagerMessageHandler
    void onMessageArrived(sip::ServerPagerMessageHandle, const sip::SipMessage&) override;
    // InviteSessionHandler: message sessions are taken, everything else of a call is refused.
    void onNewSession(sip::ClientInviteSessionHandle, OfferAnswerType, const sip::SipMessage&) override {}
    void onNewSession(sip::ServerInviteSessionHandle, OfferAnswerType, const sip::SipMessage&) override;
    void onFailure(sip::ClientInviteSessionHandle, const sip::SipMessage&) override {}
    void onEarlyMedia(sip::ClientInviteSessionHandle, const sip::SipMessage&,
                      const sip::SdpContents&) override {}
    void onProvisional(sip::ClientInviteSessionHandle, const sip::SipMessage&) override {}
    void onConnected(sip::ClientInviteSessionHandle, const sip::SipMessage&) override {}
    void onConnected(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onTerminated(sip::InviteSessionHandle, TerminatedReason, const sip::SipMessage*) override {}
    void onForkDestroyed(sip::ClientInviteSessionHandle) override {}
    void onRedirected(sip::ClientInviteSessionHandle, const sip::SipMessage&) override {}
    void onAnswer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) override {}
    void onOffer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) override {}
    void onOfferRequired(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onOfferRejected(sip::InviteSessionHandle, const sip::SipMessage*) override {}
    void onInfo(sip::InviteSessionHandle handle, const sip::SipMessage&) override { handle->acceptNIT(200); }
    void onInfoSuccess(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onInfoFailure(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onMessage(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onMessageSuccess(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onMessageFailure(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onRefer(sip::InviteSessionHandle, sip::ServerSubscriptionHandle, const sip::SipMessage&) override {}
    void onReferNoSub(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onReferRejected(sip::InviteSessionHandle, const sip::SipMessage&) override {}
    void onReferAccepted(sip::InviteSessionHandle, sip::ClientSubscriptionHandle,
                         const sip::SipMessage&) override {}
    // DumShutdownHandler
    void onDumCanBeDeleted() override;

private:
    void pump();
    void echo(const sip::SipMessage& text);
    void watch();
    void say(const std::string& line) const;
    void finishStop();

    Options m_options;
    int m_port;
    sip::SipStack m_stack;
    sip::DialogUsageManager m_dum;
    sip::StackThread m_stackThread;
    sip::NameAddr m_aor;
    QTimer m_pumpTimer;
    QTimer m_watchAgain;
    QTimer m_stopLimit;
    bool m_pumpPosted = false;
    sip::ClientRegistrationHandle m_registration;
    std::shared_ptr<sip::PresenceWatch> m_watch;
    bool m_registered = false;
    bool m_stopping = false;
    bool m_stopped = false;
    bool m_threadRunning = false;
    std::string m_watchedStatus;
    int m_echoed = 0;
    int m_lastWatchFailure = 0;
    std::function<void()> m_done;
};

}  // namespace demo
