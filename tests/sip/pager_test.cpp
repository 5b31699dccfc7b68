// SPDX-License-Identifier: MIT
// Pager messages (MESSAGE outside any dialog) both ways, against SIPp on 127.0.0.1 over UDP and TCP.
#include "support/Scenarios.h"
#include "support/Sipp.h"
#include "support/TestAgent.h"

#include "sip/Contents.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// A peer that answers one MESSAGE with `status`.
std::string receiver(const std::string& status) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"receiver\">\n"
           "  <recv request=\"MESSAGE\"/>\n"
           "  <send><![CDATA[\nSIP/2.0 " +
           status +
           "\n"
           "[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n[last_"
           "CSeq:]\n"
           "Content-Length: 0\n\n]]></send>\n</scenario>\n";
}

// A peer that challenges the MESSAGE (401, or 407 as a proxy would) and takes the next one. Behind a
// 401 SIPp checks the digest answer itself; a 407's answer the test checks.
std::string challengingReceiver(bool proxy) {
    auto reply = [](const std::string& status) {
        return "  <send><![CDATA[\nSIP/2.0 " + status +
               "\n"
               "[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n"
               "[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";
    };
    const std::string challenge = std::string(proxy ? "407 Proxy Authentication Required\nProxy-Authenticate"
                                                    : "401 Unauthorized\nWWW-Authenticate") +
                                  ": Digest realm=\"127.0.0.1\", nonce=\"n0nce\"";
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"challenger\">\n"
        "  <recv request=\"MESSAGE\"/>\n" +
        reply(challenge);
    if (proxy)
        return xml + "  <recv request=\"MESSAGE\"/>\n" + reply("200 OK") + "</scenario>\n";
    return xml +
           "  <recv request=\"MESSAGE\" next=\"good\" test=\"ok\"><action><verifyauth assign_to=\"ok\" "
           "username=\"alice@127.0.0.1\" password=\"pa:ss\"/></action></recv>\n" +
           reply("403 Forbidden") + "  <nop next=\"done\"/>\n  <label id=\"good\"/>\n" + reply("200 OK") +
           "  <label id=\"done\"/>\n</scenario>\n";
}

std::string digestResponse(const std::string& method, const std::string& uri) {
    const std::string ha1 = sip::Data("alice@127.0.0.1:127.0.0.1:pa:ss").md5().str();
    const std::string ha2 = sip::Data(method + ":" + uri).md5().str();
    return sip::Data(ha1 + ":n0nce:" + ha2).md5().str();
}

class PagerTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    std::unique_ptr<test::TestAgent> agent() {
        auto agent = std::make_unique<test::TestAgent>(GetParam());
        agent->setIdentity("sip:alice@127.0.0.1", "secret");
        return agent;
    }

    sip::NameAddr peer(const test::Sipp& sipp) const {
        return sip::NameAddr(sip::Uri(
            sip::Data("sip:bob@127.0.0.1:" + std::to_string(sipp.port()) + (tcp() ? ";transport=tcp" : ""))));
    }

    static void page(test::TestAgent& agent, const sip::NameAddr& to, const std::string& text) {
        agent.dum.makePagerMessage(to)->page(std::make_unique<sip::PlainContents>(sip::Data(text)));
    }
};

TEST_P(PagerTest, SentMessageSucceeds) {
    test::Sipp sipp({.scenario = receiver("200 OK"), .tcp = tcp()});
    sipp.start();
    auto alice = agent();
    page(*alice, peer(sipp), "Lunch at noon?\r\nSecond line");
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("pager.") > 0; }));
    EXPECT_EQ(std::vector<std::string>{"pager.onSuccess 200 OK"}, alice->callbacks());

    ASSERT_TRUE(sipp.wait(5s));
    const auto messages = sipp.messages();
    ASSERT_FALSE(messages.empty());
    const test::TracedMessage& sent = messages.front();
    EXPECT_TRUE(sent.isRequest("MESSAGE"));
    EXPECT_EQ("text/plain", sent.header("Content-Type"));
    EXPECT_EQ("Lunch at noon?\r\nSecond line", sent.body());
    EXPECT_NE(std::string::npos, sent.header("From").find("sip:alice@127.0.0.1"));
}

