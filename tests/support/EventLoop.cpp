// SPDX-License-Identifier: MIT
#include "support/EventLoop.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace test {

void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool runUntil(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs)
        runFor(5);
    return done();
}

int RecordingDialog::count(platform::UINT message, platform::WPARAM wParam) const {
    int found = 0;
    for (const auto& [m, w, l] : messages)
        found += m == message && w == wParam;
    return found;
}

platform::LRESULT RecordingDialog::WindowProc(platform::UINT message, platform::WPARAM wParam,
                                              platform::LPARAM lParam) {
    messages.emplace_back(message, wParam, lParam);
    return handler ? handler(message, wParam, lParam) : CDialog::WindowProc(message, wParam, lParam);
}

}  // namespace test
