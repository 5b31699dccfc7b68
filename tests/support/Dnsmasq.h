// SPDX-License-Identifier: MIT
// The DNS server of a test's network: dnsmasq with only the records the test gives (host addresses,
// SRV, NAPTR) for one zone, and nothing from the machine (no /etc/hosts, no upstream servers). It runs
// as a child process, usually in a NatLab's provider namespace, and logs every query it gets, so that a
// test can count how often the agent asked. Called from the test's thread.
//
// Names of the zone without records are answered "no such name" in one of two shapes, and a resolver
// treats them differently:
//   - plain (soa false): NXDOMAIN, and NOERROR with no answer for a name that has other types, both
//     without an SOA record. Such an answer says nothing of how long it holds; a resolver should not
//     keep it.
//   - authoritative (soa true): the zone is dnsmasq's own ("auth zone"); every negative answer carries
//     the zone's SOA in its authority section, whose minimum is `ttl`: a resolver may keep the answer
//     that long, no longer. These answers come without the "recursion available" flag.
// Every record is served with `ttl` as its time to live (0: not to be kept at all).
//
// dnsmasq reads SRV and NAPTR records only when it starts: setRecords() restarts it. Queries that come
// in the few milliseconds between are refused by the kernel (ICMP port unreachable), which a stub
// resolver takes as "try again".
#pragma once

#include "support/NatLab.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace test {

class ChildProcess;

class Dnsmasq {
public:
    // --host-record: name to its addresses, IPv4 or IPv6 (several: "192.0.2.1,2001:db8::1").
    struct Host {
        std::string name;
        std::string address;
    };
    // --srv-host: "_sip._udp.example.test" to target:port.
    struct Srv {
        std::string service;
        std::string target;
        int port = 5060;
        int priority = 0;
        int weight = 0;
    };
    // --naptr-record, as RFC 3263 uses it: order, preference, flags "S", service "SIP+D2U", no regexp and
    // the SRV name as the replacement.
    struct Naptr {
        std::string name;
        int order = 10;
        int preference = 0;
        std::string flags = "S";
        std::string service;
        std::string regexp;
        std::string replacement;
    };
    struct Records {
        std::vector<Host> hosts;
        std::vector<Srv> srv;
        std::vector<Naptr> naptr;
    };
    struct Options {
        // A command it runs under (NatLab::inWan()), and the address it listens on, port 53; the test
        // program must reach that address (it waits for a first answer there).
        std::vector<std::string> prefix;
        std::string address = NatLab::kProviderAddress;
        std::string zone = "example.test";
        // Negative answers with the zone's SOA (see above), or without.
        bool soa = false;
        int ttl = 0;
        Records records;
    };

    explicit Dnsmasq(Options options);
    ~Dnsmasq();
    Dnsmasq(const Dnsmasq&) = delete;
    Dnsmasq& operator=(const Dnsmasq&) = delete;

    // Starts dnsmasq and waits until it answers; throws with its log when it does not within `timeout`.
    void start(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void stop();
    bool running() const;
    // Serves `records` from now on (a restart, when it runs).
    void setRecords(Records records);

    // A resolv.conf that sends a stub resolver here, with short time-outs (NatLab::setResolvConf).
    std::string resolvConf() const;
    // Everything dnsmasq logged, over all its starts.
    std::string log() const;
    // The queries it got, in order over all its starts, as "SRV _sip._udp.example.test" (its own
    // readiness probes left out).
    std::vector<std::string> queries() const;

private:
    std::vector<std::string> arguments() const;
    bool answers() const;

    Options m_options;
    std::string m_dir;
    int m_starts = 0;
    std::unique_ptr<ChildProcess> m_process;
};

// One DNS query made by chimely_dns_probe run under `prefix` (NatLab::inLan(): through the lab's
// resolv.conf), with what came back.
struct DnsReply {
    bool answered = false;
    std::string rcode;  // "NOERROR", "NXDOMAIN", "SERVFAIL", "REFUSED", ...
    bool authoritative = false;
    // Records in zone-file form: "_sip._udp.example.test. 0 SRV 0 10 5060 sip.example.test."
    std::vector<std::string> answer;
    std::vector<std::string> authority;
    std::vector<std::string> additional;
    std::string output;  // all the probe printed, for failure messages
};
DnsReply queryDns(const std::vector<std::string>& prefix, const std::string& type, const std::string& name);

}  // namespace test