TEST_P(PagerTest, ChallengedMessageGoesAgainWithTheDigestAnswer) {
    for (bool proxy : {false, true}) {
        SCOPED_TRACE(proxy ? "407" : "401");
        test::Sipp sipp({.scenario = challengingReceiver(proxy), .tcp = tcp()});
        sipp.start();
        auto alice = agent();
        alice->setIdentity("sip:alice@127.0.0.1", "pa:ss");
        page(*alice, peer(sipp), "let me in");
        ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("pager.") > 0; }));
        EXPECT_EQ(std::vector<std::string>{"pager.onSuccess 200 OK"}, alice->callbacks());
        ASSERT_TRUE(sipp.wait(5s));
        const auto messages = sipp.messages();
        ASSERT_EQ(4u, messages.size());
        EXPECT_EQ(messages[0].header("Call-ID"), messages[2].header("Call-ID"));
        EXPECT_EQ("let me in", messages[2].body());
        const std::string answer = messages[2].header(proxy ? "Proxy-Authorization" : "Authorization");
        const std::string uri =
            "sip:bob@127.0.0.1:" + std::to_string(sipp.port()) + (tcp() ? ";transport=tcp" : "");
        EXPECT_NE(std::string::npos, answer.find("response=\"" + digestResponse("MESSAGE", uri) + "\""))
            << answer;
    }
}

TEST_P(PagerTest, RefusedMessageReportsTheReasonPhraseAsReceivedAndGivesTheTextBack) {
    test::Sipp sipp({.scenario = receiver("404 Nobody By That Name"), .tcp = tcp()});
    sipp.start();
    auto alice = agent();
    page(*alice, peer(sipp), "are you there?");
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("pager.") > 1; }));
    EXPECT_EQ((std::vector<std::string>{"pager.onFailure 404 Nobody By That Name",
                                        "pager.returned are you there?"}),
              alice->callbacks());
}

TEST_P(PagerTest, UnansweredMessageFailsWithATimeout) {
    test::Sipp sipp({.scenario = "<?xml version=\"1.0\"?><scenario><recv request=\"MESSAGE\"/>"
                                 "<pause milliseconds=\"8000\"/></scenario>",
                     .tcp = tcp()});
    sipp.start();
    auto alice = agent();
    page(*alice, peer(sipp), "hello?");
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("pager.") > 0; }, 15s));
    EXPECT_EQ("pager.onFailure 408 Request Timeout", alice->callbacks().front());
}

// The 200 leaves while the handler is still busy with the user: here it waits inside the handler until
// the peer has the 200, which it only can if the answer went out at once.
TEST_P(PagerTest, ReceivedMessageIsAnsweredBeforeTheHandlerReturns) {
    auto alice = agent();
    test::Sipp sipp(
        {.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "Hi Alice", 200),
         .tcp = tcp(),
         .remote = alice->address()});
    bool peerHadTheAnswerInsideTheHandler = false;
    alice->messageArrived = [&](sip::ServerPagerMessageHandle handle, const sip::SipMessage&) {
        handle->send(handle->accept(200));
        peerHadTheAnswerInsideTheHandler = sipp.wait(5s) && sipp.exitCode() == 0;
    };
    sipp.start();
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->count("onMessageArrived") > 0; }));
    EXPECT_TRUE(peerHadTheAnswerInsideTheHandler) << sipp.errors();
    ASSERT_EQ(1u, alice->received.size());
    const sip::SipMessage& message = alice->received.front();
    EXPECT_EQ("Peer", message.from().displayName());
    ASSERT_NE(nullptr, dynamic_cast<const sip::PlainContents*>(message.getContents()));
    EXPECT_EQ("Hi Alice", message.getContents()->getBodyData());
}

INSTANTIATE_TEST_SUITE_P(Transports, PagerTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
