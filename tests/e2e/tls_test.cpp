// SPDX-License-Identifier: MIT
// The main window object over TLS, against Kamailio's tls module with certificates from a throw-away
// authority of the test's own. The test's network has a DNS server of its own (dnsmasq on 127.0.0.1) that
// names the server sip.example.test and gives example.test a _sips._tcp record, since certificates name
// hosts, not addresses; this process reads it through a resolv.conf put over the system's in a mount
// namespace of its own, where the system's trusted authorities can be given the test's too.
//
//   alice (TLS)               Kamailio (sip.example.test)        bob (baresip, UDP)
//     | TLS handshake: chain and name checked                       |
//     |------------------------>|                                   |
//     | REGISTER (sips)         |                                   |
//     |------------------------>|          MESSAGE                  |
//     |<------------------------|<----------------------------------|
//
// A server alice must not trust (an unknown authority, a self-signed or expired certificate, another
// name, no TLS at all) is refused within a few seconds, with the reason in the status, and nothing SIP
// reaches it.
#include "support/Baresip.h"
#include "support/ChildProcess.h"
#include "support/Dnsmasq.h"
#include "support/Hub.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"
#include "support/Program.h"
#include "support/TestCa.h"

#include "res/Resource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

const test::SipUser kAlice{"alice", "example.test", "tls-secret"};
const test::SipUser kBob{"bob", "example.test", "bob123"};
constexpr const char* kServerName = "sip.example.test";
constexpr const char* kSystemTrust = "/etc/ssl/certs/ca-certificates.crt";

// A peer's connection to alice's own TLS port: plain TCP until handshake(), then TLS (her certificate is
// one she made herself: nothing to verify it against). alice runs on this thread: every wait runs
// `pump`, which lets her answer.
class PeerConnection {
public:
    PeerConnection(int port, std::function<void()> pump)
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), m_pump(std::move(pump)) {
        sockaddr_in agent{};
        agent.sin_family = AF_INET;
        agent.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &agent.sin_addr);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&agent), sizeof agent) == 0;
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    ~PeerConnection() {
        SSL_free(m_tls);
        SSL_CTX_free(m_context);
        close(m_fd);
    }
    bool handshake() {
        m_context = SSL_CTX_new(TLS_client_method());
        m_tls = SSL_new(m_context);
        SSL_set_fd(m_tls, m_fd);
        for (int round = 0; m_connected && round < 500; ++round) {
            const int result = SSL_connect(m_tls);
            if (result == 1)
                return true;
            const int error = SSL_get_error(m_tls, result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
                return false;
            m_pump();
        }
        return false;
    }
    bool send(const std::string& text) {
        return SSL_write(m_tls, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size());
    }
    // What arrives within `timeout` (TLS once the handshake is done), "" when nothing did.
    std::string receive(std::chrono::milliseconds timeout) {
        pollfd readable{m_fd, POLLIN, 0};
        if (!(m_tls && SSL_pending(m_tls)) && poll(&readable, 1, static_cast<int>(timeout.count())) != 1)
            return "";
        char buffer[4096];
        const int length = m_tls ? SSL_read(m_tls, buffer, sizeof buffer)
                                 : static_cast<int>(::recv(m_fd, buffer, sizeof buffer, 0));
        return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
    }
    // Whether alice has closed the connection (an end of stream or a reset), looking for `timeout`.
    bool closedWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable{m_fd, POLLIN, 0};
            if (poll(&readable, 1, 50) == 1) {
                char byte;
                const ssize_t got = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN))
                    return true;
                if (m_tls) {
                    // Records that carry no data (TLS 1.3 session tickets) read as "want more".
                    char buffer[4096];
                    const int result = SSL_read(m_tls, buffer, sizeof buffer);
                    const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(m_tls, result);
                    if (error != SSL_ERROR_NONE && error != SSL_ERROR_WANT_READ &&
                        error != SSL_ERROR_WANT_WRITE)
                        return true;
                } else {
                    char buffer[4096];
                    ::recv(m_fd, buffer, sizeof buffer, 0);
                }
            }
        }
        return false;
    }

