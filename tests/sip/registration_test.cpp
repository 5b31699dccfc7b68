// SPDX-License-Identifier: MIT
// Client registration against a SIPp registrar on 127.0.0.1, reached as outbound proxy, over UDP and TCP:
// the digest answer, silent refreshes, failures, the retry decision after a timeout, the wildcard removal.
#include "support/Scenarios.h"
#include "support/Sipp.h"
#include "support/TestAgent.h"

#include "sip/ReplacedFunctions.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr const char* kRealm = "chimely test realm";
constexpr const char* kAor = "sip:alice@example.test";
constexpr const char* kUser = "alice@example.test";

// What the registrar does with each REGISTER it receives, in turn.
struct Step {
    enum Kind { Challenge, ChallengeQop, Verify, VerifyOrChallenge, Accept, Forbid, Ignore } kind;
    std::string password = "";  // Verify: the password the answer must have been made with
    int expires = 1800;         // Accept and Verify: the expiry the registrar grants
};

std::string response(const std::string& status, const std::string& extra) {
    return "  <send><![CDATA[\n"
           "SIP/2.0 " +
           status +
           "\n"
           "[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n[last_"
           "CSeq:]\n" +
           extra + "Content-Length: 0\n\n]]></send>\n";
}

std::string registrar(const std::vector<Step>& steps) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"registrar\">\n";
    int label = 0;
    for (const Step& step : steps) {
        const std::string granted = "[last_Contact:];expires=" + std::to_string(step.expires) + "\n";
        const std::string challenge = std::string("WWW-Authenticate: Digest realm=\"") + kRealm +
                                      "\", nonce=\"[pid]n[call_number]x" + std::to_string(label) + "\"" +
                                      (step.kind == Step::ChallengeQop ? ", qop=\"auth\"" : "") + "\n";
        ++label;
        switch (step.kind) {
            case Step::Challenge:
            case Step::ChallengeQop:
                xml += "  <recv request=\"REGISTER\"/>\n" + response("401 Unauthorized", challenge);
                break;
            case Step::Accept:
                xml += "  <recv request=\"REGISTER\"/>\n" + response("200 OK", granted);
                break;
            case Step::Forbid:
                xml += "  <recv request=\"REGISTER\"/>\n" + response("403 Forbidden", "");
                break;
            case Step::Ignore:
                xml += "  <recv request=\"REGISTER\"/>\n";
                break;
            case Step::Verify:
            case Step::VerifyOrChallenge: {
                const std::string good = "good" + std::to_string(label),
                                  done = "done" + std::to_string(label);
                // The jump is taken when the digest verified: `test` is read after the recv's actions ran.
                const std::string ok = "ok" + std::to_string(label);
                xml += "  <recv request=\"REGISTER\" next=\"" + good + "\" test=\"" + ok +
                       "\"><action><verifyauth assign_to=\"" + ok + "\" username=\"" +
                       test::xmlEscape(kUser) + "\" password=\"" + test::xmlEscape(step.password) +
                       "\"/></action></recv>\n" +
                       (step.kind == Step::Verify ? response("403 Forbidden", "")
                                                  : response("401 Unauthorized", challenge)) +
                       "  <nop next=\"" + done + "\"/>\n  <label id=\"" + good + "\"/>\n" +
                       response("200 OK", granted) + "  <label id=\"" + done + "\"/>\n";
                break;
            }
        }
    }
    return xml + "</scenario>\n";
}

class RegistrationTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    // An agent that registers alice through `sipp` as its outbound proxy.
    std::unique_ptr<test::TestAgent> agentFor(const test::Sipp& sipp, const std::string& password) {
        auto agent = std::make_unique<test::TestAgent>(GetParam(), 0, 2000ms);
        agent->setIdentity(kAor, password);
        agent->setOutboundProxy("sip:127.0.0.1:" + std::to_string(sipp.port()) +
                                (tcp() ? ";transport=tcp" : ""));
        return agent;
    }

    static void registerNow(test::TestAgent& agent) { agent.dum.send(agent.dum.makeRegistration(agent.aor)); }
};

