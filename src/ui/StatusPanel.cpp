// SPDX-License-Identifier: MIT
// The status panel of the main window: a read-only text line and an "Ok" button over the compose
// controls, which are disabled while it is up. Its text id is the program's memory of the connection
// state; "Connected" and "Disconnected" also switch the tray icon's image and its tooltip, as does a
// failed sign-in. While the Ok button is up it is the focused default button, so that Enter and Space
// acknowledge; otherwise the focus rests on the text. Either way Enter never presses the button the focus
// would fall to when the compose controls are disabled (Home). User-interface thread.
#include "res/Resource.h"
#include "ui/ChimelyDlg.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

// "<reason phrase> (<status code>)".
std::string responseText(const sip::SipMessage& response) {
    return response.reasonPhrase().str() + " (" + std::to_string(response.statusCode()) + ")";
}

}  // namespace

void CChimelyDlg::ShowStatus(const std::string& text, bool withOk) {
    m_nStatusId = -1;
    m_strStatus = text;
    m_bStatusWithOk = withOk;
    if (m_bWindowGone || !m_edStatus)
        return;
    EnableCompose(false);
    m_edStatus->setText(QString::fromLocal8Bit(text.data(), qsizetype(text.size())));
    m_edStatus->setCursorPosition(0);
    m_edStatus->show();
    m_edStatus->raise();
    m_btnOk->setVisible(withOk);
    m_btnOk->raise();
    auto* send = qobject_cast<QPushButton*>(GetDlgItem(IDC_SEND));
    if (withOk) {
        m_btnOk->setDefault(true);
        m_btnOk->setFocus(Qt::OtherFocusReason);
    } else {
        if (send)
            send->setDefault(true);
        // Nothing to press: the focus rests on the text rather than falling to Home.
        m_edStatus->setFocus(Qt::OtherFocusReason);
    }
    update();
}

void CChimelyDlg::ShowStatusId(int id) {
    ShowStatus(LoadResourceString(id), false);
    m_nStatusId = id;
    if (m_bWindowGone)
        return;
    if (id == IDS_CONNECTED)
        SetTrayState(&m_hIconConnected, std::string(kTrayConnectedAs) + m_aor.uri().getAor().str() +
                                            (m_transport == sip::TLS ? kTrayEncrypted : ""));
    else if (id == IDS_DISCONNECTED)
        SetTrayState(&m_hIconDisconnected, kTrayNotConnected);
}

// What the panel was asked to show before it existed.
void CChimelyDlg::ReplayStatus() {
    const int id = m_nStatusId;
    ShowStatus(m_strStatus, m_bStatusWithOk);
    m_nStatusId = id;
}

void CChimelyDlg::SetTrayState(HICON image, const std::string& state) {
    m_trayImage = image;
    m_trayIcon.SetIcon(image);
    m_trayIcon.SetTooltipText(TrayTip(state).c_str());
}

void CChimelyDlg::ShowResponseStatus(const sip::SipMessage& response, bool withOk) {
    ShowStatus(responseText(response), withOk);
}

// The status id stays -1, as for any response; only the tray follows the connection state.
void CChimelyDlg::ShowRegistrationFailure(const sip::SipMessage& response) {
    ShowResponseStatus(response, false);
    if (m_bWindowGone)
        return;
    SetTrayState(&m_hIconDisconnected, std::string(kTrayNotConnected) + ": " + responseText(response));
}

std::string CChimelyDlg::TrayTip(const std::string& state) {
    m_strTrayState = state;
    std::string tip = std::string(kMainDialogCaption) + "\n" + state;
    const std::size_t unread = UnreadTexts();
    if (unread == 0)
        return tip;
    const std::string line = "\n" + std::to_string(unread) + (unread == 1 ? kTrayUnreadOne : kTrayUnreadMany);
    // The state gives way, so that the count is always seen whole.
    if (tip.size() + line.size() > kTrayTipChars)
        tip.resize(kTrayTipChars - line.size());
    return tip + line;
}

void CChimelyDlg::UpdateTrayTip() {
    if (!m_bWindowGone)
        m_trayIcon.SetTooltipText(TrayTip(m_strTrayState).c_str());
}

void CChimelyDlg::StartStatusTimer(unsigned ms) {
    SetTimer(kStatusTimerId, ms);
}

void CChimelyDlg::HideStatus() {
    KillTimer(kStatusTimerId);
    m_edStatus->hide();
    m_btnOk->hide();
    // After Ok has lost the focus: leaving, it would hand the default back to itself.
    if (auto* send = qobject_cast<QPushButton*>(GetDlgItem(IDC_SEND)))
        send->setDefault(true);
    EnableCompose(true);
    m_nStatusId = -1;
}

void CChimelyDlg::OnMessageSent() {
    if (m_bWindowGone)
        return;
    m_edMessage->clear();
    UpdateSendButton();
    ShowStatusId(IDS_MESSAGE_SENT);
    StartStatusTimer(kStatusShowMs);
}

void CChimelyDlg::OnMessageFailed(const sip::SipMessage& response) {
    ShowResponseStatus(response, true);
}

void CChimelyDlg::EnableCompose(bool enable) {
    for (int id : {IDC_TO, IDC_MESSAGE, IDC_TO_LABEL, IDC_MESSAGE_LABEL})
        if (QWidget* control = GetDlgItem(id))
            control->setEnabled(enable);
    if (enable) {
        UpdateSendButton();
        m_cbTo->setFocus();
    } else if (QWidget* send = GetDlgItem(IDC_SEND)) {
        send->setEnabled(false);
    }
}

void CChimelyDlg::UpdateSendButton() {
    if (auto* send = qobject_cast<QPushButton*>(GetDlgItem(IDC_SEND))) {
        send->setText(QStringLiteral("Send"));
        send->setEnabled(!m_edMessage->toPlainText().isEmpty());
    }
}
