// SPDX-License-Identifier: MIT
// A call to be made soon on the thread that owns this object, through its event queue. Posting while a
// call is still pending does not post a second one. post() may be called from any thread.
#pragma once

#include <QObject>

#include <atomic>
#include <functional>

namespace platform {

class PostedCall : public QObject {
public:
    explicit PostedCall(std::function<void()> call, QObject* parent = nullptr);

    void post();

protected:
    void customEvent(QEvent* event) override;

private:
    std::function<void()> m_call;
    std::atomic<bool> m_pending{false};
};

}  // namespace platform
