// SPDX-License-Identifier: MIT
// Window timers with fixed ids, as a window has them on Windows: starting a running id restarts it,
// killing one before it is due means it never fires. User-interface thread only.
//
// Each tick is posted through the event queue (at most one pending per id) and the handler runs from
// there, not from Qt's timer event: Qt never re-enters a timer whose own handler is still running, so a
// handler that opens a modal loop would otherwise stop its own timer for as long as the loop runs.
#pragma once

#include <QBasicTimer>
#include <QObject>

#include <functional>
#include <map>

namespace platform {

class WindowTimers : public QObject {
public:
    using Handler = std::function<void(unsigned id)>;

    explicit WindowTimers(Handler handler, QObject* parent = nullptr);

    void start(unsigned id, unsigned intervalMs);
    void kill(unsigned id);
    void killAll();
    bool isActive(unsigned id) const;

protected:
    void timerEvent(QTimerEvent* event) override;
    void customEvent(QEvent* event) override;

private:
    struct Timer {
        QBasicTimer timer;
        bool tickPending = false;
    };

    Handler m_handler;
    std::map<unsigned, Timer> m_timers;
};

}  // namespace platform
