// SPDX-License-Identifier: MIT
// Signing in, as the main window does it from its settings, against SIPp registrars on 127.0.0.1:
// the REGISTER on the wire, what the status panel shows, the reconnect after a failure, the outbound
// proxy, the removal of the bindings on the way out, and a sign-in still in flight when the agent
// re-connects or exits.
#include "support/Hub.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "platform/FakeShell.h"
#include "res/Resource.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <strings.h>

#include <map>
#include <sstream>

using namespace std::chrono_literals;

namespace {

std::string reply(const std::string& status, const std::string& extra = "") {
    return "  <send><![CDATA[\nSIP/2.0 " + status +
           "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]r[call_number]\n"
           "[last_Call-ID:]\n[last_CSeq:]\n" +
           extra + "Content-Length: 0\n\n]]></send>\n";
}

std::string scenario(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"registrar\">\n" + body +
           "</scenario>\n";
}

// Challenges, then takes the REGISTER whose digest the whole sign-in and `password` give, then waits for
// the removal and leaves it unanswered.
std::string checkingRegistrar(const std::string& password) {
    return scenario(
        "  <recv request=\"REGISTER\"/>\n" +
        reply("401 Unauthorized", "WWW-Authenticate: Digest realm=\"example.test\", nonce=\"n1\"\n") +
        "  <recv request=\"REGISTER\" next=\"good\" test=\"ok\"><action><verifyauth assign_to=\"ok\" "
        "username=\"alice@example.test\" password=\"" +
        test::xmlEscape(password) + "\"/></action></recv>\n" + reply("403 Forbidden") +
        "  <nop next=\"end\"/>\n  <label id=\"good\"/>\n" +
        reply("200 OK", "[last_Contact:];expires=1800\n") +
        "  <recv request=\"REGISTER\"/>\n  <label id=\"end\"/>\n");
}

// A registrar on a plain UDP socket that answers only when the test says so. It keeps each REGISTER it
// received by Call-ID, in order of arrival, and counts the copies the agent sent (retransmissions).
class HeldRegistrar {
public:
    HeldRegistrar() : m_socket(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_socket < 0 || ::bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~HeldRegistrar() {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    int port() const { return m_port; }

    // Takes in every datagram waiting (a bounded number per call).
    void drain() {
        for (int i = 0; i < 100; ++i) {
            char buffer[8192];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t size =
                ::recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (size <= 0)
                return;
            const std::string text(buffer, static_cast<std::size_t>(size));
            if (text.rfind("REGISTER ", 0) != 0)
                continue;
            const std::string callId = header(text, "Call-ID", "i");
            auto [held, added] = m_held.try_emplace(callId, Held{text, from, 0});
            ++held->second.copies;
            if (added)
                callIds.push_back(callId);
        }
    }
    std::size_t copies(const std::string& callId) const {
        auto found = m_held.find(callId);
        return found == m_held.end() ? 0 : found->second.copies;
    }
    std::string request(const std::string& callId) const { return m_held.at(callId).text; }

    // Answers the REGISTER of `callId`; a 2xx binds the Contact it carried.
    void answer(const std::string& callId, const std::string& status) {
        const Held& held = m_held.at(callId);
        std::ostringstream response;
        response << "SIP/2.0 " << status << "\r\n";
        std::istringstream lines(held.text);
        for (std::string line; std::getline(lines, line) && line != "\r";)
            if (isHeader(line, "Via", "v"))
                response << line << "\n";
        response << "From:" << header(held.text, "From", "f") << "\r\n"
                 << "To:" << header(held.text, "To", "t") << ";tag=held\r\n"
                 << "Call-ID: " << callId << "\r\n"
                 << "CSeq:" << header(held.text, "CSeq", "") << "\r\n";
        if (status.rfind("2", 0) == 0)
            response << "Contact:" << header(held.text, "Contact", "m") << ";expires=1800\r\n";
        response << "Content-Length: 0\r\n\r\n";
        const std::string text = response.str();
        ::sendto(m_socket, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&held.from),
                 sizeof held.from);
    }

    std::vector<std::string> callIds;

private:
    struct Held {
        std::string text;
        sockaddr_in from;
        std::size_t copies;
    };
    static bool isHeader(const std::string& line, const std::string& name, const std::string& compact) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        std::string field = line.substr(0, colon);
        while (!field.empty() && field.back() == ' ')
            field.pop_back();
        return strcasecmp(field.c_str(), name.c_str()) == 0 ||
               (!compact.empty() && strcasecmp(field.c_str(), compact.c_str()) == 0);
    }
    // The value of the first header `name` (or its compact form), without the line end.
    static std::string header(const std::string& text, const std::string& name, const std::string& compact) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line) && line != "\r";)
            if (isHeader(line, name, compact)) {
                std::string value = line.substr(line.find(':') + 1);
                if (!value.empty() && value.back() == '\r')
                    value.pop_back();
                return value;
            }
        return "";
    }

    int m_socket;
    int m_port = 0;
    std::map<std::string, Held> m_held;
};

class RegistrationTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }
    int protocol() const { return tcp() ? 1 : 0; }
};

TEST_P(RegistrationTest, SignsInWithTheWholeSignInAsDigestUserAndRemovesItsBindingsOnTheWayOut) {
    const std::string password = "pa:ss word";
    test::Sipp registrar({.scenario = checkingRegistrar(password), .tcp = tcp()});
    registrar.start();
    test::Hub hub({.protocol = protocol(),
                   .outboundProxy = 1,
                   .displayName = "Alice",
                   .signin = "alice@example.test",
                   .password = password,
                   .server = "127.0.0.1:" + std::to_string(registrar.port())});
    hub.start();
    EXPECT_EQ("Connecting...", hub.status());
    ASSERT_TRUE(hub.waitUntil([&] { return hub.dialog().GetStatusId() == IDS_CONNECTED; })) << hub.status();
    EXPECT_EQ("Connected", hub.status());
    // "Connected" goes away by itself after 3000 ms.
    EXPECT_TRUE(hub.waitUntil([&] { return hub.status().empty(); }, 6s));

    const auto start = std::chrono::steady_clock::now();
    hub.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    ASSERT_TRUE(registrar.wait(5s));
    EXPECT_EQ(0, registrar.exitCode()) << registrar.errors();

    const auto sent = registrar.requests("REGISTER");
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ("REGISTER sip:example.test SIP/2.0", sent[0].startLine());
    EXPECT_NE(std::string::npos, sent[0].header("From").find("\"Alice\" <sip:alice@example.test>"));
    EXPECT_EQ("1800", sent[0].header("Expires"));
    EXPECT_EQ("Vantorell Chimely", sent[0].header("User-Agent"));
    EXPECT_NE(std::string::npos, sent[1].header("Authorization").find("username=\"alice@example.test\""));
    EXPECT_EQ("*", sent[2].header("Contact"));
    EXPECT_EQ("0", sent[2].header("Expires"));
}

// After a failure the panel shows the reason phrase and code, and the agent signs in again after the
// reconnect delay (shortened here), again and again.
TEST_P(RegistrationTest, FailureIsShownAndSigningInIsTriedAgainAfterTheDelay) {
    // Each sign-in is a registration of its own, with a Call-ID of its own: one SIPp call each.
    test::Sipp registrar({.scenario = scenario("  <recv request=\"REGISTER\"/>\n" + reply("403 Forbidden")),
                          .tcp = tcp(),
                          .calls = 2});
    registrar.start();
    test::Hub hub({.protocol = protocol(),
                   .outboundProxy = 1,
                   .signin = "alice@example.test",
                   .password = "x",
                   .server = "127.0.0.1:" + std::to_string(registrar.port())},
                  ChimelyDelays{.reconnectMs = 1500});
    hub.start();
    ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Forbidden (403)"; })) << hub.status();
    EXPECT_EQ(-1, hub.dialog().GetStatusId());
    ASSERT_TRUE(registrar.wait(0ms) || hub.waitUntil([&] { return registrar.wait(0ms); }, 6s));
    const auto sent = registrar.requests("REGISTER");
    ASSERT_EQ(2u, sent.size());
    const double gap = sent[1].time - sent[0].time;
    EXPECT_GT(gap, 1.4);
    EXPECT_LT(gap, 4.0);
    // SIPp ends as it sends the second 403; the agent shows it once it has read it.
    EXPECT_TRUE(hub.waitUntil([&] { return hub.status() == "Forbidden (403)"; })) << hub.status();
}

