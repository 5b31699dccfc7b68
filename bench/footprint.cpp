// SPDX-License-Identifier: MIT
// Benchmark: the program at rest, signed in, on an X display with a notification area. On a private
// Xvfb with Debian's trayer as the tray, four programs run side by side: the program itself, signed in
// at a Kamailio registrar; the plain anchor dialog; the anchor dialog with its 100 ms timer; and
// baresip, registered at the same Kamailio. Once the program has signed in and everything has settled,
// each one's processor time over the same window is taken from the scheduler, then its resident,
// proportional and private memory.
//
//   bench_footprint [seconds of rest measured, 30]
#include "Measure.h"

#include "support/Baresip.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/Sipp.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

using namespace std::chrono_literals;

int main(int argc, char** argv) {
    test::enterPrivateNetwork();
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    try {
        const std::string dir = test::makeTempDir("footprint");
        test::XServer x;
        test::ChildProcess tray;
        bench::useDisplayWithTray(x, tray, dir);

        const test::SipUser alice{"alice", "127.0.0.1", "alice-secret"};
        const test::SipUser bob{"bob", "127.0.0.1", "bob-secret"};
        test::Kamailio registrar({alice, bob});
        registrar.start();

        test::Program program;
        program.writeSettings({{"Protocol", "0"},
                               {"OutboundProxy", "1"},
                               {"Server", "127.0.0.1:" + std::to_string(registrar.port())},
                               {"SigninName", alice.aor()},
                               {"Password", alice.password},
                               {"LocalPort", std::to_string(test::freePort())}});
        const pid_t chimely = program.start({.display = x.display()});
        test::ChildProcess plain, timer;
        plain.start({bench::sibling("bench_anchor_dialog")}, dir + "/plain.log");
        timer.start({bench::sibling("bench_anchor_dialog"), "--timer"}, dir + "/timer.log");
        test::Baresip baresip({.user = bob, .outboundProxy = registrar.uri(false)});
        baresip.start();

        // Signed in: the challenged REGISTER and the one with credentials both reached the registrar.
        if (!bench::waitFor([&] { return registrar.seen("alice", "REGISTER").size() >= 2; }, 10s))
            throw std::runtime_error("the program did not sign in:\n" + registrar.log());
        if (!baresip.waitForRegistration(10s))
            throw std::runtime_error("baresip did not register:\n" + baresip.output());
        std::this_thread::sleep_for(3s);

        const struct {
            const char* who;
            pid_t pid;
        } measured[] = {{"chimely", chimely},
                        {"dialog", plain.pid()},
                        {"dialog+timer", timer.pid()},
                        {"baresip", baresip.pid()}};
        long long before[4], after[4];
        bool complete = true;
        for (int i = 0; i < 4; ++i)
            before[i] = bench::cpuNs(measured[i].pid);
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        for (int i = 0; i < 4; ++i)
            after[i] = bench::cpuNs(measured[i].pid);
        const double elapsedNs =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        std::printf("at rest for %d s, load average %s\n", seconds, bench::loadAverage().c_str());
        for (int i = 0; i < 4; ++i) {
            if (before[i] < 0 || after[i] < 0) {
                std::printf("%-13s ended during the measurement\n", measured[i].who);
                for (const char* measure : {"idle_cpu", "idle_rss", "idle_pss", "idle_private"})
                    bench::failure(measure, measured[i].who, "ended during the measurement");
                complete = false;
                continue;
            }
            const double percent = 100.0 * static_cast<double>(after[i] - before[i]) / elapsedNs;
            const bench::Footprint memory = bench::footprint(measured[i].pid);
            std::printf("%-13s CPU %.3f %%, RSS %ld kB, PSS %ld kB, private %ld kB\n", measured[i].who, percent,
                        memory.rssKb, memory.pssKb, memory.privateKb);
            bench::result("idle_cpu", measured[i].who, percent);
            bench::result("idle_rss", measured[i].who, memory.rssKb / 1024.0);
            bench::result("idle_pss", measured[i].who, memory.pssKb / 1024.0);
            bench::result("idle_private", measured[i].who, memory.privateKb / 1024.0);
        }
        baresip.stop();
        timer.stop();
        plain.stop();
        tray.stop();
        test::removeTempDir(dir);
        return complete ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_footprint: %s\n", e.what());
        for (const char* measure : {"idle_cpu", "idle_rss", "idle_pss", "idle_private"})
            bench::failure(measure, "chimely", e.what());
        return 1;
    }
}
