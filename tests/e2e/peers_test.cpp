// SPDX-License-Identifier: MIT
// The SIP layer against real, independently written peers: alice is the test's agent, bob is baresip,
// and both register with digest at Kamailio, which relays everything between them. Over UDP and TCP,
// inside a network namespace of the test program's own.
#include "support/Baresip.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"
#include "support/TestAgent.h"

#include "sip/Contents.h"
#include "sip/Pidf.h"
#include "sip/SdpContents.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

const test::SipUser kAlice{"alice", "example.test", "through:the:looking-glass"};
const test::SipUser kBob{"bob", "example.test", "bob123"};

sip::NameAddr address(const std::string& uri) {
    return sip::NameAddr(sip::Uri(sip::Data(uri)));
}

sip::SdpContents messageOffer() {
    sip::SdpContents offer;
    offer.session().origin().address = "127.0.0.1";
    offer.session().name() = "session";
    offer.session().connection().address = "127.0.0.1";
    offer.session().addTime({0, 0});
    sip::SdpContents::Session::Medium medium("message", 5060, 0, "sip");
    medium.addFormat(kAlice.aor());
    offer.session().addMedium(medium);
    return offer;
}

class PeersTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_kamailio = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kBob});
        m_kamailio->start();

        m_alice = agent(kAlice);
        m_alice->messageArrived = [](sip::ServerPagerMessageHandle handle, const sip::SipMessage&) {
            handle->send(handle->accept(200));
        };
        // Closed at first, so that the test can tell the document it sends later from baresip's own
        // "Unknown" before any document.
        m_alice->newSubscription = [this](sip::ServerSubscriptionHandle handle, const sip::SipMessage&) {
            handle->send(handle->accept(202));
            handle->send(handle->update(presence(false).get()));
        };
        m_alice->dum.send(m_alice->dum.makeRegistration(m_alice->aor));
        ASSERT_TRUE(m_alice->pumpUntil([&] { return m_alice->count("registration.") > 0; }));

        // After alice's registration, or baresip's first SUBSCRIBE finds nobody and it tries again
        // only half a minute later.
        m_bob = std::make_unique<test::Baresip>(test::Baresip::Options{
            .user = kBob,
            .outboundProxy = m_kamailio->uri(tcp()),
            .tcp = tcp(),
            .contacts = {{"carol", "sip:carol@example.test"}, {"alice", kAlice.uri(), true}}});
        m_bob->start();
        ASSERT_TRUE(m_bob->waitForRegistration(10s, pumpAlice()));
    }

    void TearDown() override {
        if (HasFailure()) {
            if (m_alice) {
                std::cerr << "--- alice's callbacks:\n";
                for (const std::string& callback : m_alice->callbacks())
                    std::cerr << callback << "\n";
            }
            if (m_bob)
                std::cerr << "--- baresip's output:\n" << m_bob->output();
            if (m_kamailio)
                std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        }
        m_bob.reset();
        m_alice.reset();
        m_kamailio.reset();
    }

    std::unique_ptr<test::TestAgent> agent(const test::SipUser& user) {
        auto agent = std::make_unique<test::TestAgent>(GetParam());
        agent->setIdentity(user.uri(), user.password);
        agent->setOutboundProxy(m_kamailio->uri(tcp()));
        return agent;
    }

    // What baresip's waits do between looks: alice keeps answering.
    std::function<void()> pumpAlice() {
        return [this] { m_alice->pumpFor(20ms); };
    }

    std::unique_ptr<sip::Pidf> presence(bool open) const {
        auto document = std::make_unique<sip::Pidf>();
        document->setEntity(m_alice->aor.uri());
        document->setSimpleId(m_alice->aor.uri().getAor().md5());
        document->setSimpleStatus(open);
        return document;
    }

    void page(test::TestAgent& from, const std::string& to, const std::string& text) {
        from.dum.makePagerMessage(address(to))->page(std::make_unique<sip::PlainContents>(sip::Data(text)));
    }

    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::TestAgent> m_alice;
    std::unique_ptr<test::Baresip> m_bob;
};

// Kamailio accepts nothing without the right digest answer: one success, and the binding it lists is
// the agent's own.
TEST_P(PeersTest, AliceRegistersWithDigestOnce) {
    m_alice->pumpFor(500ms);
    EXPECT_EQ(std::vector<std::string>{"registration.onSuccess 200 OK"}, m_alice->callbacks("registration."));
    ASSERT_TRUE(m_alice->registration.isValid());
    const auto contacts = m_alice->registration->myContacts();
    ASSERT_EQ(1u, contacts.size());
    EXPECT_EQ(m_alice->port, contacts[0].uri().port());
}

