// SPDX-License-Identifier: MIT
// The stack's transport and the answers the usage manager gives by itself, against SIPp on 127.0.0.1
// over UDP and TCP.
#include "support/Scenarios.h"
#include "support/Sipp.h"
#include "support/TestAgent.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

class StackTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }
};

// Runs a client scenario against the agent, pumping the agent until SIPp has finished.
std::vector<test::TracedMessage> runAgainst(test::TestAgent& agent, const std::string& scenario, bool tcp) {
    test::Sipp sipp({.scenario = scenario, .tcp = tcp, .remote = agent.address()});
    sipp.start();
    EXPECT_TRUE(agent.pumpUntil([&] { return sipp.wait(0ms); }, 20s));
    EXPECT_EQ(0, sipp.exitCode()) << sipp.errors();
    return sipp.messages();
}

// OPTIONS, and a text outside a dialog, which the layer answers without the stack's handle: each answer
// as the stack makes it, with a To tag, our User-Agent and Allow. A text that requires an extension still
// gets the stack's 420.
TEST_P(StackTest, AnswersCarryUserAgentAllowAndToTag) {
    test::TestAgent agent(GetParam());
    ASSERT_TRUE(agent.stack.isRunning()) << agent.stack.transportError();
    agent.messageArrived = [](sip::ServerPagerMessageHandle handle, const sip::SipMessage&) {
        handle->send(handle->accept(200));
    };
    const auto options = runAgainst(agent, "options_uac.xml", tcp());
    ASSERT_EQ(2u, options.size());
    // No extension is supported, which an empty Supported says (RFC 3261 11.2).
    EXPECT_EQ(std::vector<std::string>{""}, options[1].headers("Supported")) << options[1].text;
    const auto text =
        runAgainst(agent, test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "hi", 200), tcp());
    ASSERT_FALSE(text.empty());
    for (const test::TracedMessage* answer : {&options[1], &text.back()}) {
        SCOPED_TRACE(answer->text);
        EXPECT_EQ(200, answer->status());
        EXPECT_EQ("Vantorell Chimely", answer->header("User-Agent"));
        const std::string allow = answer->header("Allow");
        for (const char* method : {"INFO", "MESSAGE", "SUBSCRIBE"})
            EXPECT_NE(std::string::npos, allow.find(method)) << allow;
        EXPECT_NE(std::string::npos, answer->header("To").find(";tag="));
    }
    const auto required = runAgainst(
        agent, test::requestScenario("MESSAGE", "Content-Type: text/plain\nRequire: foo\n", "hi", 420), tcp());
    ASSERT_FALSE(required.empty());
    EXPECT_EQ(420, required.back().status()) << required.back().text;
    EXPECT_EQ("foo", required.back().header("Unsupported"));
    EXPECT_EQ(std::vector<std::string>{"onMessageArrived MESSAGE"}, agent.callbacks());
}

// RFC 3261 8.2.2.1: a request whose Request-URI names a user who is not ours (a scanner guessing
// extensions, say) gets 404 and reaches no handler. OPTIONS, and a Request-URI that names no user, are
// taken as before.
TEST_P(StackTest, RequestsForAnotherUserAreRefusedWith404) {
    test::TestAgent agent(GetParam());
    agent.setIdentity("sip:alice@example.test", "secret");
    agent.messageArrived = [](sip::ServerPagerMessageHandle handle, const sip::SipMessage&) {
        handle->send(handle->accept(200));
    };
    agent.newSubscription = [](sip::ServerSubscriptionHandle handle, const sip::SipMessage&) {
        handle->send(handle->reject(403));
    };
    const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                            "m=message 5060 sip alice@example.test\r\n";
    struct Case {
        std::string method, headers, body, user;
        int status;
    };
    const Case cases[] = {
        {"MESSAGE", "Content-Type: text/plain\n", "hi 100", "100", 404},
        {"INVITE", "Content-Type: application/sdp\n", sdp, "100", 404},
        {"SUBSCRIBE", "Event: presence\nExpires: 600\n", "", "100", 404},
        {"MESSAGE", "Content-Type: text/plain\n", "hi Alice", "Alice", 404},
        {"OPTIONS", "", "", "100", 200},
        {"MESSAGE", "Content-Type: text/plain\n", "hi you", "", 200},
        {"MESSAGE", "Content-Type: text/plain\n", "hi alice", "alice", 200},
        {"SUBSCRIBE", "Event: presence\nExpires: 600\n", "", "alice", 403},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " to " + c.user);
        const auto messages =
            runAgainst(agent, test::requestScenario(c.method, c.headers, c.body, c.status, c.user), tcp());
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(c.status, messages.back().status()) << messages.back().text;
    }
    EXPECT_EQ((std::vector<std::string>{"onMessageArrived MESSAGE", "onMessageArrived MESSAGE",
                                        "onNewSubscription SUBSCRIBE", "subscription.onTerminated"}),
              agent.callbacks())
        << "only the requests for alice or nobody in particular are hers";
    ASSERT_EQ(2u, agent.received.size());
    EXPECT_EQ("hi you", agent.received[0].body().str());
    EXPECT_EQ("hi alice", agent.received[1].body().str());
}

// What the usage manager answers by itself, before any handler could see the request.
TEST_P(StackTest, RequestsNoHandlerIsForAreAnsweredByTheUsageManager) {
    test::TestAgent agent(GetParam());
    struct Case {
        std::string method, headers, body;
        int status;
        std::string header, mustContain;
    };
    const Case cases[] = {
        {"MESSAGE", "Content-Type: text/html\n", "<b>hi</b>", 415, "Accept", "text/plain"},
        {"SUBSCRIBE", "Event: dialog\nExpires: 600\n", "", 489, "Allow-Events", "presence"},
        {"PUBLISH", "Event: presence\nExpires: 600\n", "", 405, "Allow", "MESSAGE"},
        {"INFO", "", "", 481, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        const auto messages =
            runAgainst(agent, test::requestScenario(c.method, c.headers, c.body, c.status), tcp());
        ASSERT_FALSE(messages.empty());
        const test::TracedMessage& answer = messages.back();
        EXPECT_EQ(c.status, answer.status()) << answer.text;
        if (!c.header.empty()) {
            EXPECT_NE(std::string::npos, answer.header(c.header).find(c.mustContain)) << answer.text;
        }
    }
    EXPECT_TRUE(agent.callbacks().empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, StackTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
