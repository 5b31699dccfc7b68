// SPDX-License-Identifier: MIT
// Text messages as the main window sends and shows them, against SIPp peers on 127.0.0.1: the message
// session with its pager fallback, the outcome in the status panel, the received text answered first
// and then shown, the incoming message sessions, a flood of received texts, and the heap after thousands.
// Texts wrapped in CPIM and notices; the history of texts through the program itself and its History
// window.
#include "support/EventLoop.h"
#include "support/Hub.h"
#include "support/Program.h"
#include "support/RawSip.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "platform/FakeShell.h"
#include "platform/ProfileStore.h"
#include "res/Resource.h"
#include "sip/SdpContents.h"
#include "ui/HistoryDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>

#include <gtest/gtest.h>

#include <signal.h>

#include <ctime>
#include <thread>

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
    test::Sipp bob({.scenario = test::sessionPeerScenario(), .tcp = tcp()});
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
    // The sign-in, which nobody answers here, may time out too and shows the same words without Ok (it
    // tries again by itself); the text's own failure is the one with Ok.
    ASSERT_TRUE(hub.waitUntil(
        [&] {
            return hub.status() == "Request Timeout (408)" && hub.dialog().m_btnOk->isVisibleTo(&hub.dialog());
        },
        15s))
        << hub.status();
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
    test::Sipp bob({.scenario = test::pagerPeerScenario("200 OK"), .tcp = tcp(), .calls = 2});
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
    test::Sipp bob({.scenario = test::pagerPeerScenario("404 Not Found"), .tcp = tcp(), .calls = 2});
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
    // OK and Reply, with the information icon.
    EXPECT_EQ(platform::MB_OKREPLY | platform::MB_ICONINFORMATION, box.style);
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
    ASSERT_TRUE(hub.waitUntil([&] { return peer.wait(0ms); }, 30s)) << [&] {
        const auto traced = peer.messages();
        const auto ok = std::count_if(traced.begin(), traced.end(),
                                      [](const auto& m) { return !m.sent && m.status() == 200; });
        return std::to_string(ok) + " of " + std::to_string(kTexts) + " texts answered 200; " + peer.errors();
    }();
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

// A text in CPIM is shown and kept as the text it wraps, from the SIP sender; CPIM around another type,
// or not CPIM at all, is refused as an unknown type is; typing indications and delivery notices are
// answered and go nowhere. The tray counts the open box; Reply closes it and readies an answer.
TEST_P(MessagesTest, CpimTextsAreShownAsTheirTextAndNoticesAreAnsweredAndIgnored) {
    platform::FakeShell shell;
    platform::ScopedShell scopedShell(shell);
    const std::string cpimHead = "From: <im:peer@example.test>\r\nTo: <im:alice@example.test>\r\n\r\n";
    struct Case {
        const char* name;
        std::string type;
        std::string body;
        int status;
    };
    const Case cases[] = {
        {"CPIM text", "message/cpim",
         cpimHead + "Content-Type: text/plain; charset=utf-8\r\n\r\nHello from CPIM", 200},
        {"CPIM html", "message/cpim", cpimHead + "Content-Type: text/html\r\n\r\n<b>bold</b>", 415},
        {"CPIM in CPIM", "message/cpim", cpimHead + "Content-Type: message/cpim\r\n\r\n" + cpimHead, 415},
        {"not CPIM", "message/cpim", "just text", 415},
        {"typing", "application/im-iscomposing+xml",
         "<?xml version=\"1.0\"?><isComposing xmlns=\"urn:ietf:params:xml:ns:im-iscomposing\">"
         "<state>active</state></isComposing>",
         200},
        {"delivery notice", "message/imdn+xml", "<imdn xmlns=\"urn:ietf:params:xml:ns:imdn\"/>", 200},
    };
    test::Hub::Settings kept = settings();
    kept.keepHistory = true;
    test::Hub hub(kept);
    hub.start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::Sipp peer(
            {.scenario = test::requestScenario("MESSAGE", "Content-Type: " + c.type + "\n", c.body, c.status),
             .tcp = tcp(),
             .remote = hub.address()});
        peer.start();
        ASSERT_TRUE(hub.waitUntil([&] { return peer.wait(0ms); }));
        EXPECT_EQ(0, peer.exitCode()) << peer.errors();
        hub.waitFor(50ms);
    }
    ASSERT_EQ(1u, hub.boxes.calls.size());
    EXPECT_EQ("Hello from CPIM", hub.boxes.open(0).text);
    EXPECT_EQ(0u, hub.boxes.open(0).caption.find("Vantorell Chimely - Message [ Peer, "));
    const auto conversations = hub.keptConversations();
    ASSERT_EQ(1u, conversations.size());
    EXPECT_EQ(1, conversations[0].texts);
    EXPECT_EQ("Hello from CPIM", conversations[0].last.body);
    EXPECT_EQ(history::Direction::Received, conversations[0].last.direction);
    EXPECT_EQ(0u, conversations[0].peer.find("peer@127.0.0.1:"));
    auto trayTip = [&] {
        return std::string(shell.icons.at({hub.dialog().GetSafeHwnd(), IDR_TRAY_MENU}).record.szTip);
    };
    std::string tip = trayTip();
    EXPECT_EQ("\n1 text unread", tip.substr(tip.rfind('\n'))) << tip;

    // Reply: the box goes, the window comes with the sender in To and the focus in Message.
    hub.dialog().HideStatus();
    hub.boxes.closeNewest(platform::IDREPLY);
    EXPECT_EQ(QString::fromStdString(conversations[0].peer), hub.dialog().m_cbTo->currentText());
    EXPECT_EQ(hub.dialog().m_edMessage, hub.dialog().focusWidget());
    tip = trayTip();
    EXPECT_EQ(std::string::npos, tip.find("unread")) << tip;
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

