// SPDX-License-Identifier: MIT
// The main window object end to end with real, independently written peers: Kamailio as the registrar
// and proxy with digest users, baresip as a second user. The agent signs in, sends bob a text (baresip
// has no message sessions, so it goes as a pager MESSAGE), shows bob's text in a box, and bob's presence
// watch sees it open. Over UDP and TCP, inside a network namespace of the test program's own.
#include "support/Baresip.h"
#include "support/Hub.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"

#include "res/Resource.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

const test::SipUser kAlice{"alice", "example.test", "wonder:land"};
const test::SipUser kBob{"bob", "example.test", "bob123"};

class ProgramWithPeersTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_kamailio = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kBob});
        m_kamailio->start();
        m_hub = std::make_unique<test::Hub>(
            test::Hub::Settings{.protocol = tcp() ? 1 : 0,
                                .outboundProxy = 1,
                                .displayName = "Alice",
                                .signin = kAlice.aor(),
                                .password = kAlice.password,
                                .server = "127.0.0.1:" + std::to_string(m_kamailio->port())});
        m_hub->start();
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }))
            << m_hub->status();
        m_bob = std::make_unique<test::Baresip>(
            test::Baresip::Options{.user = kBob,
                                   .outboundProxy = m_kamailio->uri(tcp()),
                                   .tcp = tcp(),
                                   .contacts = {{"alice", kAlice.uri(), true}}});
        m_bob->start();
        ASSERT_TRUE(m_bob->waitForRegistration(10s, pump()));
    }

    void TearDown() override {
        if (HasFailure()) {
            if (m_bob)
                std::cerr << "--- baresip's output:\n" << m_bob->output();
            if (m_kamailio)
                std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        }
        m_bob.reset();
        m_hub.reset();
        m_kamailio.reset();
    }

    // The window keeps running while the test waits for baresip.
    std::function<void()> pump() {
        return [this] { m_hub->waitFor(20ms); };
    }

    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::Hub> m_hub;
    std::unique_ptr<test::Baresip> m_bob;
};

TEST_P(ProgramWithPeersTest, SendsReceivesAndIsSeenOpen) {
    // To bob: baresip refuses the message session with 488, the text goes as a pager MESSAGE.
    m_hub->send("bob", "hello bob, from the tray");
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status() == "Message has been sent"; }))
        << m_hub->status();
    EXPECT_TRUE(m_bob->waitForText(kAlice.uri(), "hello bob, from the tray", 5s, pump()));

    // From bob: answered, then shown in a box of its own.
    ASSERT_TRUE(m_bob->selectContact(kAlice.uri()));
    ASSERT_TRUE(m_bob->message("hi alice"));
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->boxes.openCount() == 1; }));
    EXPECT_EQ("hi alice", m_hub->boxes.open(0).text);
    EXPECT_EQ(0u, m_hub->boxes.open(0).caption.find("Vantorell Chimely - Message [ "));

    // bob watches alice: the agent answers his subscription "open".
    EXPECT_TRUE(m_bob->waitForPresence(kAlice.uri(), "Online", 10s, pump())) << m_bob->presence(kAlice.uri());
}

INSTANTIATE_TEST_SUITE_P(Transports, ProgramWithPeersTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
