// SPDX-License-Identifier: MIT
#include "platform/WindowTimers.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>

namespace platform {
namespace {

const QEvent::Type kTickEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TickEvent : public QEvent {
public:
    explicit TickEvent(unsigned id) : QEvent(kTickEvent), id(id) {}
    const unsigned id;
};

}  // namespace

WindowTimers::WindowTimers(Handler handler, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)) {}

void WindowTimers::start(unsigned id, unsigned intervalMs) {
    m_timers[id].timer.start(static_cast<int>(intervalMs), Qt::PreciseTimer, this);
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

void WindowTimers::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : m_timers) {
        if (timer.timer.timerId() != event->timerId())
            continue;
        if (!timer.tickPending) {
            timer.tickPending = true;
            QCoreApplication::postEvent(this, new TickEvent(id));
        }
        return;
    }
    QObject::timerEvent(event);
}

void WindowTimers::customEvent(QEvent* event) {
    if (event->type() != kTickEvent)
        return QObject::customEvent(event);
    const unsigned id = static_cast<TickEvent*>(event)->id;
    Timer& timer = m_timers[id];
    timer.tickPending = false;
    if (timer.timer.isActive())
        m_handler(id);
}

}  // namespace platform
