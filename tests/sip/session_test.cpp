// SPDX-License-Identifier: MIT
// Invite sessions that carry one MESSAGE, both ways, against SIPp on 127.0.0.1 over UDP and TCP.
#include "support/Scenarios.h"
#include "support/Sipp.h"
#include "support/TestAgent.h"

#include "sip/Contents.h"
#include "sip/SdpContents.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const char* const kPeerSdp =
    "v=0\r\n"
    "o=- 7 7 IN IP4 127.0.0.1\r\n"
    "s=-\r\n"
    "c=IN IP4 127.0.0.1\r\n"
    "t=0 0\r\n"
    "m=message 5060 sip bob@127.0.0.1\r\n";

std::string header() {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"session\">\n";
}

std::string answer(const std::string& status, const std::string& extra = "", const std::string& body = "") {
    return "  <send><![CDATA[\nSIP/2.0 " + status +
           "\n"
           "[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n[last_"
           "CSeq:]\n" +
           extra + "Content-Length: [len]\n\n" + body + "]]></send>\n";
}

// A peer that accepts the INVITE, with its Contact at `contactPort`, and (when `staysInDialog`) takes
// the ACK, one MESSAGE and the BYE itself.
std::string acceptingPeer(int contactPort, bool staysInDialog) {
    const std::string contact =
        "Contact: <sip:bob@127.0.0.1:" + std::to_string(contactPort) + ";transport=[transport]>\n";
    std::string xml = header() + "  <recv request=\"INVITE\"/>\n" +
                      answer("200 OK", contact + "Content-Type: application/sdp\n", kPeerSdp);
    if (staysInDialog)
        xml += "  <recv request=\"ACK\"/>\n  <recv request=\"MESSAGE\"/>\n" + answer("200 OK") +
               "  <recv request=\"BYE\"/>\n" + answer("200 OK");
    return xml + "</scenario>\n";
}

// The far end of a dialog that another peer accepted for it.
std::string dialogPeer() {
    return header() + "  <recv request=\"ACK\"/>\n  <recv request=\"MESSAGE\"/>\n" + answer("200 OK") +
           "  <recv request=\"BYE\"/>\n" + answer("200 OK") + "</scenario>\n";
}

// A proxy that challenges the INVITE with 407, then accepts the one that answers it and stays in the
// dialog itself.
std::string challengingPeer(int port) {
    std::string accepting = acceptingPeer(port, true);
    accepting = accepting.substr(accepting.find("  <recv request=\"INVITE\"/>"));
    return header() + "  <recv request=\"INVITE\"/>\n" +
           answer("407 Proxy Authentication Required",
                  "Proxy-Authenticate: Digest realm=\"127.0.0.1\", nonce=\"n0nce\"\n") +
           "  <recv request=\"ACK\"/>\n" + accepting;
}

std::string refusingPeer() {
    return header() + "  <recv request=\"INVITE\"/>\n" + answer("488 Not Acceptable Here") +
           "  <recv request=\"ACK\"/>\n</scenario>\n";
}

// A peer that opens a session to the agent with `sdp`, sends an INFO of a type the agent does not take
// (415), one it takes, and a MESSAGE in it, and takes the agent's BYE.
std::string callingPeer(const std::string& sdp) {
    auto request = [](const std::string& method, int cseq, const std::string& extra,
                      const std::string& body) {
        return "  <send><![CDATA[\n" + method +
               " [next_url] SIP/2.0\n"
               "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
               "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]\n"
               "To: <sip:alice@[remote_ip]:[remote_port]>[peer_tag_param]\n"
               "Call-ID: [call_id]\nCSeq: " +
               std::to_string(cseq) + " " + method +
               "\n"
               "Contact: <sip:peer@[local_ip]:[local_port];transport=[transport]>\nMax-Forwards: 70\n" +
               extra + "Content-Length: [len]\n\n" + body + "]]></send>\n";
    };
    return header() +
           "  <send><![CDATA[\nINVITE sip:alice@[remote_ip]:[remote_port] SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
           "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]\n"
           "To: <sip:alice@[remote_ip]:[remote_port]>\nCall-ID: [call_id]\nCSeq: 1 INVITE\n"
           "Contact: <sip:peer@[local_ip]:[local_port];transport=[transport]>\nMax-Forwards: 70\n"
           "Content-Type: application/sdp\nContent-Length: [len]\n\n" +
           sdp +
           "]]></send>\n"
           "  <recv response=\"100\" optional=\"true\"/>\n"
           "  <recv response=\"180\" optional=\"true\"/>\n"
           "  <recv response=\"200\" rrs=\"true\"/>\n" +
           request("ACK", 1, "", "") + request("INFO", 2, "Content-Type: text/plain\n", "not for INFO") +
           "  <recv response=\"415\"/>\n" + request("INFO", 3, "Content-Type: application/xml\n", "<x/>") +
           "  <recv response=\"200\"/>\n" +
           request("MESSAGE", 4, "Content-Type: text/plain\n", "Hello from the peer") +
           "  <recv response=\"200\"/>\n"
           "  <recv request=\"BYE\"/>\n" +
           answer("200 OK") + "</scenario>\n";
}