private:
    int m_fd;
    std::function<void()> m_pump;
    bool m_connected = false;
    SSL_CTX* m_context = nullptr;
    SSL* m_tls = nullptr;
};

// A relay between alice and the server on 127.0.0.1, in a thread of its own, that can drop every
// connection it carries at once, as a router or a server that goes away does.
class Relay {
public:
    explicit Relay(int to) : m_to(to), m_listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(m_listener, 8);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~Relay() {
        m_stop = true;
        m_thread.join();
        dropAll();
        close(m_listener);
    }
    int port() const { return m_port; }
    int connections() const { return m_accepted; }
    void dropAll() { m_drop = true; }

private:
    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    void run() {
        std::vector<std::pair<int, int>> pairs;
        char buffer[16384];
        while (!m_stop) {
            if (m_drop.exchange(false)) {
                for (auto [a, b] : pairs)
                    close(a), close(b);
                pairs.clear();
            }
            std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
            for (auto [a, b] : pairs)
                fds.push_back({a, POLLIN, 0}), fds.push_back({b, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            // The pairs polled; one accepted below waits for the next round.
            const std::size_t polled = pairs.size();
            if (fds[0].revents & POLLIN) {
                const int client = accept(m_listener, nullptr, nullptr);
                const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in to = loopback(m_to);
                if (connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
                    pairs.emplace_back(client, server);
                    ++m_accepted;
                } else {
                    close(client), close(server);
                }
            }
            for (std::size_t i = 0; i < polled; ++i) {
                for (int side = 0; side < 2; ++side) {
                    if (!(fds[1 + 2 * i + side].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    const int from = side ? pairs[i].second : pairs[i].first;
                    const int to = side ? pairs[i].first : pairs[i].second;
                    const ssize_t got = recv(from, buffer, sizeof buffer, 0);
                    if (got <= 0 || ::send(to, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) {
                        close(pairs[i].first), close(pairs[i].second);
                        pairs.erase(pairs.begin() + static_cast<long>(i));
                        goto next;
                    }
                }
            }
        next:;
        }
        for (auto [a, b] : pairs)
            close(a), close(b);
    }

    int m_to;
    int m_listener;
    int m_port = 0;
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_drop{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class TlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        if (!test::haveCommand("kamailio") ||
            !std::filesystem::exists("/usr/lib/x86_64-linux-gnu/kamailio/modules/tls.so"))
            GTEST_SKIP() << "needs Kamailio's tls module (kamailio-tls-modules)";
        m_dir = test::makeTempDir("tls");
        m_ca = std::make_unique<test::TestCa>(m_dir, "Chimely Test");
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            GTEST_SKIP() << "no mount namespace of its own";
        // The system trusts one authority of its own here, not the test's: every start of the agent reads
        // the whole list, which under the sanitizers took most of this test's time. The test of the
        // system's trust gives it the whole list back.
        std::ifstream system(kSystemTrust);
        std::ofstream few(m_dir + "/system-one.crt");
        for (std::string line; std::getline(system, line);) {
            few << line << '\n';
            if (line == "-----END CERTIFICATE-----")
                break;
        }
        few.close();
        std::filesystem::copy_file(kSystemTrust, m_dir + "/system.crt");
        bindOver(m_dir + "/system-one.crt", kSystemTrust);
    }

    void TearDown() override {
        if (HasFailure()) {
            if (m_hub)
                std::cerr << "--- alice's status: " << m_hub->status() << "\n";
            if (m_bob)
                std::cerr << "--- bob's output:\n" << m_bob->output();
            if (m_kamailio)
                std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
            if (m_dns)
                std::cerr << "--- the DNS server's log:\n" << m_dns->log();
        }
        m_hub.reset();
        m_bob.reset();
        m_kamailio.reset();
        m_dns.reset();
        for (const std::string& mounted : m_mounted)
            umount(mounted.c_str());
        m_ca.reset();
        if (!m_dir.empty())
            test::removeTempDir(m_dir);
    }

    void bindOver(const std::string& file, const std::string& target) {
        ASSERT_EQ(0, mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr)) << target;
        m_mounted.push_back(target);
    }

    // Kamailio with `certificate` on its TLS port, and the DNS server that names it: sip.example.test and
    // other.example.test, both 127.0.0.1, and example.test's _sips._tcp record for the first.
    void startServer(const test::TestCa::Issued& certificate, test::Kamailio::Options options = {}) {
        options.tlsCertificate = certificate.certificate;
        options.tlsKey = certificate.key;
        m_kamailio = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kBob}, options);
        m_kamailio->start();
        if (m_dns)
            return;
        m_dns = std::make_unique<test::Dnsmasq>(test::Dnsmasq::Options{
            .address = "127.0.0.1",
            .records = {.hosts = {{kServerName, "127.0.0.1,::1"}, {"other.example.test", "127.0.0.1"}},
                        .srv = {{"_sips._tcp.example.test", kServerName, m_kamailio->tlsPort()}}}});
        m_dns->start();
        std::ofstream(m_dir + "/resolv.conf") << m_dns->resolvConf();
        bindOver(m_dir + "/resolv.conf", "/etc/resolv.conf");
    }

    // alice over TLS: through `server` when given, else found from her domain's records.
    void startAlice(const std::string& server, const std::string& caCertificates = "",
                    std::chrono::milliseconds connectionIdle = 0ms) {
        m_hub = std::make_unique<test::Hub>(test::Hub::Settings{.protocol = 2,
                                                                .outboundProxy = server.empty() ? 0 : 1,
                                                                .signin = kAlice.aor(),
                                                                .password = kAlice.password,
                                                                .server = server,
                                                                .caCertificates = caCertificates});
        if (connectionIdle.count() > 0)
            m_hub->setConnectionIdle(connectionIdle);
        m_hub->start();
    }

    std::string tlsServer() const {
        return std::string(kServerName) + ":" + std::to_string(m_kamailio->tlsPort());
    }

    bool signedIn(std::chrono::milliseconds within = 10s) {
        return m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }, within);
    }

