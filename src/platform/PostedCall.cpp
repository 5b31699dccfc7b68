// SPDX-License-Identifier: MIT
#include "platform/PostedCall.h"

#include <QCoreApplication>
#include <QEvent>

namespace platform {
namespace {
const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
}

PostedCall::PostedCall(std::function<void()> call, QObject* parent)
    : QObject(parent), m_call(std::move(call)) {}

void PostedCall::post() {
    if (!m_pending.exchange(true))
        QCoreApplication::postEvent(this, new QEvent(kCallEvent));
}

void PostedCall::customEvent(QEvent* event) {
    if (event->type() != kCallEvent)
        return QObject::customEvent(event);
    // Cleared before the call, so that what the call leads to (a nested modal loop, say) can post again.
    m_pending = false;
    m_call();
}

}  // namespace platform
