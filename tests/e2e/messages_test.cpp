// SPDX-License-Identifier: MIT
// Text messages as the main window sends and shows them, against SIPp peers on 127.0.0.1: the message
// session with its pager fallback, the outcome in the status panel, the received text answered first
// and then shown, the incoming message sessions, and a flood of received texts.
#include "support/Hub.h"
#include "support/RawSip.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "res/Resource.h"
#include "sip/SdpContents.h"

#include <QPlainTextEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <ctime>

using namespace std::chrono_literals;

namespace {

std::string reply(const std::string& status, const std::string& extra = "", const std::string& body = "") {
    return "  <send><![CDATA[\nSIP/2.0 " + status +
           "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]b[call_number]\n"
           "[last_Call-ID:]\n[last_CSeq:]\n" +
           extra + "Content-Length: [len]\n\n" + body + "]]></send>\n";
}

std::string scenario(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"peer\">\n" + body +
           "</scenario>\n";
}

const char* const kPeerSdp =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=message 5060 sip bob@127.0.0.1\r\n";

// A peer that takes the message session: the INVITE, one MESSAGE in it, the BYE.
std::string acceptingPeer() {
    return scenario("  <recv request=\"INVITE\"/>\n" +
                    reply("200 OK",
                          "Contact: <sip:bob@[local_ip]:[local_port];transport=[transport]>\n"
                          "Content-Type: application/sdp\n",
                          kPeerSdp) +
                    "  <recv request=\"ACK\"/>\n  <recv request=\"MESSAGE\"/>\n" + reply("200 OK") +
                    "  <recv request=\"BYE\"/>\n" + reply("200 OK"));
}

// A peer without message sessions: 488 to the INVITE, and `pagerStatus` to the MESSAGE that follows.
// The INVITE and the MESSAGE are calls of their own.
std::string refusingPeer(const std::string& pagerStatus) {
    return scenario(
        "  <recv request=\"INVITE\" optional=\"true\" next=\"invite\"/>\n"
        "  <recv request=\"MESSAGE\"/>\n" +
        reply(pagerStatus) +
        "  <nop next=\"end\"/>\n"
        "  <label id=\"invite\"/>\n" +
        reply("488 Not Acceptable Here") + "  <recv request=\"ACK\"/>\n  <label id=\"end\"/>\n");
}

class MessagesTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }
    test::Hub::Settings settings() const {
        return {.protocol = tcp() ? 1 : 0, .signin = "alice@127.0.0.1", .password = "x"};
    }
    std::string peerAddress(const test::Sipp& sipp) const {
        return "bob@127.0.0.1:" + std::to_string(sipp.port()) + (tcp() ? ";transport=tcp" : "");
    }
};

TEST_P(MessagesTest, SentInAMessageSessionWhenThePeerTakesOne) {
    test::Sipp bob({.scenario = acceptingPeer(), .tcp = tcp()});
    bob.start();
    test::Hub hub(settings());
    hub.start();
    hub.send(peerAddress(bob), "first line\nsecond line");
    EXPECT_EQ("Sending...", hub.status());
    ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Message has been sent"; })) << hub.status();
    EXPECT_TRUE(hub.dialog().m_edMessage->toPlainText().isEmpty());
    ASSERT_TRUE(hub.waitUntil([&] { return bob.wait(0ms); }, 5s));
    EXPECT_EQ(0, bob.exitCode()) << bob.errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE", "ACK", "MESSAGE", "BYE"}), bob.methods());
    const auto messages = bob.messages();
    const auto text =
        std::find_if(messages.begin(), messages.end(), [](auto& m) { return m.isRequest("MESSAGE"); });
    EXPECT_EQ("first line\r\nsecond line", text->body());
    EXPECT_EQ("text/plain", text->header("Content-Type"));

    // The offer: six lines, port 5060, the user's address of record.
    const std::string offer = messages.front().body();
    EXPECT_EQ(0u, offer.find("v=0\r\no=- 0 0 IN IP4 ")) << offer;
    EXPECT_NE(std::string::npos, offer.find("\r\ns=session\r\nc=IN IP4 ")) << offer;
    EXPECT_NE(std::string::npos, offer.find("\r\nt=0 0\r\nm=message 5060 sip alice@127.0.0.1\r\n")) << offer;
}

