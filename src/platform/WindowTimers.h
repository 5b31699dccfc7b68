// SPDX-License-Identifier: MIT
// Window timers with fixed ids, as a window has them on Windows: starting a running id restarts it,
// killing one before it is due means it never fires. User-interface thread only.
//
// A tick's handler runs from Qt's timer event, so that an idle tick costs one pass of the event loop and
// nothing more. Qt never re-enters a timer whose own handler is still running, so a handler that opens a
// modal loop would stop its own timer for as long as that loop runs; the first pass of any event loop
// inside a running handler therefore starts that timer afresh, and the new registration keeps ticking
// inside the loop, as a window's timer keeps coming inside a message box opened by its own WM_TIMER.
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

private:
    struct Timer {
        QBasicTimer timer;
        int intervalMs = 0;
        // Qt is delivering the timer's present registration, so it will not fire that one again until
        // the handler returns. (Qt hands a freed timer id out again at once, so the id cannot tell.)
        bool held = false;
    };

    void Start(Timer& timer);
    // A pass of an event loop began: a timer whose handler is running (an event loop inside it) is
    // registered anew, once, so that Qt delivers its ticks in that loop.
    void ReleaseHeldTimers();

    Handler m_handler;
    std::map<unsigned, Timer> m_timers;
    // How many timer events are being delivered, nested.
    int m_deliveries = 0;
};

}  // namespace platform
