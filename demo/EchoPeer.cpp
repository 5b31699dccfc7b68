// SPDX-License-Identifier: MIT
#include "EchoPeer.h"

#include "sip/Contents.h"
#include "sip/SdpContents.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace demo {
namespace {

constexpr std::uint32_t kRegistrationTime = 600;
constexpr int kPumpIntervalMs = 50;
// The watched user may sign in after us, or sign out and back in: ask again this often.
constexpr int kWatchAgainMs = 3000;

// A port free for both UDP and TCP on every IPv4 address, as the stack binds it.
int freePort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t size = sizeof address;
        bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(udp, reinterpret_cast<sockaddr*>(&address), &size);
        const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool both = bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(tcp);
        close(udp);
        if (both)
            return ntohs(address.sin_port);
    }
    return 0;
}

bool isMessageSessionOffer(const sip::SdpContents* offer) {
    return offer && offer->session().media().size() == 1 &&
           offer->session().media().front().name() == "message";
}

}  // namespace

EchoPeer::EchoPeer(Options options)
    : m_options(std::move(options)),
      m_port(m_options.port ? m_options.port : freePort()),
      m_dum(m_stack),
      m_stackThread(m_stack) {
    m_pumpTimer.setInterval(kPumpIntervalMs);
    connect(&m_pumpTimer, &QTimer::timeout, this, &EchoPeer::pump);
    m_watchAgain.setSingleShot(true);
    m_watchAgain.setInterval(kWatchAgainMs);
    connect(&m_watchAgain, &QTimer::timeout, this, &EchoPeer::watch);
    m_stopLimit.setSingleShot(true);
    connect(&m_stopLimit, &QTimer::timeout, this, &EchoPeer::finishStop);
}

EchoPeer::~EchoPeer() {
    if (m_threadRunning) {
        m_stackThread.shutdown();
        m_stackThread.join();
    }
}

void EchoPeer::say(const std::string& line) const {
    if (log)
        log(line);
}

bool EchoPeer::start() {
    auto profile = std::make_shared<sip::MasterProfile>();
    m_dum.setMasterProfile(profile);
    m_dum.addTransport(m_options.tcp ? sip::TCP : sip::UDP, m_port, sip::V4);
    profile->setDefaultRegistrationTime(kRegistrationTime);
    profile->addSupportedMethod(sip::MESSAGE);
    profile->addSupportedMimeType(sip::MESSAGE, sip::Mime("text", "plain"));
    profile->addSupportedMethod(sip::INFO);
    // The stack answers a method the profile does not list with 405: the watch's NOTIFYs must be listed.
    profile->addSupportedMethod(sip::NOTIFY);
    profile->addSupportedMimeType(sip::NOTIFY, sip::Mime("application", "pidf+xml"));
    profile->setUserAgent("Chimely demo echo peer");
    m_aor = sip::NameAddr(sip::Uri(sip::Data("sip:" + m_options.aor)));
    m_aor.displayName() = "Echo";
    profile->setDefaultFrom(m_aor);
    profile->setDigestCredential(m_aor.uri().host(), m_aor.uri().getAor(), sip::Data(m_options.password));
    if (!m_options.outboundProxy.empty())
        profile->setOutboundProxy(sip::Uri(sip::Data(m_options.outboundProxy)));
    m_dum.setClientAuthManager(std::make_unique<sip::ClientAuthManager>());
    m_dum.setClientRegistrationHandler(this);
    m_dum.setServerPagerMessageHandler(this);
    m_dum.setClientPagerMessageHandler(this);
    m_dum.setInviteSessionHandler(this);

    m_stack.setWakeHandler([this] {
        if (m_pumpPosted)
            return;
        m_pumpPosted = true;
        QMetaObject::invokeMethod(this, &EchoPeer::pump, Qt::QueuedConnection);
    });
    m_stackThread.run();
    m_threadRunning = true;
    if (!m_stack.isRunning()) {
        say("cannot open the SIP port: " + m_stack.transportError());
        return false;
    }
    m_pumpTimer.start();
    say("signing in as " + m_options.aor + " on port " + std::to_string(m_port));
    m_dum.send(m_dum.makeRegistration(m_aor));
    watch();
    return true;
}

void EchoPeer::pump() {
    m_pumpPosted = false;
    // Bounded, so that a flood cannot keep the event loop from anything else.
    for (int handled = 0; handled < 100 && m_dum.process(); ++handled) {
    }
}