// The history through the program itself: texts from a peer are kept, in order, through a kill -9 a second
// after the last box opened; at the next start the History window shows them; a text a peer refuses shows
// as failed there, and goes again from there.
TEST(History, KeptThroughAKillShownInTheWindowAndAFailedTextSentAgain) {
    test::Program program;
    const int port = test::freePort();
    program.writeSettings({{"SigninName", "alice@127.0.0.1"},
                           {"Password", "x"},
                           {"Protocol", "0"},
                           {"LocalPort", std::to_string(port)},
                           {"KeepHistory", "1"}});
    const pid_t pid = program.start({});
    ASSERT_TRUE(test::waitForUdpPort(port, 15s)) << program.log(1);
    test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n",
                                                       "text [call_number] \xd7\xa9\xf0\x9f\x98\x80", 200),
                     .remote = "127.0.0.1:" + std::to_string(port),
                     .calls = 3});
    peer.start();
    ASSERT_TRUE(peer.wait(20s)) << peer.errors() << program.log(1);
    ASSERT_EQ(0, peer.exitCode()) << peer.errors() << program.log(1);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(program.running(pid));
    kill(pid, SIGKILL);
    ASSERT_EQ(128 + SIGKILL, program.waitFor(pid, 5s));

    test::Hub hub({.signin = "alice@127.0.0.1",
                   .password = "x",
                   .keepHistory = true,
                   .historyFile = program.historyFile()});
    hub.start();
    hub.dialog().OnHistory();
    CHistoryDlg& window = *hub.dialog().m_historyDlg;
    auto* conversations = qobject_cast<QListWidget*>(window.GetDlgItem(IDC_HISTORY_CONVERSATIONS));
    auto* texts = qobject_cast<QListWidget*>(window.GetDlgItem(IDC_HISTORY_TEXTS));
    ASSERT_TRUE(hub.waitUntil([&] { return conversations->count() == 1; }));
    conversations->setCurrentRow(0);
    ASSERT_TRUE(hub.waitUntil([&] { return texts->count() == 3; }));
    for (int i = 0; i < 3; ++i) {
        const QString item = texts->item(i)->text();
        EXPECT_TRUE(item.contains(QString::fromUtf8("text %1 \xd7\xa9\xf0\x9f\x98\x80").arg(i + 1)))
            << item.toStdString();
        EXPECT_TRUE(item.contains(QStringLiteral(" - received"))) << item.toStdString();
    }

    // To bob, who refuses: failed, as the panel says, and in the window.
    int bobPort = 0;
    {
        test::Sipp bob({.scenario = test::pagerPeerScenario("404 Not Found"), .calls = 2});
        bob.start();
        bobPort = bob.port();
        hub.send("bob@127.0.0.1:" + std::to_string(bobPort), "are you there?");
        ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Not Found (404)"; })) << hub.status();
        ASSERT_TRUE(hub.waitUntil([&] { return bob.wait(0ms); }, 5s));
    }
    ASSERT_TRUE(hub.waitUntil([&] { return conversations->count() == 2; }));
    conversations->setCurrentRow(0);
    ASSERT_TRUE(hub.waitUntil([&] {
        return texts->count() == 1 &&
               texts->item(0)->text().endsWith(QStringLiteral("[failed: Not Found (404)]"));
    })) << (texts->count() ? texts->item(0)->text().toStdString() : "");

    // Sent again from the window, to bob, who takes it now.
    test::Sipp bob({.scenario = test::pagerPeerScenario("200 OK"), .port = bobPort, .calls = 2});
    bob.start();
    texts->setCurrentRow(0);
    auto* again = qobject_cast<QPushButton*>(window.GetDlgItem(IDC_HISTORY_SEND_AGAIN));
    ASSERT_TRUE(again->isEnabled());
    again->click();
    ASSERT_TRUE(hub.waitUntil([&] { return hub.status() == "Message has been sent"; })) << hub.status();
    ASSERT_TRUE(hub.waitUntil([&] {
        return texts->count() == 2 && texts->item(1)->text().endsWith(QStringLiteral("[delivered]"));
    })) << texts->item(texts->count() - 1)->text().toStdString();
    EXPECT_TRUE(texts->item(1)->text().contains(QStringLiteral("are you there?")));
    ASSERT_TRUE(hub.waitUntil([&] { return bob.wait(0ms); }, 5s));
    EXPECT_EQ("are you there?", bob.requests("MESSAGE").at(0).body());

    // Off, and the kept texts deleted: the file goes, and the window says how to keep a history.
    hub.dialog().m_nKeepHistory = 0;
    hub.dialog().ApplyHistorySetting(true);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(program.historyFile())));
    EXPECT_TRUE(window.GetDlgItem(IDC_HISTORY_NOTE)->isVisibleTo(&window));
    EXPECT_FALSE(texts->isVisibleTo(&window));
}

