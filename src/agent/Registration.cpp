// SPDX-License-Identifier: MIT
// CChimelyDlg's registration: signing in from the settings, keeping the user signed in, reconnecting a
// minute after a failure, and removing the registration when the user leaves. What the user sees of the
// connection is the status panel's text. User-interface thread.
//
//   agent                 registrar
//     | REGISTER (1800 s)    |   "Connecting..."
//     |--------------------->|
//     |        401           |
//     |<---------------------|
//     | REGISTER + digest    |
//     |--------------------->|
//     |        200           |   "Connected" for 3000 ms
//     |<---------------------|
//     ...
//     | REGISTER Contact: *  |   Disconnect: "Disconnecting...", "Disconnected"
//     |--------------------->|
//
// Disconnect also abandons a REGISTER still waiting for its answer (a domain being resolved, a registrar
// that does not answer): what comes of it later is never shown.
#include "agent/TerminateSubscriptionFunctor.h"
#include "res/Resource.h"
#include "sip/ParseException.h"
#include "ui/ChimelyDlg.h"

void CChimelyDlg::Connect() {
    KillTimer(kReconnectTimerId);
    if (m_nStatusId == IDS_CONNECTING || m_nStatusId == IDS_CONNECTED)
        return;
    ShowStatusId(IDS_CONNECTING);
    if (m_hRegistration.isValid() && !m_hRegistration->myContacts().empty())
        return;

    sip::Uri signin;
    try {
        signin = sip::Uri(sip::Data("sip:" + m_strSigninName));
    } catch (const sip::ParseException&) {
        ShowStatusId(IDS_INVALID_SIGNIN);
        return;
    }
    m_aor.uri() = signin;
    // A display name the user removed stays in use until the next start.
    if (!m_strDisplayName.empty())
        m_aor.displayName() = m_strDisplayName;

    const std::shared_ptr<sip::MasterProfile>& profile = m_dum.getMasterProfile();
    profile->setDefaultFrom(m_aor);
    profile->setDigestCredential(m_aor.uri().host(), m_aor.uri().getAor(), m_strPassword);
    if (m_nOutboundProxy) {
        try {
            profile->setOutboundProxy(sip::Uri(sip::Data("sip:" + m_strServer)));
        } catch (const sip::ParseException&) {
            ShowStatusId(IDS_INVALID_SERVER);
            return;
        }
    } else {
        profile->unsetOutboundProxy();
    }
    m_dum.send(m_dum.makeRegistration(m_aor));
}

void CChimelyDlg::Disconnect() {
    ShowStatusId(IDS_DISCONNECTING);
    if (m_hRegistration.isValid() && !m_hRegistration->myContacts().empty()) {
        m_hRegistration->removeAll(false);
        m_hRegistration->stopRegistering();
    }
    // A sign-in still waiting for its answer ends here too: that answer, however late, belongs to settings
    // no longer in use, and must neither replace what the panel shows then nor hold up the shutdown.
    for (sip::ClientRegistrationHandle& pending : m_dum.getClientRegistrations())
        pending->end();
    TerminateSubscriptionFunctor terminate;
    m_dum.applyToAllServerSubscriptions(&terminate);
    ShowStatusId(IDS_DISCONNECTED);
}

// A failure that came from the network's going away (a laptop offline, another Wi-Fi) would otherwise
// keep the user signed out for up to a minute after it came back. A registration in place follows the
// change by itself (the stack refreshes it from the new addresses).
void CChimelyDlg::OnNetworkChanged() {
    if (IsTimerActive(kReconnectTimerId))
        Connect();
}

void CChimelyDlg::onSuccess(sip::ClientRegistrationHandle handle, const sip::SipMessage&) {
    m_hRegistration = handle;
    ShowStatusId(IDS_CONNECTED);
    StartStatusTimer(kStatusShowMs);
}

void CChimelyDlg::onRemoved(sip::ClientRegistrationHandle, const sip::SipMessage&) {
    ShowStatusId(IDS_DISCONNECTED);
}

// The agent's own reconnect is the only retry: the usage manager never sends a REGISTER again by itself.
int CChimelyDlg::onRequestRetry(sip::ClientRegistrationHandle, int, const sip::SipMessage&) {
    return -1;
}

void CChimelyDlg::onFailure(sip::ClientRegistrationHandle handle, const sip::SipMessage& response) {
    m_hRegistration = handle;
    ShowRegistrationFailure(response);
    SetTimer(kReconnectTimerId, m_delays.reconnectMs);
}