// A wrong password and a user Kamailio does not know are both refused with 403, once, without the
// layer answering the refusal with yet another REGISTER.
TEST_P(PeersTest, WrongPasswordAndUnknownUserAreRefusedWith403) {
    for (const test::SipUser& user : {test::SipUser{"alice", "example.test", "wrong"},
                                      test::SipUser{"mallory", "example.test", "alice123"}}) {
        SCOPED_TRACE(user.aor() + " / " + user.password);
        auto intruder = agent(user);
        intruder->dum.send(intruder->dum.makeRegistration(intruder->aor));
        ASSERT_TRUE(intruder->pumpUntil([&] { return intruder->count("registration.") > 0; }));
        intruder->pumpFor(500ms);
        EXPECT_EQ(std::vector<std::string>{"registration.onFailure 403 Forbidden"}, intruder->callbacks());
    }
}

TEST_P(PeersTest, PagerMessagesFromAliceArePrintedByBobUnchanged) {
    for (const std::string text : {"Lunch at noon?", "Grüße aus Köln – 12:30 \"sharp\""}) {
        SCOPED_TRACE(text);
        const std::size_t before = m_alice->count("pager.");
        page(*m_alice, kBob.uri(), text);
        ASSERT_TRUE(m_alice->pumpUntil([&] { return m_alice->count("pager.") > before; }));
        EXPECT_EQ("pager.onSuccess 200 OK", m_alice->callbacks("pager.").back());
        EXPECT_TRUE(m_bob->waitForText(kAlice.uri(), text, 5s, pumpAlice()));
    }
}

TEST_P(PeersTest, PagerMessageFromBobArrivesAtAlice) {
    ASSERT_TRUE(m_bob->selectContact(kAlice.uri()));
    ASSERT_TRUE(m_bob->message("Hello from baresip: äöü"));
    ASSERT_TRUE(m_alice->pumpUntil([&] { return m_alice->count("onMessageArrived") > 0; }));
    ASSERT_EQ(1u, m_alice->received.size());
    const sip::SipMessage& message = m_alice->received.front();
    EXPECT_EQ(kBob.aor(), message.from().uri().getAor().str());
    EXPECT_EQ(sip::Mime("text", "plain"), message.contentType());
    ASSERT_NE(nullptr, dynamic_cast<const sip::PlainContents*>(message.getContents()));
    EXPECT_EQ("Hello from baresip: äöü", message.getContents()->getBodyData().str());
}

//   bob (baresip)          Kamailio             alice
//     | SUBSCRIBE presence   |                    |
//     |--------------------->|------------------->|
//     |                 202  |               202  |
//     |<---------------------|<-------------------|
//     |      NOTIFY closed   |     NOTIFY closed  |
//     |<---------------------|<-------------------|   bob shows alice Offline
//     |      NOTIFY open     |     NOTIFY open    |
//     |<---------------------|<-------------------|   bob shows alice Online
TEST_P(PeersTest, BobWatchesAliceAndSeesHerGoOnline) {
    ASSERT_TRUE(m_alice->pumpUntil([&] { return !m_alice->subscriptions.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"onNewSubscription SUBSCRIBE"},
              m_alice->callbacks("onNewSubscription"));
    ASSERT_TRUE(m_bob->waitForPresence(kAlice.uri(), "Offline", 5s, pumpAlice()))
        << m_bob->presence(kAlice.uri());

    sip::ServerSubscriptionHandle subscription = m_alice->subscriptions.front();
    ASSERT_TRUE(subscription.isValid());
    subscription->send(subscription->update(presence(true).get()));
    EXPECT_TRUE(m_bob->waitForPresence(kAlice.uri(), "Online", 5s, pumpAlice()))
        << m_bob->presence(kAlice.uri());
    EXPECT_EQ(0u, m_alice->count("subscription."));
}

// baresip takes no session whose only medium is "message": the agent hears 488 and falls back to pager
// messages.
TEST_P(PeersTest, SessionOfferingOnlyMessagesIsRefusedWith488) {
    m_alice->dum.send(m_alice->dum.makeInviteSession(address(kBob.uri()), messageOffer()));
    ASSERT_TRUE(m_alice->pumpUntil([&] { return m_alice->count("session.onTerminated") > 0; }));
    EXPECT_EQ(std::vector<std::string>{"session.onFailure 488 Not Acceptable Here"},
              m_alice->callbacks("session.onFailure"));
    EXPECT_EQ(0u, m_alice->count("client.onConnected"));
}

// Contact: * with Expires: 0 takes every binding of alice away and none of bob's.
TEST_P(PeersTest, RemovingAllOfAlicesBindingsLeavesBobReachable) {
    m_alice->registration->removeAll(true);
    ASSERT_TRUE(m_alice->pumpUntil([&] { return m_alice->count("registration.onRemoved") > 0; }));

    page(*m_alice, kAlice.uri(), "anyone home?");
    ASSERT_TRUE(m_alice->pumpUntil([&] { return m_alice->count("pager.") > 1; }));
    EXPECT_EQ("pager.onFailure 404 Not Found", m_alice->callbacks("pager.").front());

    page(*m_alice, kBob.uri(), "still there?");
    ASSERT_TRUE(m_alice->pumpUntil([&] { return m_alice->count("pager.onSuccess") > 0; }));
    EXPECT_TRUE(m_bob->waitForText(kAlice.uri(), "still there?", 5s, pumpAlice()));
}

INSTANTIATE_TEST_SUITE_P(Transports, PeersTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
