// SPDX-License-Identifier: MIT
// CChimelyDlg's answers to what peers ask of it: message sessions accepted or refused, INFO answered,
// presence subscriptions answered "open" and ended with a final NOTIFY. User-interface thread.
//
//   subscriber            agent
//     | SUBSCRIBE presence   |
//     |--------------------->|
//     |        202           |
//     |<---------------------|
//     | NOTIFY (PIDF "open") |
//     |<---------------------|
//     ...
//     | NOTIFY terminated;reason=deactivated, no body   (Disconnect)
//     |<---------------------|
#include "agent/TerminateSubscriptionFunctor.h"
#include "ui/ChimelyDlg.h"

namespace {

constexpr std::uint32_t kDefaultSubscriptionExpires = 1800;
constexpr const char* kMessageMedium = "message";

// A message session's offer holds exactly one medium, named "message" in exactly that case.
bool isMessageSessionOffer(const sip::SdpContents* offer) {
    return offer && offer->session().media().size() == 1 &&
           offer->session().media().front().name() == kMessageMedium;
}

}  // namespace

TerminateSubscriptionFunctor::~TerminateSubscriptionFunctor() = default;

void TerminateSubscriptionFunctor::apply(sip::ServerSubscriptionHandle handle) {
    // The NOTIFY that update() returns is dropped unsent: the call only takes the document off the
    // subscription, so that the final NOTIFY goes out without a body.
    handle->update(nullptr);
    handle->end(sip::ServerSubscriptionHandler::Deactivated);
}

std::unique_ptr<sip::Pidf> CChimelyDlg::BuildPresenceDocument() {
    auto document = std::make_unique<sip::Pidf>();
    document->setEntity(m_aor.uri());
    document->setSimpleId(m_aor.uri().getAor().md5());
    document->setSimpleStatus(true);
    return document;
}

void CChimelyDlg::onNewSession(sip::ServerInviteSessionHandle handle, OfferAnswerType,
                               const sip::SipMessage& invite) {
    const auto* offer = dynamic_cast<const sip::SdpContents*>(invite.getContents());
    if (isMessageSessionOffer(offer)) {
        handle->provideAnswer(*offer);
        handle->accept(200);
    } else {
        handle->reject(488);
    }
}

void CChimelyDlg::onInfo(sip::InviteSessionHandle handle, const sip::SipMessage&) {
    handle->acceptNIT(200);
}

void CChimelyDlg::onNewSubscription(sip::ServerSubscriptionHandle handle, const sip::SipMessage&) {
    handle->send(handle->accept(202));
    const std::unique_ptr<sip::Pidf> document = BuildPresenceDocument();
    handle->send(handle->update(document.get()));
}

void CChimelyDlg::onTerminated(sip::ServerSubscriptionHandle) {}

void CChimelyDlg::onError(sip::ServerSubscriptionHandle, const sip::SipMessage&) {}

bool CChimelyDlg::hasDefaultExpires() const {
    return true;
}

std::uint32_t CChimelyDlg::getDefaultExpires() const {
    return kDefaultSubscriptionExpires;
}

// Callbacks of sessions that change nothing the user sees.
void CChimelyDlg::onNewSession(sip::ClientInviteSessionHandle, OfferAnswerType, const sip::SipMessage&) {}
void CChimelyDlg::onEarlyMedia(sip::ClientInviteSessionHandle, const sip::SipMessage&,
                               const sip::SdpContents&) {}
void CChimelyDlg::onProvisional(sip::ClientInviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onConnected(sip::InviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onTerminated(sip::InviteSessionHandle, TerminatedReason, const sip::SipMessage*) {}
void CChimelyDlg::onForkDestroyed(sip::ClientInviteSessionHandle) {}
void CChimelyDlg::onRedirected(sip::ClientInviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onAnswer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) {}
void CChimelyDlg::onOffer(sip::InviteSessionHandle, const sip::SipMessage&, const sip::SdpContents&) {}
void CChimelyDlg::onOfferRequired(sip::InviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onOfferRejected(sip::InviteSessionHandle, const sip::SipMessage*) {}
void CChimelyDlg::onInfoSuccess(sip::InviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onInfoFailure(sip::InviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onRefer(sip::InviteSessionHandle, sip::ServerSubscriptionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onReferNoSub(sip::InviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onReferRejected(sip::InviteSessionHandle, const sip::SipMessage&) {}
void CChimelyDlg::onReferAccepted(sip::InviteSessionHandle, sip::ClientSubscriptionHandle,
                                  const sip::SipMessage&) {}

// The agent never publishes: none of these is ever called.
void CChimelyDlg::onSuccess(sip::ClientPublicationHandle, const sip::SipMessage&) {}
void CChimelyDlg::onRemove(sip::ClientPublicationHandle, const sip::SipMessage&) {}
void CChimelyDlg::onFailure(sip::ClientPublicationHandle, const sip::SipMessage&) {}
int CChimelyDlg::onRequestRetry(sip::ClientPublicationHandle, int, const sip::SipMessage&) {
    return -1;
}
