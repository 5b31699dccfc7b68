// SPDX-License-Identifier: MIT
// Benchmark: how soon the program is there after it is started. On a private Xvfb with trayer as the
// notification area, the program is started signed in at a registrar that is only a UDP socket of this
// benchmark's; from the moment before the program is started, this takes the time until its main window
// is mapped (the X server's MapNotify for a top-level window of the program's size, not the tray icon's)
// and until its first REGISTER arrives (the kernel's receive time stamp on that socket). The anchors,
// started the same way in the same run: the plain anchor dialog (until its window is mapped), baresip
// registering at the same socket (until its first REGISTER), and the floor of a Qt program with a SIP
// stack: the plain program that links Qt Widgets and sofia-sip and sends one REGISTER
// (bench_anchor_register). Each is started once untimed, so that none meets caches that no other start
// meets, then eleven times, one of each in turn, and the medians reported.
//
//   bench_start_up
#include "MapWatch.h"
#include "Measure.h"

#include "support/Baresip.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/Sipp.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

using bench::MapWatch;
using bench::realtimeMs;

// The registrar's socket: takes every datagram with its arrival time and never answers.
class Sink {
public:
    Sink() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind the registrar's socket");
        socklen_t length = sizeof address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~Sink() { close(m_fd); }
    int fd() const { return m_fd; }
    int port() const { return m_port; }

    // Drops whatever arrived so far.
    void drain() {
        char buffer[65536];
        while (recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }
    // The arrival time (ms, realtime) of the next REGISTER waiting on the socket, or -1 when none is.
    double nextRegister() {
        char buffer[65536];
        char control[256];
        for (;;) {
            iovec data{buffer, sizeof buffer - 1};
            msghdr message{};
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t n = recvmsg(m_fd, &message, MSG_DONTWAIT);
            if (n <= 0)
                return -1;
            if (std::strncmp(buffer, "REGISTER ", 9) != 0)
                continue;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec at;
                    std::memcpy(&at, CMSG_DATA(c), sizeof at);
                    return at.tv_sec * 1000.0 + at.tv_nsec / 1e6;
                }
            return realtimeMs();
        }
    }

private:
    int m_fd = -1;
    int m_port = 0;
};

struct Times {
    double mappedMs = -1;
    double registerMs = -1;
};

// Waits up to 10 s for what is asked for, each time counted from `startedAt`.
Times watch(MapWatch* windows, Sink* registrar, double startedAt) {
    Times times;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline && ((windows && times.mappedMs < 0) ||
                                                           (registrar && times.registerMs < 0))) {
        pollfd fds[2] = {{windows ? windows->fd() : -1, POLLIN, 0}, {registrar ? registrar->fd() : -1, POLLIN, 0}};
        poll(fds, 2, 50);
        if (windows && times.mappedMs < 0 && windows->windowMapped())
            times.mappedMs = realtimeMs() - startedAt;
        if (registrar && times.registerMs < 0)
            if (const double at = registrar->nextRegister(); at >= 0)
                times.registerMs = at - startedAt;
    }
    return times;
}

}  // namespace

// Timed starts of each, one of each in turn, after one untimed round: the first start of a program after
// a while maps its libraries from a cold page cache, and on a small shared machine that alone moved a
// median of five by tens of milliseconds. The medians are reported.
constexpr int kRounds = 11;

