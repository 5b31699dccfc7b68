// SPDX-License-Identifier: MIT
// A home network behind a NAT router, for tests of what real networks do to the agent: bindings that the
// router forgets after a quiet spell, an address that changes, a network that goes away and comes back.
// Called from the test's thread.
//
//   lan (the test program's own namespace)    router                      wan (the provider)
//   lan0 192.0.2.10/24  <-- veth -->  lan 192.0.2.1 | wan 198.51.100.2  <-- veth -->  wan0 198.51.100.1
//
// The lan is the network namespace the test program moved into before main (test::enterPrivateNetwork),
// so the test's own agent sits behind the router as a user's would, while its loopback still carries
// whatever the test runs on 127.0.0.1. The router forwards and masquerades what the lan sends out of its
// wan side, drops what the wan starts towards the lan, and keeps its connection-tracking timeouts (how
// long a binding lives without traffic) as the test sets them. The provider's namespace holds the test's
// registrar, its second user and its DNS server (Kamailio, Baresip and Dnsmasq with prefix = inWan() and
// address kProviderAddress); its default route points at the router, as baresip needs one.
//
// Every namespace gets a name that holds the test program's id, so that test programs never meet, and
// the test program's own namespace gets one too: `ip netns exec <lanName()>` then starts a process in the
// lan with the lab's resolv.conf in place of the machine's (the program itself, or chimely_dns_probe).
// The destructor deletes the namespaces and the lab's /etc/netns entry and gives the lan back its route
// through loopback; a later lab also clears what a test program that was killed left behind.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace test {

// One flow the router tracks, from its connection-tracking table.
struct NatBinding {
    int protocol = 0;  // IPPROTO_UDP, IPPROTO_TCP, IPPROTO_ICMP, ...
    // The first packet's sender and receiver.
    std::string lanAddress;
    int lanPort = 0;
    std::string remoteAddress;
    int remotePort = 0;
    // Where the receiver's answers go: the router's wan address and the port it picked when masqueraded,
    // the sender's own otherwise.
    std::string publicAddress;
    int publicPort = 0;
    // Until the router forgets the flow if nothing more passes.
    int secondsLeft = 0;
};

class NatLab {
public:
    static constexpr const char* kLanAddress = "192.0.2.10";
    static constexpr const char* kRouterLanAddress = "192.0.2.1";
    static constexpr const char* kRouterWanAddress = "198.51.100.2";
    static constexpr const char* kProviderAddress = "198.51.100.1";

    // How long the router keeps a binding without traffic, in seconds (the kernel's defaults here).
    struct Timeouts {
        // A UDP flow that has had no answer, or has had answers for less than two seconds.
        int udp = 30;
        // A UDP flow that has gone both ways for longer than that (a "stream").
        int udpStream = 120;
        // An established TCP connection.
        int tcpEstablished = 7440;
    };
    struct Options {
        Timeouts timeouts;
        // Whether the router picks a port of its own for every flow, as carrier-grade NATs do, rather
        // than keeping the sender's port where it is free.
        bool randomPorts = false;
    };

    NatLab();
    explicit NatLab(Options options);
    ~NatLab();
    NatLab(const NatLab&) = delete;
    NatLab& operator=(const NatLab&) = delete;

    // Whether the lab stands; if not, why (not root, no private network, no nft, ...), for a skip.
    bool ok() const { return m_problem.empty(); }
    const std::string& problem() const { return m_problem; }

    const std::string& lanName() const { return m_lan; }
    const std::string& routerName() const { return m_router; }
    const std::string& wanName() const { return m_wan; }
    // Command prefixes that run a program in each namespace: {"ip", "netns", "exec", name}.
    std::vector<std::string> inLan() const;
    std::vector<std::string> inRouter() const;
    std::vector<std::string> inWan() const;

    // A socket (SOCK_DGRAM, SOCK_STREAM) made in the provider's namespace, not yet bound, for a peer of
    // the test's own there; the caller closes it.
    int wanSocket(int type) const;

    // The resolv.conf that processes started with inLan() read instead of /etc/resolv.conf (say
    // "nameserver 198.51.100.1\n"), and where it is, for an agent in the test program itself.
    void setResolvConf(const std::string& text);
    std::string resolvConfPath() const;

    // The lan's own address now (kLanAddress at first).
    const std::string& lanAddress() const { return m_lanAddress; }
    // Moves the lan to another address of 192.0.2.0/24, as a machine that gets a new lease does: the old
    // one goes, the new one comes, and the default route through the router comes back (when online).
    void setLanAddress(const std::string& address);
    // Removes the lan's default route (offline: sending beyond the lan fails at once) or puts it back.
    void setOnline(bool online);
    // Takes the lan's interface down or up, as a cable pulled or a Wi-Fi lost: address and routes go
    // with it and come back with it.
    void setLanLink(bool up);
    // Takes the router's wan link down or up: the lan stays, the provider is out of reach.
    void setUplink(bool up);
    // Applies to flows from their next packet on; a flow's time left is not shortened at once.
    void setTimeouts(const Timeouts& timeouts);

    // The router's tracked flows now (masqueraded ones and any others).
    std::vector<NatBinding> bindings() const;
    // Makes the router forget every flow at once, as a router that restarts: the next packet out gets a
    // new binding, maybe another public port, and what the provider sends to an old one is dropped.
    void forgetBindings();

    struct Result {
        int exitCode = -1;  // as ChildProcess::exitCode; -1 when it did not end within the time
        std::string output;
    };
    // Runs a command (say inRouter() + {"nft", "list", "ruleset"}), bounded in time, with `input` on
    // its stdin.
    static Result run(const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5),
                      const std::string& input = "");

private:
    void build();
    void teardown();
    // Runs the command and throws with its output when it fails.
    void must(const std::vector<std::string>& args) const;
    void restoreDefaultRoute() const;
    // The netfilter netlink request `type` (IPCTNL_MSG_CT_*) to the router, handing each answer's
    // attributes to `entry`; throws when the kernel refuses.
    void conntrackRequest(int type, int flags,
                          const std::function<void(const char*, std::size_t)>& entry) const;

    Options m_options;
    std::string m_problem;
    std::string m_lan;
    std::string m_router;
    std::string m_wan;
    std::string m_lanAddress;
    bool m_online = true;
    bool m_lanUp = true;
    // What stands so far, for the teardown of a lab that could not be finished.
    bool m_madeRouter = false;
    bool m_madeWan = false;
    bool m_namedLan = false;
    bool m_madeLanLink = false;
    bool m_madeEtc = false;
    bool m_madeEtcNetns = false;
    // A netfilter netlink socket opened inside the router's namespace.
    int m_conntrack = -1;
    mutable unsigned m_sequence = 0;
};

}  // namespace test

#define CHIMELY_REQUIRE_NAT_LAB(lab)                                           \
    do {                                                                       \
        if (!(lab).ok())                                                       \
            GTEST_SKIP() << "needs a NAT lab of its own: " << (lab).problem(); \
    } while (false)