// A REGISTER that is never answered ends in 408, which the stack does not retry: only the agent's own
// reconnect sends another.
TEST_P(RegistrationTest, TimeoutIsNotRetriedByTheStack) {
    test::Sipp registrar(
        {.scenario = scenario("  <recv request=\"REGISTER\"/>\n  <pause milliseconds=\"6000\"/>\n"),
         .tcp = tcp()});
    registrar.start();
    test::Hub hub({.protocol = protocol(),
                   .outboundProxy = 1,
                   .signin = "alice@example.test",
                   .password = "x",
                   .server = "127.0.0.1:" + std::to_string(registrar.port())},
                  ChimelyDelays{}, 1500ms);
    hub.start();
    ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Request Timeout (408)"; }, 8s)) << hub.status();
    hub.waitFor(2s);
    EXPECT_EQ(1u, registrar.requests("REGISTER").size());
    EXPECT_TRUE(hub.dialog().IsTimerActive(kReconnectTimerId));
}

// With "Automatic configuration" the REGISTER goes where the sign-in's domain says, not to the server
// the settings name.
TEST_P(RegistrationTest, AutomaticConfigurationIgnoresTheServer) {
    const int port = test::freePort();
    test::Sipp registrar({.scenario = scenario("  <recv request=\"REGISTER\"/>\n" +
                                               reply("200 OK", "[last_Contact:];expires=1800\n")),
                          .port = port,
                          .tcp = tcp()});
    registrar.start();
    test::Sipp server({.scenario = scenario("  <recv request=\"REGISTER\"/>\n"), .tcp = tcp()});
    server.start();
    test::Hub hub({.protocol = protocol(),
                   .outboundProxy = 0,
                   .signin = "alice@127.0.0.1:" + std::to_string(port),
                   .password = "x",
                   .server = "127.0.0.1:" + std::to_string(server.port())});
    hub.start();
    ASSERT_TRUE(hub.waitUntil([&] { return hub.dialog().GetStatusId() == IDS_CONNECTED; })) << hub.status();
    EXPECT_EQ(1u, registrar.requests("REGISTER").size());
    EXPECT_TRUE(server.requests("REGISTER").empty());
}

TEST_P(RegistrationTest, UnparsableAddressesAreShownAndNothingIsSent) {
    {
        test::Hub hub({.protocol = protocol(), .signin = "alice@exa mple.test"});
        hub.start();
        EXPECT_EQ("Invalid sign-in name", hub.status());
        EXPECT_EQ(IDS_INVALID_SIGNIN, hub.dialog().GetStatusId());
        EXPECT_FALSE(hub.dialog().IsTimerActive(kReconnectTimerId));
    }
    test::Hub hub(
        {.protocol = protocol(), .outboundProxy = 1, .signin = "alice@example.test", .server = "bad server"});
    hub.start();
    EXPECT_EQ("Invalid server name or IP address", hub.status());
    EXPECT_EQ(IDS_INVALID_SERVER, hub.dialog().GetStatusId());
}

