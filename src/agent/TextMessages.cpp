// SPDX-License-Identifier: MIT
// CChimelyDlg's text messages. A text goes out in a message session, and as a pager MESSAGE when the
// session cannot be had; every received text is answered 200 first and then shown in a box of its own.
// User-interface thread.
//
//   agent                peer                  agent                 peer
//     | INVITE (message)   |                     | INVITE (message)    |
//     |------------------->|                     |-------------------->|
//     |       200          |                     |   488 (any failure) |
//     |<-------------------|                     |<--------------------|
//     | ACK, MESSAGE       |                     | MESSAGE (pager)     |
//     |------------------->|                     |-------------------->|
//     |       200          |                     |       200           |
//     |<-------------------|                     |<--------------------|
//     | BYE                |                       "Message has been sent"
//     |------------------->|
#include "platform/Kernel.h"
#include "platform/MessageBox.h"
#include "res/Resource.h"
#include "sip/ParseException.h"
#include "sip/SdpContents.h"
#include "ui/ChimelyDlg.h"

#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

namespace {

constexpr const char* kSipScheme = "sip:";
constexpr std::size_t kSipSchemeLength = 4;
// A To text that does not parse as a SIP address once completed.
constexpr const char* kInvalidRecipient = "Invalid recipient address";

// The local time as "%A, %H:%M", by the C library's rules in its default ("C") locale.
std::string timeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return std::string();
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::put_time(&local, "%A, %H:%M");
    return text.str();
}

// Typing indications (RFC 3994) and delivery notices (RFC 5438), bare or wrapped in CPIM: answered 200
// as any text is, then neither shown nor kept. The agent sends neither.
bool isNotice(const sip::SipMessage& message) {
    const sip::Contents* contents = message.getContents();
    const sip::Mime type = contents ? contents->getType() : message.contentType();
    return type == kIsComposingType || type == kImdnType;
}

bool startsWithSipScheme(const std::string& text) {
    if (text.size() < kSipSchemeLength)
        return false;
    for (std::size_t i = 0; i < kSipSchemeLength; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != kSipScheme[i])
            return false;
    return true;
}

}  // namespace

void CChimelyDlg::CompleteRecipient() {
    if (m_strTo.find('@') == std::string::npos)
        m_strTo += "@" + m_aor.uri().host().str();
    if (!startsWithSipScheme(m_strTo))
        m_strTo = kSipScheme + m_strTo;
}

bool CChimelyDlg::ParseRecipient(sip::NameAddr& target) {
    try {
        target = sip::NameAddr(sip::Uri(sip::Data(m_strTo)));
        return true;
    } catch (const sip::ParseException&) {
        ShowStatus(kInvalidRecipient, true);
        return false;
    }
}

sip::SdpContents& CChimelyDlg::BuildMessageOffer(sip::SdpContents& offer) {
    sip::SdpContents::Session& session = offer.session();
    session.version() = 0;
    session.origin() = {"-", 0, 0, sip::SdpContents::IP4, m_localAddress};
    session.name() = "session";
    session.connection() = {sip::SdpContents::IP4, m_localAddress};
    session.addTime({0, 0});
    sip::SdpContents::Session::Medium medium("message", 5060, 0, "sip");
    medium.addFormat(m_aor.uri().getAor());
    session.addMedium(medium);
    return offer;
}

void CChimelyDlg::StartSend() {
    ShowStatusId(IDS_SENDING);
    sip::NameAddr target;
    if (!ParseRecipient(target))
        return;
    RecordSent(target);
    sip::SdpContents offer;
    m_dum.send(m_dum.makeInviteSession(target, BuildMessageOffer(offer)));
}

void CChimelyDlg::onConnected(sip::ClientInviteSessionHandle handle, const sip::SipMessage&) {
    handle->message(sip::PlainContents(m_strMessage));
}

