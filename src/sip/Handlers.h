// SPDX-License-Identifier: MIT
// The handler interfaces through which the usage manager reports to the application. Every callback
// runs on the user-interface thread, from DialogUsageManager::process(). A callback answers its request
// before it does anything that waits for the user.
#pragma once

#include "sip/Handle.h"
#include "sip/SipMessage.h"

namespace sip {

class SdpContents;

class ClientRegistrationHandler {
public:
    virtual ~ClientRegistrationHandler() = default;
    // A new registration succeeded; the refreshes that follow succeed silently.
    virtual void onSuccess(ClientRegistrationHandle, const SipMessage& response) = 0;
    // A removal of bindings completed.
    virtual void onRemoved(ClientRegistrationHandle, const SipMessage& response) = 0;
    // A REGISTER ended in 408: return -1 to give up (onFailure follows), 0 to retry at once, or the
    // number of seconds after which to retry.
    virtual int onRequestRetry(ClientRegistrationHandle, int retrySeconds, const SipMessage& response) = 0;
    // The registration failed for good; the usage ends.
    virtual void onFailure(ClientRegistrationHandle, const SipMessage& response) = 0;
};

class ClientPagerMessageHandler {
public:
    virtual ~ClientPagerMessageHandler() = default;
    virtual void onSuccess(ClientPagerMessageHandle, const SipMessage& status) = 0;
    // The contents that were not delivered come back to the application.
    virtual void onFailure(ClientPagerMessageHandle, const SipMessage& status,
                           std::unique_ptr<Contents> contents) = 0;
};

class ServerPagerMessageHandler {
public:
    virtual ~ServerPagerMessageHandler() = default;
    virtual void onMessageArrived(ServerPagerMessageHandle, const SipMessage& message) = 0;
};

class InviteSessionHandler {
public:
    enum OfferAnswerType { None, Offer, Answer };
    enum TerminatedReason {
        Error,
        Timeout,
        Replaced,
        LocalBye,
        RemoteBye,
        LocalCancel,
        RemoteCancel,
        Rejected,
        Referred
    };

    virtual ~InviteSessionHandler() = default;

    virtual void onNewSession(ClientInviteSessionHandle, OfferAnswerType, const SipMessage&) = 0;
    virtual void onNewSession(ServerInviteSessionHandle, OfferAnswerType, const SipMessage&) = 0;
    // The INVITE ended without a dialog (any final failure, a timeout included).
    virtual void onFailure(ClientInviteSessionHandle, const SipMessage&) = 0;
    virtual void onEarlyMedia(ClientInviteSessionHandle, const SipMessage&, const SdpContents&) = 0;
    virtual void onProvisional(ClientInviteSessionHandle, const SipMessage&) = 0;
    virtual void onConnected(ClientInviteSessionHandle, const SipMessage&) = 0;
    virtual void onConnected(InviteSessionHandle, const SipMessage&) = 0;
    // The message is null when the session ended without one (a timeout, a local end).
    virtual void onTerminated(InviteSessionHandle, TerminatedReason, const SipMessage*) = 0;
    virtual void onForkDestroyed(ClientInviteSessionHandle) = 0;
    virtual void onRedirected(ClientInviteSessionHandle, const SipMessage&) = 0;
    virtual void onAnswer(InviteSessionHandle, const SipMessage&, const SdpContents&) = 0;
    virtual void onOffer(InviteSessionHandle, const SipMessage&, const SdpContents&) = 0;
    virtual void onOfferRequired(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onOfferRejected(InviteSessionHandle, const SipMessage*) = 0;
    virtual void onInfo(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onInfoSuccess(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onInfoFailure(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onMessage(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onMessageSuccess(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onMessageFailure(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onRefer(InviteSessionHandle, ServerSubscriptionHandle, const SipMessage&) = 0;
    virtual void onReferNoSub(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onReferRejected(InviteSessionHandle, const SipMessage&) = 0;
    virtual void onReferAccepted(InviteSessionHandle, ClientSubscriptionHandle, const SipMessage&) = 0;

    // Callbacks with a default. The layer never raises the first four: sofia-sip keeps its own timers
    // for them and ends such a session itself, which reaches the application as onTerminated.
    virtual void onStaleCallTimeout(ClientInviteSessionHandle) {}
    virtual void onAckNotReceived(InviteSessionHandle) {}
    virtual void onStaleReInviteTimeout(InviteSessionHandle) {}
    virtual void onSessionExpired(InviteSessionHandle) {}
    // A re-INVITE or UPDATE whose offer cannot be taken: the layer refuses it with 488 itself.
    virtual void onIllegalNegotiation(InviteSessionHandle, const SipMessage&) {}
};

class ServerSubscriptionHandler {
public:
    enum TerminateReason { Deactivated, Probation, Rejected, Timeout, GiveUp, NoResource };

    virtual ~ServerSubscriptionHandler() = default;
    virtual void onNewSubscription(ServerSubscriptionHandle, const SipMessage& subscribe) = 0;
    virtual void onTerminated(ServerSubscriptionHandle) = 0;
    // A NOTIFY of this subscription was refused or got no answer.
    virtual void onError(ServerSubscriptionHandle, const SipMessage& message) = 0;
    // A SUBSCRIBE without Expires is taken for getDefaultExpires() seconds when this is true, and
    // refused with 400 otherwise.
    virtual bool hasDefaultExpires() const { return false; }
    virtual std::uint32_t getDefaultExpires() const { return 0; }
    // Refreshes, unsubscribes and expiry are answered by the stack; these only report them.
    virtual void onRefresh(ServerSubscriptionHandle, const SipMessage&) {}
    virtual void onExpired(ServerSubscriptionHandle, SipMessage&) {}
    virtual void onNotifyRejected(ServerSubscriptionHandle, const SipMessage&) {}
};

// The application never publishes; the layer holds the handler but calls none of its callbacks.
class ClientPublicationHandler {
public:
    virtual ~ClientPublicationHandler() = default;
    virtual void onSuccess(ClientPublicationHandle, const SipMessage& status) = 0;
    virtual void onRemove(ClientPublicationHandle, const SipMessage& status) = 0;
    virtual void onFailure(ClientPublicationHandle, const SipMessage& status) = 0;
    virtual int onRequestRetry(ClientPublicationHandle, int retrySeconds, const SipMessage& status) = 0;
    virtual void onStaleUpdate(ClientPublicationHandle, const SipMessage&) {}
};

class DumShutdownHandler {
public:
    virtual ~DumShutdownHandler() = default;
    virtual void onDumCanBeDeleted() = 0;
};

// Applied to every server subscription by DialogUsageManager::applyToAllServerSubscriptions.
class ServerSubscriptionFunctor {
public:
    virtual ~ServerSubscriptionFunctor() = default;
    virtual void apply(ServerSubscriptionHandle) = 0;
};

}  // namespace sip
