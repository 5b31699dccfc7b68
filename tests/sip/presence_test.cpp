// SPDX-License-Identifier: MIT
// Presence subscriptions to the agent, and the layer's shutdown in the agent's order with a registration
// and a subscription in place, against SIPp on 127.0.0.1 over UDP and TCP.
#include "support/Scenarios.h"
#include "support/Sipp.h"
#include "support/TestAgent.h"

#include "agent/TerminateSubscriptionFunctor.h"
#include "sip/Pidf.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// A watcher that subscribes, refreshes the subscription, then ends it itself (Expires: 0).
std::string refreshingWatcher() {
    auto inDialog = [](int cseq, int expires) {
        return "  <send><![CDATA[\nSUBSCRIBE [next_url] SIP/2.0\n"
               "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
               "From: <sip:watcher@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]\n"
               "To: <sip:alice@[remote_ip]:[remote_port]>[peer_tag_param]\nCall-ID: [call_id]\nCSeq: " +
               std::to_string(cseq) +
               " SUBSCRIBE\n"
               "Contact: <sip:watcher@[local_ip]:[local_port];transport=[transport]>\nMax-Forwards: 70\n"
               "Event: presence\nExpires: " +
               std::to_string(expires) + "\nContent-Length: 0\n\n]]></send>\n";
    };
    std::string xml = test::watcherScenario("600", false, "Alice");
    xml = xml.substr(0, xml.rfind("</scenario>"));
    xml.replace(xml.find("<recv response=\"202\"/>"), 23, "<recv response=\"202\" rrs=\"true\"/>");
    return xml + inDialog(2, 900) + "  <recv response=\"200\"/>\n  <recv request=\"NOTIFY\"/>\n" +
           test::okReply() + inDialog(3, 0) + "  <recv response=\"200\"/>\n  <recv request=\"NOTIFY\"/>\n" +
           test::okReply() + "</scenario>\n";
}

class PresenceTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    std::unique_ptr<test::TestAgent> agent() {
        auto agent = std::make_unique<test::TestAgent>(GetParam());
        agent->setIdentity("sip:Alice@Example.test", "secret");
        test::TestAgent* self = agent.get();
        agent->newSubscription = [self](sip::ServerSubscriptionHandle handle, const sip::SipMessage&) {
            handle->send(handle->accept(202));
            sip::Pidf document;
            document.setEntity(self->aor.uri());
            document.setSimpleId(self->aor.uri().getAor().md5());
            document.setSimpleStatus(true);
            handle->send(handle->update(&document));
        };
        return agent;
    }

    std::unique_ptr<test::Sipp> subscribe(test::TestAgent& agent, const std::string& expires,
                                          bool waitsForTheEnd) {
        auto sipp = std::make_unique<test::Sipp>(
            test::Sipp::Options{.scenario = test::watcherScenario(expires, waitsForTheEnd, "Alice"),
                                .tcp = tcp(),
                                .remote = agent.address()});
        sipp->start();
        return sipp;
    }
};

TEST_P(PresenceTest, SubscriptionIsAcceptedWithItsOwnExpiryAndNotifiedOpen) {
    auto alice = agent();
    auto watcher = subscribe(*alice, "3600", false);
    ASSERT_TRUE(alice->pumpUntil([&] { return watcher->wait(0ms); }, 10s));
    EXPECT_EQ(0, watcher->exitCode()) << watcher->errors();

    const auto accepted = watcher->responses(202);
    ASSERT_EQ(1u, accepted.size());
    EXPECT_EQ("3600", accepted[0].header("Expires"));
    const auto notifies = watcher->requests("NOTIFY");
    ASSERT_EQ(1u, notifies.size());
    EXPECT_EQ("application/pidf+xml", notifies[0].header("Content-Type"));
    EXPECT_EQ(0u, notifies[0].header("Subscription-State").rfind("active", 0));
    const std::string pidf = notifies[0].body();
    EXPECT_NE(std::string::npos, pidf.find("<basic>open</basic>")) << pidf;
    EXPECT_NE(std::string::npos, pidf.find("entity=\"sip:Alice@Example.test\"")) << pidf;
    EXPECT_NE(std::string::npos, pidf.find(sip::Data("Alice@example.test").md5().str())) << pidf;
    EXPECT_EQ(std::vector<std::string>{"onNewSubscription SUBSCRIBE"}, alice->callbacks());
}

TEST_P(PresenceTest, SubscriptionWithoutExpiresGetsTheDefault) {
    auto alice = agent();
    auto watcher = subscribe(*alice, "", false);
    ASSERT_TRUE(alice->pumpUntil([&] { return watcher->wait(0ms); }, 10s));
    EXPECT_EQ(0, watcher->exitCode()) << watcher->errors();
    const auto accepted = watcher->responses(202);
    ASSERT_EQ(1u, accepted.size());
    EXPECT_EQ("1800", accepted[0].header("Expires"));
}

