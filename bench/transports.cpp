// SPDX-License-Identifier: MIT
// Benchmark: the program over UDP, TCP and TLS, one after the other, each against Kamailio on 127.0.0.1
// with the registrar named sip.bench.test (a dnsmasq of the benchmark's own answers for it, and the
// TLS certificate, from a throw-away authority, is for that name). For each: the time from the exec to
// the REGISTER with credentials reaching the registrar (the sign-in, the 200 follows at once), then at
// rest, with the keep-alives at their defaults (UDP every 25 s, TCP and TLS every 30 s): the processor
// time, the resident memory, and what crossed the benchmark's own network namespace (only the program and
// the registrar are in it): datagrams, TCP segments and IP bytes, both ways, scaled to an hour.
//
//   bench_transports [seconds of rest measured, 60]
#include "Measure.h"

#include "support/ChildProcess.h"
#include "support/Dnsmasq.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/Sipp.h"
#include "support/TestCa.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>

using namespace std::chrono_literals;

namespace {

// "Udp OutDatagrams", "Tcp OutSegs", "IpExt OutOctets": the namespace's counters of what was sent.
std::map<std::string, long long> counters() {
    std::map<std::string, long long> values;
    for (const char* file : {"/proc/net/snmp", "/proc/net/netstat"}) {
        std::ifstream in(file);
        std::string names, numbers;
        while (std::getline(in, names) && std::getline(in, numbers)) {
            std::istringstream n(names), v(numbers);
            std::string group, name, value;
            n >> group;
            v >> value;
            while (n >> name && v >> value)
                values[group.substr(0, group.size() - 1) + " " + name] = std::atoll(value.c_str());
        }
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) {
    test::enterPrivateNetwork();
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    try {
        if (!test::inPrivateNetwork())
            throw std::runtime_error("no network namespace of its own: " + test::privateNetworkProblem());
        // The program finds sip.bench.test through the benchmark's DNS server: its resolv.conf is put over
        // the system's in a mount namespace the program inherits.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            throw std::runtime_error("no mount namespace of its own");
        const std::string dir = test::makeTempDir("transports");
        test::TestCa ca(dir, "Bench");
        const test::TestCa::Issued certificate = ca.issue("server", {"sip.bench.test"});
        test::Dnsmasq dns({.address = "127.0.0.1",
                           .zone = "bench.test",
                           .records = {.hosts = {{"sip.bench.test", "127.0.0.1"}}}});
        dns.start();
        std::ofstream(dir + "/resolv.conf") << dns.resolvConf();
        if (mount((dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            throw std::runtime_error("cannot put the benchmark's resolv.conf in place");

        const test::SipUser alice{"alice", "bench.test", "alice-secret"};
        for (const auto& [name, protocol] : {std::pair{"udp", 0}, std::pair{"tcp", 1}, std::pair{"tls", 2}}) {
            test::Kamailio registrar({alice}, {.tlsCertificate = certificate.certificate, .tlsKey = certificate.key});
            registrar.start();
            const int port = protocol == 2 ? registrar.tlsPort() : registrar.port();
            test::Program program;
            program.writeSettings({{"Protocol", std::to_string(protocol)},
                                   {"OutboundProxy", "1"},
                                   {"Server", "sip.bench.test:" + std::to_string(port)},
                                   {"SigninName", alice.aor()},
                                   {"Password", alice.password},
                                   {"CaCertificates", ca.caFile()},
                                   {"LocalPort", std::to_string(test::freePort())}});
            const auto began = std::chrono::steady_clock::now();
            const pid_t pid = program.start({});
            if (!bench::waitFor([&] { return registrar.seen("alice", "REGISTER").size() >= 2; }, 10s))
                throw std::runtime_error(std::string(name) + ": the program did not sign in:\n" + registrar.log());
            const double signInMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
            std::this_thread::sleep_for(3s);

            const long long cpuBefore = bench::cpuNs(pid);
            const auto sentBefore = counters();
            const auto start = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            const long long cpuAfter = bench::cpuNs(pid);
            const auto sentAfter = counters();
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const bench::Footprint memory = bench::footprint(pid);
            const double perHour = 3600.0 / elapsed;
            auto delta = [&](const char* key) {
                return static_cast<double>(sentAfter.at(key) - sentBefore.at(key));
            };
            const double cpu = 100.0 * static_cast<double>(cpuAfter - cpuBefore) / (elapsed * 1e9);
            const double datagrams = delta("Udp OutDatagrams") * perHour;
            const double segments = delta("Tcp OutSegs") * perHour;
            const double kilobytes = delta("IpExt OutOctets") * perHour / 1000.0;
            std::printf("%s: signed in after %.1f ms; at rest for %.0f s: CPU %.3f %%, RSS %ld kB; an hour's "
                        "traffic both ways: %.0f datagrams, %.0f TCP segments, %.1f kB of IP\n",
                        name, signInMs, elapsed, cpu, memory.rssKb, datagrams, segments, kilobytes);
            // TLS is the one measured; TCP and UDP are its anchors.
            const std::string who = protocol == 2 ? "chimely" : std::string("chimely-") + name;
            bench::result("transport_sign_in", who, signInMs);
            bench::result("transport_idle_cpu", who, cpu);
            bench::result("transport_idle_rss", who, memory.rssKb / 1024.0);
            bench::result(std::string("keepalive_") + name + "_packets", "chimely", datagrams + segments);
            bench::result(std::string("keepalive_") + name + "_kb", "chimely", kilobytes);
            kill(pid, SIGTERM);
            program.waitFor(pid, 15s);
        }
        umount("/etc/resolv.conf");
        dns.stop();
        test::removeTempDir(dir);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_transports: %s\n", e.what());
        for (const char* measure : {"transport_sign_in", "transport_idle_cpu", "transport_idle_rss"})
            bench::failure(measure, "chimely", e.what());
        return 1;
    }
}
