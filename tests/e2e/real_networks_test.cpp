// SPDX-License-Identifier: MIT
// The main window object on the networks people have, built in namespaces of the test's own (NatLab):
// alice (the agent, in the test program itself) at home behind a masquerading router that forgets quiet
// flows after a few seconds; Kamailio and bob (baresip) at the provider. Texts still reach alice after a
// quiet spell longer than the router's memory, over UDP and TCP; a registrar without NAT help binds her
// public address; bob sees her online; a new address of hers is registered within 10 s; offline she uses
// no processor and signs in again within 10 s of the network coming back; a domain whose records appear
// after a "no such name" is found at the next attempt. Then both address families on one machine (see
// DualStackTest below).
//
//   alice (192.0.2.10)      router (198.51.100.2)       Kamailio, bob (198.51.100.1)
//     | REGISTER               |                          |
//     |------------------------|------------------------->|   binding: the public address
//     | CRLF CRLF, every 1 s   |   (the router keeps the  |
//     |------------------------|--> mapping it forgets    |
//     |                        |    after 3 s of quiet)   |
//     |       MESSAGE          |         MESSAGE          |   bob's text, long after
//     |<-----------------------|<-------------------------|
#include "support/Baresip.h"
#include "support/ChildProcess.h"
#include "support/Dnsmasq.h"
#include "support/Hub.h"
#include "support/Kamailio.h"
#include "support/NatLab.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/TestCa.h"

#include "res/Resource.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iostream>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

const test::SipUser kAlice{"alice", "example.test", "behind:the:router"};
const test::SipUser kBob{"bob", "example.test", "bob123"};

// How long the router remembers a quiet flow here, and how often the agent's keep-alives go.
constexpr int kRouterMemorySeconds = 3;
constexpr std::chrono::seconds kKeepAlive{1};

// The agent in this process reads its name servers from /etc/resolv.conf: in a mount namespace of the
// process's own, the lab's resolv.conf is put there. False when that cannot be done.
bool useLabResolver(const test::NatLab& lab) {
    static bool unshared =
        unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return unshared &&
           mount(lab.resolvConfPath().c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
}

// The processor time this process has used (all its threads), in milliseconds.
long processorMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000L;
}

