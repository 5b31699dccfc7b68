// SPDX-License-Identifier: MIT
// The end of the user's session, as the program hears of it: the session manager asking it to save its
// state before a log-out, and the termination signals a log-out or shut-down sends (SIGTERM, SIGHUP,
// SIGINT). The handler runs on the user-interface thread, from the event loop. One at a time.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace platform {

class SessionEnd : public QObject {
public:
    // `ending` runs when the session manager announces the end; `terminated` when a termination signal
    // arrives.
    SessionEnd(std::function<void()> ending, std::function<void()> terminated);
    ~SessionEnd() override;

private:
    std::function<void()> m_ending;
    std::function<void()> m_terminated;
    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace platform
