// SPDX-License-Identifier: MIT
// The main window's agent in dialogs that a real Kamailio record-routes, with the agent's server set to
// it ("Configure settings", so an outbound proxy) and without: every request of a dialog, the agent's
// and its peer's, takes the dialog's route set through Kamailio, which the test reads from Kamailio's
// own log. The peer of a message session is SIPp, registered at Kamailio as bob; the peer of the pager
// fallback and of the presence watch is baresip. Over UDP and TCP, inside a network namespace of the
// test program's own.
#include "support/Baresip.h"
#include "support/Hub.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "res/Resource.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <iostream>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

const test::SipUser kAlice{"alice", "example.test", "wonder:land"};
const test::SipUser kBob{"bob", "example.test", "bob123"};
constexpr int kDefaultSipPort = 5060;

const char* const kBobSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=message 5060 sip bob@127.0.0.1\r\n";

std::string scenario(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"routing\">\n" + body +
           "</scenario>\n";
}

std::string reply(const std::string& status, const std::string& extra = "", const std::string& body = "") {
    return "  <send><![CDATA[\nSIP/2.0 " + status +
           "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]b[call_number]\n[last_Call-ID:]\n[last_CSeq:]"
           "\n" +
           extra + "Content-Length: [len]\n\n" + body + "]]></send>\n";
}

// Bob's binding at Kamailio, with digest: his Contact is the SIPp that plays bob.
std::string registration(const std::string& contact) {
    auto request = [&](int cseq, const std::string& extra) {
        return "  <send retrans=\"500\"><![CDATA[\nREGISTER sip:example.test SIP/2.0\n"
               "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
               "From: <sip:bob@example.test>;tag=[pid]r[call_number]\nTo: <sip:bob@example.test>\n"
               "Call-ID: [call_id]\nCSeq: " +
               std::to_string(cseq) + " REGISTER\nContact: <" + contact +
               ">\nExpires: 600\nMax-Forwards: 70\n" + extra + "Content-Length: 0\n\n]]></send>\n";
    };
    return scenario(request(1, "") + "  <recv response=\"401\" auth=\"true\"/>\n" +
                    request(2, "[authentication]\n") + "  <recv response=\"200\"/>\n");
}

// Bob takes the agent's message session: the 200 repeats the Record-Route that Kamailio put into the
// INVITE, and then the ACK, the one MESSAGE and the BYE come to him through Kamailio. The agent sends the
// MESSAGE right after the ACK; over UDP, Kamailio's two workers may pass them on in either order.
std::string sessionPeer() {
    return scenario(
        "  <recv request=\"INVITE\"/>\n" +
        reply("200 OK",
              "[last_Record-Route:]\nContact: <sip:bob@[local_ip]:[local_port];transport=[transport]>\n"
              "Content-Type: application/sdp\n",
              kBobSdp) +
        "  <recv request=\"ACK\" optional=\"true\"/>\n  <recv request=\"MESSAGE\"/>\n" + reply("200 OK") +
        "  <recv request=\"ACK\" optional=\"true\"/>\n  <recv request=\"BYE\"/>\n" + reply("200 OK"));
}

// A peer that opens a message session to alice through Kamailio, sends one MESSAGE in it along the
// route that Kamailio recorded, and takes the agent's BYE.
std::string callingPeer() {
    // The ACK is not retransmitted; the MESSAGE is over UDP until it is answered.
    auto request = [](const std::string& method, int cseq, const std::string& extra,
                      const std::string& body) {
        return std::string(method == "ACK" ? "  <send>" : "  <send retrans=\"500\">") + "<![CDATA[\n" +
               method +
               " [next_url] SIP/2.0\n"
               "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n[routes]\n"
               "From: \"Peer\" <sip:peer@example.test>;tag=[pid]p[call_number]\n"
               "To: <sip:alice@example.test>[peer_tag_param]\nCall-ID: [call_id]\nCSeq: " +
               std::to_string(cseq) + " " + method + "\nMax-Forwards: 70\n" + extra +
               "Content-Length: [len]\n\n" + body + "]]></send>\n";
    };
    const std::string sdp =
        "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=message 5060 sip peer@127.0.0.1\r\n";
    return scenario(
        "  <send retrans=\"500\"><![CDATA[\nINVITE sip:alice@example.test SIP/2.0\n"
        "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
        "From: \"Peer\" <sip:peer@example.test>;tag=[pid]p[call_number]\nTo: <sip:alice@example.test>\n"
        "Call-ID: [call_id]\nCSeq: 1 INVITE\nContact: "
        "<sip:peer@[local_ip]:[local_port];transport=[transport]>\n"
        "Max-Forwards: 70\nContent-Type: application/sdp\nContent-Length: [len]\n\n" +
        sdp +
        "]]></send>\n"
        "  <recv response=\"100\" optional=\"true\"/>\n"
        "  <recv response=\"200\" rrs=\"true\"/>\n" +
        request("ACK", 1, "", "") + request("MESSAGE", 2, "Content-Type: text/plain\n", "hello alice") +
        // The agent sends its 200 and then its BYE, but the proxy's workers may pass them on in either order.
        "  <recv response=\"200\" optional=\"true\"/>\n  <recv request=\"BYE\"/>\n" + test::okReply());
}

class RoutingTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }
    std::string transport() const { return tcp() ? ";transport=tcp" : ""; }

    void SetUp() override { CHIMELY_REQUIRE_PRIVATE_NETWORK(); }

    void TearDown() override {
        if (HasFailure()) {
            for (const auto& [name, sipp] : m_sipps)
                std::cerr << "--- " << name << " (SIPp):\n" << sipp->errors();
            if (m_baresip)
                std::cerr << "--- baresip's output:\n" << m_baresip->output();
            if (m_kamailio)
                std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        }
        m_baresip.reset();
        m_hub.reset();
        m_sipps.clear();
        m_kamailio.reset();
    }

    void startKamailio(int port = 0) {
        m_kamailio = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kBob}, port);
        m_kamailio->start();
    }

    // The agent signed in at Kamailio, which is its server (`server` as the settings hold it).
    void startSignedInHub(const std::string& server) {
        m_hub = std::make_unique<test::Hub>(test::Hub::Settings{.protocol = tcp() ? 1 : 0,
                                                                .outboundProxy = 1,
                                                                .displayName = "Alice",
                                                                .signin = kAlice.aor(),
                                                                .password = kAlice.password,
                                                                .server = server});
        m_hub->start();
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }))
            << m_hub->status();
        m_hub->dialog().HideStatus();
    }

    // Whether Kamailio's Via is on top of `request`: it came by way of Kamailio. Kamailio leaves the
    // default port out of its Via.
    bool fromKamailio(const test::TracedMessage& request) const {
        const std::string port =
            m_kamailio->port() == kDefaultSipPort ? "" : ":" + std::to_string(m_kamailio->port());
        const std::string via = "SIP/2.0/" + std::string(tcp() ? "TCP" : "UDP") + " 127.0.0.1" + port + ";";
        return request.header("Via").rfind(via, 0) == 0;
    }

    std::string kamailioServer() const { return "127.0.0.1:" + std::to_string(m_kamailio->port()); }

    test::Sipp& sipp(const std::string& name, test::Sipp::Options options) {
        options.tcp = tcp();
        test::Sipp& added =
            *m_sipps.emplace_back(name, std::make_unique<test::Sipp>(std::move(options))).second;
        added.start();
        return added;
    }

    // SIPp as bob, taking one message session, with its binding registered at Kamailio.
    test::Sipp& startSessionPeer() {
        test::Sipp& bob = sipp("bob", {.scenario = sessionPeer()});
        test::Sipp& binding =
            sipp("bob's registration",
                 {.scenario = registration("sip:bob@127.0.0.1:" + std::to_string(bob.port()) + transport()),
                  .remote = kamailioServer(),
                  .extra = {"-au", kBob.aor(), "-ap", kBob.password}});
        EXPECT_TRUE(m_hub->waitUntil([&] { return binding.wait(0ms); }));
        EXPECT_EQ(0, binding.exitCode()) << binding.errors();
        return bob;
    }

    // What the message session to bob leaves behind: bob answered the text once, and each request of the
    // agent's dialog and each of bob's answers to them reached the other side through Kamailio.
    void expectSessionThroughKamailio(test::Sipp& bob) {
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status() == "Message has been sent"; }))
            << m_hub->status();
        ASSERT_TRUE(m_hub->waitUntil([&] { return bob.wait(0ms); }, 5s));
        EXPECT_EQ(0, bob.exitCode()) << bob.errors();
        std::vector<std::string> methods = bob.methods();
        std::sort(methods.begin(), methods.end());
        EXPECT_EQ((std::vector<std::string>{"ACK", "BYE", "INVITE", "MESSAGE"}), methods);
        std::size_t texts = 0;
        for (const test::TracedMessage& message : bob.messages())
            texts += !message.sent && message.isRequest("MESSAGE");
        EXPECT_EQ(1u, texts);
        EXPECT_EQ("through Kamailio", bob.requests("MESSAGE").at(0).body());
        // Kamailio's Via on top: each came by way of Kamailio, none straight from the agent.
        for (const test::TracedMessage& request : bob.requests()) {
            SCOPED_TRACE(request.startLine());
            EXPECT_TRUE(fromKamailio(request)) << request.header("Via");
        }
        for (const char* method : {"INVITE", "ACK", "MESSAGE", "BYE"})
            EXPECT_EQ(1u, m_kamailio->seen("alice", method).size()) << method;
        for (const char* method : {"INVITE", "MESSAGE", "BYE"})
            EXPECT_EQ(1u, m_kamailio->seenReplies("bob", 200, method).size()) << method;
    }

    std::unique_ptr<test::Kamailio> m_kamailio;
    std::vector<std::pair<std::string, std::unique_ptr<test::Sipp>>> m_sipps;
    std::unique_ptr<test::Hub> m_hub;
    std::unique_ptr<test::Baresip> m_baresip;
};

