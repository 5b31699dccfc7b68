// SPDX-License-Identifier: MIT
// CChimelyDlg: the hub of the program. At once the main window, the settings record, the owner of the SIP
// stack, the usage manager and the stack thread, and the handler of every SIP callback. Its window
// members live in src/ui/, its SIP members in src/agent/. User-interface thread only.
#pragma once

#include "app/Var.h"
#include "platform/Dialog.h"
#include "platform/PostedCall.h"
#include "sip/DialogUsageManager.h"
#include "sip/Pidf.h"
#include "sip/SipStack.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Window timers of the main window.
constexpr unsigned kPumpTimerId = 25;
constexpr unsigned kPumpIntervalMs = 100;
constexpr unsigned kStatusTimerId = 26;
constexpr unsigned kReconnectTimerId = 27;

// The shutdown waits at most this long for the usage manager to wind down, polling every 100 ms.
constexpr std::uint32_t kShutdownWaitMs = 10000;
constexpr unsigned kShutdownPollMs = 100;

class CChimelyDlg : public platform::CDialog,
                    public sip::ClientRegistrationHandler,
                    public sip::ClientPagerMessageHandler,
                    public sip::ServerPagerMessageHandler,
                    public sip::ServerSubscriptionHandler,
                    public sip::InviteSessionHandler,
                    public sip::ClientPublicationHandler,
                    public sip::DumShutdownHandler,
                    public CVar {
public:
    explicit CChimelyDlg(bool startHidden = false, QWidget* parent = nullptr);
    ~CChimelyDlg() override;

    // ---- the SIP agent (src/agent/) ----

    // Sets the agent up: profile, one transport, managers, handlers, the stack thread. Returns why the
    // transport could not be opened (the agent then sends nothing), or nothing when it could.
    std::optional<std::string> InitStack();
    // Handles every event queued by the stack.
    void ProcessDum();
    // Winds the agent down: the usage manager's shutdown, Disconnect, at most kShutdownWaitMs of pumping,
    // then the stack thread is stopped and joined.
    void ShutdownStack();
    // Removes the registration's bindings and ends the presence subscriptions.
    void Disconnect();
    // A new presence document: the user's own address, always "open".
    std::unique_ptr<sip::Pidf> BuildPresenceDocument();

    // DumShutdownHandler
    void onDumCanBeDeleted() override;

    // ClientRegistrationHandler
    void onSuccess(sip::ClientRegistrationHandle handle, const sip::SipMessage& response) override;
    void onRemoved(sip::ClientRegistrationHandle handle, const sip::SipMessage& response) override;
    int onRequestRetry(sip::ClientRegistrationHandle handle, int retrySeconds,
                       const sip::SipMessage& response) override;
    void onFailure(sip::ClientRegistrationHandle handle, const sip::SipMessage& response) override;

    // ClientPagerMessageHandler
    void onSuccess(sip::ClientPagerMessageHandle handle, const sip::SipMessage& status) override;
    void onFailure(sip::ClientPagerMessageHandle handle, const sip::SipMessage& status,
                   std::unique_ptr<sip::Contents> contents) override;

    // ServerPagerMessageHandler
    void onMessageArrived(sip::ServerPagerMessageHandle handle, const sip::SipMessage& message) override;

    // ServerSubscriptionHandler
    void onNewSubscription(sip::ServerSubscriptionHandle handle, const sip::SipMessage& subscribe) override;
    void onTerminated(sip::ServerSubscriptionHandle handle) override;
    void onError(sip::ServerSubscriptionHandle handle, const sip::SipMessage& message) override;
    bool hasDefaultExpires() const override;
    std::uint32_t getDefaultExpires() const override;

    // InviteSessionHandler
    void onNewSession(sip::ClientInviteSessionHandle, OfferAnswerType, const sip::SipMessage&) override;
    void onNewSession(sip::ServerInviteSessionHandle, OfferAnswerType, const sip::SipMessage&) override;
    void onFailure(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onEarlyMedia(sip::ClientInviteSessionHandle, const sip::SipMessage&,
                      const sip::SdpContents&) override;
    void onProvisional(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onConnected(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onConnected(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onTerminated(sip::InviteSessionHandle, TerminatedReason, const sip::SipMessage*) override;
    void onForkDestroyed(sip::ClientInviteSessionHandle) override;
    void onRedirected(sip::ClientInviteSessionHandle, const sip::SipMessage&) override;
    void onAnswer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) override;
    void onOffer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) override;
    void onOfferRequired(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onOfferRejected(sip::InviteSessionHandle, const sip::SipMessage*) override;
    void onInfo(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onInfoSuccess(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onInfoFailure(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onMessage(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onMessageSuccess(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onMessageFailure(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onRefer(sip::InviteSessionHandle, sip::ServerSubscriptionHandle, const sip::SipMessage&) override;
    void onReferNoSub(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onReferRejected(sip::InviteSessionHandle, const sip::SipMessage&) override;
    void onReferAccepted(sip::InviteSessionHandle, sip::ClientSubscriptionHandle,
                         const sip::SipMessage&) override;

    // ClientPublicationHandler
    void onSuccess(sip::ClientPublicationHandle, const sip::SipMessage&) override;
    void onRemove(sip::ClientPublicationHandle, const sip::SipMessage&) override;
    void onFailure(sip::ClientPublicationHandle, const sip::SipMessage&) override;
    int onRequestRetry(sip::ClientPublicationHandle, int, const sip::SipMessage&) override;

    // ---- members of the SIP agent, in this order ----
    sip::SipStack m_stack;
    sip::DialogUsageManager m_dum;
    sip::StackThread m_stackThread;
    sip::Data m_localAddress;
    int m_bDumCanBeDeleted;
    sip::ClientRegistrationHandle m_hRegistration;
    sip::NameAddr m_aor;

    // ---- the window (src/ui/) ----
    bool m_bInTray;
    // Why the transport could not be opened, for the status panel; empty when it could.
    std::string m_strTransportError;

protected:
    bool OnInitDialog() override;
    void OnTimer(unsigned id) override;
    void OnDestroy() override;

private:
    // Pumps as soon as the stack has queued something, rather than at the next tick of timer 25.
    platform::PostedCall m_pumpSoon;
};
