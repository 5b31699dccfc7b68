// SPDX-License-Identifier: MIT
#include "platform/WindowTimers.h"

#include <QAbstractEventDispatcher>
#include <QTimerEvent>

namespace platform {

WindowTimers::WindowTimers(Handler handler, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)) {
    // Every pass of an event loop emits one of the two, whether it may wait or not.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &WindowTimers::ReleaseHeldTimers);
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, &WindowTimers::ReleaseHeldTimers);
    }
}

void WindowTimers::start(unsigned id, unsigned intervalMs) {
    Timer& timer = m_timers[id];
    timer.intervalMs = static_cast<int>(intervalMs);
    Start(timer);
}

void WindowTimers::Start(Timer& timer) {
    timer.timer.start(timer.intervalMs, Qt::PreciseTimer, this);
    timer.held = false;
}

void WindowTimers::kill(unsigned id) {
    auto it = m_timers.find(id);
    if (it != m_timers.end())
        it->second.timer.stop();
}

void WindowTimers::killAll() {
    for (auto& entry : m_timers)
        entry.second.timer.stop();
}

bool WindowTimers::isActive(unsigned id) const {
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second.timer.isActive();
}

void WindowTimers::ReleaseHeldTimers() {
    if (m_deliveries == 0)
        return;
    for (auto& entry : m_timers) {
        if (entry.second.held && entry.second.timer.isActive())
            Start(entry.second);
    }
}

void WindowTimers::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : m_timers) {
        if (timer.timer.timerId() != event->timerId())
            continue;
        // Entries are never removed, so `timer` stays valid whatever the handler starts or kills.
        timer.held = true;
        ++m_deliveries;
        m_handler(id);
        --m_deliveries;
        // Whichever registration is current now, Qt is not delivering it any more.
        timer.held = false;
        return;
    }
    QObject::timerEvent(event);
}

}  // namespace platform
