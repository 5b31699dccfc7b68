// SPDX-License-Identifier: MIT
// CChimelyDlg's window side: construction, initialisation, the window timers and the end of the window.
#include "ui/ChimelyDlg.h"

#include "platform/Network.h"
#include "res/Resource.h"

CChimelyDlg::CChimelyDlg(bool startHidden, QWidget* parent)
    : platform::CDialog(parent),
      m_dum(m_stack),
      m_stackThread(m_stack),
      m_bDumCanBeDeleted(0),
      m_bInTray(startHidden),
      m_pumpSoon([this] { ProcessDum(); }) {
    setWindowTitle(QString::fromLatin1(kMainDialogCaption));
    Load();
    DefaultSigninName();
    m_localAddress = platform::LocalIPv4Address();
}

CChimelyDlg::~CChimelyDlg() = default;

bool CChimelyDlg::OnInitDialog() {
    SetTimer(kPumpTimerId, kPumpIntervalMs);
    m_strTransportError = InitStack().value_or(std::string());
    return true;
}

void CChimelyDlg::OnTimer(unsigned id) {
    if (id == kPumpTimerId)
        ProcessDum();
}

void CChimelyDlg::OnDestroy() {
    platform::CDialog::OnDestroy();
    ShutdownStack();
}
