// SPDX-License-Identifier: MIT
// Benchmark: a program that runs all week. The main window object on an X display of the benchmark's own
// (Xvfb: X11 desktops put icons on the boxes' buttons), first at rest, then receiving texts that SIPp sends
// at a steady rate over UDP, every one answered 200 and shown in a real box that is closed as soon as it
// is up, then sending texts through its window in two halves, each half in message sessions and half as
// pager MESSAGEs to a peer that refuses sessions. After each stage, once the stack's transactions of it have
// ended (35 s), the heap in use and the resident set; the anchor is the same program at rest, in the same
// run.
//
// The heap is counted by the C library (mallinfo2, every thread's arena) with its per-thread caches of
// freed blocks turned off: it counts a block in such a cache as in use, and what the caches hold after a
// burst moves by tens of kB from one measurement to the next. The benchmark starts itself again so.
//
//   bench_soak [first texts] [all texts] [texts sent] [rate per second]
#include "Measure.h"

#include "support/EventLoop.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "platform/ProfileStore.h"
#include "res/Resource.h"
#include "ui/ChimelyDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>

namespace {

constexpr const char* kNoThreadCaches = "glibc.malloc.tcache_count=0";
// The longest one stage may take beyond its texts at their rate.
constexpr int kStageSlackMs = 60000;
// How long after a stage its memory is measured: the stack's UDP transactions live 32 s after their last
// answer (Timer J for the texts received, Timer D and K for those sent).
constexpr int kSettleMs = 35000;
// SIPp ends by itself after 120 s: longer stages of texts are sent by several SIPps in turn, each of them
// sending this many seconds' worth.
constexpr int kSecondsAtOnce = 100;
// The program at rest is measured this long after its start.
constexpr int kRestMs = 5000;

struct Memory {
    double heapKb = 0;
    double rssKb = 0;
};

Memory measure(const char* what) {
    const Memory now{test::heapInUse() / 1024.0, static_cast<double>(test::residentKb(getpid()))};
    std::printf("%-34s heap in use %8.1f kB, RSS %8.0f kB\n", what, now.heapKb, now.rssKb);
    std::fflush(stdout);
    return now;
}

// Ends the run: what it started (Xvfb, the SIPps) is stopped on the way out of main.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& why) {
    throw Failure(why);
}

class Soak {
public:
    Soak(CChimelyDlg& dialog, int port, int rate, int settleMs)
        : m_dialog(dialog), m_port(port), m_rate(rate), m_settleMs(settleMs) {}

    // `count` texts from SIPp at the rate, each shown and closed; then the settling time.
    void receive(int count) {
        for (int left = count; left > 0; left -= kSecondsAtOnce * m_rate)
            receiveAtOnce(std::min(left, kSecondsAtOnce * m_rate));
        test::runFor(m_settleMs);
    }

    // `count` texts through the window, one after the other: the first half in message sessions, the
    // other half as pager MESSAGEs after a refused session; then the settling time.
    void send(int count) {
        const int half = count / 2;
        test::Sipp sessions({.scenario = test::sessionPeerScenario(), .calls = half});
        test::Sipp pager({.scenario = test::pagerPeerScenario("200 OK"), .calls = 2 * (count - half)});
        sessions.start();
        pager.start();
        for (int i = 0; i < count; ++i) {
            const int port = i < half ? sessions.port() : pager.port();
            m_dialog.m_cbTo->setEditText(QString::fromStdString("bob@127.0.0.1:" + std::to_string(port)));
            m_dialog.m_edMessage->setPlainText(QString::number(i + 1));
            m_dialog.OnSend();
            if (!test::runUntil([&] { return m_dialog.GetStatusId() != IDS_SENDING; }, kStageSlackMs) ||
                m_dialog.GetStatusId() != IDS_MESSAGE_SENT)
                fail("text " + std::to_string(i + 1) + " of " + std::to_string(count) +
                     " was not sent: " + m_dialog.m_edStatus->text().toStdString());
        }
        for (test::Sipp* peer : {&sessions, &pager})
            if (!test::runUntil([&] { return peer->wait(std::chrono::milliseconds(0)); }, kStageSlackMs) ||
                peer->exitCode() != 0)
                fail("a peer of the sent texts failed: " + peer->errors());
        test::runFor(m_settleMs);
    }

private:
    void receiveAtOnce(int count) {
        const int closedBefore = m_closer.closed();
        test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n",
                                                           "text [call_number]", 200),
                         .remote = "127.0.0.1:" + std::to_string(m_port),
                         .calls = count,
                         .extra = {"-r", std::to_string(m_rate)}});
        peer.start();
        const int limitMs = count * 1000 / m_rate + kStageSlackMs;
        if (!test::runUntil([&] { return peer.wait(std::chrono::milliseconds(0)); }, limitMs))
            fail("SIPp did not end within " + std::to_string(limitMs) + " ms");
        if (peer.exitCode() != 0)
            fail("not every text was answered 200: " + peer.errors());
        if (!test::runUntil([&] { return m_closer.closed() == closedBefore + count; }, kStageSlackMs))
            fail(std::to_string(m_closer.closed() - closedBefore) + " of " + std::to_string(count) +
                 " texts were shown");
    }

    CChimelyDlg& m_dialog;
    const int m_port;
    const int m_rate;
    const int m_settleMs;
    test::BoxCloser m_closer;
};

