// SPDX-License-Identifier: MIT
#include "platform/SessionEnd.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The signal handler may only write: the byte wakes the event loop, which runs the handler.
int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[0], &byte, 1);
    errno = saved;
}

}  // namespace

SessionEnd::SessionEnd(std::function<void()> ending, std::function<void()> terminated)
    : m_ending(std::move(ending)), m_terminated(std::move(terminated)) {
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(application, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
            if (m_ending)
                m_ending();
        });
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(g_signalPipe[1], &byte, 1);
        if (m_terminated)
            m_terminated();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        sigaction(signal, &action, nullptr);
}

SessionEnd::~SessionEnd() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        sigaction(signal, &action, nullptr);
    delete m_notifier;
    m_notifier = nullptr;
    for (int& fd : g_signalPipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

}  // namespace platform
