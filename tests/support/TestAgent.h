// SPDX-License-Identifier: MIT
// A small user agent on the SIP layer, without a window, for tests: the stack set up the way the program
// sets it up, every callback recorded in order ("onSuccess 200"), and a hook per callback for what the
// test wants done in it.
#pragma once

#include "sip/DialogUsageManager.h"
#include "sip/SipStack.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace test {

class TestAgent : public sip::ClientRegistrationHandler,
                  public sip::ClientPagerMessageHandler,
                  public sip::ServerPagerMessageHandler,
                  public sip::ServerSubscriptionHandler,
                  public sip::InviteSessionHandler,
                  public sip::ClientPublicationHandler,
                  public sip::DumShutdownHandler {
public:
    // Sets the stack up on all IPv4 addresses at `port` (0: a free one) and starts it. Requests give up
    // after `transactionTimeout`, much sooner than the stack's 32 s, so that timeouts are quick to test.
    explicit TestAgent(sip::TransportType transport, int port = 0,
                       std::chrono::milliseconds transactionTimeout = std::chrono::milliseconds(4000));
    ~TestAgent() override;

    // Pumps until `done` holds or `timeout` has passed; returns whether `done` held.
    bool pumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Pumps for the whole of `duration`.
    void pumpFor(std::chrono::milliseconds duration);
    // The callbacks so far whose text starts with `prefix`.
    std::vector<std::string> callbacks(const std::string& prefix = "") const;
    std::size_t count(const std::string& prefix) const { return callbacks(prefix).size(); }

    // The address of record the agent registers and sends from.
    void setIdentity(const std::string& aor, const std::string& password);
    void setOutboundProxy(const std::string& uri);
    // The local port's URI host:port for a peer to send to.
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    sip::SipStack stack;
    sip::DialogUsageManager dum;
    sip::StackThread stackThread;
    std::shared_ptr<sip::MasterProfile> profile;
    int port;
    sip::NameAddr aor;
    bool canBeDeleted = false;

    // Hooks; each runs after the callback has been recorded.
    std::function<int(sip::ClientRegistrationHandle)> retryAnswer = [](sip::ClientRegistrationHandle) {
        return -1;
    };
    std::function<void(sip::ClientRegistrationHandle)> registered;
    std::function<void(sip::ServerPagerMessageHandle, const sip::SipMessage&)> messageArrived;
    std::function<void(sip::ServerInviteSessionHandle, const sip::SipMessage&)> newServerSession;
    std::function<void(sip::ClientInviteSessionHandle, const sip::SipMessage&)> connected;
    std::function<void(sip::InviteSessionHandle, const sip::SipMessage&)> inDialogMessage;
    std::function<void(sip::InviteSessionHandle, const sip::SipMessage&)> info;
    std::function<void(sip::InviteSessionHandle, const sip::SipMessage&)> messageOutcome;
    std::function<void(sip::ServerSubscriptionHandle, const sip::SipMessage&)> newSubscription;

    sip::ClientRegistrationHandle registration;
    std::vector<sip::ServerSubscriptionHandle> subscriptions;
    std::vector<sip::SipMessage> received;

    // ClientRegistrationHandler
    void onSuccess(sip::ClientRegistrationHandle, const sip::SipMessage&) override;
    void onRemoved(sip::ClientRegistrationHandle, const sip::SipMessage&) override;
    int onRequestRetry(sip::ClientRegistrationHandle, int, const sip::SipMessage&) override;
    void onFailure(sip::ClientRegistrationHandle, const sip::SipMessage&) override;
    // ClientPagerMessageHandler
    void onSuccess(sip::ClientPagerMessageHandle, const sip::SipMessage&) override;
    void onFailure(sip::ClientPagerMessageHandle, const sip::SipMessage&,
                   std::unique_ptr<sip::Contents>) override;
    // ServerPagerMessageHandler
    void onMessageArrived(sip::ServerPagerMessageHandle, const sip::SipMessage&) override;
    // ServerSubscriptionHandler
    void onNewSubscription(sip::ServerSubscriptionHandle, const sip::SipMessage&) override;
    void onTerminated(sip::ServerSubscriptionHandle) override;
    void onError(sip::ServerSubscriptionHandle, const sip::SipMessage&) override;
    bool hasDefaultExpires() const override { return true; }
    std::uint32_t getDefaultExpires() const override { return 1800; }
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
    // DumShutdownHandler
    void onDumCanBeDeleted() override;

private:
    void record(const std::string& callback, const sip::SipMessage* message = nullptr);
    std::vector<std::string> m_callbacks;
};

}  // namespace test
