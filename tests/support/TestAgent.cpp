// SPDX-License-Identifier: MIT
#include "support/TestAgent.h"

#include "support/Sipp.h"

#include <thread>

namespace test {

using namespace sip;

TestAgent::TestAgent(TransportType transport, int port, std::chrono::milliseconds transactionTimeout)
    : dum(stack),
      stackThread(stack),
      profile(std::make_shared<MasterProfile>()),
      port(port ? port : freePort()) {
    stack.setTransactionTimeout(transactionTimeout);
    dum.setMasterProfile(profile);
    dum.addTransport(transport, this->port, V4);
    profile->setDefaultRegistrationTime(1800);
    profile->addSupportedMethod(INFO);
    profile->addSupportedMimeType(INFO, Mime("application", "xml"));
    profile->addSupportedMethod(MESSAGE);
    profile->addSupportedMimeType(MESSAGE, Mime("text", "plain"));
    profile->addSupportedMethod(SUBSCRIBE);
    profile->addSupportedMimeType(NOTIFY, Mime("application", "pidf+xml"));
    profile->setUserAgent("Vantorell Chimely");
    dum.setClientAuthManager(std::make_unique<ClientAuthManager>());
    dum.setClientRegistrationHandler(this);
    dum.setServerPagerMessageHandler(this);
    dum.setClientPagerMessageHandler(this);
    dum.addServerSubscriptionHandler("presence", this);
    dum.setInviteSessionHandler(this);
    dum.addClientPublicationHandler("presence", this);
    dum.setKeepAliveManager(std::make_unique<KeepAliveManager>());
    stackThread.run();
}

TestAgent::~TestAgent() {
    stackThread.shutdown();
    stackThread.join();
}

void TestAgent::setIdentity(const std::string& address, const std::string& password) {
    aor = NameAddr(Uri(Data(address)));
    profile->setDefaultFrom(aor);
    profile->setDigestCredential(aor.uri().host(), aor.uri().getAor(), Data(password));
}

void TestAgent::setOutboundProxy(const std::string& uri) {
    profile->setOutboundProxy(Uri(Data(uri)));
}

bool TestAgent::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (!dum.process())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void TestAgent::pumpFor(std::chrono::milliseconds duration) {
    pumpUntil([] { return false; }, duration);
}

std::vector<std::string> TestAgent::callbacks(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& callback : m_callbacks)
        if (callback.rfind(prefix, 0) == 0)
            found.push_back(callback);
    return found;
}

void TestAgent::record(const std::string& callback, const SipMessage* message) {
    std::string text = callback;
    if (message && message->statusCode())
        text += " " + std::to_string(message->statusCode()) + " " + message->reasonPhrase().str();
    else if (message && message->isRequest())
        text += " " + message->method().str();
    m_callbacks.push_back(text);
}