int run(int argc, char** argv) {
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (!tunables || !std::strstr(tunables, kNoThreadCaches)) {
        setenv("GLIBC_TUNABLES", kNoThreadCaches, 1);
        execv("/proc/self/exe", argv);
        fail(std::string("cannot start again without the allocator's thread caches: ") +
             std::strerror(errno));
    }
    // While the benchmark has one thread.
    test::enterPrivateNetwork();
    const int first = argc > 1 ? std::atoi(argv[1]) : 500;
    const int all = argc > 2 ? std::atoi(argv[2]) : 5000;
    const int sent = argc > 3 ? std::atoi(argv[3]) : 1000;
    const int rate = argc > 4 ? std::atoi(argv[4]) : 50;
    if (first <= 0 || all <= first || sent < 4 || rate <= 0)
        fail("usage: bench_soak [first texts] [all texts, more than the first] [texts sent] [rate]");

    test::XServer x;
    if (x.display().empty())
        fail("Xvfb did not come up");
    setenv("DISPLAY", x.display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QApplication application(argc, argv);

    QTemporaryDir dir;
    platform::UseProfileFile(dir.filePath("chimely.conf"));
    const int port = test::freePort();
    platform::AppProfile().WriteProfileInt("Settings", "Protocol", 0);
    platform::AppProfile().WriteProfileInt("Settings", "LocalPort", port);
    const std::string load = bench::loadAverage();

    CChimelyDlg dialog;
    if (auto error = dialog.InitStack())
        fail(*error);
    dialog.SetTimer(kPumpTimerId, kPumpIntervalMs);
    dialog.m_aor = sip::NameAddr(sip::Uri(sip::Data("sip:alice@127.0.0.1")));
    Soak soak(dialog, port, rate, kSettleMs);

    test::runFor(kRestMs);
    const Memory rest = measure("at rest");
    soak.receive(first);
    const Memory warm = measure((std::to_string(first) + " texts received").c_str());
    soak.receive(all - first);
    const Memory received = measure((std::to_string(all) + " texts received").c_str());
    // The stack's table of outgoing transactions grows to the most that were ever alive at once (4 a text
    // sent, for 32 s) and stays so: the growth per text is taken over the second half of the texts sent.
    soak.send(sent / 2);
    const Memory halfSent = measure((std::to_string(sent / 2) + " texts sent after them").c_str());
    soak.send(sent - sent / 2);
    const Memory afterSending = measure((std::to_string(sent) + " texts sent after them").c_str());
    dialog.KillTimer(kPumpTimerId);
    dialog.ShutdownStack();

    const double perThousandReceived = 1000.0 / (all - first);
    const double perThousandSent = 1000.0 / (sent - sent / 2);
    std::printf(
        "growth per 1,000 texts: received %+.1f kB heap, %+.0f kB RSS; sent (second half) %+.1f kB heap, "
        "%+.0f kB RSS; "
        "%d texts a second, measured %d s after each stage; load average %s at the start, %s at the end\n",
        (received.heapKb - warm.heapKb) * perThousandReceived,
        (received.rssKb - warm.rssKb) * perThousandReceived,
        (afterSending.heapKb - halfSent.heapKb) * perThousandSent,
        (afterSending.rssKb - halfSent.rssKb) * perThousandSent, rate, kSettleMs / 1000, load.c_str(),
        bench::loadAverage().c_str());
    for (const auto& [key, value, anchor] :
         {std::tuple{"soak_heap_warm", warm.heapKb, rest.heapKb},
          std::tuple{"soak_heap_received", received.heapKb, rest.heapKb},
          std::tuple{"soak_heap_sent", afterSending.heapKb, rest.heapKb},
          std::tuple{"soak_rss_warm", warm.rssKb / 1024, rest.rssKb / 1024},
          std::tuple{"soak_rss_received", received.rssKb / 1024, rest.rssKb / 1024},
          std::tuple{"soak_rss_sent", afterSending.rssKb / 1024, rest.rssKb / 1024}}) {
        bench::result(key, "chimely", value);
        bench::result(key, "rest", anchor);
    }
    bench::result("soak_heap_slope_received", "chimely",
                  (received.heapKb - warm.heapKb) * perThousandReceived);
    bench::result("soak_heap_slope_sent", "chimely",
                  (afterSending.heapKb - halfSent.heapKb) * perThousandSent);
    bench::result("soak_rss_slope_received", "chimely", (received.rssKb - warm.rssKb) * perThousandReceived);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "bench_soak: %s\n", failure.what());
        return 1;
    }
}
