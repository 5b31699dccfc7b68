// SPDX-License-Identifier: MIT
// The NAT lab itself, before any test of the agent relies on it: the router masquerades the home
// network and forgets a binding after the quiet spell it is set to, or at once when told; it lets in
// nothing the provider starts; the home network can go offline, change its address and lose its uplink
// and come back; the lab's DNS server answers a resolver in the home network with the records and the
// two shapes of "no such name" the tests ask for; and the provider's Kamailio, with its NAT help,
// reaches a user behind the router where a plain registrar cannot.
//
//   test program (lan)         router                  provider (wan)
//   192.0.2.10  ------------>  masquerade  ----------> 198.51.100.1
//               <------------  198.51.100.2:port <---
#include "support/Baresip.h"
#include "support/Dnsmasq.h"
#include "support/Kamailio.h"
#include "support/NatLab.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/Sipp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <thread>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

constexpr int kUdpTimeoutSeconds = 2;
// How long a datagram that should arrive may take, and how long one that should not is waited for.
constexpr auto kArrival = 1s;
constexpr auto kSilence = 500ms;

struct Datagram {
    std::string text;
    std::string address;
    int port = 0;
};

sockaddr_in socketAddress(const std::string& address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

// A UDP socket, closed at the end of the test.
class Udp {
public:
    // Made in the test program's own namespace (the lan), or taken over (NatLab::wanSocket).
    explicit Udp(int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) : m_fd(fd) {}
    ~Udp() { close(m_fd); }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    bool bind(const std::string& address, int port = 0) {
        const sockaddr_in local = socketAddress(address, port);
        return ::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    }
    int port() const {
        sockaddr_in local{};
        socklen_t size = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
        return ntohs(local.sin_port);
    }
    // 0 when sent, else the errno.
    int send(const std::string& text, const std::string& address, int port) const {
        const sockaddr_in remote = socketAddress(address, port);
        return sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&remote),
                      sizeof remote) == static_cast<ssize_t>(text.size())
                   ? 0
                   : errno;
    }
    std::optional<Datagram> receive(std::chrono::milliseconds timeout) const {
        pollfd readable{m_fd, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(timeout.count())) != 1)
            return std::nullopt;
        char buffer[1500];
        sockaddr_in remote{};
        socklen_t size = sizeof remote;
        // An ICMP error for an earlier datagram wakes the poll too; it is no datagram.
        const ssize_t length =
            recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&remote), &size);
        if (length < 0)
            return std::nullopt;
        char address[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &remote.sin_addr, address, sizeof address);
        return Datagram{std::string(buffer, static_cast<std::size_t>(length)), address,
                        ntohs(remote.sin_port)};
    }

private:
    int m_fd;
};

class NatLabTest : public ::testing::Test {
protected:
    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_lab = std::make_unique<test::NatLab>(test::NatLab::Options{
            .timeouts = {.udp = kUdpTimeoutSeconds, .udpStream = kUdpTimeoutSeconds, .tcpEstablished = 60}});
        CHIMELY_REQUIRE_NAT_LAB(*m_lab);
        m_provider = std::make_unique<Udp>(m_lab->wanSocket(SOCK_DGRAM));
        ASSERT_TRUE(m_provider->bind(test::NatLab::kProviderAddress));
        ASSERT_TRUE(m_home.bind("0.0.0.0"));
    }

    void TearDown() override {
        if (HasFailure() && m_lab && m_lab->ok()) {
            std::cerr << "--- the router's flows:\n";
            for (const test::NatBinding& flow : m_lab->bindings())
                std::cerr << flow.protocol << " " << flow.lanAddress << ":" << flow.lanPort << " -> "
                          << flow.remoteAddress << ":" << flow.remotePort << " as " << flow.publicAddress
                          << ":" << flow.publicPort << ", " << flow.secondsLeft << " s left\n";
        }
    }

    // Sends from the home network to the provider and returns what the provider saw.
    std::optional<Datagram> out(const std::string& text) {
        if (const int error = m_home.send(text, test::NatLab::kProviderAddress, m_provider->port())) {
            ADD_FAILURE() << "sending out: " << std::strerror(error);
            return std::nullopt;
        }
        return m_provider->receive(kArrival);
    }

    // The router's UDP flow from the home socket, if it has one.
    std::optional<test::NatBinding> binding() const {
        for (const test::NatBinding& flow : m_lab->bindings())
            if (flow.protocol == IPPROTO_UDP && flow.lanAddress == m_lab->lanAddress() &&
                flow.lanPort == m_home.port())
                return flow;
        return std::nullopt;
    }

    std::unique_ptr<test::NatLab> m_lab;
    std::unique_ptr<Udp> m_provider;
    Udp m_home;
};

