// SPDX-License-Identifier: MIT
#include "platform/WindowTimers.h"

#include <QAbstractEventDispatcher>
#include <QTimerEvent>

#include <algorithm>

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
    timer.timer.start(timer.intervalMs, Qt::PreciseTimer, this);
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
    if (m_delivering.empty())
        return;
    for (auto& [id, timer] : m_timers) {
        if (timer.timer.isActive() &&
            std::find(m_delivering.begin(), m_delivering.end(), timer.timer.timerId()) != m_delivering.end())
            timer.timer.start(timer.intervalMs, Qt::PreciseTimer, this);
    }
}

void WindowTimers::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : m_timers) {
        if (timer.timer.timerId() != event->timerId())
            continue;
        // Entries are never removed, so `id` stays valid whatever the handler starts or kills.
        const unsigned tick = id;
        m_delivering.push_back(event->timerId());
        m_handler(tick);
        m_delivering.pop_back();
        return;
    }
    QObject::timerEvent(event);
}

}  // namespace platform