    // Whether anything alice sent reached Kamailio as SIP, over any transport.
    bool aliceReachedTheServer() const {
        for (const char* method : {"REGISTER", "MESSAGE", "INVITE", "SUBSCRIBE", "OPTIONS"})
            if (!m_kamailio->seen(kAlice.user, method).empty())
                return true;
        return false;
    }

    void startBob(bool watchAlice) {
        m_bob = std::make_unique<test::Baresip>(
            test::Baresip::Options{.user = kBob,
                                   .outboundProxy = m_kamailio->uri(false),
                                   .contacts = {{"alice", kAlice.uri(), watchAlice}}});
        m_bob->start();
        ASSERT_TRUE(m_bob->waitForRegistration(5s, pump()));
        ASSERT_TRUE(m_bob->selectContact(kAlice.uri()));
    }

    std::function<void()> pump() {
        return [this] { m_hub->waitFor(20ms); };
    }

    std::string m_dir;
    std::unique_ptr<test::TestCa> m_ca;
    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::Dnsmasq> m_dns;
    std::unique_ptr<test::Baresip> m_bob;
    std::unique_ptr<test::Hub> m_hub;
    std::vector<std::string> m_mounted;
};

// A server whose authority the system trusts, found from alice's domain (RFC 3263 for sips: the
// _sips._tcp record): signed in, texts both ways, her presence, and Exit's removal, every request of hers
// over TLS.
TEST_F(TlsTest, TrustedServerFoundFromTheDomainCarriesEverything) {
    {
        std::ofstream trust(m_dir + "/system.crt", std::ios::app);
        trust << std::ifstream(m_ca->caFile()).rdbuf();
    }
    bindOver(m_dir + "/system.crt", kSystemTrust);
    startServer(m_ca->issue("server", {kServerName}));
    startAlice("");
    ASSERT_TRUE(signedIn()) << m_hub->status();

    startBob(true);
    EXPECT_TRUE(m_bob->waitForPresence(kAlice.uri(), "Online", 10s, pump())) << m_bob->presence(kAlice.uri());
    const std::size_t before = m_hub->boxes.openCount();
    ASSERT_TRUE(m_bob->message("over tls?"));
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->boxes.openCount() == before + 1; }, 8s));
    EXPECT_EQ("over tls?", m_hub->boxes.open(before).text);
    m_hub->send(kBob.uri(), "yes, encrypted");
    EXPECT_TRUE(m_bob->waitForText(kAlice.uri(), "yes, encrypted", 10s, pump()));

    ASSERT_FALSE(m_kamailio->bindings(kAlice.aor()).empty());
    m_hub->stop();
    EXPECT_TRUE(m_kamailio->bindings(kAlice.aor()).empty());
    for (const char* method : {"REGISTER", "MESSAGE", "INVITE", "BYE", "NOTIFY"})
        for (const std::string& request : m_kamailio->seen(kAlice.user, method))
            EXPECT_NE(std::string::npos, request.find(" over tls ")) << request;
    EXPECT_FALSE(m_kamailio->seen(kAlice.user, "REGISTER").empty());
}