sip::SdpContents messageOffer() {
    sip::SdpContents offer;
    offer.session().version() = 0;
    offer.session().origin().address = "127.0.0.1";
    offer.session().name() = "session";
    offer.session().connection().address = "127.0.0.1";
    offer.session().addTime({0, 0});
    sip::SdpContents::Session::Medium medium("message", 5060, 0, "sip");
    medium.addFormat("alice@127.0.0.1");
    offer.session().addMedium(medium);
    return offer;
}

class SessionTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }
    std::string transport() const { return tcp() ? ";transport=tcp" : ""; }

    std::unique_ptr<test::TestAgent> agent() {
        auto agent = std::make_unique<test::TestAgent>(GetParam());
        agent->setIdentity("sip:alice@127.0.0.1", "secret");
        // The session's one message, then the end of the session: what the program does with them.
        agent->connected = [](sip::ClientInviteSessionHandle handle, const sip::SipMessage&) {
            handle->message(sip::PlainContents("one text"));
        };
        agent->messageOutcome = [](sip::InviteSessionHandle handle, const sip::SipMessage&) {
            handle->end();
        };
        return agent;
    }

    void invite(test::TestAgent& agent, int port) {
        const sip::NameAddr target(
            sip::Uri(sip::Data("sip:bob@127.0.0.1:" + std::to_string(port) + transport())));
        agent.dum.send(agent.dum.makeInviteSession(target, messageOffer()));
    }
};

TEST_P(SessionTest, AcceptedSessionCarriesOneMessageThenBye) {
    const int port = test::freePort();
    test::Sipp bob({.scenario = acceptingPeer(port, true), .port = port, .tcp = tcp()});
    bob.start();
    auto alice = agent();
    invite(*alice, bob.port());
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }));
    EXPECT_EQ((std::vector<std::string>{"client.onNewSession 200 OK", "onAnswer 200 OK",
                                        "client.onConnected 200 OK", "session.onMessageSuccess 200 OK",
                                        "session.onTerminated 3"}),
              alice->callbacks());
    ASSERT_TRUE(bob.wait(5s));
    EXPECT_EQ(0, bob.exitCode()) << bob.errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE", "ACK", "MESSAGE", "BYE"}), bob.methods());
    const auto messages = bob.messages();
    EXPECT_EQ(messageOffer().getBodyData().str(), messages.front().body());
    EXPECT_EQ("application/sdp", messages.front().header("Content-Type"));
}

TEST_P(SessionTest, InviteChallengedByAProxyGoesAgainWithTheAnswerInTheSameCall) {
    const int port = test::freePort();
    test::Sipp proxy({.scenario = challengingPeer(port), .port = port, .tcp = tcp()});
    proxy.start();
    auto alice = agent();
    invite(*alice, proxy.port());
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }));
    EXPECT_EQ((std::vector<std::string>{"client.onNewSession 200 OK", "onAnswer 200 OK",
                                        "client.onConnected 200 OK", "session.onMessageSuccess 200 OK",
                                        "session.onTerminated 3"}),
              alice->callbacks());
    ASSERT_TRUE(proxy.wait(5s));
    EXPECT_EQ(0, proxy.exitCode()) << proxy.errors();
    const auto invites = std::vector<test::TracedMessage>{proxy.messages()[0], proxy.messages()[3]};
    ASSERT_TRUE(invites[1].isRequest("INVITE"));
    EXPECT_EQ(invites[0].header("Call-ID"), invites[1].header("Call-ID"));
    EXPECT_NE(std::string::npos,
              invites[1].header("Proxy-Authorization").find("username=\"alice@127.0.0.1\""));
    EXPECT_EQ(messageOffer().getBodyData().str(), invites[1].body());
}

TEST_P(SessionTest, RefusedInviteIsAFailure) {
    test::Sipp bob({.scenario = refusingPeer(), .tcp = tcp()});
    bob.start();
    auto alice = agent();
    invite(*alice, bob.port());
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }));
    EXPECT_EQ(
        (std::vector<std::string>{"session.onFailure 488 Not Acceptable Here", "session.onTerminated 7"}),
        alice->callbacks());
    ASSERT_TRUE(bob.wait(5s));
    EXPECT_EQ(0, bob.exitCode()) << bob.errors();
}

// An outbound proxy that does not record-route is on the path of the INVITE only: ACK, MESSAGE and BYE
// follow the dialog to the peer's Contact. (routing_test.cpp has the proxy that record-routes.)
TEST_P(SessionTest, InDialogRequestsBypassTheOutboundProxy) {
    test::Sipp bob({.scenario = dialogPeer(), .tcp = tcp()});
    bob.start();
    test::Sipp proxy({.scenario = acceptingPeer(bob.port(), false), .tcp = tcp()});
    proxy.start();
    auto alice = agent();
    alice->setOutboundProxy("sip:127.0.0.1:" + std::to_string(proxy.port()) + transport());
    const sip::NameAddr target(sip::Uri(sip::Data("sip:bob@example.test")));
    alice->dum.send(alice->dum.makeInviteSession(target, messageOffer()));
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }));
    ASSERT_TRUE(bob.wait(5s));
    EXPECT_EQ(0, bob.exitCode()) << bob.errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE"}), proxy.methods());
    EXPECT_EQ((std::vector<std::string>{"ACK", "MESSAGE", "BYE"}), bob.methods());
}