// A peer that takes the session and never answers its MESSAGE: the stack's timeout is the outcome,
// shown like any failure, and the session is ended; the window does not stay at "Sending...".
TEST_P(MessagesTest, UnansweredMessageInASessionIsShownAsItsTimeoutAndTheSessionEnds) {
    test::Sipp bob(
        {.scenario = scenario("  <recv request=\"INVITE\"/>\n" +
                              reply("200 OK",
                                    "Contact: <sip:bob@[local_ip]:[local_port];transport=[transport]>\n"
                                    "Content-Type: application/sdp\n",
                                    kPeerSdp) +
                              "  <recv request=\"ACK\"/>\n  <label id=\"wait\"/>\n"
                              "  <recv request=\"MESSAGE\" optional=\"true\" next=\"wait\"/>\n"
                              "  <recv request=\"BYE\"/>\n" +
                              reply("200 OK")),
         .tcp = tcp()});
    bob.start();
    test::Hub hub(settings());
    hub.start();
    hub.send(peerAddress(bob), "anyone?");
    ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Request Timeout (408)"; }, 15s)) << hub.status();
    EXPECT_TRUE(hub.dialog().m_btnOk->isVisibleTo(&hub.dialog()));
    EXPECT_EQ("anyone?", hub.dialog().m_edMessage->toPlainText().toStdString());
    ASSERT_TRUE(hub.waitUntil([&] { return bob.wait(0ms); }, 5s));
    EXPECT_EQ(0, bob.exitCode()) << bob.errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE", "ACK", "MESSAGE", "BYE"}), bob.methods());
    // Ok takes the panel away and gives the compose controls back.
    hub.dialog().m_btnOk->click();
    EXPECT_EQ("", hub.status());
    EXPECT_TRUE(hub.dialog().GetDlgItem(IDC_SEND)->isEnabled());
}

TEST_P(MessagesTest, RefusedSessionFallsBackToAPagerMessageToTheSameAddress) {
    test::Sipp bob({.scenario = refusingPeer("200 OK"), .tcp = tcp(), .calls = 2});
    bob.start();
    test::Hub hub(settings());
    hub.start();
    hub.send(peerAddress(bob), "are you there?");
    ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Message has been sent"; })) << hub.status();
    ASSERT_TRUE(hub.waitUntil([&] { return bob.wait(0ms); }, 5s));
    EXPECT_EQ(0, bob.exitCode()) << bob.errors();
    EXPECT_EQ((std::vector<std::string>{"INVITE", "ACK", "MESSAGE"}), bob.methods());
    const auto messages = bob.messages();
    const auto pager =
        std::find_if(messages.begin(), messages.end(), [](auto& m) { return m.isRequest("MESSAGE"); });
    ASSERT_NE(messages.end(), pager);
    EXPECT_EQ(messages.front().startLine().substr(7), pager->startLine().substr(8));
    EXPECT_EQ("are you there?", pager->body());
}

TEST_P(MessagesTest, RefusedPagerMessageIsShownWithOkAndTheTextStays) {
    test::Sipp bob({.scenario = refusingPeer("404 Not Found"), .tcp = tcp(), .calls = 2});
    bob.start();
    test::Hub hub(settings());
    hub.start();
    hub.send(peerAddress(bob), "hello?");
    ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Not Found (404)"; })) << hub.status();
    EXPECT_EQ("hello?", hub.dialog().m_edMessage->toPlainText().toStdString());
    EXPECT_TRUE(hub.dialog().m_btnOk->isVisibleTo(&hub.dialog()));
}

