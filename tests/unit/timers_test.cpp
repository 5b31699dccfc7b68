// SPDX-License-Identifier: MIT
// Window timers and posted calls on the Qt event loop: ids, restart and kill, ticks inside a modal loop
// opened by their own handler, at most one pending tick, and coalesced posted calls. Every wait is a
// bounded run of the event loop; timing checks leave wide margins for a busy machine.
#include "support/EventLoop.h"

#include "platform/PostedCall.h"
#include "platform/WindowTimers.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kPump = 25;
constexpr unsigned kSecond = 26;
constexpr unsigned kThird = 27;

using test::runFor;
using test::runUntil;

// Counts ticks by id and remembers when each came, in milliseconds since the recorder was made.
struct TickLog {
    TickLog() { clock.start(); }
    void operator()(unsigned id) {
        ++counts[id];
        times[id].push_back(clock.elapsed());
    }
    QElapsedTimer clock;
    std::map<unsigned, int> counts;
    std::map<unsigned, std::vector<qint64>> times;
};

}  // namespace

TEST(WindowTimers, TicksCarryTheirIdAtRoughlyTheInterval) {
    TickLog log;
    platform::WindowTimers timers([&](unsigned id) { log(id); });
    timers.start(kPump, 50);
    timers.start(kThird, 200);
    EXPECT_TRUE(timers.isActive(kPump));
    EXPECT_FALSE(timers.isActive(kSecond));
    runFor(1000);

    EXPECT_EQ(log.counts.count(kSecond), 0u);
    EXPECT_GE(log.counts[kPump], 8);
    EXPECT_LE(log.counts[kPump], 21);
    EXPECT_GE(log.counts[kThird], 2);
    EXPECT_LE(log.counts[kThird], 6);
    ASSERT_FALSE(log.times[kThird].empty());
    EXPECT_GE(log.times[kThird].front(), 150);
}

TEST(WindowTimers, StartingARunningIdRestartsIt) {
    TickLog log;
    platform::WindowTimers timers([&](unsigned id) { log(id); });
    timers.start(kPump, 400);
    QTimer restarter;
    QObject::connect(&restarter, &QTimer::timeout, [&] { timers.start(kPump, 400); });
    restarter.start(100);
    runFor(1200);
    EXPECT_EQ(log.counts[kPump], 0);

    restarter.stop();
    EXPECT_TRUE(runUntil([&] { return log.counts[kPump] > 0; }, 3000));
}

TEST(WindowTimers, KilledTimerNeverFires) {
    TickLog log;
    platform::WindowTimers timers([&](unsigned id) { log(id); });
    timers.start(kPump, 50);
    timers.kill(kPump);
    timers.kill(kSecond);  // never started: nothing happens
    EXPECT_FALSE(timers.isActive(kPump));
    runFor(300);
    EXPECT_EQ(log.counts[kPump], 0);
}

TEST(WindowTimers, HandlerThatKillsItsOwnTimerGetsOneTick) {
    int ticks = 0;
    platform::WindowTimers* self = nullptr;
    platform::WindowTimers timers([&](unsigned id) {
        ++ticks;
        self->kill(id);
    });
    self = &timers;
    timers.start(kSecond, 20);
    runFor(300);
    EXPECT_EQ(ticks, 1);
}

TEST(WindowTimers, KillAllStopsEveryTimer) {
    TickLog log;
    platform::WindowTimers timers([&](unsigned id) { log(id); });
    for (unsigned id : {kPump, kSecond, kThird})
        timers.start(id, 30);
    EXPECT_TRUE(runUntil([&] { return log.counts.size() == 3; }, 3000));

    timers.killAll();
    log.counts.clear();
    runFor(300);
    EXPECT_TRUE(log.counts.empty());
    for (unsigned id : {kPump, kSecond, kThird})
        EXPECT_FALSE(timers.isActive(id)) << id;
}

TEST(WindowTimers, HandlerKeepsGettingTicksInsideAModalLoopItOpened) {
    int ticks = 0;
    int ticksInsideLoop = 0;
    bool inLoop = false;
    bool loopDone = false;
    platform::WindowTimers timers([&](unsigned) {
        ++ticks;
        if (inLoop) {
            ++ticksInsideLoop;
            return;
        }
        if (loopDone)
            return;
        // Stands for a message box opened from the pump's own tick, with the mouse moving over it: other
        // events wake its loop far more often than the timer is due.
        QTimer busy;
        QObject::connect(&busy, &QTimer::timeout, [] {});
        busy.start(5);
        inLoop = true;
        runFor(600);
        inLoop = false;
        loopDone = true;
    });
    timers.start(kPump, 100);
    EXPECT_TRUE(runUntil([&] { return loopDone; }, 5000));
    EXPECT_GE(ticksInsideLoop, 3);
    EXPECT_LE(ticksInsideLoop, 8);
}

TEST(WindowTimers, StalledHandlerGetsOneTickAfterwardsNotABurst) {
    TickLog log;
    bool blocked = false;
    qint64 blockEnd = 0;
    platform::WindowTimers timers([&](unsigned id) {
        log(id);
        if (blocked)
            return;
        blocked = true;
        QThread::msleep(350);
        blockEnd = log.clock.elapsed();
    });
    timers.start(kPump, 50);
    EXPECT_TRUE(runUntil([&] { return blocked; }, 3000));
    runFor(300);

    // Seven intervals went by while the handler blocked; they give one tick, not a burst of them.
    const std::vector<qint64>& times = log.times[kPump];
    const auto soonAfter = std::count_if(times.begin(), times.end(),
                                         [&](qint64 t) { return t >= blockEnd && t < blockEnd + 30; });
    EXPECT_LE(soonAfter, 1);
    EXPECT_GE(std::count_if(times.begin(), times.end(), [&](qint64 t) { return t >= blockEnd; }), 2);
}

TEST(PostedCall, PostsBeforeTheLoopRunsGiveOneCall) {
    int calls = 0;
    platform::PostedCall call([&] { ++calls; });
    for (int i = 0; i < 5; ++i)
        call.post();
    EXPECT_EQ(calls, 0);
    runFor(100);
    EXPECT_EQ(calls, 1);
    runFor(100);
    EXPECT_EQ(calls, 1);
}

TEST(PostedCall, PostDuringTheCallGivesAnotherCall) {
    int calls = 0;
    platform::PostedCall* self = nullptr;
    platform::PostedCall call([&] {
        if (++calls == 1)
            self->post();
    });
    self = &call;
    call.post();
    EXPECT_TRUE(runUntil([&] { return calls == 2; }, 3000));
    runFor(100);
    EXPECT_EQ(calls, 2);
}

TEST(PostedCall, PostsFromAnotherThreadRunOnTheOwnersThread) {
    std::vector<QThread*> callThreads;
    platform::PostedCall call([&] { callThreads.push_back(QThread::currentThread()); });
    std::thread stack([&] {
        for (int i = 0; i < 100; ++i)
            call.post();
    });
    stack.join();
    EXPECT_TRUE(runUntil([&] { return !callThreads.empty(); }, 3000));
    runFor(100);
    ASSERT_EQ(callThreads.size(), 1u);
    EXPECT_EQ(callThreads.front(), QThread::currentThread());
}