// A MESSAGE in the session that the peer never answers ends as any failure does: the stack's timeout is
// the MESSAGE's outcome, and the session is ended with BYE.
TEST_P(SessionTest, UnansweredMessageFailsWithItsTimeoutAndTheSessionEnds) {
    const int port = test::freePort();
    std::string xml = acceptingPeer(port, false);
    xml = xml.substr(0, xml.rfind("</scenario>")) +
          "  <recv request=\"ACK\"/>\n  <label id=\"wait\"/>\n"
          "  <recv request=\"MESSAGE\" optional=\"true\" next=\"wait\"/>\n"
          "  <recv request=\"BYE\"/>\n" +
          answer("200 OK") + "</scenario>\n";
    test::Sipp bob({.scenario = xml, .port = port, .tcp = tcp()});
    bob.start();
    auto alice = agent();
    invite(*alice, bob.port());
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }, 15s));
    EXPECT_EQ((std::vector<std::string>{
                  "client.onNewSession 200 OK", "onAnswer 200 OK", "client.onConnected 200 OK",
                  "session.onMessageFailure 408 Request Timeout", "session.onTerminated 3"}),
              alice->callbacks());
    ASSERT_TRUE(bob.wait(5s));
    EXPECT_EQ(0, bob.exitCode()) << bob.errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE", "ACK", "MESSAGE", "BYE"}), bob.methods());
}

TEST_P(SessionTest, IncomingSessionEchoesTheOfferAnswersInfoAndTakesOneMessage) {
    auto alice = agent();
    test::Sipp peer({.scenario = callingPeer(kPeerSdp), .tcp = tcp(), .remote = alice->address()});
    alice->newServerSession = [](sip::ServerInviteSessionHandle handle, const sip::SipMessage& invite) {
        handle->provideAnswer(*invite.getContents());
        handle->accept(200);
    };
    alice->info = [](sip::InviteSessionHandle handle, const sip::SipMessage&) { handle->acceptNIT(200); };
    alice->inDialogMessage = [](sip::InviteSessionHandle handle, const sip::SipMessage&) {
        handle->acceptNIT(200);
        handle->end();
    };
    peer.start();
    ASSERT_TRUE(alice->pumpUntil([&] { return peer.wait(0ms); }, 15s));
    EXPECT_EQ(0, peer.exitCode()) << peer.errors();
    alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }, 2s);
    EXPECT_EQ(
        (std::vector<std::string>{"server.onNewSession INVITE", "onOffer INVITE", "server.onConnected ACK",
                                  "onInfo INFO", "session.onMessage MESSAGE", "session.onTerminated 3"}),
        alice->callbacks());

    const auto messages = peer.messages();
    const auto ok = std::find_if(messages.begin(), messages.end(),
                                 [](const test::TracedMessage& m) { return !m.sent && m.status() == 200; });
    ASSERT_NE(messages.end(), ok);
    EXPECT_EQ(kPeerSdp, ok->body());
    EXPECT_EQ("application/sdp", ok->header("Content-Type"));
    const auto refused = std::find_if(messages.begin(), messages.end(), [](const test::TracedMessage& m) {
        return !m.sent && m.status() == 415;
    });
    ASSERT_NE(messages.end(), refused);
    EXPECT_EQ("application/xml", refused->header("Accept"));
}

TEST_P(SessionTest, IncomingSessionTheHandlerRejectsEndsWithoutADialog) {
    auto alice = agent();
    const std::string audio =
        "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=audio 4000 RTP/AVP 0\r\n";
    test::Sipp peer(
        {.scenario = test::requestScenario("INVITE", "Content-Type: application/sdp\n", audio, 488),
         .tcp = tcp(),
         .remote = alice->address()});
    alice->newServerSession = [](sip::ServerInviteSessionHandle handle, const sip::SipMessage&) {
        handle->reject(488);
    };
    peer.start();
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("session.onTerminated") > 0; }, 10s));
    EXPECT_EQ(
        (std::vector<std::string>{"server.onNewSession INVITE", "onOffer INVITE", "session.onTerminated 7"}),
        alice->callbacks());
    EXPECT_TRUE(peer.wait(5s));
}

TEST_P(SessionTest, IncomingInviteWithABodyThatIsNotSdpIsRefusedWith415) {
    auto alice = agent();
    test::Sipp peer({.scenario = test::requestScenario("INVITE", "Content-Type: text/plain\n", "hi", 415),
                     .tcp = tcp(),
                     .remote = alice->address()});
    peer.start();
    ASSERT_TRUE(alice->pumpUntil([&] { return peer.wait(0ms); }, 15s));
    EXPECT_EQ(0, peer.exitCode()) << peer.errors();
    EXPECT_EQ("application/sdp", peer.messages().back().header("Accept"));
    EXPECT_TRUE(alice->callbacks().empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, SessionTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