TEST_P(MessagesTest, UnparsableRecipientIsShownAndNothingIsSent) {
    test::Hub hub(settings());
    hub.start();
    hub.send("bob smith", "hi");
    EXPECT_EQ("Invalid recipient address", hub.status());
    EXPECT_TRUE(hub.dialog().m_btnOk->isVisibleTo(&hub.dialog()));
}

// The 200 leaves before the box opens; the box is titled with the sender's display name and the time.
TEST_P(MessagesTest, ReceivedTextIsAnsweredThenShownInABoxTitledWithSenderAndTime) {
    test::Hub hub(settings());
    hub.start();
    test::Sipp peer(
        {.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "<b>Hi</b> & bye", 200),
         .tcp = tcp(),
         .remote = hub.address()});
    peer.start();
    ASSERT_TRUE(hub.waitUntil([&] { return hub.boxes.openCount() == 1; }));
    EXPECT_TRUE(peer.wait(2s));
    EXPECT_EQ(0, peer.exitCode());
    const auto& box = hub.boxes.open(0);
    EXPECT_EQ("<b>Hi</b> & bye", box.text);
    EXPECT_EQ(platform::MB_ICONINFORMATION, box.style);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const char* weekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    EXPECT_EQ(0u, box.caption.find("Vantorell Chimely - Message [ Peer, " +
                                   std::string(weekdays[local.tm_wday]) + ", "))
        << box.caption;
    EXPECT_EQ(" ]", box.caption.substr(box.caption.size() - 2));
}

// A sender without a display name (baresip gives none) is named in the title by its address, user@host
// with the host in lower case, where a display name would stand.
TEST_P(MessagesTest, ReceivedTextFromASenderWithoutDisplayNameIsTitledWithItsAddress) {
    test::Hub hub(settings());
    hub.start();
    std::string request = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "hello", 200);
    const std::string named = "\"Peer\" <sip:peer@[local_ip]:[local_port]>";
    ASSERT_NE(std::string::npos, request.find(named));
    request.replace(request.find(named), named.size(), "<sip:Bob@Example.TEST>");
    test::Sipp peer({.scenario = request, .tcp = tcp(), .remote = hub.address()});
    peer.start();
    ASSERT_TRUE(hub.waitUntil([&] { return hub.boxes.openCount() == 1; }));
    EXPECT_TRUE(peer.wait(2s));
    const std::string& caption = hub.boxes.open(0).caption;
    EXPECT_EQ(0u, caption.find("Vantorell Chimely - Message [ Bob@example.test, ")) << caption;
    EXPECT_EQ(std::string::npos, caption.find("[ ,")) << caption;
}

TEST_P(MessagesTest, ReceivedTextWithoutBodyGivesAnEmptyBox) {
    test::Hub hub(settings());
    hub.start();
    test::Sipp peer(
        {.scenario = test::requestScenario("MESSAGE", "", "", 200), .tcp = tcp(), .remote = hub.address()});
    peer.start();
    ASSERT_TRUE(hub.waitUntil([&] { return hub.boxes.openCount() == 1; }));
    EXPECT_EQ("", hub.boxes.open(0).text);
}

