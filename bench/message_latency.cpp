// SPDX-License-Identifier: MIT
// Benchmark: how long an incoming MESSAGE waits for its 200, in the program itself and, in the same
// run, in baresip. The program runs as its own process (offscreen, its own home and settings); SIPp
// sends MESSAGEs at a steady rate on 127.0.0.1, first to the program, then the very same requests to
// baresip and to the floor of both, a bare sofia-sip agent that answers in its callback
// (bench_anchor_answer), either directly or through a Kamailio at which the receiver has registered (one
// Kamailio for the whole run, each receiver's sign-in replacing the one before). Each
// request's send and its answer's arrival are taken from SIPp's own microsecond trace, so each figure is the
// whole round trip seen from the peer, loopback (and the proxy) both ways included. The three take turns:
// five rounds, each sending a fifth of the MESSAGEs to each of them and each begun by another of them, so
// that a change in the machine's speed over the run (in a virtual machine, several times over) falls on all
// three alike; the figures are over all of a subject's rounds.
//
//   bench_message_latency [count, 500] [rate per second, 50] [udp|tcp] [direct|proxy]
//
// Everything runs in a network namespace of the benchmark's own (baresip needs its default route).
#include "Measure.h"

#include "support/Baresip.h"
#include "support/ChildProcess.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

struct Run {
    int count;
    int rate;
    bool tcp;
    bool proxy;

    std::string name() const { return std::string(tcp ? "tcp" : "udp") + (proxy ? "_proxy" : "_direct"); }
};

const test::SipUser kReceiver{"agent", "127.0.0.1", "agent-secret"};
constexpr int kRounds = 5;
// From a receiver's being ready to the first MESSAGE: past what the program does once in its first second
// (its stack's thread reserves its heap then, some milliseconds), which would otherwise fall on a text of
// every round.
constexpr auto kSettle = 1500ms;

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

// A subject's latencies in one round, or why it has none.
struct Sample {
    std::vector<double> values;
    std::string failure;
};

Sample failed(const std::string& reason) {
    return {{}, reason};
}

// Sends the round's MESSAGEs to `port`. A round in which any was not answered 200 gives no figures: its
// slowest answers would be missing from them.
Sample measure(const Run& run, int port) {
    test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "ping", 200,
                                                       kReceiver.user),
                     .tcp = run.tcp,
                     .remote = "127.0.0.1:" + std::to_string(port),
                     .calls = run.count,
                     .extra = {"-r", std::to_string(run.rate)}});
    peer.start();
    if (!peer.wait(std::chrono::seconds(run.count / std::max(run.rate, 1) + 30)))
        peer.stop();
    std::vector<double> values = latencies(peer);
    if (values.size() != static_cast<std::size_t>(run.count))
        return failed(std::to_string(values.size()) + " of " + std::to_string(run.count) +
                      " MESSAGEs answered 200 (final answers: " + bench::finalAnswers(peer) + ")");
    return {std::move(values), {}};
}

// Reports `who` over all its rounds, or why it has no figures, on the benchmark's output and to
// bench_report.
bool report(const char* who, const Run& run, std::vector<double> values, const std::string& failure) {
    if (!failure.empty()) {
        std::printf("%-8s not measured: %s\n", who, failure.c_str());
        bench::failure("latency_" + run.name() + "_median", who, failure);
        bench::failure("latency_" + run.name() + "_p99", who, failure);
        return false;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double fraction) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()))];
    };
    std::printf("%-8s %zu MESSAGEs answered, %d/s over %s %s: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                who, values.size(), run.rate, run.tcp ? "TCP" : "UDP",
                run.proxy ? "through Kamailio" : "directly", at(0.5), at(0.99), values.back());
    bench::result("latency_" + run.name() + "_median", who, at(0.5));
    bench::result("latency_" + run.name() + "_p99", who, at(0.99));
    return true;
}

// Through a proxy, the Kamailio the receivers sign in at in turn, one for the whole run: each Kamailio
// started has speeds of its own (where its processes run, what they share), and one for each subject's
// round moved a subject's median through it by up to half. Each sign-in replaces the one before it.
std::unique_ptr<test::Kamailio> registrarFor(const Run& run) {
    if (!run.proxy)
        return nullptr;
    test::Kamailio::Options options;
    options.oneBindingPerUser = true;
    auto registrar = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kReceiver}, options);
    registrar->start();
    return registrar;
}

// REGISTERs the registrar has seen so far; none directly.
std::size_t registersSeen(const test::Kamailio* registrar) {
    return registrar ? registrar->seen(kReceiver.user, "REGISTER").size() : 0;
}

// Until the receiver is signed in at the registrar (a challenge and the answer, after the `before`
// REGISTERs of the receivers before it) or, directly, has its port.
bool receiverReady(const test::Kamailio* registrar, std::size_t before, const Run& run, int port) {
    return registrar ? bench::waitFor([&] { return registersSeen(registrar) >= before + 2; }, 10s)
                     : bench::waitFor(
                           [&] { return !test::bindable(run.tcp ? SOCK_STREAM : SOCK_DGRAM, port); }, 10s);
}

