// SPDX-License-Identifier: MIT
#include "platform/Dialog.h"

#include <QCoreApplication>
#include <QEvent>

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

}  // namespace

CDialog::CDialog(QWidget* parent)
    : QDialog(parent), m_timers([this](unsigned id) { SendMessage(WM_TIMER, id, 0); }) {}

CDialog::~CDialog() = default;

int CDialog::DoModal() {
    OnInitDialog();
    const int result = exec();
    m_timers.killAll();
    OnDestroy();
    return result;
}

void CDialog::EndDialog(int result) {
    done(result);
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
    if (message == WM_TIMER)
        OnTimer(static_cast<unsigned>(wParam));
    return 0;
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