//   agent             Kamailio              bob
//     | INVITE, Route: Kamailio               |
//     |------------------>| INVITE, Record-Route: Kamailio
//     |                   |------------------>|
//     |       200 (Record-Route: Kamailio)    |
//     |<------------------|<------------------|
//     | ACK, MESSAGE, BYE along the route     |
//     |------------------>|------------------>|
//     |       200s        |                   |
//     |<------------------|<------------------|   "Message has been sent"
TEST_P(RoutingTest, MessageSessionThroughTheServerPassesItWholly) {
    startKamailio();
    startSignedInHub(kamailioServer());
    test::Sipp& bob = startSessionPeer();
    m_hub->send("bob", "through Kamailio");
    expectSessionThroughKamailio(bob);
}

// The server as a host alone: reached on the default port, over the transport of the settings.
TEST_P(RoutingTest, MessageSessionThroughAServerNamedByItsHostAlonePassesItWholly) {
    startKamailio(kDefaultSipPort);
    startSignedInHub("127.0.0.1");
    test::Sipp& bob = startSessionPeer();
    m_hub->send("bob", "through Kamailio");
    expectSessionThroughKamailio(bob);
}

// No outbound proxy: the INVITE goes to Kamailio because its Request-URI names Kamailio, and the
// Record-Route alone keeps the rest of the dialog on that path.
TEST_P(RoutingTest, MessageSessionWithoutOutboundProxyFollowsTheRecordRoute) {
    startKamailio();
    // The sign-in's domain has no registrar here; the registration fails, and has nothing to do with it.
    m_hub = std::make_unique<test::Hub>(
        test::Hub::Settings{.protocol = tcp() ? 1 : 0, .signin = "alice@127.0.0.1", .password = "x"});
    m_hub->start();
    test::Sipp& bob = startSessionPeer();
    m_hub->send("bob@" + kamailioServer() + transport(), "through Kamailio");
    expectSessionThroughKamailio(bob);
}

//   agent             Kamailio            bob (baresip)
//     | INVITE            |                   |
//     |------------------>|------------------>|
//     |       488         |        488        |
//     |<------------------|<------------------|
//     | ACK               |                   |
//     |------------------>|                   |
//     | MESSAGE (pager, to the outbound proxy)|
//     |------------------>|------------------>|
//     |       200         |        200        |
//     |<------------------|<------------------|   "Message has been sent"
TEST_P(RoutingTest, PagerFallbackAfter488GoesThroughTheServer) {
    startKamailio();
    startSignedInHub(kamailioServer());
    m_baresip = std::make_unique<test::Baresip>(
        test::Baresip::Options{.user = kBob, .outboundProxy = m_kamailio->uri(tcp()), .tcp = tcp()});
    m_baresip->start();
    ASSERT_TRUE(m_baresip->waitForRegistration(10s, [this] { m_hub->waitFor(20ms); }));
    m_hub->send("bob", "no session, then");
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status() == "Message has been sent"; }))
        << m_hub->status();
    EXPECT_TRUE(
        m_baresip->waitForText(kAlice.uri(), "no session, then", 5s, [this] { m_hub->waitFor(20ms); }));
    EXPECT_EQ(1u, m_kamailio->seen("alice", "INVITE").size());
    EXPECT_EQ(1u, m_kamailio->seen("alice", "ACK").size());
    EXPECT_EQ(1u, m_kamailio->seenReplies("bob", 488, "INVITE").size());
    EXPECT_EQ(1u, m_kamailio->seen("alice", "MESSAGE").size());
    EXPECT_EQ(1u, m_kamailio->seenReplies("bob", 200, "MESSAGE").size());
}