TEST_P(RegistrationTest, DigestAnswerUsesTheWholeSignInAndTheChallengesRealmAndRefreshesSilently) {
    const std::string password = "se:cr\"et x&<y>";
    test::Sipp sipp({.scenario = registrar({{Step::Challenge}, {Step::Verify, password, 2}, {Step::Accept}}),
                     .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, password);
    registerNow(*agent);
    // A registrar given as an address is sent to at once, not on a later pass of this thread's loop: at
    // start the window is still being made then.
    for (int i = 0; i < 250 && sipp.requests("REGISTER").empty(); ++i)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(sipp.requests("REGISTER").empty()) << "the REGISTER waited for this thread's loop";

    ASSERT_TRUE(agent->pumpUntil([&] { return sipp.wait(0ms); }, 15s)) << sipp.errors();
    EXPECT_EQ(0, sipp.exitCode()) << sipp.errors();
    agent->pumpFor(200ms);
    EXPECT_EQ(std::vector<std::string>{"registration.onSuccess 200 OK"}, agent->callbacks()) << sipp.errors();

    const auto sent = sipp.requests("REGISTER");
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ("", sent[0].header("Authorization"));
    const std::string authorization = sent[1].header("Authorization");
    EXPECT_NE(std::string::npos, authorization.find("username=\"alice@example.test\"")) << authorization;
    EXPECT_NE(std::string::npos, authorization.find(std::string("realm=\"") + kRealm + "\""))
        << authorization;
    EXPECT_EQ(sent[0].header("Call-ID"), sent[1].header("Call-ID"));
    EXPECT_EQ(sent[0].header("Call-ID"), sent[2].header("Call-ID"));
    EXPECT_EQ("1800", sent[0].header("Expires"));
    EXPECT_EQ("Vantorell Chimely", sent[0].header("User-Agent"));
    EXPECT_TRUE(agent->registration.isValid());
    EXPECT_EQ(1u, agent->registration->myContacts().size());
}

TEST_P(RegistrationTest, DigestAnswerWithQopAuth) {
    test::Sipp sipp({.scenario = registrar({{Step::ChallengeQop}, {Step::Verify, "secret"}}), .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "secret");
    registerNow(*agent);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.") > 0; }, 10s));
    EXPECT_EQ(std::vector<std::string>{"registration.onSuccess 200 OK"}, agent->callbacks());
    const auto sent = sipp.requests("REGISTER");
    ASSERT_EQ(2u, sent.size());
    EXPECT_NE(std::string::npos, sent[1].header("Authorization").find("qop=auth"));
}

// With another build of sofia-sip than the one the program's definitions in its place were checked against
// (the maintained fork's 1.13 frees what tls_free frees here), every one of them passes through to the
// library's own, --version's line names them, and the library's own authentication client signs in.
TEST_P(RegistrationTest, AnotherSofiaSipGetsItsOwnFunctionsAndStillSignsIn) {
    sip::replaced::testing::assumeLoadedVersion("1.13.17");
    struct Restore {
        ~Restore() { sip::replaced::testing::assumeLoadedVersion(""); }
    } restore;
    EXPECT_FALSE(sip::replaced::inUse(sip::replaced::Family::TlsFree));
    const std::string report = sip::replaced::report();
    for (const char* name : {"accept", "tport_set_params", "tls_free", "sres_cache_store", "auc_*"})
        EXPECT_NE(std::string::npos, report.find(name)) << report;

    test::Sipp sipp({.scenario = registrar({{Step::Challenge}, {Step::Verify, "secret"}}), .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "secret");
    registerNow(*agent);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.") > 0; }, 10s));
    EXPECT_EQ(std::vector<std::string>{"registration.onSuccess 200 OK"}, agent->callbacks()) << sipp.errors();
}

TEST_P(RegistrationTest, WrongPasswordFailsOnceWithoutAnsweringAgain) {
    test::Sipp sipp(
        {.scenario = registrar({{Step::Challenge}, {Step::VerifyOrChallenge, "right"}}), .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "wrong");
    registerNow(*agent);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.") > 0; }, 10s));
    agent->pumpFor(1000ms);
    EXPECT_EQ(std::vector<std::string>{"registration.onFailure 401 Unauthorized"}, agent->callbacks());
    EXPECT_EQ(2u, sipp.requests("REGISTER").size());
    EXPECT_FALSE(agent->registration.isValid());
}

TEST_P(RegistrationTest, ForbiddenIsReportedWithTheReasonPhraseAsReceived) {
    test::Sipp sipp({.scenario = registrar({{Step::Forbid}}), .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "secret");
    registerNow(*agent);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.") > 0; }, 10s));
    EXPECT_EQ(std::vector<std::string>{"registration.onFailure 403 Forbidden"}, agent->callbacks());
}

// A registrar that receives and never answers: the stack ends the request with 408 and the handler
// decides whether it goes again. 0 sends it again at once, -1 gives up.
TEST_P(RegistrationTest, TimeoutAsksTheHandlerAndObeysIt) {
    test::Sipp sipp({.scenario = registrar({{Step::Ignore}, {Step::Ignore}}), .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "secret");
    int asked = 0;
    agent->retryAnswer = [&](sip::ClientRegistrationHandle) { return asked++ == 0 ? 0 : -1; };
    registerNow(*agent);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.onFailure") > 0; }, 15s));
    agent->pumpFor(1500ms);
    EXPECT_EQ((std::vector<std::string>{"registration.onRequestRetry 408 Request Timeout",
                                        "registration.onRequestRetry 408 Request Timeout",
                                        "registration.onFailure 408 Request Timeout"}),
              agent->callbacks());
    EXPECT_EQ(2u, sipp.requests("REGISTER").size());
}

TEST_P(RegistrationTest, RemoveAllSendsOneWildcardRemovalAndDoesNotWaitForIt) {
    test::Sipp sipp({.scenario = registrar({{Step::Accept}, {Step::Ignore}}), .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "secret");
    registerNow(*agent);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.onSuccess") > 0; }, 10s));
    ASSERT_FALSE(agent->registration->myContacts().empty());

    agent->registration->removeAll(false);
    agent->registration->stopRegistering();
    EXPECT_FALSE(agent->registration.isValid());
    agent->pumpFor(2500ms);

    int removals = 0;
    for (const auto& message : sipp.messages()) {
        if (message.sent || !message.isRequest("REGISTER") || message.header("Contact") != "*")
            continue;
        ++removals;
        EXPECT_EQ("0", message.header("Expires"));
    }
    EXPECT_EQ(1, removals);
    EXPECT_EQ(std::vector<std::string>{"registration.onSuccess 200 OK"}, agent->callbacks());
}

TEST_P(RegistrationTest, RemovalThatEndsWhenDoneReportsOnRemovedAndEnds) {
    test::Sipp sipp({.scenario = registrar({{Step::Accept}, {Step::Accept, "", 0}}), .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "secret");
    registerNow(*agent);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.onSuccess") > 0; }, 10s));
    agent->registration->removeAll(true);
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->count("registration.onRemoved") > 0; }, 10s));
    EXPECT_EQ((std::vector<std::string>{"registration.onSuccess 200 OK", "registration.onRemoved 200 OK"}),
              agent->callbacks());
    EXPECT_FALSE(agent->registration.isValid());
    ASSERT_TRUE(sipp.wait(2s));
    EXPECT_EQ("*", sipp.requests("REGISTER").back().header("Contact"));
}

// A registration still in flight when the usage manager winds down: when it succeeds after all, the
// binding leaves again at once and the shutdown does not wait for it.
TEST_P(RegistrationTest, RegistrationAnsweredDuringShutdownLeavesAgain) {
    test::Sipp sipp({.scenario = "<?xml version=\"1.0\"?><scenario><recv request=\"REGISTER\"/>"
                                 "<pause milliseconds=\"300\"/>" +
                                 response("200 OK", "[last_Contact:];expires=1800\n") +
                                 "<recv request=\"REGISTER\"/>" + response("200 OK", "") + "</scenario>",
                     .tcp = tcp()});
    sipp.start();
    auto agent = agentFor(sipp, "secret");
    registerNow(*agent);
    agent->dum.shutdown(agent.get());
    ASSERT_TRUE(agent->pumpUntil([&] { return agent->canBeDeleted; }, 3s));
    EXPECT_EQ(std::vector<std::string>{"onDumCanBeDeleted"}, agent->callbacks());
    ASSERT_TRUE(sipp.wait(3s));
    EXPECT_EQ(0, sipp.exitCode()) << sipp.errors();
    const auto sent = sipp.requests("REGISTER");
    ASSERT_EQ(2u, sent.size());
    EXPECT_NE("*", sent[1].header("Contact"));
    EXPECT_EQ("0", sent[1].header("Expires"));
}

INSTANTIATE_TEST_SUITE_P(Transports, RegistrationTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