// A private authority the user adds (CaCertificates), the server named in the settings. When the
// registration's connection goes away, alice registers again at once on a new one, with no word to the
// user: not at the next refresh half an hour later.
TEST_F(TlsTest, PrivateAuthorityFromTheSettingsIsTrustedAndALostConnectionReplaced) {
    startServer(m_ca->issue("server", {kServerName}));
    Relay relay(m_kamailio->tlsPort());
    startAlice(std::string(kServerName) + ":" + std::to_string(relay.port()), m_ca->caFile());
    ASSERT_TRUE(signedIn()) << m_hub->status();
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status().empty(); }, 5s));
    const std::size_t registers = m_kamailio->seen(kAlice.user, "REGISTER").size();
    const int connections = relay.connections();

    relay.dropAll();
    EXPECT_TRUE(
        m_hub->waitUntil([&] { return m_kamailio->seen(kAlice.user, "REGISTER").size() > registers; }, 5s));
    EXPECT_GT(relay.connections(), connections);
    m_hub->waitFor(500ms);
    EXPECT_EQ("", m_hub->status());
    EXPECT_EQ(1u, m_kamailio->bindings(kAlice.aor()).size());
}

// Connections peers open to alice's TLS port are held only while they are used: one that never begins
// its handshake, one that stops in the middle of a request, and one whose request was answered are all
// closed once quiet for the bound (3 s here), not before; a request on a new one is still answered.
TEST_F(TlsTest, QuietAndHalfSentConnectionsToOurPortAreClosed) {
    startServer(m_ca->issue("server", {kServerName}));
    constexpr auto kIdle = 3s;
    startAlice(tlsServer(), m_ca->caFile(), kIdle);
    ASSERT_TRUE(signedIn()) << m_hub->status();

    const std::string options =
        "OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TLS 127.0.0.1:9;branch=z9hG4bK-q\r\n"
        "From: <sip:peer@127.0.0.1>;tag=q\r\nTo: <sip:alice@127.0.0.1>\r\nCall-ID: quiet\r\n"
        "CSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    PeerConnection silent(m_hub->port, pump());
    PeerConnection halfSent(m_hub->port, pump());
    PeerConnection answered(m_hub->port, pump());
    ASSERT_TRUE(halfSent.handshake());
    ASSERT_TRUE(halfSent.send(options.substr(0, 60)));
    ASSERT_TRUE(answered.handshake());
    ASSERT_TRUE(answered.send(options));
    std::string answer;
    ASSERT_TRUE(m_hub->waitUntil([&] { return !(answer = answered.receive(10ms)).empty(); }, 5s));
    EXPECT_EQ(0u, answer.rfind("SIP/2.0 200", 0)) << answer;

    const auto start = std::chrono::steady_clock::now();
    m_hub->waitFor(kIdle - 1s);
    for (PeerConnection* connection : {&silent, &halfSent, &answered})
        EXPECT_FALSE(connection->closedWithin(10ms)) << "closed before it was quiet for the bound";
    bool allClosed = false;
    m_hub->waitUntil(
        [&] {
            allClosed = silent.closedWithin(1ms) && halfSent.closedWithin(1ms) && answered.closedWithin(1ms);
            return allClosed;
        },
        10s);
    EXPECT_TRUE(allClosed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kIdle + 5s);

    PeerConnection later(m_hub->port, pump());
    ASSERT_TRUE(later.handshake());
    ASSERT_TRUE(later.send(options));
    ASSERT_TRUE(m_hub->waitUntil([&] { return !(answer = later.receive(10ms)).empty(); }, 5s));
    EXPECT_EQ(0u, answer.rfind("SIP/2.0 200", 0)) << answer;
}