// Any INVITE that ends without a dialog: the text goes as a pager MESSAGE to the same address.
void CChimelyDlg::onFailure(sip::ClientInviteSessionHandle, const sip::SipMessage&) {
    sip::NameAddr target;
    if (!ParseRecipient(target))
        return;
    m_dum.makePagerMessage(target)->page(std::make_unique<sip::PlainContents>(sip::Data(m_strMessage)));
}

void CChimelyDlg::onMessageSuccess(sip::InviteSessionHandle handle, const sip::SipMessage& response) {
    handle->end();
    RecordOutcome(history::Route::Session, response);
    OnMessageSent();
}

void CChimelyDlg::onMessageFailure(sip::InviteSessionHandle handle, const sip::SipMessage& response) {
    handle->end();
    RecordOutcome(history::Route::Session, response);
    OnMessageFailed(response);
}

void CChimelyDlg::onSuccess(sip::ClientPagerMessageHandle handle, const sip::SipMessage& status) {
    handle->end();
    RecordOutcome(history::Route::Pager, status);
    OnMessageSent();
}

void CChimelyDlg::onFailure(sip::ClientPagerMessageHandle handle, const sip::SipMessage& status,
                            std::unique_ptr<sip::Contents>) {
    handle->end();
    RecordOutcome(history::Route::Pager, status);
    OnMessageFailed(status);
}

void CChimelyDlg::onMessageArrived(sip::ServerPagerMessageHandle handle, const sip::SipMessage& message) {
    handle->send(handle->accept(200));
    if (isNotice(message))
        return;
    RecordReceived(message, history::Route::Pager);
    ShowIncomingMessage(message);
}

void CChimelyDlg::onMessage(sip::InviteSessionHandle handle, const sip::SipMessage& message) {
    handle->acceptNIT(200);
    handle->end();
    if (isNotice(message))
        return;
    RecordReceived(message, history::Route::Session);
    ShowIncomingMessage(message);
}

// Each text gets a box of its own, modal to the main window, the newest on top. The boxes do not run event
// loops of their own inside the stack's callback, and only so many are open at once: the others wait, in
// order of arrival, for a box to close, holding the received contents themselves (which the SIP layer
// counts, refusing texts it could not show). A peer's text and name are shown as plain text. A sender
// that gives no display name is named by its address, user@host, so that the title always says who wrote.
void CChimelyDlg::ShowIncomingMessage(const sip::SipMessage& message) {
    // Answered all the same: with the display gone there is nowhere to show it.
    if (m_bWindowGone)
        return;
    const sip::NameAddr& from = message.from();
    const std::string sender =
        from.displayName().empty() ? from.uri().getAor().str() : from.displayName().str();
    const std::string title = "Vantorell Chimely - Message [ " + sender + ", " + timeText() + " ]";
    PendingMessage pending{title, from.uri().getAor().str(), message.sharedContents()};
    if (m_openMessageBoxes < kMaxOpenMessageBoxes)
        OpenMessageBox(std::move(pending));
    else
        m_pendingMessages.push_back(std::move(pending));
    UpdateTrayTip();
}

void CChimelyDlg::OpenMessageBox(PendingMessage message) {
    ++m_openMessageBoxes;
    const std::string text = message.contents ? message.contents->getBodyData().str() : std::string();
    // OK, or Reply: the box closes either way, and Reply then takes the user to the main window.
    platform::OpenMessageBox(
        this, text, message.title, platform::MB_OKREPLY | platform::MB_ICONINFORMATION,
        [this, peer = std::move(message.peer)](int button) {
            --m_openMessageBoxes;
            if (!m_pendingMessages.empty()) {
                PendingMessage next = std::move(m_pendingMessages.front());
                m_pendingMessages.pop_front();
                OpenMessageBox(std::move(next));
            }
            UpdateTrayTip();
            if (button == platform::IDREPLY)
                ReplyTo(peer);
        },
        kReplyButton);
}
