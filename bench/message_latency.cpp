// SPDX-License-Identifier: MIT
// Benchmark: how long an incoming MESSAGE waits for its 200, in our agent and, in the same run, in
// baresip. The main window object runs as in the program (Qt's event loop, timer 25, the stack's
// wake-up); SIPp sends MESSAGEs at a steady rate over UDP on 127.0.0.1, first to the agent, then the very
// same requests to baresip (not registered, reached directly), and each request's send and its answer's
// arrival are taken from SIPp's own microsecond trace, so each figure is the whole round trip seen from
// the peer: loopback both ways included.
//
//   bench_message_latency [count] [rate per second] [wake|timer]
//
// "timer" switches the agent's wake-up off, leaving only timer 25, for comparison. Everything runs in a
// network namespace of the benchmark's own (baresip needs its default route); where none can be made,
// the agent is measured alone and the baresip line says why it is missing.
#include "support/Baresip.h"
#include "support/EventLoop.h"
#include "support/PrivateNetwork.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "platform/ProfileStore.h"
#include "ui/ChimelyDlg.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace {

// The longest the peer may run: well past its own 120 s timeout.
constexpr int kPeerLimitMs = 180000;

struct Run {
    int count;
    int rate;
};

test::Sipp::Options sender(const Run& run, int port) {
    return {.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "ping", 200),
            .remote = "127.0.0.1:" + std::to_string(port),
            .calls = run.count,
            .extra = {"-r", std::to_string(run.rate)}};
}

// Milliseconds from each MESSAGE leaving SIPp to its 200 arriving, in ascending order.
std::vector<double> latencies(const test::Sipp& peer) {
    std::map<std::string, double> sentAt;
    std::vector<double> result;
    for (const auto& message : peer.messages()) {
        const std::string callId = message.header("Call-ID");
        if (message.sent && message.isRequest("MESSAGE"))
            sentAt.emplace(callId, message.time);
        else if (!message.sent && message.status() == 200 && sentAt.count(callId))
            result.push_back((message.time - sentAt[callId]) * 1000.0);
    }
    std::sort(result.begin(), result.end());
    return result;
}

// One line for `who`; true when every MESSAGE was answered.
bool report(const char* who, const Run& run, const std::vector<double>& values, const test::Sipp& peer) {
    if (values.empty()) {
        std::printf("%-14s no answers: %s\n", who, peer.errors().c_str());
        return false;
    }
    auto at = [&](double fraction) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()))];
    };
    std::printf(
        "%-14s %zu of %d MESSAGEs answered, %d/s over UDP: median %.3f ms, p99 %.3f ms, max %.3f ms\n", who,
        values.size(), run.count, run.rate, at(0.5), at(0.99), values.back());
    return values.size() == static_cast<std::size_t>(run.count);
}

bool measureAgent(const Run& run, bool wake) {
    QTemporaryDir dir;
    platform::UseProfileFile(dir.filePath("chimely.conf"));
    const int port = test::freePort();
    platform::AppProfile().WriteProfileInt("Settings", "Protocol", 0);
    platform::AppProfile().WriteProfileInt("Settings", "LocalPort", port);

    CChimelyDlg dialog;
    if (auto error = dialog.InitStack()) {
        std::fprintf(stderr, "%s\n", error->c_str());
        return false;
    }
    if (!wake)
        dialog.m_stack.setWakeHandler(nullptr);
    dialog.SetTimer(kPumpTimerId, kPumpIntervalMs);

    test::Sipp peer(sender(run, port));
    peer.start();
    // Loops of its own: quitting the application would close every window, the boxes among them.
    test::runUntil([&] { return peer.wait(std::chrono::milliseconds(0)); }, kPeerLimitMs);
    dialog.KillTimer(kPumpTimerId);
    dialog.ShutdownStack();
    return report(wake ? "chimely:" : "chimely timer:", run, latencies(peer), peer);
}

bool measureBaresip(const Run& run) {
    if (!test::inPrivateNetwork()) {
        std::printf("%-14s not measured: no network namespace (%s)\n",
                    "baresip:", test::privateNetworkProblem().c_str());
        return false;
    }
    // Named "agent" so that it takes the agent's requests unchanged: baresip answers 404 for a user it
    // has no account for.
    test::Baresip baresip({.user = {"agent", "127.0.0.1", ""}});
    try {
        baresip.start();
    } catch (const std::exception& e) {
        std::printf("%-14s did not start: %s\n", "baresip:", e.what());
        return false;
    }
    test::Sipp peer(sender(run, baresip.sipPort()));
    peer.start();
    if (!peer.wait(std::chrono::seconds(run.count / std::max(run.rate, 1) + 30)))
        peer.stop();
    baresip.stop();
    return report("baresip:", run, latencies(peer), peer);
}

}  // namespace

int main(int argc, char** argv) {
    // First, while the benchmark has one thread.
    test::enterPrivateNetwork();
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const Run run{argc > 1 ? std::atoi(argv[1]) : 500, argc > 2 ? std::atoi(argv[2]) : 50};
    const bool wake = argc <= 3 || std::string(argv[3]) != "timer";
    // The offscreen platform says for every box that it cannot pass size hints on: not news here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication application(argc, argv);

    const bool agent = measureAgent(run, wake);
    const bool baresip = measureBaresip(run);
    return agent && baresip ? 0 : 1;
}
