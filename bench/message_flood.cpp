// SPDX-License-Identifier: MIT
// Benchmark: a flood of received texts. SIPp sends MESSAGEs to the main window object at a steady rate
// over UDP on 127.0.0.1; every one must be answered 200, and every text must come up in a box of its own,
// in the order it arrived, with no crash. The boxes are real (offscreen); once the flood is over they
// are closed one by one, newest first, as a user would, and each closing lets the next waiting text up.
// The anchor, in the same run: baresip taking the very same flood (it answers and prints each text), its
// peak resident set read from the kernel.
//
//   bench_message_flood [count] [rate per second]
#include "Measure.h"

#include "support/Baresip.h"
#include "support/EventLoop.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "platform/ProfileStore.h"
#include "ui/ChimelyDlg.h"

#include <QApplication>
#include <QMessageBox>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>

namespace {

// The longest the peer may run: well past its own 120 s timeout.
constexpr int kPeerLimitMs = 180000;

long peakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

std::vector<QMessageBox*> openBoxes() {
    std::vector<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            boxes.push_back(box);
    return boxes;
}

// The user the flood's requests are for: baresip answers 404 for one it has no account for.
const test::SipUser kReceiver{"agent", "127.0.0.1", ""};

test::Sipp::Options flood(int count, int rate, int port) {
    return {.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "text [call_number]",
                                              200, kReceiver.user),
            .remote = "127.0.0.1:" + std::to_string(port),
            .calls = count,
            .extra = {"-r", std::to_string(rate)}};
}

// baresip's peak resident set in kB after the same flood; -1, with `why` saying why, when it could not be
// measured.
long baresipPeakKb(int count, int rate, std::string& why) {
    if (!test::inPrivateNetwork()) {
        why = "no network namespace (" + test::privateNetworkProblem() + ")";
        return -1;
    }
    test::Baresip baresip({.user = kReceiver});
    try {
        baresip.start();
    } catch (const std::exception& e) {
        why = std::string("baresip did not start: ") + e.what();
        return -1;
    }
    test::Sipp peer(flood(count, rate, baresip.sipPort()));
    peer.start();
    if (!peer.wait(std::chrono::seconds(count / std::max(rate, 1) + 30)))
        peer.stop();
    long peak = test::peakResidentKb(baresip.pid());
    if (peer.exitCode() != 0) {
        why = "baresip did not answer every MESSAGE 200 (final answers: " + bench::finalAnswers(peer) + ")";
        peak = -1;
    } else if (peak <= 0) {
        why = "baresip's peak RSS could not be read";
    }
    baresip.stop();
    return peak;
}

}  // namespace

int main(int argc, char** argv) {
    // First, while the benchmark has one thread.
    test::enterPrivateNetwork();
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rate = argc > 2 ? std::atoi(argv[2]) : 500;
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
        bench::failure("flood_" + std::to_string(rate) + "_peak_rss", "chimely", *error);
        return 1;
    }
    dialog.SetTimer(kPumpTimerId, kPumpIntervalMs);

    test::Sipp peer(flood(count, rate, port));
    peer.start();
    // Loops of its own: quitting the application would close every window, the boxes among them.
    test::runUntil([&] { return peer.wait(std::chrono::milliseconds(0)); }, kPeerLimitMs);
    const bool allAnswered = peer.exitCode() == 0;
    const std::size_t openAtTheEnd = openBoxes().size();
    const long peakDuringFlood = peakRssKb();

    // Close the boxes as a user would; every text must come up once, in order.
    std::vector<int> shown;
    std::vector<QMessageBox*> boxes = openBoxes();
    for (QMessageBox* box : boxes)
        shown.push_back(box->text().mid(5).toInt());
    std::sort(shown.begin(), shown.end());
    while (!boxes.empty()) {
        QMessageBox* newest = boxes.back();
        newest->done(QMessageBox::Ok);
        QApplication::processEvents();
        // A closed box deletes itself once control is back in the event loop; this loop is not one.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::vector<QMessageBox*> now = openBoxes();
        for (QMessageBox* box : now)
            if (std::find(boxes.begin(), boxes.end(), box) == boxes.end())
                shown.push_back(box->text().mid(5).toInt());
        boxes = now;
    }
    bool inOrder = static_cast<int>(shown.size()) == count;
    for (int i = 0; inOrder && i < count; ++i)
        inOrder = shown[i] == i + 1;

    dialog.KillTimer(kPumpTimerId);
    dialog.ShutdownStack();
    std::printf(
        "%d MESSAGEs sent at %d/s over UDP: %s answered 200; %zu boxes open and %zu waiting when the flood "
        "ended; %zu texts shown in all, %s; peak RSS %ld kB during the flood, %ld kB in all\n",
        count, rate, allAnswered ? "all" : "NOT all", openAtTheEnd, shown.size() - openAtTheEnd, shown.size(),
        inOrder ? "each once, in order" : "NOT each once in order", peakDuringFlood, peakRssKb());
    std::string why;
    const long baresip = baresipPeakKb(count, rate, why);
    if (baresip > 0)
        std::printf("baresip: peak RSS %ld kB after the same flood\n", baresip);
    else
        std::printf("baresip: not measured: %s\n", why.c_str());
    std::printf("load average %s\n", bench::loadAverage().c_str());
    const std::string measure = "flood_" + std::to_string(rate) + "_peak_rss";
    if (allAnswered && inOrder)
        bench::result(measure, "chimely", peakDuringFlood / 1024.0);
    else
        bench::failure(measure, "chimely",
                       std::string(allAnswered ? ""
                                               : "not every MESSAGE answered 200 (final answers: " +
                                                     bench::finalAnswers(peer) + "); ") +
                           std::to_string(shown.size()) + " of " + std::to_string(count) + " texts shown" +
                           (inOrder ? "" : ", not each once in order"));
    if (baresip > 0)
        bench::result(measure, "baresip", baresip / 1024.0);
    else
        bench::failure(measure, "baresip", why);
    return allAnswered && inOrder && baresip > 0 ? 0 : 1;
}