class RealNetworksTest : public ::testing::Test {
protected:
    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_lab = std::make_unique<test::NatLab>(
            test::NatLab::Options{.timeouts = {.udp = kRouterMemorySeconds,
                                               .udpStream = kRouterMemorySeconds,
                                               .tcpEstablished = kRouterMemorySeconds}});
        CHIMELY_REQUIRE_NAT_LAB(*m_lab);
    }

    void TearDown() override {
        if (HasFailure()) {
            if (m_hub)
                std::cerr << "--- alice's status: " << m_hub->status() << "\n";
            if (m_bob)
                std::cerr << "--- bob's output:\n" << m_bob->output();
            if (m_kamailio)
                std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        }
        m_hub.reset();
        m_bob.reset();
        m_kamailio.reset();
        m_dns.reset();
        if (m_resolverMounted)
            umount("/etc/resolv.conf");
        m_lab.reset();
    }

    void startProvider(bool natHelp, bool tcp, const test::TestCa::Issued& tls = {}) {
        m_kamailio = std::make_unique<test::Kamailio>(
            std::vector<test::SipUser>{kAlice, kBob},
            test::Kamailio::Options{.prefix = m_lab->inWan(),
                                    .address = test::NatLab::kProviderAddress,
                                    .natHelp = natHelp,
                                    .tlsCertificate = tls.certificate,
                                    .tlsKey = tls.key});
        m_kamailio->start();
        m_tcp = tcp;
    }

    // alice through the provider's server (by its address, or `server`); or, with `automatic`, found
    // from her domain.
    void startAlice(bool automatic = false, ChimelyDelays delays = {}, std::string server = "",
                    const std::string& caCertificates = "") {
        delays.datagramKeepAlive = kKeepAlive;
        delays.streamKeepAlive = kKeepAlive;
        if (server.empty())
            server = std::string(test::NatLab::kProviderAddress) + ":" + std::to_string(m_kamailio->port());
        m_hub = std::make_unique<test::Hub>(
            test::Hub::Settings{.protocol = caCertificates.empty() ? m_tcp ? 1 : 0 : 2,
                                .outboundProxy = automatic ? 0 : 1,
                                .signin = kAlice.aor(),
                                .password = kAlice.password,
                                .server = server,
                                .caCertificates = caCertificates},
            delays);
        m_hub->start();
    }

    bool signedIn(std::chrono::milliseconds within = 10s) {
        return m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }, within);
    }

    void startBob(bool watchAlice = false) {
        m_bob = std::make_unique<test::Baresip>(
            test::Baresip::Options{.user = kBob,
                                   .outboundProxy = m_kamailio->uri(m_tcp),
                                   .tcp = m_tcp,
                                   .contacts = {{"alice", kAlice.uri(), watchAlice}},
                                   .prefix = m_lab->inWan(),
                                   .address = test::NatLab::kProviderAddress});
        m_bob->start();
        ASSERT_TRUE(m_bob->waitForRegistration(5s, pump()));
        ASSERT_TRUE(m_bob->selectContact(kAlice.uri()));
    }

    std::function<void()> pump() {
        return [this] { m_hub->waitFor(20ms); };
    }

    // bob's text, after a quiet spell longer than the router remembers a flow, reaches alice's window.
    void expectTextAfterQuiet(const std::string& text) {
        m_hub->waitFor(std::chrono::seconds(2 * kRouterMemorySeconds + 1));
        const std::size_t before = m_hub->boxes.openCount();
        ASSERT_TRUE(m_bob->message(text));
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->boxes.openCount() == before + 1; }, 8s))
            << "the text did not arrive";
        EXPECT_EQ(text, m_hub->boxes.open(before).text);
    }

    std::unique_ptr<test::NatLab> m_lab;
    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::Baresip> m_bob;
    std::unique_ptr<test::Dnsmasq> m_dns;
    std::unique_ptr<test::Hub> m_hub;
    bool m_tcp = false;
    bool m_resolverMounted = false;
};

TEST_F(RealNetworksTest, UdpTextAfterAQuietSpellArrives) {
    startProvider(true, false);
    startAlice();
    ASSERT_TRUE(signedIn()) << m_hub->status();
    startBob();
    expectTextAfterQuiet("still there?");
}

TEST_F(RealNetworksTest, TcpTextAfterAQuietSpellArrives) {
    startProvider(true, true);
    startAlice();
    ASSERT_TRUE(signedIn()) << m_hub->status();
    startBob();
    expectTextAfterQuiet("still connected?");
}

// Over TLS the kernel's keep-alive keeps the router's mapping of the registration's connection, which
// the stack's TLS transport has no keep-alive of its own for. The server is named, as its certificate
// says, through the provider's DNS server.
TEST_F(RealNetworksTest, TlsTextAfterAQuietSpellArrives) {
    const std::string dir = test::makeTempDir("lab-tls");
    {
        test::TestCa ca(dir, "Provider");
        startProvider(true, true, ca.issue("server", {"sip.example.test"}));
        m_dns = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Options{
            .prefix = m_lab->inWan(),
            .records = {.hosts = {{"sip.example.test", test::NatLab::kProviderAddress}}}});
        m_dns->start();
        m_lab->setResolvConf(m_dns->resolvConf());
        ASSERT_TRUE(m_resolverMounted = useLabResolver(*m_lab));
        startAlice(false, {}, "sip.example.test:" + std::to_string(m_kamailio->tlsPort()), ca.caFile());
        ASSERT_TRUE(signedIn()) << m_hub->status();
        startBob();
        expectTextAfterQuiet("still encrypted?");
        for (const std::string& request : m_kamailio->seen(kAlice.user, "REGISTER"))
            EXPECT_NE(std::string::npos, request.find(" over tls ")) << request;
    }
    test::removeTempDir(dir);
}

