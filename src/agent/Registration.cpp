// SPDX-License-Identifier: MIT
// CChimelyDlg's registration: the removal of its bindings when it disconnects, and the registration
// callbacks. User-interface thread.
#include "agent/TerminateSubscriptionFunctor.h"
#include "ui/ChimelyDlg.h"

void CChimelyDlg::Disconnect() {
    if (m_hRegistration.isValid() && !m_hRegistration->myContacts().empty()) {
        m_hRegistration->removeAll(false);
        m_hRegistration->stopRegistering();
    }
    TerminateSubscriptionFunctor terminate;
    m_dum.applyToAllServerSubscriptions(&terminate);
}

void CChimelyDlg::onSuccess(sip::ClientRegistrationHandle handle, const sip::SipMessage&) {
    m_hRegistration = handle;
}

void CChimelyDlg::onRemoved(sip::ClientRegistrationHandle, const sip::SipMessage&) {}

// The agent's own reconnect is the only retry: the usage manager never sends a REGISTER again by itself.
int CChimelyDlg::onRequestRetry(sip::ClientRegistrationHandle, int, const sip::SipMessage&) {
    return -1;
}

void CChimelyDlg::onFailure(sip::ClientRegistrationHandle handle, const sip::SipMessage&) {
    m_hRegistration = handle;
}