// The registration's refreshes over TLS, granted for 3 s by a registrar whose nonces last 2 s and must be
// counted: each refresh goes, the stale nonces are answered, and alice stays signed in.
TEST_F(TlsTest, RefreshesAcrossStaleNoncesKeepTheRegistration) {
    startServer(m_ca->issue("server", {kServerName}),
                {.nonceExpire = 2, .nonceCount = true, .minExpires = 1, .maxExpires = 3});
    startAlice(tlsServer(), m_ca->caFile());
    ASSERT_TRUE(signedIn()) << m_hub->status();
    const std::size_t registers = m_kamailio->seen(kAlice.user, "REGISTER").size();
    std::string away;
    m_hub->waitUntil(
        [&] {
            const std::string status = m_hub->status();
            if (!status.empty() && status != "Connected" && away.empty())
                away = status;
            return false;
        },
        7s);
    EXPECT_EQ("", away);
    EXPECT_GE(m_kamailio->seen(kAlice.user, "REGISTER").size(), registers + 3);
    EXPECT_EQ(1u, m_kamailio->bindings(kAlice.aor()).size());
    const std::vector<std::string> answers = m_kamailio->answers(kAlice.user);
    EXPECT_EQ(answers.size(), std::set<std::string>(answers.begin(), answers.end()).size())
        << "an answer sent twice";
}

// A private authority the user named but that cannot be read is said at start, and nothing is sent.
TEST_F(TlsTest, UnreadableAuthorityFileIsReported) {
    startServer(m_ca->issue("server", {kServerName}));
    std::ofstream(m_dir + "/empty.pem") << "not a certificate\n";
    startAlice(tlsServer(), m_dir + "/empty.pem");
    EXPECT_EQ("TLS cannot be set up: no certificate authority could be read from " + m_dir + "/empty.pem",
              m_hub->status());
    m_hub->waitFor(500ms);
    EXPECT_FALSE(aliceReachedTheServer());
}