// Many texts at once: all answered, a bounded number of boxes open, the others waiting in order.
TEST_P(MessagesTest, FloodOfTextsIsAnsweredAndShownInOrderWithoutBound) {
    constexpr int kTexts = 300;
    test::Hub hub(settings());
    hub.start();
    test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n",
                                                       "text [call_number]", 200),
                     .tcp = tcp(),
                     .remote = hub.address(),
                     .calls = kTexts,
                     .extra = {"-r", "500"}});
    peer.start();
    ASSERT_TRUE(hub.waitUntil([&] { return peer.wait(0ms); }, 30s));
    EXPECT_EQ(0, peer.exitCode()) << peer.errors();
    // The peer lost our 200 to its first text and sends the text again, the same request, once the flood
    // has let the stack's transaction go: the same answer, and no second box (the count below).
    hub.waitFor(2s);
    const auto traced = peer.messages();
    const auto first = std::find_if(traced.begin(), traced.end(), [](const auto& m) { return m.sent; });
    ASSERT_NE(traced.end(), first);
    std::string again = first->text.substr(0, first->text.size() - 1);
    test::RawPeer repeater(tcp(), hub.port);
    const std::string sentBy = "127.0.0.1:" + std::to_string(peer.port());
    ASSERT_NE(std::string::npos, again.find(sentBy));
    again.replace(again.find(sentBy), sentBy.size(), "127.0.0.1:" + std::to_string(repeater.localPort()));
    ASSERT_TRUE(repeater.send(again));
    std::optional<test::RawMessage> answer;
    ASSERT_TRUE(hub.waitUntil([&] { return (answer = repeater.receive(0ms)) && answer->status() >= 200; }));
    EXPECT_EQ(200, answer->status());
    hub.waitFor(200ms);
    // Only so many boxes open; the rest wait.
    EXPECT_EQ(kMaxOpenMessageBoxes, hub.boxes.openCount());
    EXPECT_EQ(kMaxOpenMessageBoxes, hub.boxes.calls.size());
    // Closing the top box opens the next waiting text: every text comes up, in the order it arrived.
    std::vector<std::string> shown;
    for (std::size_t i = 0; i < kMaxOpenMessageBoxes; ++i)
        shown.push_back(hub.boxes.open(i).text);
    while (hub.boxes.openCount() > 0) {
        const std::size_t before = hub.boxes.calls.size();
        hub.boxes.closeNewest();
        if (hub.boxes.calls.size() > before)
            shown.push_back(hub.boxes.calls.back().text);
    }
    ASSERT_EQ(static_cast<std::size_t>(kTexts), shown.size());
    for (int i = 0; i < kTexts; ++i)
        EXPECT_EQ("text " + std::to_string(i + 1), shown[i]);
}

// An INVITE to the agent: a session only when it offers exactly one medium named exactly "message".
std::string invitingPeer(const std::string& sdp, int expected) {
    auto request = [](const std::string& method, int cseq, const std::string& extra,
                      const std::string& body) {
        return "  <send><![CDATA[\n" + method +
               " [next_url] SIP/2.0\n"
               "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
               "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]p[call_number]\n"
               "To: <sip:alice@[remote_ip]:[remote_port]>[peer_tag_param]\nCall-ID: [call_id]\nCSeq: " +
               std::to_string(cseq) + " " + method +
               "\n"
               "Contact: <sip:peer@[local_ip]:[local_port];transport=[transport]>\nMax-Forwards: 70\n" +
               extra + "Content-Length: [len]\n\n" + body + "]]></send>\n";
    };
    std::string xml =
        "  <send><![CDATA[\nINVITE sip:alice@[remote_ip]:[remote_port] SIP/2.0\n"
        "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
        "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]p[call_number]\n"
        "To: <sip:alice@[remote_ip]:[remote_port]>\nCall-ID: [call_id]\nCSeq: 1 INVITE\n"
        "Contact: <sip:peer@[local_ip]:[local_port];transport=[transport]>\nMax-Forwards: 70\n" +
        std::string(sdp.empty() ? "" : "Content-Type: application/sdp\n") + "Content-Length: [len]\n\n" +
        sdp +
        "]]></send>\n"
        "  <recv response=\"100\" optional=\"true\"/>\n"
        "  <recv response=\"" +
        std::to_string(expected) + "\" rrs=\"true\"/>\n";
    if (expected != 200)
        return scenario(xml + request("ACK", 1, "", ""));
    return scenario(
        xml + request("ACK", 1, "", "") + request("INFO", 2, "Content-Type: application/xml\n", "<info/>") +
        "  <recv response=\"200\"/>\n" + request("MESSAGE", 3, "Content-Type: text/plain\n", "in a session") +
        "  <recv response=\"200\"/>\n"
        "  <recv request=\"BYE\"/>\n" +
        test::okReply());
}