// A registrar that takes the Contact as it is given reaches alice only at the public address the router
// gives her, which the answers to her REGISTER tell (Via received and rport). bob's watch of her presence
// crosses the router the same way.
TEST_F(RealNetworksTest, PlainRegistrarBindsThePublicAddressAndReachesAlice) {
    startProvider(false, false);
    startAlice();
    ASSERT_TRUE(signedIn()) << m_hub->status();
    ASSERT_TRUE(m_hub->waitUntil(
        [&] {
            const auto bindings = m_kamailio->bindings(kAlice.aor());
            return bindings.size() == 1 &&
                   bindings[0].find(test::NatLab::kRouterWanAddress) != std::string::npos;
        },
        5s))
        << (m_kamailio->bindings(kAlice.aor()).empty() ? "none" : m_kamailio->bindings(kAlice.aor())[0]);
    startBob(true);
    EXPECT_TRUE(m_bob->waitForPresence(kAlice.uri(), "Online", 10s, pump())) << m_bob->presence(kAlice.uri());
    expectTextAfterQuiet("found you");
}

// Another lease: the old address goes, a new one comes; the registration follows from it within 10 s.
TEST_F(RealNetworksTest, ChangedAddressIsRegisteredWithinTenSeconds) {
    startProvider(false, false);
    startAlice();
    ASSERT_TRUE(signedIn()) << m_hub->status();
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status().empty(); }, 5s));
    const std::size_t registers = m_kamailio->seen(kAlice.user, "REGISTER").size();
    m_lab->setLanAddress("192.0.2.77");
    EXPECT_TRUE(
        m_hub->waitUntil([&] { return m_kamailio->seen(kAlice.user, "REGISTER").size() > registers; }, 10s));
    EXPECT_EQ("", m_hub->status()) << "the user saw something";
    startBob();
    expectTextAfterQuiet("new address, same alice");
}

// Offline at start (no default route, no way to the name server): each attempt fails at once, with the
// reason in the panel, and the agent rests in between; when the network comes back it signs in within
// 10 s, without waiting for its next attempt a minute later. With automatic configuration (the domain's
// records) and with a server named by its host name alike: no name reaches the stack's resolver, which
// would spin without a route to its server.
TEST_F(RealNetworksTest, OfflineAgentRestsAndSignsInWhenTheNetworkComesBack) {
    m_lab->setResolvConf(std::string("nameserver ") + test::NatLab::kProviderAddress + "\n");
    ASSERT_TRUE(m_resolverMounted = useLabResolver(*m_lab));
    startProvider(true, false);
    m_dns = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Options{
        .prefix = m_lab->inWan(),
        .records = {.hosts = {{"sip.example.test", test::NatLab::kProviderAddress}},
                    .srv = {{"_sip._udp.example.test", "sip.example.test", m_kamailio->port()}}}});
    m_dns->start();
    for (const bool automatic : {true, false}) {
        SCOPED_TRACE(automatic ? "automatic configuration" : "a named server");
        m_lab->setOnline(false);
        startAlice(automatic, ChimelyDelays{.reconnectMs = 2000},
                   "sip.example.test:" + std::to_string(m_kamailio->port()));
        ASSERT_TRUE(m_hub->waitUntil(
            [&] { return !m_hub->status().empty() && m_hub->status() != "Connecting..."; }, 5s));
        EXPECT_EQ("No route to the name server (503)", m_hub->status());
        // Several attempts in this time; at rest in between.
        const long before = processorMs();
        m_hub->waitFor(8s);
        const long used = processorMs() - before;
        EXPECT_LT(used, 800) << "ms of processor time in 8 s offline";
        std::cerr << "processor time offline: " << used << " ms in 8 s\n";
        EXPECT_NE(IDS_CONNECTED, m_hub->dialog().GetStatusId());

        // Back online, with the next attempt a minute away now.
        m_hub->dialog().SetTimer(kReconnectTimerId, kReconnectDelayMs);
        m_lab->setOnline(true);
        EXPECT_TRUE(signedIn(10s)) << m_hub->status();
        m_hub.reset();
    }
}

