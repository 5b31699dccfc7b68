// SPDX-License-Identifier: MIT
// Signing in, as the main window does it from its settings, against SIPp registrars on 127.0.0.1:
// the REGISTER on the wire, what the status panel shows, the reconnect after a failure, the outbound
// proxy, and the removal of the bindings on the way out.
#include "support/Hub.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "res/Resource.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ("Forbidden (403)", hub.status());
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

INSTANTIATE_TEST_SUITE_P(Transports, RegistrationTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