// The provider sees the router's address; its answers to that port come home while the binding lives,
// and after a quiet spell longer than the router's UDP timeout the port leads nowhere.
TEST_F(NatLabTest, MasqueradedBindingLastsUntilTheQuietSpellIsOver) {
    const auto seen = out("hello");
    ASSERT_TRUE(seen);
    EXPECT_EQ("hello", seen->text);
    EXPECT_EQ(test::NatLab::kRouterWanAddress, seen->address);
    const auto flow = binding();
    ASSERT_TRUE(flow);
    EXPECT_EQ(test::NatLab::kLanAddress, flow->lanAddress);
    EXPECT_EQ(test::NatLab::kRouterWanAddress, flow->publicAddress);
    EXPECT_EQ(seen->port, flow->publicPort);
    EXPECT_LE(flow->secondsLeft, kUdpTimeoutSeconds);

    ASSERT_EQ(0, m_provider->send("answer", seen->address, seen->port));
    const auto answer = m_home.receive(kArrival);
    ASSERT_TRUE(answer);
    EXPECT_EQ("answer", answer->text);
    EXPECT_EQ(test::NatLab::kProviderAddress, answer->address);

    std::this_thread::sleep_for(std::chrono::seconds(kUdpTimeoutSeconds) + 1s);
    EXPECT_FALSE(binding());
    ASSERT_EQ(0, m_provider->send("too late", seen->address, seen->port));
    EXPECT_FALSE(m_home.receive(kSilence));
}

// A router that forgets at once (as one that restarts) drops what comes to the old port; the provider
// cannot start a flow to the home network at all, at its public port or its own address.
TEST_F(NatLabTest, ForgottenBindingsAndUnaskedTrafficDoNotComeHome) {
    const auto seen = out("hello");
    ASSERT_TRUE(seen);
    ASSERT_TRUE(binding());
    m_lab->forgetBindings();
    EXPECT_FALSE(binding());
    ASSERT_EQ(0, m_provider->send("forgotten", seen->address, seen->port));
    EXPECT_FALSE(m_home.receive(kSilence));

    ASSERT_EQ(0, m_provider->send("unasked", test::NatLab::kLanAddress, m_home.port()));
    EXPECT_FALSE(m_home.receive(kSilence));

    // The next datagram out makes a new binding, which works again.
    const auto again = out("again");
    ASSERT_TRUE(again);
    ASSERT_EQ(0, m_provider->send("welcome back", again->address, again->port));
    EXPECT_TRUE(m_home.receive(kArrival));
}

// Offline, sending fails at once; a new address and a lost uplink leave the way out working once back.
TEST_F(NatLabTest, HomeNetworkGoesOfflineChangesAddressAndLosesItsUplink) {
    m_lab->setOnline(false);
    EXPECT_EQ(ENETUNREACH, m_home.send("offline", test::NatLab::kProviderAddress, m_provider->port()));
    m_lab->setOnline(true);
    ASSERT_TRUE(out("online"));

    m_lab->setLanAddress("192.0.2.20");
    EXPECT_EQ("192.0.2.20", m_lab->lanAddress());
    const auto moved = out("moved");
    ASSERT_TRUE(moved);
    EXPECT_EQ(test::NatLab::kRouterWanAddress, moved->address);
    ASSERT_TRUE(binding());
    EXPECT_EQ("192.0.2.20", binding()->lanAddress);

    m_lab->setLanLink(false);
    EXPECT_NE(0, m_home.send("unplugged", test::NatLab::kProviderAddress, m_provider->port()));
    m_lab->setLanLink(true);
    ASSERT_TRUE(out("plugged in"));

    m_lab->setUplink(false);
    m_home.send("no uplink", test::NatLab::kProviderAddress, m_provider->port());
    EXPECT_FALSE(m_provider->receive(kSilence));
    m_lab->setUplink(true);
    const auto back = out("uplink back");
    ASSERT_TRUE(back);
    EXPECT_EQ("uplink back", back->text);
}

class NatLabDnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_lab = std::make_unique<test::NatLab>();
        CHIMELY_REQUIRE_NAT_LAB(*m_lab);
    }

    void TearDown() override {
        if (HasFailure() && m_dns)
            std::cerr << "--- dnsmasq's log:\n" << m_dns->log();
    }

    void startDns(bool soa, int ttl, test::Dnsmasq::Records records) {
        m_dns = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Options{
            .prefix = m_lab->inWan(), .soa = soa, .ttl = ttl, .records = std::move(records)});
        m_dns->start();
        m_lab->setResolvConf(m_dns->resolvConf());
    }

    test::DnsReply query(const std::string& type, const std::string& name) const {
        return test::queryDns(m_lab->inLan(), type, name);
    }

    static test::Dnsmasq::Records sipRecords(int port) {
        return {.hosts = {{"sip.example.test", test::NatLab::kProviderAddress}},
                .srv = {{"_sip._udp.example.test", "sip.example.test", port}},
                .naptr = {
                    {.name = "example.test", .service = "SIP+D2U", .replacement = "_sip._udp.example.test"}}};
    }

    std::unique_ptr<test::NatLab> m_lab;
    std::unique_ptr<test::Dnsmasq> m_dns;
};

// What a program started in the home network resolves comes from the lab's server, and changes with
// its records; names it has none for are NXDOMAIN without an SOA.
TEST_F(NatLabDnsTest, ResolverInTheHomeNetworkGetsTheLabsRecordsAsTheyChange) {
    startDns(false, 0, {});
    const test::DnsReply before = query("SRV", "_sip._udp.example.test");
    ASSERT_TRUE(before.answered) << before.output;
    EXPECT_EQ("NXDOMAIN", before.rcode) << before.output;
    EXPECT_TRUE(before.answer.empty()) << before.output;
    EXPECT_TRUE(before.authority.empty()) << before.output;

    m_dns->setRecords(sipRecords(5070));
    const test::DnsReply srv = query("SRV", "_sip._udp.example.test");
    EXPECT_EQ("NOERROR", srv.rcode) << srv.output;
    EXPECT_EQ(std::vector<std::string>{"_sip._udp.example.test. 0 SRV 0 0 5070 sip.example.test."},
              srv.answer)
        << srv.output;
    const test::DnsReply naptr = query("NAPTR", "example.test");
    EXPECT_EQ(
        std::vector<std::string>{"example.test. 0 NAPTR 10 0 \"S\" \"SIP+D2U\" \"\" _sip._udp.example.test."},
        naptr.answer)
        << naptr.output;
    // The same file, read by glibc's own resolver, as the program's libraries would.
    std::vector<std::string> getent = m_lab->inLan();
    getent.insert(getent.end(), {"getent", "ahostsv4", "sip.example.test"});
    const test::NatLab::Result host = test::NatLab::run(getent);
    EXPECT_EQ(0, host.exitCode) << host.output;
    EXPECT_EQ(0u, host.output.rfind(test::NatLab::kProviderAddress, 0)) << host.output;

    const auto queries = m_dns->queries();
    EXPECT_EQ(2, std::count(queries.begin(), queries.end(), "SRV _sip._udp.example.test"));
}