Sample measureChimely(const Run& run, const test::Kamailio* registrar) {
    const std::size_t before = registersSeen(registrar);
    const int port = test::freePort();
    test::Program program;
    program.writeSettings(
        {{"Protocol", run.tcp ? "1" : "0"},
         {"OutboundProxy", "1"},
         // Directly, the program signs in at a port where nobody listens, as it would when offline.
         {"Server", "127.0.0.1:" + std::to_string(registrar ? registrar->port() : test::freePort())},
         {"SigninName", kReceiver.aor()},
         {"Password", kReceiver.password},
         {"LocalPort", std::to_string(port)}});
    const pid_t pid = program.start({});
    const bool ready = receiverReady(registrar, before, run, port);
    if (!ready || !program.running(pid)) {
        std::printf("%s\n", program.log(1).c_str());
        return failed(registrar ? "did not sign in at Kamailio" : "did not open its port");
    }
    std::this_thread::sleep_for(kSettle);
    return measure(run, registrar ? registrar->port() : port);
}

// The bare sofia-sip agent: what the stack itself costs, so that the program's own share can be told.
Sample measureFloor(const Run& run, const test::Kamailio* registrar) {
    const std::size_t before = registersSeen(registrar);
    const int port = test::freePort();
    std::vector<std::string> words = {bench::sibling("bench_anchor_answer"), std::to_string(port),
                                      run.tcp ? "tcp" : "udp"};
    if (registrar)
        words.insert(words.end(), {"127.0.0.1:" + std::to_string(registrar->port()), kReceiver.aor(),
                                   kReceiver.password});
    const std::string dir = test::makeTempDir("latency-floor");
    test::ChildProcess anchor;
    anchor.start(words, dir + "/anchor.log");
    const bool ready = receiverReady(registrar, before, run, port);
    Sample sample;
    if (!ready) {
        std::printf("%s\n", test::readTextFile(dir + "/anchor.log").c_str());
        sample = failed(registrar ? "did not sign in at Kamailio" : "did not open its port");
    } else {
        std::this_thread::sleep_for(kSettle);
        sample = measure(run, registrar ? registrar->port() : port);
    }
    anchor.stop();
    test::removeTempDir(dir);
    return sample;
}

Sample measureBaresip(const Run& run, const test::Kamailio* registrar) {
    if (!test::inPrivateNetwork())
        return failed("no network namespace (" + test::privateNetworkProblem() + ")");
    // The user the requests are for, as the program is: each answers 404 for a user it is not.
    test::Baresip baresip(
        {.user = kReceiver, .outboundProxy = registrar ? registrar->uri(run.tcp) : "", .tcp = run.tcp});
    try {
        baresip.start();
    } catch (const std::exception& e) {
        return failed(std::string("did not start: ") + e.what());
    }
    if (registrar && !baresip.waitForRegistration(10s)) {
        std::printf("%s\n", baresip.output().c_str());
        return failed("did not register at Kamailio");
    }
    std::this_thread::sleep_for(kSettle);
    Sample sample = measure(run, registrar ? registrar->port() : baresip.sipPort());
    baresip.stop();
    return sample;
}

}  // namespace

int main(int argc, char** argv) {
    // First, while the benchmark has one thread.
    test::enterPrivateNetwork();
    const Run run{argc > 1 ? std::atoi(argv[1]) : 500, argc > 2 ? std::atoi(argv[2]) : 50,
                  argc > 3 && std::string(argv[3]) == "tcp", argc > 4 && std::string(argv[4]) == "proxy"};
    try {
        std::printf("load average %s\n", bench::loadAverage().c_str());
        Run round = run;
        round.count = std::max(1, run.count / kRounds);
        const struct {
            const char* who;
            Sample (*measure)(const Run&, const test::Kamailio*);
        } subjects[] = {{"chimely", measureChimely}, {"baresip", measureBaresip}, {"sofia", measureFloor}};
        const std::unique_ptr<test::Kamailio> registrar = registrarFor(run);
        std::map<std::string, Sample> all;
        constexpr int kSubjects = sizeof subjects / sizeof subjects[0];
        for (int turn = 0; turn < kRounds; ++turn) {
            // Each round starts with another subject, so that none is always the one after a cold start.
            for (int i = 0; i < kSubjects; ++i) {
                const auto& subject = subjects[(turn + i) % kSubjects];
                Sample& so_far = all[subject.who];
                // A subject that failed a round is not measured again: its figures would leave that round out.
                if (!so_far.failure.empty())
                    continue;
                Sample sample = subject.measure(round, registrar.get());
                so_far.failure = sample.failure;
                so_far.values.insert(so_far.values.end(), sample.values.begin(), sample.values.end());
            }
        }
        bool complete = true;
        for (const auto& subject : subjects) {
            Sample& sample = all[subject.who];
            complete = report(subject.who, run, std::move(sample.values), sample.failure) && complete;
        }
        return complete ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_message_latency: %s\n", e.what());
        return 1;
    }
}