// Refreshes and the watcher's own unsubscribe are answered by the stack; the end reaches the handler.
TEST_P(PresenceTest, RefreshIsAnsweredByTheStackAndTheWatchersUnsubscribeEndsTheSubscription) {
    auto alice = agent();
    test::Sipp watcher({.scenario = refreshingWatcher(), .tcp = tcp(), .remote = alice->address()});
    watcher.start();
    ASSERT_TRUE(alice->pumpUntil([&] { return watcher.wait(0ms); }, 10s));
    EXPECT_EQ(0, watcher.exitCode()) << watcher.errors();
    alice->pumpUntil([&] { return alice->count("subscription.onTerminated") > 0; }, 2s);
    EXPECT_EQ((std::vector<std::string>{"onNewSubscription SUBSCRIBE", "subscription.onTerminated"}),
              alice->callbacks());
    // The refresh keeps its own expiry and is followed by a NOTIFY with the current document; the
    // unsubscribe by a final NOTIFY.
    const auto answers = watcher.responses(200);
    ASSERT_EQ(2u, answers.size());
    EXPECT_EQ("900", answers[0].header("Expires"));
    const auto notifies = watcher.requests("NOTIFY");
    ASSERT_EQ(3u, notifies.size());
    EXPECT_EQ("active;expires=900", notifies[1].header("Subscription-State"));
    EXPECT_EQ(notifies[0].body(), notifies[1].body());
    EXPECT_EQ(0u, notifies[2].header("Subscription-State").rfind("terminated", 0));
}

TEST_P(PresenceTest, EndingEverySubscriptionSendsOneFinalNotifyWithoutBodyToEach) {
    auto alice = agent();
    auto first = subscribe(*alice, "600", true);
    auto second = subscribe(*alice, "600", true);
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->subscriptions.size() == 2; }, 10s));
    alice->pumpFor(300ms);

    TerminateSubscriptionFunctor terminate;
    alice->dum.applyToAllServerSubscriptions(&terminate);
    ASSERT_TRUE(alice->pumpUntil([&] { return first->wait(0ms) && second->wait(0ms); }, 10s));
    alice->pumpUntil([&] { return alice->count("subscription.onTerminated") == 2; }, 2s);
    EXPECT_EQ(2u, alice->count("subscription.onTerminated"));

    std::vector<std::string> tupleIds;
    for (const test::Sipp* watcher : {first.get(), second.get()}) {
        EXPECT_EQ(0, watcher->exitCode()) << watcher->errors();
        const auto notifies = watcher->requests("NOTIFY");
        ASSERT_EQ(2u, notifies.size());
        EXPECT_EQ("terminated;reason=deactivated", notifies[1].header("Subscription-State"));
        EXPECT_EQ("", notifies[1].body());
        EXPECT_EQ("", notifies[1].header("Content-Type"));
        const std::string body = notifies[0].body();
        const auto id = body.find("tuple id=\"");
        ASSERT_NE(std::string::npos, id);
        tupleIds.push_back(body.substr(id, body.find('"', id + 10) - id));
    }
    EXPECT_EQ(tupleIds[0], tupleIds[1]);
}

//   agent                 registrar    watcher
//     | shutdown requested     |           |
//     | REGISTER Contact: *    |           |
//     |----------------------->|           |
//     | NOTIFY terminated      |           |
//     |----------------------------------->|
//     |               200      |           |
//     |<-----------------------------------|
//     | onDumCanBeDeleted
TEST_P(PresenceTest, ShutdownInTheAgentsOrderStillSendsTheRemovalAndTheFinalNotify) {
    test::Sipp registrar(
        {.scenario = "<?xml version=\"1.0\"?><scenario><recv request=\"REGISTER\"/><send><![CDATA[\n"
                     "SIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]x\n[last_Call-ID:]\n"
                     "[last_CSeq:]\n[last_Contact:];expires=1800\nContent-Length: 0\n\n]]></send>"
                     "<recv request=\"REGISTER\"/></scenario>",
         .tcp = tcp()});
    registrar.start();
    auto alice = agent();
    alice->setOutboundProxy("sip:127.0.0.1:" + std::to_string(registrar.port()) +
                            (tcp() ? ";transport=tcp" : ""));
    alice->dum.send(alice->dum.makeRegistration(alice->aor));
    auto watcher = subscribe(*alice, "600", true);
    ASSERT_TRUE(alice->pumpUntil(
        [&] { return alice->registration.isValid() && alice->subscriptions.size() == 1; }, 10s));
    alice->pumpFor(200ms);

    alice->dum.shutdown(alice.get());
    alice->registration->removeAll(false);
    alice->registration->stopRegistering();
    TerminateSubscriptionFunctor terminate;
    alice->dum.applyToAllServerSubscriptions(&terminate);
    ASSERT_TRUE(alice->pumpUntil([&] { return alice->canBeDeleted; }, 10s));

    ASSERT_TRUE(registrar.wait(3s));
    EXPECT_EQ(0, registrar.exitCode()) << registrar.errors();
    const auto registers = registrar.requests("REGISTER");
    ASSERT_EQ(2u, registers.size());
    EXPECT_EQ("*", registers[1].header("Contact"));
    ASSERT_TRUE(watcher->wait(3s));
    EXPECT_EQ(0, watcher->exitCode()) << watcher->errors();
    EXPECT_EQ("terminated;reason=deactivated",
              watcher->requests("NOTIFY").back().header("Subscription-State"));
    const auto callbacks = alice->callbacks();
    EXPECT_EQ("onDumCanBeDeleted", callbacks.back());
    EXPECT_EQ("subscription.onTerminated", callbacks[callbacks.size() - 2]);
}

INSTANTIATE_TEST_SUITE_P(Transports, PresenceTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
