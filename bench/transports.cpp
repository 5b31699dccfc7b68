// SPDX-License-Identifier: MIT
// Benchmark: the program over UDP, TCP and TLS, one after the other, each against Kamailio on 127.0.0.1
// with the registrar named sip.bench.test (a dnsmasq of the benchmark's own answers for it, and the
// TLS certificate, from a throw-away authority, is for that name). For each: the time from the exec to
// the REGISTER with credentials reaching the registrar (the sign-in, the 200 follows at once), then at
// rest, with the keep-alives at their defaults (UDP every 25 s, TCP and TLS every 30 s): the processor
// time, the resident memory, and what crossed the benchmark's own network namespace (only the program and
// the registrar are in it): datagrams, TCP segments and IP bytes, both ways, scaled to an hour.
//
// Then both address families: the namespace gets 192.0.2.1 and 2001:db8:1::1 on its loopback, Kamailio
// listens on both, and the program signs in over UDP, TCP and TLS to a name with only an A record
// (v4.bench.test) beside one with only an AAAA record (v6.bench.test), in the same run; and over UDP to
// a name with both (sip.bench.test) while an nft rule drops one family's packets to the registrar,
// IPv6 then IPv4 (the layer races the families: not the 32 s of an unanswered REGISTER).
//
//   bench_transports [seconds of rest measured, 60]
#include "Measure.h"

#include "support/ChildProcess.h"
#include "support/Dnsmasq.h"
#include "support/Kamailio.h"
#include "support/NatLab.h"
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
        const test::TestCa::Issued certificate =
            ca.issue("server", {"sip.bench.test", "v4.bench.test", "v6.bench.test"});
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"ip", "address", "add", "192.0.2.1/32", "dev", "lo"},
              std::vector<std::string>{"ip", "address", "add", "2001:db8:1::1/64", "dev", "lo", "nodad"},
              std::vector<std::string>{"ip", "-6", "route", "add", "default", "dev", "lo"}})
            if (test::NatLab::run(command).exitCode != 0)
                throw std::runtime_error("cannot give the namespace its addresses (" + command[3] + ")");
        test::Dnsmasq dns({.address = "127.0.0.1",
                           .zone = "bench.test",
                           .records = {.hosts = {{"sip.bench.test", "127.0.0.1"},
                                                 {"v4.bench.test", "192.0.2.1"},
                                                 {"v6.bench.test", "2001:db8:1::1"},
                                                 {"both.bench.test", "192.0.2.1,2001:db8:1::1"}}}});
        dns.start();
        std::ofstream(dir + "/resolv.conf") << dns.resolvConf();
        if (mount((dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            throw std::runtime_error("cannot put the benchmark's resolv.conf in place");

        const test::SipUser alice{"alice", "bench.test", "alice-secret"};
        for (const auto& [name, protocol] : {std::pair{"udp", 0}, std::pair{"tcp", 1}, std::pair{"tls", 2}}) {
            test::Kamailio registrar({alice},
                                     {.tlsCertificate = certificate.certificate, .tlsKey = certificate.key});
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
                throw std::runtime_error(std::string(name) + ": the program did not sign in:\n" +
                                         registrar.log());
            const double signInMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
            std::this_thread::sleep_for(3s);

            const long long cpuBefore = bench::cpuNs(pid);
            const auto sentBefore = counters();
            const auto start = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            const long long cpuAfter = bench::cpuNs(pid);
            const auto sentAfter = counters();
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const bench::Footprint memory = bench::footprint(pid);
            const double perHour = 3600.0 / elapsed;
            auto delta = [&](const char* key) {
                return static_cast<double>(sentAfter.at(key) - sentBefore.at(key));
            };
            const double cpu = 100.0 * static_cast<double>(cpuAfter - cpuBefore) / (elapsed * 1e9);
            const double datagrams = delta("Udp OutDatagrams") * perHour;
            const double segments = delta("Tcp OutSegs") * perHour;
            const double kilobytes = delta("IpExt OutOctets") * perHour / 1000.0;
            std::printf(
                "%s: signed in after %.1f ms; at rest for %.0f s: CPU %.3f %%, RSS %ld kB; an hour's "
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
        // Both families, each alone, then one of them dropped on the way.
        test::Kamailio registrar({alice}, {.address = "192.0.2.1",
                                           .alsoAddresses = {"2001:db8:1::1"},
                                           .tlsCertificate = certificate.certificate,
                                           .tlsKey = certificate.key});
        registrar.start();
        auto signIn = [&](const std::string& name, int protocol, const std::string& dropped) {
            const int port = protocol == 2 ? registrar.tlsPort() : registrar.port();
            test::NatLab::run({"nft", "delete", "table", "inet", "bench_drop"});
            if (!dropped.empty() &&
                test::NatLab::run(
                    {"nft", "-f", "-"}, 5s,
                    "table inet bench_drop {\nchain in {\ntype filter hook input priority 0;\n" + dropped +
                        " daddr " + (dropped == "ip" ? "192.0.2.1" : "2001:db8:1::1") + " udp dport " +
                        std::to_string(port) + " drop\n}\n}\n")
                        .exitCode != 0)
                throw std::runtime_error("nft cannot drop " + dropped);
            test::Program program;
            program.writeSettings({{"Protocol", std::to_string(protocol)},
                                   {"OutboundProxy", "1"},
                                   {"Server", name + ":" + std::to_string(port)},
                                   {"SigninName", alice.aor()},
                                   {"Password", alice.password},
                                   {"CaCertificates", ca.caFile()},
                                   {"LocalPort", std::to_string(test::freePort())}});
            const std::size_t before = registrar.seen("alice", "REGISTER").size();
            const auto began = std::chrono::steady_clock::now();
            const pid_t pid = program.start({});
            const bool signedIn =
                bench::waitFor([&] { return registrar.seen("alice", "REGISTER").size() >= before + 2; }, 40s);
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
            kill(pid, SIGTERM);
            program.waitFor(pid, 15s);
            test::NatLab::run({"nft", "delete", "table", "inet", "bench_drop"});
            if (!signedIn)
                throw std::runtime_error(name + (dropped.empty() ? "" : " with " + dropped + " dropped") +
                                         ": the program did not sign in within 40 s:\n" + registrar.log());
            return ms;
        };
        for (const auto& [name, protocol] : {std::pair{"udp", 0}, std::pair{"tcp", 1}, std::pair{"tls", 2}}) {
            const double v4 = signIn("v4.bench.test", protocol, "");
            const double v6 = signIn("v6.bench.test", protocol, "");
            std::printf("%s: signed in over IPv4 after %.1f ms, over IPv6 after %.1f ms\n", name, v4, v6);
            bench::result(std::string("family_sign_in_") + name, "chimely", v6);
            bench::result(std::string("family_sign_in_") + name, "chimely-ipv4", v4);
        }
        const double withoutV6 = signIn("both.bench.test", 0, "ip6");
        const double withoutV4 = signIn("both.bench.test", 0, "ip");
        std::printf(
            "udp, both families named: signed in after %.1f ms with IPv6 dropped, %.1f ms with IPv4 "
            "dropped\n",
            withoutV6, withoutV4);
        bench::result("family_dropped_v6", "chimely", withoutV6);
        bench::result("family_dropped_v4", "chimely", withoutV4);
        registrar.stop();

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