// Each server alice must not trust: refused at once with the reason, and not a byte of SIP sent to it.
TEST_F(TlsTest, UntrustedServersAreRefusedInWords) {
    test::TestCa stranger(m_dir, "Stranger");
    struct Case {
        const char* what;
        test::TestCa::Issued certificate;
        bool plainPort;
        const char* words;
        const char* server = kServerName;
    };
    const Case cases[] = {
        {"unknown authority", stranger.issue("stranger", {kServerName}), false,
         "certificate not trusted (unable to get local issuer certificate)"},
        {"self-signed", test::TestCa::selfSigned(m_dir, "self", {kServerName}), false,
         "certificate not trusted (self-signed certificate)"},
        {"expired", m_ca->issue("expired", {kServerName}, true), false,
         "certificate not trusted (certificate has expired)"},
        {"another name", m_ca->issue("other", {"other.example.test"}), false,
         "certificate is for other.example.test"},
        {"plain TCP", m_ca->issue("server", {kServerName}), true, "the server does not speak TLS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startServer(c.certificate);
        const std::string server = std::string(c.server) + ":" +
                                   std::to_string(c.plainPort ? m_kamailio->port() : m_kamailio->tlsPort());
        const auto began = std::chrono::steady_clock::now();
        startAlice(server, m_ca->caFile());
        // A few seconds here; the sanitizers' build takes several times longer to read the trusted
        // authorities, and a server that does not speak TLS is given 5 s to answer the handshake.
        EXPECT_TRUE(m_hub->waitUntil([&] { return m_hub->status().find(c.words) != std::string::npos; }, 20s))
            << m_hub->status();
        std::printf(
            "[ figures  ] %s: refused in %.0f ms from the start\n", c.what,
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count());
        EXPECT_NE(IDS_CONNECTED, m_hub->dialog().GetStatusId());
        m_hub->waitFor(500ms);
        EXPECT_FALSE(aliceReachedTheServer()) << m_kamailio->log();
        m_hub.reset();
        m_kamailio.reset();
    }
}

// Certificates as providers deploy them: a wildcard for the domain's hosts, one picked by the name the
// ClientHello asks for (SNI) on a front end whose default certificate is for another name, an address's
// own (an IP-address name, here IPv6): each server is taken, by the layer's check and by the stack's.
TEST_F(TlsTest, ProvidersCertificatesAreTaken) {
    struct Case {
        const char* what;
        test::Kamailio::Options options;
        std::string server;
    };
    const test::TestCa::Issued named = m_ca->issue("named", {kServerName});
    const test::TestCa::Issued other = m_ca->issue("other", {"other.example.test"});
    const test::TestCa::Issued wild = m_ca->issue("wild", {"*.example.test"});
    const test::TestCa::Issued addresses = m_ca->issue("addresses", {"127.0.0.1", "::1"});
    const Case cases[] = {
        {"wildcard", {.tlsCertificate = wild.certificate, .tlsKey = wild.key}, kServerName},
        {"by name (SNI)",
         {.tlsCertificate = other.certificate,
          .tlsKey = other.key,
          .tlsByName = {{kServerName, named.certificate, named.key}}},
         kServerName},
        {"IPv6 address",
         {.alsoAddresses = {"::1"}, .tlsCertificate = addresses.certificate, .tlsKey = addresses.key},
         "[::1]"},
    };
    startServer(named);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_kamailio = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kBob}, c.options);
        m_kamailio->start();
        startAlice(c.server + ":" + std::to_string(m_kamailio->tlsPort()), m_ca->caFile());
        EXPECT_TRUE(signedIn()) << m_hub->status();
        // A new connection of the stack's own, checked the stack's way.
        m_hub->stop();
        EXPECT_TRUE(m_kamailio->bindings(kAlice.aor()).empty());
        m_hub.reset();
        m_kamailio.reset();
    }
}

// A text to a user of another domain, whose server (found from that domain's records) shows a certificate
// for another name: refused at once with the same words as a registrar, and nothing reaches it.
TEST_F(TlsTest, TextsOwnServerIsCheckedLikeTheRegistrar) {
    startServer(m_ca->issue("server", {kServerName}));
    const test::TestCa::Issued wrong = m_ca->issue("wrong", {"wrong.example.test"});
    test::Kamailio stranger({{"carol", "elsewhere.test", "carol123"}},
                            {.tlsCertificate = wrong.certificate, .tlsKey = wrong.key});
    stranger.start();
    m_dns->setRecords({.hosts = {{kServerName, "127.0.0.1"}, {"sip.elsewhere.test", "127.0.0.1"}},
                       .srv = {{"_sips._tcp.example.test", kServerName, m_kamailio->tlsPort()},
                               {"_sips._tcp.elsewhere.test", "sip.elsewhere.test", stranger.tlsPort()}}});
    startAlice("", m_ca->caFile());
    ASSERT_TRUE(signedIn()) << m_hub->status();
    m_hub->waitUntil([&] { return m_hub->status().empty(); }, 5s);
    m_hub->send("carol@elsewhere.test", "hello?");
    EXPECT_TRUE(m_hub->waitUntil(
        [&] { return m_hub->status().find("certificate is for wrong.example.test") != std::string::npos; },
        10s))
        << m_hub->status();
    EXPECT_TRUE(stranger.seen("alice", "MESSAGE").empty());
    EXPECT_TRUE(stranger.seen("alice", "INVITE").empty());
}

}  // namespace