// The first sign-in is still waiting for its answer when the user enters an account and re-connects (the
// Preferences flow: Disconnect, then Connect). The re-connect ends that first REGISTER: the stack stops
// sending it, and its answer, when it comes after the new account has signed in, is never shown, starts no
// reconnect and leaves the tray connected.
//
//   agent                       registrar
//     | REGISTER (default name)    |   held
//     |--------------------------->|
//     | Disconnect, Connect        |
//     | REGISTER (bob)             |
//     |--------------------------->|
//     |        200 (bob)           |   "Connected"
//     |<---------------------------|
//     |        503 (first)         |   shown nowhere
//     |<---------------------------|
TEST(RegistrationInFlight, ReconnectEndsTheEarlierSignInAndItsLateAnswerIsNeverShown) {
    HeldRegistrar registrar;
    ASSERT_NE(0, registrar.port());
    platform::FakeShell shell;
    platform::ScopedShell installed{shell};
    test::Hub hub({.outboundProxy = 1,
                   .signin = "alice@example.test",
                   .password = "x",
                   .server = "127.0.0.1:" + std::to_string(registrar.port())},
                  ChimelyDelays{.reconnectMs = 1000}, 32s);
    hub.start();
    ASSERT_TRUE(hub.waitUntil([&] {
        registrar.drain();
        return registrar.callIds.size() == 1;
    }));
    const std::string first = registrar.callIds[0];

    hub.dialog().m_strSigninName = "bob@example.test";
    hub.dialog().Disconnect();
    hub.dialog().Connect();
    ASSERT_TRUE(hub.waitUntil([&] {
        registrar.drain();
        return registrar.callIds.size() == 2;
    }));
    const std::string second = registrar.callIds[1];
    EXPECT_NE(std::string::npos, registrar.request(second).find("sip:bob@example.test"));
    const std::size_t firstCopies = registrar.copies(first);

    registrar.answer(second, "200 OK");
    ASSERT_TRUE(hub.waitUntil([&] { return hub.dialog().GetStatusId() == IDS_CONNECTED; })) << hub.status();
    registrar.answer(first, "503 Service Unavailable");
    // Long enough for the first REGISTER's retransmissions (0.5, 1, 2 s apart) to show if it lived on,
    // and for a reconnect after the shortened delay.
    hub.waitUntil(
        [&] {
            registrar.drain();
            return hub.status() == "Service Unavailable (503)";
        },
        4s);
    EXPECT_NE("Service Unavailable (503)", hub.status());
    EXPECT_TRUE(hub.status() == "Connected" || hub.status().empty()) << hub.status();
    EXPECT_FALSE(hub.dialog().IsTimerActive(kReconnectTimerId));
    EXPECT_LE(registrar.copies(first), firstCopies + 1);
    EXPECT_EQ(2u, registrar.callIds.size());
    const auto& icon = shell.icons.at({hub.dialog().GetSafeHwnd(), IDR_TRAY_MENU});
    EXPECT_EQ(&hub.dialog().m_hIconConnected, icon.record.hIcon);
    EXPECT_EQ("Vantorell Chimely 1.1\nConnected as bob@example.test", std::string(icon.record.szTip));
}

// Exit while the first REGISTER is still unanswered (the stack would wait 32 s for it): the shutdown
// ends it with the rest and finishes in an orderly way, well within its 10 s bound.
TEST(RegistrationInFlight, ExitWithTheFirstRegisterUnansweredEndsWithinTheBound) {
    HeldRegistrar registrar;
    ASSERT_NE(0, registrar.port());
    test::Hub hub({.outboundProxy = 1,
                   .signin = "alice@example.test",
                   .password = "x",
                   .server = "127.0.0.1:" + std::to_string(registrar.port())},
                  ChimelyDelays{}, 32s);
    hub.start();
    ASSERT_TRUE(hub.waitUntil([&] {
        registrar.drain();
        return registrar.callIds.size() == 1;
    }));
    const auto start = std::chrono::steady_clock::now();
    hub.stop();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, 3s);
    EXPECT_EQ(1, hub.dialog().m_bDumCanBeDeleted);
    EXPECT_FALSE(hub.dialog().m_stack.isRunning());
    // Nothing was bound, so nothing is removed.
    registrar.drain();
    EXPECT_EQ(1u, registrar.callIds.size());
}

INSTANTIATE_TEST_SUITE_P(Transports, RegistrationTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
