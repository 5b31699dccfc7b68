// SPDX-License-Identifier: MIT
// Benchmark: how long an incoming MESSAGE waits for its 200. The main window object runs as in the
// program (Qt's event loop, timer 25, the stack's wake-up), SIPp sends MESSAGEs at a steady rate over UDP
// on 127.0.0.1, and each request's send and its answer's arrival are taken from SIPp's own microsecond
// trace, so the figure is the whole round trip seen from the peer: loopback both ways included.
//
//   bench_message_latency [count] [rate per second] [wake|timer]
//
// "timer" switches the wake-up off, leaving only timer 25, for comparison.
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "platform/ProfileStore.h"
#include "ui/ChimelyDlg.h"

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const int count = argc > 1 ? std::atoi(argv[1]) : 500;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 50;
    const bool wake = argc <= 3 || std::string(argv[3]) != "timer";
    // The offscreen platform says for every box that it cannot pass size hints on: not news here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication application(argc, argv);

    QTemporaryDir dir;
    platform::UseProfileFile(dir.filePath("chimely.conf"));
    const int port = test::freePort();
    platform::AppProfile().WriteProfileInt("Settings", "Protocol", 0);
    platform::AppProfile().WriteProfileInt("Settings", "LocalPort", port);

    CChimelyDlg dialog;
    if (auto error = dialog.InitStack()) {
        std::fprintf(stderr, "%s\n", error->c_str());
        return 1;
    }
    if (!wake)
        dialog.m_stack.setWakeHandler(nullptr);
    dialog.SetTimer(kPumpTimerId, kPumpIntervalMs);

    test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "ping", 200),
                     .remote = "127.0.0.1:" + std::to_string(port),
                     .calls = count,
                     .extra = {"-r", std::to_string(rate)}});
    peer.start();
    // A loop of its own: quitting the application would close every window, the boxes among them.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (peer.wait(std::chrono::milliseconds(0)))
            loop.quit();
    });
    poll.start(50);
    loop.exec();
    dialog.KillTimer(kPumpTimerId);
    dialog.ShutdownStack();

    std::map<std::string, double> sentAt;
    std::vector<double> latencies;
    for (const auto& message : peer.messages()) {
        const std::string callId = message.header("Call-ID");
        if (message.sent && message.isRequest("MESSAGE"))
            sentAt.emplace(callId, message.time);
        else if (!message.sent && message.status() == 200 && sentAt.count(callId))
            latencies.push_back((message.time - sentAt[callId]) * 1000.0);
    }
    if (latencies.empty()) {
        std::fprintf(stderr, "no answers: %s\n", peer.errors().c_str());
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double fraction) {
        return latencies[std::min(latencies.size() - 1,
                                  static_cast<std::size_t>(fraction * latencies.size()))];
    };
    std::printf("%s: %zu of %d MESSAGEs answered, %d/s over UDP: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                wake ? "wake-up" : "timer 25 only", latencies.size(), count, rate, at(0.5), at(0.99),
                latencies.back());
    return latencies.size() == static_cast<std::size_t>(count) ? 0 : 1;
}
