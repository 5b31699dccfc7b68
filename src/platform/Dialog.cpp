// SPDX-License-Identifier: MIT
#include "platform/Dialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

#include <optional>
#include <set>
#include <vector>

namespace platform {
namespace {

const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::registerEventType());

class PostedMessage : public QEvent {
public:
    PostedMessage(UINT message, WPARAM wParam, LPARAM lParam)
        : QEvent(kPostedMessage), message(message), wParam(wParam), lParam(lParam) {}
    const UINT message;
    const WPARAM wParam;
    const LPARAM lParam;
};

std::set<const CDialog*>& liveDialogs() {
    static std::set<const CDialog*> dialogs;
    return dialogs;
}

// Set once the run is ending: the result every modal loop ends with from then on.
std::optional<int> g_endAllResult;

}  // namespace

CDialog::CDialog(QWidget* parent)
    : QDialog(parent), m_timers([this](unsigned id) { SendMessage(WM_TIMER, id, 0); }) {
    liveDialogs().insert(this);
}

CDialog::~CDialog() {
    liveDialogs().erase(this);
}

// QDialog::exec would end its loop as soon as the window is hidden, and a window hidden into the
// notification area must keep running: the loop is the dialog's own, and only EndDialog ends it. A
// dialog blocks the window it belongs to, as Windows disables a modal dialog's owner, and nothing else:
// an application-modal window would block the notification-area icon too.
int CDialog::DoModal() {
    if (g_endAllResult)
        return *g_endAllResult;
    OnInitDialog();
    if (parentWidget() && windowModality() == Qt::NonModal)
        setWindowModality(Qt::WindowModal);
    show();
    QEventLoop loop;
    m_modalLoop = &loop;
    loop.exec(QEventLoop::DialogExec);
    m_modalLoop = nullptr;
    m_timers.killAll();
    OnDestroy();
    return m_modalResult;
}

void CDialog::EndDialog(int result) {
    m_modalResult = result;
    setResult(result);
    hide();
    if (m_modalLoop)
        m_modalLoop->exit(result);
}

void CDialog::EndAllModal(int result) {
    g_endAllResult = result;
    // EndDialog may run code that ends or destroys another dialog: the set is copied and each entry
    // looked up again before use.
    const std::vector<const CDialog*> dialogs(liveDialogs().begin(), liveDialogs().end());
    for (const CDialog* entry : dialogs) {
        if (!liveDialogs().count(entry))
            continue;
        auto* dialog = const_cast<CDialog*>(entry);
        if (dialog->m_modalLoop)
            dialog->EndDialog(result);
    }
}

HWND CDialog::GetSafeHwnd() const {
    return reinterpret_cast<HWND>(this);
}

CDialog* CDialog::FromHandle(HWND window) {
    auto* dialog = reinterpret_cast<const CDialog*>(window);
    return liveDialogs().count(dialog) ? const_cast<CDialog*>(dialog) : nullptr;
}

void CDialog::SetTimer(unsigned id, unsigned elapseMs) {
    m_timers.start(id, elapseMs);
}

void CDialog::KillTimer(unsigned id) {
    m_timers.kill(id);
}

bool CDialog::IsTimerActive(unsigned id) const {
    return m_timers.isActive(id);
}

QWidget* CDialog::GetDlgItem(int id) const {
    auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

void CDialog::SetDlgItem(int id, QWidget* control) {
    m_controls[id] = control;
}

LRESULT CDialog::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return WindowProc(message, wParam, lParam);
}

void CDialog::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    QCoreApplication::postEvent(this, new PostedMessage(message, wParam, lParam));
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_TIMER:
            OnTimer(static_cast<unsigned>(wParam));
            break;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
                EndDialog(static_cast<int>(LOWORD(wParam)));
            break;
        case WM_SYSCOMMAND:
            if (wParam == SC_CLOSE)
                SendMessage(WM_COMMAND, IDCANCEL);
            else if (wParam == SC_MINIMIZE)
                minimize();
            else if (wParam == SC_RESTORE)
                showNormal();
            break;
        default:
            break;
    }
    return 0;
}

void CDialog::minimize() {
    m_minimizing = true;
    setWindowState(windowState() | Qt::WindowMinimized);
    m_minimizing = false;
}

void CDialog::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized() || m_minimizing)
        return;
    // The minimize box: the window's message map decides what minimising means.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    SendMessage(WM_SYSCOMMAND, SC_MINIMIZE);
}

void CDialog::accept() {
    SendMessage(WM_COMMAND, IDOK);
}

void CDialog::reject() {
    SendMessage(WM_COMMAND, IDCANCEL);
}

void CDialog::closeEvent(QCloseEvent* event) {
    // The window decides for itself whether closing ends it.
    event->ignore();
    SendMessage(WM_SYSCOMMAND, SC_CLOSE);
}

void CDialog::customEvent(QEvent* event) {
    if (event->type() != kPostedMessage)
        return QDialog::customEvent(event);
    const auto* posted = static_cast<PostedMessage*>(event);
    WindowProc(posted->message, posted->wParam, posted->lParam);
}

bool CDialog::OnInitDialog() {
    return true;
}

void CDialog::OnTimer(unsigned) {}

void CDialog::OnDestroy() {}

}  // namespace platform