void TestAgent::onSuccess(ClientRegistrationHandle h, const SipMessage& m) {
    registration = h;
    record("registration.onSuccess", &m);
    if (registered)
        registered(h);
}
void TestAgent::onRemoved(ClientRegistrationHandle, const SipMessage& m) {
    record("registration.onRemoved", &m);
}
int TestAgent::onRequestRetry(ClientRegistrationHandle h, int, const SipMessage& m) {
    record("registration.onRequestRetry", &m);
    return retryAnswer(h);
}
void TestAgent::onFailure(ClientRegistrationHandle h, const SipMessage& m) {
    registration = h;
    record("registration.onFailure", &m);
}
void TestAgent::onSuccess(ClientPagerMessageHandle h, const SipMessage& m) {
    record("pager.onSuccess", &m);
    h->end();
}
void TestAgent::onFailure(ClientPagerMessageHandle h, const SipMessage& m,
                          std::unique_ptr<Contents> contents) {
    record("pager.onFailure", &m);
    if (contents)
        record("pager.returned " + contents->getBodyData().str());
    h->end();
}
void TestAgent::onMessageArrived(ServerPagerMessageHandle h, const SipMessage& m) {
    received.push_back(m);
    record("onMessageArrived", &m);
    if (messageArrived)
        messageArrived(h, m);
}
void TestAgent::onNewSubscription(ServerSubscriptionHandle h, const SipMessage& m) {
    subscriptions.push_back(h);
    record("onNewSubscription", &m);
    if (newSubscription)
        newSubscription(h, m);
}
void TestAgent::onTerminated(ServerSubscriptionHandle) {
    record("subscription.onTerminated");
}
void TestAgent::onError(ServerSubscriptionHandle, const SipMessage& m) {
    record("subscription.onError", &m);
}
void TestAgent::onNewSession(ClientInviteSessionHandle, OfferAnswerType, const SipMessage& m) {
    record("client.onNewSession", &m);
}
void TestAgent::onNewSession(ServerInviteSessionHandle h, OfferAnswerType, const SipMessage& m) {
    received.push_back(m);
    record("server.onNewSession", &m);
    if (newServerSession)
        newServerSession(h, m);
}
void TestAgent::onFailure(ClientInviteSessionHandle, const SipMessage& m) {
    record("session.onFailure", &m);
}
void TestAgent::onEarlyMedia(ClientInviteSessionHandle, const SipMessage& m, const SdpContents&) {
    record("onEarlyMedia", &m);
}
void TestAgent::onProvisional(ClientInviteSessionHandle, const SipMessage& m) {
    record("onProvisional", &m);
}
void TestAgent::onConnected(ClientInviteSessionHandle h, const SipMessage& m) {
    record("client.onConnected", &m);
    if (connected)
        connected(h, m);
}
void TestAgent::onConnected(InviteSessionHandle, const SipMessage& m) {
    record("server.onConnected", &m);
}
void TestAgent::onTerminated(InviteSessionHandle, TerminatedReason reason, const SipMessage*) {
    record("session.onTerminated " + std::to_string(reason));
}
void TestAgent::onForkDestroyed(ClientInviteSessionHandle) {
    record("onForkDestroyed");
}
void TestAgent::onRedirected(ClientInviteSessionHandle, const SipMessage& m) {
    record("onRedirected", &m);
}
void TestAgent::onAnswer(InviteSessionHandle, const SipMessage& m, const SdpContents&) {
    record("onAnswer", &m);
}
void TestAgent::onOffer(InviteSessionHandle, const SipMessage& m, const SdpContents&) {
    record("onOffer", &m);
}
void TestAgent::onOfferRequired(InviteSessionHandle, const SipMessage& m) {
    record("onOfferRequired", &m);
}
void TestAgent::onOfferRejected(InviteSessionHandle, const SipMessage*) {
    record("onOfferRejected");
}
void TestAgent::onInfo(InviteSessionHandle h, const SipMessage& m) {
    record("onInfo", &m);
    if (info)
        info(h, m);
}
void TestAgent::onInfoSuccess(InviteSessionHandle, const SipMessage& m) {
    record("onInfoSuccess", &m);
}
void TestAgent::onInfoFailure(InviteSessionHandle, const SipMessage& m) {
    record("onInfoFailure", &m);
}
void TestAgent::onMessage(InviteSessionHandle h, const SipMessage& m) {
    received.push_back(m);
    record("session.onMessage", &m);
    if (inDialogMessage)
        inDialogMessage(h, m);
}
void TestAgent::onMessageSuccess(InviteSessionHandle h, const SipMessage& m) {
    record("session.onMessageSuccess", &m);
    if (messageOutcome)
        messageOutcome(h, m);
}
void TestAgent::onMessageFailure(InviteSessionHandle h, const SipMessage& m) {
    record("session.onMessageFailure", &m);
    if (messageOutcome)
        messageOutcome(h, m);
}
void TestAgent::onRefer(InviteSessionHandle, ServerSubscriptionHandle, const SipMessage& m) {
    record("onRefer", &m);
}
void TestAgent::onReferNoSub(InviteSessionHandle, const SipMessage& m) {
    record("onReferNoSub", &m);
}
void TestAgent::onReferRejected(InviteSessionHandle, const SipMessage& m) {
    record("onReferRejected", &m);
}
void TestAgent::onReferAccepted(InviteSessionHandle, ClientSubscriptionHandle, const SipMessage& m) {
    record("onReferAccepted", &m);
}
void TestAgent::onSuccess(ClientPublicationHandle, const SipMessage& m) {
    record("publication.onSuccess", &m);
}
void TestAgent::onRemove(ClientPublicationHandle, const SipMessage& m) {
    record("publication.onRemove", &m);
}
void TestAgent::onFailure(ClientPublicationHandle, const SipMessage& m) {
    record("publication.onFailure", &m);
}
int TestAgent::onRequestRetry(ClientPublicationHandle, int, const SipMessage& m) {
    record("publication.onRequestRetry", &m);
    return -1;
}
void TestAgent::onDumCanBeDeleted() {
    canBeDeleted = true;
    record("onDumCanBeDeleted");
}

}  // namespace test