// The program itself, started in the home network, asks the lab's server, not the machine's, when it
// looks up the provider of its sign-in domain.
TEST_F(NatLabDnsTest, ProgramStartedInTheHomeNetworkAsksTheLabsServer) {
    startDns(false, 0, sipRecords(5060));
    test::Program program;
    program.writeSettings({{"Protocol", "0"},
                           {"OutboundProxy", "0"},
                           {"SigninName", "alice@example.test"},
                           {"Password", "x"},
                           {"LocalPort", std::to_string(test::freePort())}});
    program.start({.prefix = m_lab->inLan()});
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (m_dns->queries().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    const auto queries = m_dns->queries();
    ASSERT_FALSE(queries.empty()) << program.log(1);
    EXPECT_NE(std::string::npos, queries.front().find("example.test")) << queries.front();
}

// An authoritative zone answers "no such name" and "no such type" with the zone's SOA, whose minimum
// (how long the answer may be kept) is the TTL the test set.
TEST_F(NatLabDnsTest, AuthoritativeZoneAnswersNoSuchNameWithItsSoa) {
    startDns(true, 5, sipRecords(5060));
    const test::DnsReply missing = query("A", "nobody.example.test");
    EXPECT_EQ("NXDOMAIN", missing.rcode) << missing.output;
    EXPECT_TRUE(missing.authoritative) << missing.output;
    ASSERT_EQ(1u, missing.authority.size()) << missing.output;
    EXPECT_EQ(0u,
              missing.authority[0].rfind("example.test. 5 SOA ns.example.test. hostmaster.example.test. 1 "))
        << missing.output;
    EXPECT_EQ(" 5", missing.authority[0].substr(missing.authority[0].size() - 2)) << missing.output;

    const test::DnsReply noType = query("AAAA", "sip.example.test");
    EXPECT_EQ("NOERROR", noType.rcode) << noType.output;
    EXPECT_TRUE(noType.answer.empty()) << noType.output;
    EXPECT_EQ(missing.authority, noType.authority) << noType.output;

    const test::DnsReply srv = query("SRV", "_sip._udp.example.test");
    EXPECT_EQ(std::vector<std::string>{"_sip._udp.example.test. 5 SRV 0 0 5060 sip.example.test."},
              srv.answer)
        << srv.output;
}

const test::SipUser kAlice{"alice", "example.test", "behind:the:router"};
const test::SipUser kBob{"bob", "example.test", "bob123"};

// alice (baresip in the home network) registers through the router; bob (baresip at the provider) sends
// her a text, which Kamailio sends to where her REGISTER came from.
//
//   alice (lan)          router            Kamailio (wan)          bob (wan)
//     | REGISTER Contact 192.0.2.10 |            |                    |
//     |------------------>|-------------------->|  received           |
//     |                   |                     |  198.51.100.2:port  |
//     |                   |      MESSAGE        |      MESSAGE        |
//     |<------------------|<--------------------|<--------------------|
class NatLabProviderTest : public ::testing::TestWithParam<bool> {
protected:
    bool tcp() const { return GetParam(); }

    void start(bool natHelp) {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_lab = std::make_unique<test::NatLab>();
        CHIMELY_REQUIRE_NAT_LAB(*m_lab);
        m_kamailio = std::make_unique<test::Kamailio>(
            std::vector<test::SipUser>{kAlice, kBob},
            test::Kamailio::Options{
                .prefix = m_lab->inWan(), .address = test::NatLab::kProviderAddress, .natHelp = natHelp});
        m_kamailio->start();
        m_alice =
            std::make_unique<test::Baresip>(test::Baresip::Options{.user = kAlice,
                                                                   .outboundProxy = m_kamailio->uri(tcp()),
                                                                   .tcp = tcp(),
                                                                   .address = m_lab->lanAddress()});
        m_bob = std::make_unique<test::Baresip>(
            test::Baresip::Options{.user = kBob,
                                   .outboundProxy = m_kamailio->uri(tcp()),
                                   .tcp = tcp(),
                                   .contacts = {{"alice", kAlice.uri()}},
                                   .prefix = m_lab->inWan(),
                                   .address = test::NatLab::kProviderAddress});
        m_alice->start();
        m_bob->start();
        ASSERT_TRUE(m_alice->waitForRegistration(5s));
        ASSERT_TRUE(m_bob->waitForRegistration(5s));
        ASSERT_TRUE(m_bob->selectContact(kAlice.uri()));
    }

    void TearDown() override {
        if (HasFailure()) {
            for (const auto& [name, peer] :
                 {std::pair{"alice", m_alice.get()}, std::pair{"bob", m_bob.get()}})
                if (peer)
                    std::cerr << "--- " << name << "'s output:\n" << peer->output();
            if (m_kamailio)
                std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        }
        m_bob.reset();
        m_alice.reset();
        m_kamailio.reset();
        m_lab.reset();
    }

    std::unique_ptr<test::NatLab> m_lab;
    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::Baresip> m_alice;
    std::unique_ptr<test::Baresip> m_bob;
};

TEST_P(NatLabProviderTest, HelpingProviderReachesAUserBehindTheRouter) {
    start(true);
    const auto bindings = m_kamailio->bindings(kAlice.aor());
    ASSERT_EQ(1u, bindings.size());
    EXPECT_NE(std::string::npos, bindings[0].find(test::NatLab::kLanAddress)) << bindings[0];
    ASSERT_TRUE(m_bob->message("through the router"));
    EXPECT_TRUE(m_alice->waitForText(kBob.uri(), "through the router", 5s));
}

// Without the provider's help the text goes to the Contact as registered, a home address the router
// does not let anything reach.
TEST_P(NatLabProviderTest, PlainRegistrarCannotReachAUserBehindTheRouter) {
    start(false);
    ASSERT_TRUE(m_bob->message("lost on the way"));
    ASSERT_TRUE(m_bob->waitUntil([&] { return !m_kamailio->seen("bob", "MESSAGE").empty(); }, 5s));
    EXPECT_FALSE(m_alice->waitForText(kBob.uri(), "lost on the way", 1s));
}

INSTANTIATE_TEST_SUITE_P(Transports, NatLabProviderTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TCP" : "UDP"; });

}  // namespace