// The domain's records are not there at first: its name server says "no such name" without an SOA,
// which must not be remembered. At the next attempt, after the records appeared, alice signs in.
TEST_F(RealNetworksTest, SignInSucceedsAtTheFirstAttemptAfterTheRecordsAppear) {
    m_lab->setResolvConf(std::string("nameserver ") + test::NatLab::kProviderAddress + "\n");
    ASSERT_TRUE(m_resolverMounted = useLabResolver(*m_lab));
    startProvider(true, false);
    m_dns = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Options{.prefix = m_lab->inWan()});
    m_dns->start();
    startAlice(true, ChimelyDelays{.reconnectMs = 3000});
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->dialog().IsTimerActive(kReconnectTimerId); }, 8s))
        << m_hub->status();
    m_dns->setRecords({.hosts = {{"sip.example.test", test::NatLab::kProviderAddress}},
                       .srv = {{"_sip._udp.example.test", "sip.example.test", m_kamailio->port()}}});
    EXPECT_TRUE(signedIn(3s + 5s)) << m_hub->status();
}

// ---- both address families ------------------------------------------------------------------------------
//
// The test program's namespace as a network with IPv6 (2001:db8:1::1 and ::10 on lo) and no IPv4 but
// 127.0.0.1 and 192.0.2.1; Kamailio listens on the families a test gives it, bob (baresip) reaches it
// over 127.0.0.1, and a dnsmasq on [::1] names the servers (bound over /etc/resolv.conf in a mount
// namespace of the process's own). One nft rule drops, as they arrive, a family's packets to the SIP port
// (silently, as a broken path does).
//
//   alice                  Kamailio [2001:db8:1::1] and 192.0.2.1
//     | OPTIONS (IPv6)        |   the families raced: the first to answer carries the REGISTER
//     |-------x               |   (IPv6 dropped here)
//     | OPTIONS (IPv4), 250 ms later
//     |---------------------->|
//     | REGISTER (IPv4)       |
//     |---------------------->|
constexpr const char* kServer6 = "2001:db8:1::1";
constexpr const char* kServer4 = "192.0.2.1";

class DualStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        if (geteuid() != 0 || !test::haveCommand("nft"))
            GTEST_SKIP() << "needs root and nft";
        for (const std::string& address : {std::string(kServer6) + "/64", std::string("2001:db8:1::10/64")})
            test::NatLab::run({"ip", "address", "add", address, "dev", "lo", "nodad"});
        test::NatLab::run({"ip", "address", "add", std::string(kServer4) + "/32", "dev", "lo"});
        test::NatLab::run({"ip", "-6", "route", "add", "default", "dev", "lo"});
        ASSERT_TRUE(m_resolverMounted = unshare(CLONE_NEWNS) == 0 &&
                                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
        m_dir = test::makeTempDir("dual-stack");
    }

    void TearDown() override {
        if (HasFailure() && m_hub)
            std::cerr << "--- alice's status: " << m_hub->status() << "\n";
        for (auto& kamailio : m_kamailios)
            if (HasFailure())
                std::cerr << "--- Kamailio's log:\n" << kamailio->log();
        m_hub.reset();
        m_bob.reset();
        m_kamailios.clear();
        m_dns.reset();
        dropFamily("");
        if (m_resolverMounted)
            umount("/etc/resolv.conf");
        if (!m_dir.empty())
            test::removeTempDir(m_dir);
    }

    test::Kamailio& startKamailio(std::vector<std::string> addresses, test::Kamailio::Options options = {}) {
        options.address = addresses.front();
        options.alsoAddresses.assign(addresses.begin() + 1, addresses.end());
        m_kamailios.push_back(
            std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kBob}, options));
        m_kamailios.back()->start();
        return *m_kamailios.back();
    }

    void startDns(test::Dnsmasq::Records records) {
        m_dns = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Options{.address = "::1", .records = records});
        m_dns->start();
        std::ofstream(m_dir + "/resolv.conf") << m_dns->resolvConf();
        ASSERT_EQ(0, mount((m_dir + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr));
    }

    // Drops what goes to `port` of the family ("ip" or "ip6") from now on; "" takes the rule away.
    void dropFamily(const std::string& family, int port = 0, bool tcp = false) {
        test::NatLab::run({"nft", "delete", "table", "inet", "chimely_drop"});
        if (family.empty())
            return;
        const std::string rules =
            "table inet chimely_drop {\nchain in {\ntype filter hook input priority 0;\n" + family +
            " daddr " + (family == "ip" ? kServer4 : kServer6) + " " + (tcp ? "tcp" : "udp") + " dport " +
            std::to_string(port) + " drop\n}\n}\n";
        ASSERT_EQ(0, test::NatLab::run({"nft", "-f", "-"}, 5s, rules).exitCode);
    }

    // alice through `server` (automatic configuration when empty), with the stack's own 32 s time-out.
    void startAlice(const std::string& server, int protocol = 0) {
        m_hub = std::make_unique<test::Hub>(test::Hub::Settings{.protocol = protocol,
                                                                .outboundProxy = server.empty() ? 0 : 1,
                                                                .signin = kAlice.aor(),
                                                                .password = kAlice.password,
                                                                .server = server},
                                            ChimelyDelays{}, 32s);
        m_hub->start();
    }

    bool signedIn(std::chrono::milliseconds within = 10s) {
        return m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }, within);
    }

    std::string binding(const test::Kamailio& kamailio) {
        const auto bindings = kamailio.bindings(kAlice.aor());
        return bindings.size() == 1 ? bindings[0] : std::to_string(bindings.size()) + " bindings";
    }

    std::string m_dir;
    std::vector<std::unique_ptr<test::Kamailio>> m_kamailios;
    std::unique_ptr<test::Dnsmasq> m_dns;
    std::unique_ptr<test::Baresip> m_bob;
    std::unique_ptr<test::Hub> m_hub;
    bool m_resolverMounted = false;
};

// A server typed as an IPv6 address, over UDP and TCP: alice registers an IPv6 Contact and texts go both
// ways with bob, who is on IPv4. A malformed literal is refused like any invalid server name.
TEST_F(DualStackTest, ServerTypedAsAnIpv6AddressCarriesTextsBothWays) {
    test::Kamailio& kamailio = startKamailio({kServer6, "127.0.0.1"});
    m_bob = std::make_unique<test::Baresip>(
        test::Baresip::Options{.user = kBob,
                               .outboundProxy = "sip:127.0.0.1:" + std::to_string(kamailio.port()),
                               .contacts = {{"alice", kAlice.uri(), false}}});
    m_bob->start();
    for (const int protocol : {0, 1}) {
        SCOPED_TRACE(protocol ? "TCP" : "UDP");
        startAlice("[" + std::string(kServer6) + "]:" + std::to_string(kamailio.port()), protocol);
        ASSERT_TRUE(signedIn()) << m_hub->status();
        EXPECT_NE(std::string::npos, binding(kamailio).find("[2001:db8:1::")) << binding(kamailio);
        ASSERT_TRUE(m_bob->waitForRegistration(5s, [&] { m_hub->waitFor(20ms); }));
        ASSERT_TRUE(m_bob->selectContact(kAlice.uri()));
        const std::size_t before = m_hub->boxes.openCount();
        ASSERT_TRUE(m_bob->message("over six?"));
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->boxes.openCount() == before + 1; }, 8s));
        EXPECT_EQ("over six?", m_hub->boxes.open(before).text);
        m_hub->send(kBob.uri(), "yes, six");
        EXPECT_TRUE(m_bob->waitForText(kAlice.uri(), "yes, six", 10s, [&] { m_hub->waitFor(20ms); }));
        if (protocol == 0) {
            // The address in her Contact goes and another comes: the watch sees IPv6 too, and she
            // registers again within 10 s.
            m_hub->waitUntil([&] { return m_hub->status().empty(); }, 5s);
            const std::size_t registers = kamailio.seen(kAlice.user, "REGISTER").size();
            test::NatLab::run({"ip", "address", "add", "2001:db8:1::20/64", "dev", "lo", "nodad"});
            test::NatLab::run({"ip", "address", "del", "2001:db8:1::10/64", "dev", "lo"});
            EXPECT_TRUE(m_hub->waitUntil(
                [&] { return kamailio.seen(kAlice.user, "REGISTER").size() > registers; }, 10s));
            EXPECT_EQ("", m_hub->status());
        }
        m_hub->stop();
        EXPECT_EQ("0 bindings", binding(kamailio));
        m_hub.reset();
    }
    startAlice("[2001:db8:1::zz]:5060");
    EXPECT_EQ(IDS_INVALID_SERVER, m_hub->dialog().GetStatusId());
}

