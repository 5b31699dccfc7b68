// SPDX-License-Identifier: MIT
#include "support/EventLoop.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>

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

BoxCloser::BoxCloser() {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                box->done(QMessageBox::Ok);
                ++m_closed;
            }
    });
    m_timer.start(10);
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
