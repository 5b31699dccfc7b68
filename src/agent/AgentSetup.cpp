// SPDX-License-Identifier: MIT
// CChimelyDlg's SIP side: setting the agent up, pumping the usage manager, and shutting it down.
// User-interface thread.
//
//   agent                 registrar / subscribers
//     | shutdown requested   |
//     | REGISTER Contact: *  |   Disconnect: bindings removed, not awaited
//     |--------------------->|
//     | NOTIFY terminated    |   every presence subscription ended
//     |--------------------->|
//     |   ...pumping, at most 10 s, until onDumCanBeDeleted
//     | stack thread stopped and joined
#include "ui/ChimelyDlg.h"

#include "platform/Kernel.h"

namespace {

constexpr std::uint32_t kRegistrationTime = 1800;
constexpr const char* kUserAgent = "Vantorell Chimely";

}  // namespace

std::optional<std::string> CChimelyDlg::InitStack() {
    auto profile = std::make_shared<sip::MasterProfile>();
    m_dum.setMasterProfile(profile);

    m_transport = m_nProtocol == kProtocolUdp ? sip::UDP : m_nProtocol == kProtocolTls ? sip::TLS : sip::TCP;
    m_dum.addTransport(m_transport, m_nLocalPort, sip::V4);
    if (!m_strCaCertificates.empty())
        m_dum.addCertificateAuthorities(sip::Data(m_strCaCertificates));

    profile->setDefaultRegistrationTime(kRegistrationTime);
    profile->addSupportedMethod(sip::INFO);
    profile->addSupportedMimeType(sip::INFO, sip::Mime("application", "xml"));
    profile->addSupportedMethod(sip::MESSAGE);
    profile->addSupportedMimeType(sip::MESSAGE, sip::Mime("text", "plain"));
    // Texts wrapped in CPIM (taken when they wrap one of these types), typing indications and delivery
    // notices: the last two are answered and then ignored.
    profile->addSupportedMimeType(sip::MESSAGE, sip::CpimType());
    profile->addSupportedMimeType(sip::MESSAGE, kIsComposingType);
    profile->addSupportedMimeType(sip::MESSAGE, kImdnType);
    profile->addSupportedMethod(sip::SUBSCRIBE);
    profile->addSupportedMimeType(sip::NOTIFY, sip::Pidf::getStaticType());
    profile->setUserAgent(kUserAgent);
    if (m_delays.datagramKeepAlive.count() > 0)
        profile->setKeepAliveTimeForDatagram(m_delays.datagramKeepAlive);
    if (m_delays.streamKeepAlive.count() > 0)
        profile->setKeepAliveTimeForStream(m_delays.streamKeepAlive);

    m_dum.setClientAuthManager(std::make_unique<sip::ClientAuthManager>());

    m_dum.setClientRegistrationHandler(this);
    m_dum.setServerPagerMessageHandler(this);
    m_dum.setClientPagerMessageHandler(this);
    m_dum.addServerSubscriptionHandler("presence", this);
    m_dum.setInviteSessionHandler(this);
    m_dum.addClientPublicationHandler("presence", this);

    m_dum.setKeepAliveManager(std::make_unique<sip::KeepAliveManager>());

    m_stack.setWakeHandler([this] { m_pumpSoon.post(); });
    m_stack.setNetworkHandler([this] { OnNetworkChanged(); });
    m_stackThread.run();
    if (!m_stack.isRunning())
        return m_stack.transportError();
    return std::nullopt;
}

void CChimelyDlg::ProcessDum() {
    unsigned handled = 0;
    while (m_dum.process())
        ++handled;
    if (handled) {
        m_nLastWorkTick = platform::GetTickCount();
        m_nEventsSinceRest += handled;
    }
}

// The stack frees a request up to a transaction's lifetime after it arrived, and the heap keeps what was
// freed: after a flood the resident size would stay at its peak. For as long as the stack may still be
// freeing after a burst of work, once a second, the free pages go back to the system; at rest the pump
// leaves the heap alone.
void CChimelyDlg::ReleaseMemoryAfterWork() {
    if (++m_nPumpsSinceTrim < kTrimEveryPumps)
        return;
    m_nPumpsSinceTrim = 0;
    if (static_cast<std::uint32_t>(platform::GetTickCount() - m_nLastWorkTick) > kTrimAfterWorkMs) {
        m_nEventsSinceRest = 0;
        return;
    }
    if (m_nEventsSinceRest >= kTrimAfterEvents)
        platform::ReleaseFreedMemory();
}

void CChimelyDlg::onDumCanBeDeleted() {
    m_bDumCanBeDeleted = 1;
}

void CChimelyDlg::ShutdownStack() {
    m_dum.shutdown(this);
    Disconnect();
    const std::uint32_t start = platform::GetTickCount();
    while (!m_bDumCanBeDeleted) {
        ProcessDum();
        platform::Sleep(kShutdownPollMs);
        // Unsigned: a wrap of the tick count in between does not make the wait longer.
        if (static_cast<std::uint32_t>(platform::GetTickCount() - start) > m_nShutdownWaitMs)
            break;
    }
    m_stackThread.shutdown();
    m_stackThread.join(m_stackStopWait);
}

// Called from inside exit(), with the event loop that drew the window stopped for good and the connection
// to the display broken: anything shown now would only reach for that connection. The pump above never
// needed the event loop.
void CChimelyDlg::ShutdownWithoutWindow() {
    m_bWindowGone = true;
    ShutdownStack();
}

void CChimelyDlg::LimitShutdownWait(std::uint32_t usagesMs, std::chrono::milliseconds stackStop) {
    m_nShutdownWaitMs = std::min(m_nShutdownWaitMs, usagesMs);
    m_stackStopWait = std::min(m_stackStopWait, stackStop);
}