// NAT64 and DNS64: the server has IPv4 only, the resolver gives its name an AAAA record of the translator's
// prefix (2001:db8:64::/96), and tayga translates (in a TUN device of the test's namespace). alice, on
// IPv6, signs in and texts go both ways.
TEST_F(DualStackTest, Nat64ServerIsReachedFromIpv6) {
    if (!test::haveCommand("tayga"))
        GTEST_SKIP() << "needs tayga";
    std::ofstream(m_dir + "/tayga.conf")
        << "tun-device nat64\nipv4-addr 192.0.2.129\nipv6-addr 2001:db8:1::64\n"
           "prefix 2001:db8:64::/96\ndynamic-pool 192.0.2.128/25\ndata-dir "
        << m_dir << "\n";
    ASSERT_EQ(0, test::NatLab::run({"tayga", "-c", m_dir + "/tayga.conf", "--mktun"}).exitCode);
    test::NatLab::run({"ip", "link", "set", "nat64", "up"});
    test::NatLab::run({"ip", "route", "add", "2001:db8:64::/96", "dev", "nat64"});
    test::NatLab::run({"ip", "route", "add", "192.0.2.128/25", "dev", "nat64"});
    test::ChildProcess tayga;
    tayga.start({"tayga", "-c", m_dir + "/tayga.conf", "-d"}, m_dir + "/tayga.log");
    test::Kamailio& kamailio = startKamailio({kServer4, "127.0.0.1"}, {.natHelp = true});
    // 192.0.2.1 as the translator writes it in its prefix.
    startDns({.hosts = {{"sip.example.test", "2001:db8:64::c000:201"}}});
    m_bob = std::make_unique<test::Baresip>(
        test::Baresip::Options{.user = kBob,
                               .outboundProxy = "sip:127.0.0.1:" + std::to_string(kamailio.port()),
                               .contacts = {{"alice", kAlice.uri(), false}}});
    m_bob->start();
    startAlice("sip.example.test:" + std::to_string(kamailio.port()));
    ASSERT_TRUE(signedIn()) << m_hub->status();
    ASSERT_TRUE(m_bob->waitForRegistration(5s, [&] { m_hub->waitFor(20ms); }));
    ASSERT_TRUE(m_bob->selectContact(kAlice.uri()));
    const std::size_t before = m_hub->boxes.openCount();
    ASSERT_TRUE(m_bob->message("through the translator?"));
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->boxes.openCount() == before + 1; }, 8s));
    m_hub->send(kBob.uri(), "both ways");
    EXPECT_TRUE(m_bob->waitForText(kAlice.uri(), "both ways", 10s, [&] { m_hub->waitFor(20ms); }));
    m_hub.reset();
    tayga.stop();
    test::NatLab::run({"ip", "link", "del", "nat64"});
}

