// SPDX-License-Identifier: MIT
#include "platform/Dialog.h"

namespace platform {

CDialog::CDialog(QWidget* parent) : QDialog(parent), m_timers([this](unsigned id) { OnTimer(id); }) {}

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

bool CDialog::OnInitDialog() {
    return true;
}

void CDialog::OnTimer(unsigned) {}

void CDialog::OnDestroy() {}

}  // namespace platform
