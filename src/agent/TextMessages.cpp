// SPDX-License-Identifier: MIT
// CChimelyDlg's text messages. Every received text is answered 200 before anything else happens; every
// usage the agent is handed is ended once its one outcome is in. User-interface thread.
#include "sip/SdpContents.h"
#include "ui/ChimelyDlg.h"

void CChimelyDlg::onMessageArrived(sip::ServerPagerMessageHandle handle, const sip::SipMessage&) {
    handle->send(handle->accept(200));
}

void CChimelyDlg::onMessage(sip::InviteSessionHandle handle, const sip::SipMessage&) {
    handle->acceptNIT(200);
    handle->end();
}

void CChimelyDlg::onSuccess(sip::ClientPagerMessageHandle handle, const sip::SipMessage&) {
    handle->end();
}

void CChimelyDlg::onFailure(sip::ClientPagerMessageHandle handle, const sip::SipMessage&,
                            std::unique_ptr<sip::Contents>) {
    handle->end();
}

void CChimelyDlg::onConnected(sip::ClientInviteSessionHandle handle, const sip::SipMessage&) {
    handle->end();
}

void CChimelyDlg::onFailure(sip::ClientInviteSessionHandle, const sip::SipMessage&) {}

void CChimelyDlg::onMessageSuccess(sip::InviteSessionHandle handle, const sip::SipMessage&) {
    handle->end();
}

void CChimelyDlg::onMessageFailure(sip::InviteSessionHandle handle, const sip::SipMessage&) {
    handle->end();
}