// A name with AAAA and A records, Kamailio on both: IPv6 preferred where both work; where the packets of
// one family are dropped on the way, alice signs in over the other within 10 s, not after the 32 s of a
// REGISTER left unanswered; her text to bob, through the same server by name, goes the same way. A name
// with only an AAAA record works too.
TEST_F(DualStackTest, OneFamilyDroppedSignsInOverTheOtherWithinTenSeconds) {
    test::Kamailio& kamailio = startKamailio({kServer6, kServer4, "127.0.0.1"});
    startDns({.hosts = {{"sip.example.test", std::string(kServer4) + "," + kServer6},
                        {"six.example.test", kServer6}}});
    m_bob = std::make_unique<test::Baresip>(
        test::Baresip::Options{.user = kBob,
                               .outboundProxy = "sip:127.0.0.1:" + std::to_string(kamailio.port()),
                               .contacts = {{"alice", kAlice.uri(), false}}});
    m_bob->start();
    ASSERT_TRUE(m_bob->waitForRegistration(5s, [] {}));
    const std::string port = std::to_string(kamailio.port());
    struct Case {
        const char* what;
        const char* name;
        std::string dropped;
        const char* family;
    };
    for (const Case& c :
         {Case{"both work", "sip", "", "[2001:db8:1::"}, Case{"IPv6 dropped", "sip", "ip6", "@192.0.2."},
          Case{"IPv4 dropped", "sip", "ip", "[2001:db8:1::"},
          Case{"AAAA only", "six", "", "[2001:db8:1::"}}) {
        SCOPED_TRACE(c.what);
        dropFamily(c.dropped, kamailio.port());
        const auto began = std::chrono::steady_clock::now();
        startAlice(std::string(c.name) + ".example.test:" + port);
        ASSERT_TRUE(signedIn(10s)) << m_hub->status();
        std::printf(
            "[ figures  ] %s: signed in after %.0f ms\n", c.what,
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count());
        EXPECT_NE(std::string::npos, binding(kamailio).find(c.family)) << binding(kamailio);
        m_hub->waitUntil([&] { return m_hub->status().empty(); }, 5s);
        m_hub->send(kBob.uri(), std::string("sent when ") + c.what);
        EXPECT_TRUE(m_bob->waitForText(kAlice.uri(), std::string("sent when ") + c.what, 10s,
                                       [&] { m_hub->waitFor(20ms); }));
        m_hub.reset();
    }
}

// Two registrars named by the domain's SRV records, the first preferred. When the one holding the
// binding stops, the next refresh is refused, and the second takes the binding within 5 s; the user sees
// nothing of it.
TEST_F(DualStackTest, RegistrarThatStopsIsReplacedByTheNextOneTheDomainNames) {
    const test::Kamailio::Options shortBindings{.minExpires = 1, .maxExpires = 4};
    test::Kamailio& first = startKamailio({kServer6}, shortBindings);
    test::Kamailio& second = startKamailio({kServer6}, shortBindings);
    startDns({.hosts = {{"a.example.test", kServer6}, {"b.example.test", kServer6}},
              .srv = {{"_sip._udp.example.test", "a.example.test", first.port(), 10},
                      {"_sip._udp.example.test", "b.example.test", second.port(), 20}}});
    startAlice("");
    ASSERT_TRUE(signedIn()) << m_hub->status();
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status().empty(); }, 5s));
    EXPECT_EQ("0 bindings", binding(second));
    first.stop();
    std::string seen;
    const bool moved = m_hub->waitUntil(
        [&] {
            if (!m_hub->status().empty())
                seen = m_hub->status();
            return binding(second) != "0 bindings";
        },
        4s + 5s);
    EXPECT_TRUE(moved);
    EXPECT_EQ("", seen) << "the user saw something";
}

}  // namespace
