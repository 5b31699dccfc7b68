// SPDX-License-Identifier: MIT
// Bounded runs of the Qt event loop for tests, and a dialog that keeps every message its message map
// receives. User-interface thread.
#pragma once

#include "platform/Dialog.h"

#include <QTimer>

#include <functional>
#include <tuple>
#include <vector>

namespace test {

// Runs the event loop for about `ms` milliseconds.
void runFor(int ms);

// Runs the event loop until `done` holds or `limitMs` has passed; returns whether `done` held.
bool runUntil(const std::function<bool()>& done, int limitMs);

// Closes every message box as soon as it is up, as a user who reads each text at once would, for as long
// as it lives; counts the boxes it closed.
class BoxCloser {
public:
    BoxCloser();
    int closed() const { return m_closed; }

private:
    QTimer m_timer;
    int m_closed = 0;
};

using Message = std::tuple<platform::UINT, platform::WPARAM, platform::LPARAM>;

// Keeps every message reaching the message map, in order, then hands it to `handler`, or to the dialog
// base's own handling when there is none.
class RecordingDialog : public platform::CDialog {
public:
    using CDialog::CDialog;
    std::vector<Message> messages;
    std::function<platform::LRESULT(platform::UINT, platform::WPARAM, platform::LPARAM)> handler;

    // How many of the messages kept were `message` with `wParam`.
    int count(platform::UINT message, platform::WPARAM wParam) const;

protected:
    platform::LRESULT WindowProc(platform::UINT message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;
};

}  // namespace test