TEST_P(MessagesTest, IncomingSessionsAreTakenOnlyForExactlyOneMessageMedium) {
    const std::string head = "v=0\r\no=- 7 7 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n";
    const std::string message = "m=message 5060 sip peer@127.0.0.1\r\n";
    const std::string audio = "m=audio 4000 RTP/AVP 0\r\n";
    struct Case {
        const char* name;
        std::string sdp;
        int status;
    };
    const Case cases[] = {{"message only", head + message, 200},
                          {"message and audio", head + message + audio, 488},
                          {"audio only", head + audio, 488},
                          {"upper-case MESSAGE", head + "m=MESSAGE 5060 sip peer@127.0.0.1\r\n", 488},
                          {"no body", "", 488}};
    test::Hub hub(settings());
    hub.start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Sipp peer({.scenario = invitingPeer(c.sdp, c.status), .tcp = tcp(), .remote = hub.address()});
        peer.start();
        ASSERT_TRUE(hub.waitUntil([&] { return peer.wait(0ms); }, 10s));
        EXPECT_EQ(0, peer.exitCode()) << peer.errors();
        if (c.status == 200) {
            const auto messages = peer.messages();
            const auto ok = std::find_if(messages.begin(), messages.end(),
                                         [](auto& m) { return !m.sent && m.status() == 200; });
            ASSERT_NE(messages.end(), ok);
            EXPECT_EQ(c.sdp, ok->body());
            ASSERT_EQ(1u, hub.boxes.openCount());
            EXPECT_EQ("in a session", hub.boxes.open(0).text);
        }
    }
    EXPECT_EQ(1u, hub.boxes.calls.size());
}

INSTANTIATE_TEST_SUITE_P(Transports, MessagesTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

// Completing what the user typed into a SIP address, with the user's own domain.
TEST(CompleteRecipient, AddsTheOwnHostAndTheSchemeWhereMissing) {
    test::Hub hub({.signin = "alice@example.test"});
    hub.dialog().m_aor = sip::NameAddr(sip::Uri(sip::Data("sip:alice@example.test")));
    struct Case {
        const char* typed;
        const char* completed;
    };
    for (const Case& c : {Case{"bob", "sip:bob@example.test"}, Case{"bob@other.test", "sip:bob@other.test"},
                          Case{"SIP:bob@x.test", "SIP:bob@x.test"}, Case{"Sip:bob", "Sip:bob@example.test"},
                          Case{"tel:+123", "sip:tel:+123@example.test"}, Case{"", "sip:@example.test"},
                          Case{"sip", "sip:sip@example.test"}}) {
        hub.dialog().m_strTo = c.typed;
        hub.dialog().CompleteRecipient();
        EXPECT_EQ(c.completed, hub.dialog().m_strTo) << c.typed;
    }
}

TEST(BuildMessageOffer, RendersTheSixLinesWithTheLocalAddressAndTheAddressOfRecord) {
    test::Hub hub({.signin = "Alice@Example.TEST:5080"});
    hub.dialog().m_aor = sip::NameAddr(sip::Uri(sip::Data("sip:Alice@Example.TEST:5080")));
    hub.dialog().m_localAddress = "192.0.2.7";
    sip::SdpContents offer;
    EXPECT_EQ(
        "v=0\r\no=- 0 0 IN IP4 192.0.2.7\r\ns=session\r\nc=IN IP4 192.0.2.7\r\nt=0 0\r\n"
        "m=message 5060 sip Alice@example.test:5080\r\n",
        hub.dialog().BuildMessageOffer(offer).getBodyData().str());
}

}  // namespace