// Dialog buttons with icons, as X11 desktops' themes give them; the offscreen platform's theme gives none.
class IconButtonsStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        return hint == SH_DialogButtonBox_ButtonsHaveIcons
                   ? 1
                   : QProxyStyle::styleHint(hint, option, widget, data);
    }
};

// Every text opens a real box, closed as soon as it is up. Once a warm-up's transactions have ended, a few
// thousand more texts leave the heap where it was: nothing of them stays with the window, the boxes or the
// stack. (Each box's button icons once stayed in Qt's pixmap cache: about 2 kB a text.)
TEST(ReceivedTexts, LeaveNothingOnTheHeapOnceTheirBoxesAreClosed) {
    constexpr int kWarmUp = 500;
    constexpr int kTexts = 2000;
    constexpr std::size_t kGrowthBound = 256 * 1024;
    const QString style = QApplication::style()->name();
    QApplication::setStyle(new IconButtonsStyle(style));
    QTemporaryDir dir;
    platform::UseProfileFile(dir.filePath("chimely.conf"));
    const int port = test::freePort();
    platform::AppProfile().WriteProfileInt("Settings", "Protocol", 0);
    platform::AppProfile().WriteProfileInt("Settings", "LocalPort", port);
    {
        CChimelyDlg dialog;
        dialog.m_stack.setTransactionTimeout(2s);
        ASSERT_FALSE(dialog.InitStack());
        dialog.SetTimer(kPumpTimerId, kPumpIntervalMs);
        test::BoxCloser closer;
        auto receive = [&](int count) {
            const int closedBefore = closer.closed();
            test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n",
                                                               "text [call_number]", 200),
                             .remote = "127.0.0.1:" + std::to_string(port),
                             .calls = count,
                             .extra = {"-r", "250"}});
            peer.start();
            EXPECT_TRUE(test::runUntil([&] { return peer.wait(0ms); }, 60000));
            EXPECT_EQ(0, peer.exitCode()) << peer.errors();
            EXPECT_TRUE(test::runUntil([&] { return closer.closed() == closedBefore + count; }, 30000));
            // The stack's last transactions of these texts end (2 s after their 200).
            test::runFor(3000);
        };
        receive(kWarmUp);
        const std::size_t warm = test::heapInUse();
        receive(kTexts);
        const std::size_t after = test::heapInUse();
        EXPECT_LT(after, warm + kGrowthBound) << "heap in use " << warm << " bytes after the warm-up, "
                                              << after << " after " << kTexts << " more texts";
        dialog.KillTimer(kPumpTimerId);
        dialog.ShutdownStack();
    }
    QApplication::setStyle(style);
}

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