int main() {
    // The program's folders on a tmpfs, as a desktop session's runtime folder (/run/user/<uid>) is: there
    // the single-instance lock file's sync costs nothing, on this machine's disk it cost 1 to 11 ms.
    if (access("/dev/shm", W_OK) == 0)
        setenv("TMPDIR", "/dev/shm", 0);
    test::enterPrivateNetwork();
    try {
        const std::string dir = test::makeTempDir("start-up");
        test::XServer x;
        test::ChildProcess tray;
        bench::useDisplayWithTray(x, tray, dir);
        MapWatch windows(x.display());
        windows.windowMapped();
        Sink registrar;
        // What a start left behind (a late map, a repeated REGISTER) is not taken for the next one's.
        auto settle = [&] {
            std::this_thread::sleep_for(300ms);
            windows.windowMapped();
            registrar.drain();
        };

        std::vector<Times> chimely, dialog, floor, baresip;
        // Round -1 only warms up: what it measures is dropped.
        auto keep = [](std::vector<Times>& starts, int round, Times times) {
            if (round >= 0)
                starts.push_back(times);
        };
        for (int round = -1; round < kRounds; ++round) {
            {
                test::Program program;
                program.writeSettings({{"Protocol", "0"},
                                       {"OutboundProxy", "1"},
                                       {"Server", "127.0.0.1:" + std::to_string(registrar.port())},
                                       {"SigninName", "alice@127.0.0.1"},
                                       {"Password", "alice-secret"},
                                       {"LocalPort", std::to_string(test::freePort())}});
                const double startedAt = realtimeMs();
                program.start({.display = x.display()});
                keep(chimely, round, watch(&windows, &registrar, startedAt));
            }
            settle();
            {
                test::ChildProcess anchor;
                const double startedAt = realtimeMs();
                anchor.start({bench::sibling("bench_anchor_dialog")}, dir + "/dialog.log");
                keep(dialog, round, watch(&windows, nullptr, startedAt));
                anchor.stop();
            }
            settle();
            {
                test::ChildProcess anchor;
                const double startedAt = realtimeMs();
                anchor.start({bench::sibling("bench_anchor_register"),
                              "127.0.0.1:" + std::to_string(registrar.port())},
                             dir + "/register.log");
                keep(floor, round, watch(nullptr, &registrar, startedAt));
                anchor.stop();
            }
            settle();
            {
                test::Baresip peer({.user = {"bob", "127.0.0.1", "bob-secret"},
                                    .outboundProxy = "sip:127.0.0.1:" + std::to_string(registrar.port())});
                const double startedAt = realtimeMs();
                peer.start();
                keep(baresip, round, watch(nullptr, &registrar, startedAt));
                peer.stop();
            }
            settle();
        }
        tray.stop();
        test::removeTempDir(dir);

        std::printf("load average %s; medians of %d starts each after one untimed, one of each in turn\n",
                    bench::loadAverage().c_str(), kRounds);
        // A figure is missing when any of its starts missed it within the 10 s watched.
        auto figure = [](const std::vector<Times>& starts, double Times::*field) {
            std::vector<double> values;
            for (const Times& start : starts) {
                if (start.*field < 0)
                    return -1.0;
                values.push_back(start.*field);
            }
            return bench::median(values);
        };
        auto each = [](const std::vector<Times>& starts, double Times::*field) {
            std::string list;
            for (const Times& start : starts)
                list += (list.empty() ? "" : " / ") + std::to_string(static_cast<int>(start.*field + 0.5));
            return list;
        };
        const struct {
            const char* measure;
            const char* who;
            const std::vector<Times>& starts;
            double Times::*field;
            const char* missing;
        } figures[] = {
            {"start_mapped", "chimely", chimely, &Times::mappedMs, "no window mapped within 10 s"},
            {"start_mapped", "dialog", dialog, &Times::mappedMs, "no window mapped within 10 s"},
            {"start_register", "chimely", chimely, &Times::registerMs, "no REGISTER within 10 s"},
            {"start_register", "baresip", baresip, &Times::registerMs, "no REGISTER within 10 s"},
            {"start_register", "qt+sofia", floor, &Times::registerMs, "no REGISTER within 10 s"}};
        bool all = true;
        for (const auto& row : figures) {
            const double ms = figure(row.starts, row.field);
            std::printf("%-8s %-14s %7.1f ms (%s)\n", row.who, row.measure, ms, each(row.starts, row.field).c_str());
            if (ms >= 0)
                bench::result(row.measure, row.who, ms);
            else
                bench::failure(row.measure, row.who, row.missing);
            all = all && ms >= 0;
        }
        return all ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_start_up: %s\n", e.what());
        for (const char* measure : {"start_mapped", "start_register"})
            bench::failure(measure, "chimely", e.what());
        return 1;
    }
}