void EchoPeer::watch() {
    if (m_options.watch.empty() || m_stopping)
        return;
    const sip::NameAddr target(sip::Uri(sip::Data("sip:" + m_options.watch)));
    sip::PresenceWatch::Handlers handlers;
    handlers.answered = [this](int status, const std::string& phrase) {
        // Said once, not at every new attempt.
        if (status >= 300 && status != m_lastWatchFailure)
            say("watching " + m_options.watch + ": " + phrase + " (" + std::to_string(status) + ")");
        m_lastWatchFailure = status >= 300 ? status : 0;
    };
    handlers.notified = [this](const std::string& basic, const std::string& state) {
        const std::string status = state == "terminated" ? std::string() : basic;
        if (status != m_watchedStatus)
            say(m_options.watch + " is " + (status.empty() ? "gone" : status));
        m_watchedStatus = status;
    };
    handlers.ended = [this] {
        if (!m_stopping)
            m_watchAgain.start();
    };
    m_watch = sip::PresenceWatch::start(m_dum, target, std::move(handlers));
}

void EchoPeer::echo(const sip::SipMessage& text) {
    const std::string body = text.body().str();
    sip::NameAddr sender = text.from();
    say("text from " + sender.uri().getAor().str() + ": \"" + body + "\"");
    // An echo coming back (another echo peer) is not echoed again.
    if (body.rfind(echoOf(""), 0) == 0 || m_stopping)
        return;
    sender.displayName() = sip::Data();
    sip::ClientPagerMessageHandle page = m_dum.makePagerMessage(sender);
    page->page(std::make_unique<sip::PlainContents>(sip::Data(echoOf(body))));
}

void EchoPeer::onSuccess(sip::ClientRegistrationHandle handle, const sip::SipMessage&) {
    m_registration = handle;
    if (!m_registered)
        say("signed in as " + m_options.aor);
    m_registered = true;
}

void EchoPeer::onRemoved(sip::ClientRegistrationHandle, const sip::SipMessage&) {
    m_registered = false;
}

void EchoPeer::onFailure(sip::ClientRegistrationHandle, const sip::SipMessage& response) {
    m_registered = false;
    say("sign-in failed: " + response.reasonPhrase().str() + " (" + std::to_string(response.statusCode()) +
        ")");
}

void EchoPeer::onSuccess(sip::ClientPagerMessageHandle handle, const sip::SipMessage&) {
    ++m_echoed;
    say("echo delivered");
    handle->end();
}

void EchoPeer::onFailure(sip::ClientPagerMessageHandle handle, const sip::SipMessage& status,
                         std::unique_ptr<sip::Contents>) {
    say("echo not delivered: " + status.reasonPhrase().str() + " (" + std::to_string(status.statusCode()) +
        ")");
    handle->end();
}

void EchoPeer::onMessageArrived(sip::ServerPagerMessageHandle handle, const sip::SipMessage& message) {
    handle->send(handle->accept(200));
    echo(message);
}

void EchoPeer::onNewSession(sip::ServerInviteSessionHandle handle, OfferAnswerType,
                            const sip::SipMessage& invite) {
    const auto* offer = dynamic_cast<const sip::SdpContents*>(invite.getContents());
    if (isMessageSessionOffer(offer) && !m_stopping) {
        handle->provideAnswer(*offer);
        handle->accept(200);
    } else {
        handle->reject(488);
    }
}

void EchoPeer::onMessage(sip::InviteSessionHandle handle, const sip::SipMessage& message) {
    handle->acceptNIT(200);
    echo(message);
}

void EchoPeer::stop(std::function<void()> done, std::chrono::milliseconds limit) {
    m_done = std::move(done);
    if (m_stopping)
        return;
    m_stopping = true;
    m_watchAgain.stop();
    if (!m_threadRunning || !m_stack.isRunning())
        return finishStop();
    m_dum.shutdown(this);
    if (m_registration.isValid()) {
        m_registration->removeAll(false);
        m_registration->stopRegistering();
    }
    if (m_watch)
        m_watch->end();
    m_stopLimit.start(static_cast<int>(limit.count()));
}

// The stack's thread is joined outside the pump that reported the end.
void EchoPeer::onDumCanBeDeleted() {
    QMetaObject::invokeMethod(this, &EchoPeer::finishStop, Qt::QueuedConnection);
}

void EchoPeer::finishStop() {
    if (m_stopped)
        return;
    m_stopped = true;
    m_stopLimit.stop();
    m_pumpTimer.stop();
    if (m_threadRunning) {
        m_stackThread.shutdown();
        m_stackThread.join();
        m_threadRunning = false;
    }
    if (m_done)
        QMetaObject::invokeMethod(this, m_done, Qt::QueuedConnection);
}

}  // namespace demo