//   peer              Kamailio             agent
//     | INVITE            |                   |
//     |------------------>| INVITE, Record-Route: Kamailio
//     |                   |------------------>|
//     |       200         |        200        |
//     |<------------------|<------------------|
//     | ACK, MESSAGE along the route          |
//     |------------------>|------------------>|
//     |       200         |        200        |
//     |<------------------|<------------------|   the text in a box
//     |       BYE         |  BYE along the route
//     |<------------------|<------------------|
TEST_P(RoutingTest, MessageSessionAPeerOpensThroughTheServerEndsThroughIt) {
    startKamailio();
    startSignedInHub(kamailioServer());
    test::Sipp& peer = sipp("peer", {.scenario = callingPeer(), .remote = kamailioServer()});
    ASSERT_TRUE(m_hub->waitUntil([&] { return peer.wait(0ms); }, 15s));
    EXPECT_EQ(0, peer.exitCode()) << peer.errors();
    ASSERT_EQ(1u, m_hub->boxes.openCount());
    EXPECT_EQ("hello alice", m_hub->boxes.open(0).text);
    EXPECT_EQ(1u, m_kamailio->seenReplies("alice", 200, "INVITE").size());
    EXPECT_EQ(1u, m_kamailio->seenReplies("alice", 200, "MESSAGE").size());
    EXPECT_EQ(1u, m_kamailio->seen("alice", "BYE").size());
    // The peer ends as soon as it has sent its 200; the proxy may log passing it on a moment later.
    EXPECT_TRUE(m_hub->waitUntil([&] { return !m_kamailio->seenReplies("peer", 200, "BYE").empty(); }, 5s));
    EXPECT_EQ(1u, m_kamailio->seenReplies("peer", 200, "BYE").size());
    const auto byes = peer.requests("BYE");
    ASSERT_EQ(1u, byes.size());
    EXPECT_TRUE(fromKamailio(byes[0])) << byes[0].header("Via");
}

//   bob (baresip)      Kamailio             agent
//     | SUBSCRIBE         |                   |
//     |------------------>| SUBSCRIBE, Record-Route: Kamailio
//     |                   |------------------>|
//     |       202         |        202        |
//     |<------------------|<------------------|
//     |     NOTIFY open   |  NOTIFY along the route
//     |<------------------|<------------------|   bob shows alice Online
//     |       200         |                   |
//     |------------------>|------------------>|
//     |  NOTIFY terminated|  Disconnect: along the route too
//     |<------------------|<------------------|
TEST_P(RoutingTest, PresenceSubscriptionThroughTheServerIsNotifiedThroughIt) {
    startKamailio();
    startSignedInHub(kamailioServer());
    m_baresip =
        std::make_unique<test::Baresip>(test::Baresip::Options{.user = kBob,
                                                               .outboundProxy = m_kamailio->uri(tcp()),
                                                               .tcp = tcp(),
                                                               .contacts = {{"alice", kAlice.uri(), true}}});
    m_baresip->start();
    auto pump = [this] { m_hub->waitFor(20ms); };
    ASSERT_TRUE(m_baresip->waitForRegistration(10s, pump));
    ASSERT_TRUE(m_baresip->waitForPresence(kAlice.uri(), "Online", 10s, pump))
        << m_baresip->presence(kAlice.uri());
    ASSERT_FALSE(m_kamailio->seen("alice", "NOTIFY").empty());
    EXPECT_NE(std::string::npos, m_kamailio->seen("alice", "NOTIFY").front().find(" state active"));

    m_hub->dialog().Disconnect();
    auto ended = [&] {
        for (const std::string& notify : m_kamailio->seen("alice", "NOTIFY"))
            if (notify.find(" state terminated;reason=deactivated") != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(m_hub->waitUntil(ended, 5s));
    // The final NOTIFY's 200 passes the proxy a moment after the NOTIFY itself.
    EXPECT_TRUE(m_hub->waitUntil([&] { return m_kamailio->seenReplies("bob", 200, "NOTIFY").size() >= 2u; }, 5s))
        << m_kamailio->seenReplies("bob", 200, "NOTIFY").size() << " answers to NOTIFY passed the proxy";
}

INSTANTIATE_TEST_SUITE_P(Transports, RoutingTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
