// SPDX-License-Identifier: MIT
// CChimelyDlg and the texts that outlast their boxes: the history while the user keeps one (the store,
// the texts the agent hands it, its faults told once, the History window), and Reply and the unread
// count, which need no history. User-interface thread.
#include "platform/MessageBox.h"
#include "res/Resource.h"
#include "ui/ChimelyDlg.h"
#include "ui/HistoryDlg.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <chrono>

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A string-table text with its one "%s" filled in.
std::string withValue(int id, const std::string& value) {
    std::string text = LoadResourceString(id);
    const std::size_t at = text.find("%s");
    return at == std::string::npos ? text : text.replace(at, 2, value);
}

QString toQt(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
}

}  // namespace

void CChimelyDlg::ApplyHistorySetting(bool deleteKept) {
    if (m_nKeepHistory && !m_history) {
        auto post = [this](std::function<void()> call) {
            QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
        };
        // Each fault is told once, in a box that waits for nothing (the store tells a failing write once
        // until writing works again).
        auto told = [this](const history::Fault& fault) {
            if (m_bWindowGone)
                return;
            const std::string text = fault.kind == history::Fault::MovedAside
                                         ? withValue(IDS_HISTORY_MOVED_ASIDE, fault.detail)
                                         : withValue(IDS_HISTORY_NOT_WRITTEN, fault.detail);
            platform::OpenMessageBox(this, text, kProgramName, platform::MB_OK | platform::MB_ICONEXCLAMATION,
                                     nullptr);
        };
        m_history = std::make_unique<history::HistoryStore>(m_strHistoryFile, post, told);
    } else if (!m_nKeepHistory) {
        // What is queued is written first: the file is whole whether it stays or goes.
        m_history.reset();
        m_nSendTicket = 0;
        if (deleteKept)
            history::HistoryStore::RemoveFiles(m_strHistoryFile);
    }
    if (m_historyDlg)
        m_historyDlg->SetStore(m_history.get());
}

void CChimelyDlg::RecordReceived(const sip::SipMessage& message, history::Route route) {
    if (!m_history)
        return;
    const sip::Contents* contents = message.getContents();
    history::Text text;
    text.account = m_aor.uri().getAor().str();
    text.peer = message.from().uri().getAor().str();
    text.timeMs = nowMs();
    text.body = contents ? contents->getBodyData().str() : std::string();
    text.route = route;
    m_history->record(std::move(text));
    if (m_historyDlg)
        m_historyDlg->Changed();
}

void CChimelyDlg::RecordSent(const sip::NameAddr& target) {
    m_nSendTicket = 0;
    if (!m_history)
        return;
    history::Text text;
    text.account = m_aor.uri().getAor().str();
    text.peer = target.uri().getAor().str();
    text.direction = history::Direction::Sent;
    text.timeMs = nowMs();
    text.body = m_strMessage;
    text.route = history::Route::Session;
    m_nSendTicket = m_history->recordSent(std::move(text));
    if (m_historyDlg)
        m_historyDlg->Changed();
}

void CChimelyDlg::RecordOutcome(history::Route route, const sip::SipMessage& response) {
    if (!m_history || !m_nSendTicket)
        return;
    const int code = response.statusCode();
    // 202: taken by the peer's server for delivery later (RFC 3428), not yet read by anyone.
    const history::Outcome outcome =
        code >= 200 && code < 300 ? (code == 202 ? history::Outcome::Accepted : history::Outcome::Delivered)
                                  : history::Outcome::Failed;
    m_history->recordOutcome(m_nSendTicket, route, outcome, code, response.reasonPhrase().str());
    m_nSendTicket = 0;
    if (m_historyDlg)
        m_historyDlg->Changed();
}

void CChimelyDlg::OnHistory() {
    if (m_bWindowGone)
        return;
    if (!m_historyDlg) {
        CHistoryDlg::Actions actions{
            .reply = [this](const std::string& peer) { ReplyTo(peer); },
            .sendAgain = [this](const std::string& peer, const std::string& body) { SendAgain(peer, body); }};
        m_historyDlg = std::make_unique<CHistoryDlg>(std::move(actions));
        m_historyDlg->SetStore(m_history.get());
    }
    m_historyDlg->Open();
}

void CChimelyDlg::ReplyTo(const std::string& peer) {
    if (m_bWindowGone)
        return;
    m_cbTo->setEditText(toQt(peer));
    ShowMainWindow();
    m_edMessage->setFocus(Qt::OtherFocusReason);
}

void CChimelyDlg::SendAgain(const std::string& peer, const std::string& body) {
    if (m_bWindowGone)
        return;
    ShowMainWindow();
    // Only where Send could be pressed: nothing on its way, and the panel hidden or showing an outcome
    // that waits for Ok.
    if (m_edStatus->isVisibleTo(this)) {
        if (!m_btnOk->isVisibleTo(this))
            return;
        HideStatus();
    }
    m_cbTo->setEditText(toQt(peer));
    // As the edit holds it: line breaks as LF, which Send makes CR LF again.
    m_edMessage->setPlainText(toQt(body).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    OnSend();
}
