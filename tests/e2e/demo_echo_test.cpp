// SPDX-License-Identifier: MIT
// The demo's echo peer against the main window object, through Kamailio as `make demo` runs them: a
// text sent from the window comes back as "echo: <text>" in a box of its own, the peer sees the user
// "open", and an echo is never echoed again. Over UDP and TCP, inside a network namespace of the test
// program's own.
#include "EchoPeer.h"

#include "support/Hub.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"

#include "res/Resource.h"

#include <gtest/gtest.h>

#include <iostream>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

const test::SipUser kAlice{"alice", "demo.test", "alice-demo"};
const test::SipUser kEcho{"echo", "demo.test", "echo-demo"};

class DemoEchoTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_kamailio = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kEcho});
        m_kamailio->start();
        m_hub = std::make_unique<test::Hub>(
            test::Hub::Settings{.protocol = tcp() ? 1 : 0,
                                .outboundProxy = 1,
                                .displayName = "Alice",
                                .signin = kAlice.aor(),
                                .password = kAlice.password,
                                .server = "127.0.0.1:" + std::to_string(m_kamailio->port())});
        m_peer =
            std::make_unique<demo::EchoPeer>(demo::EchoPeer::Options{.aor = kEcho.aor(),
                                                                     .password = kEcho.password,
                                                                     .outboundProxy = m_kamailio->uri(tcp()),
                                                                     .watch = kAlice.aor(),
                                                                     .tcp = tcp()});
        m_peer->log = [this](const std::string& line) { m_log += line + "\n"; };
        ASSERT_TRUE(m_peer->start()) << m_log;
        m_hub->start();
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }))
            << m_hub->status();
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_peer->registered(); })) << m_log;
        // The status panel goes after its 3 s; then the window composes.
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status().empty(); })) << m_hub->status();
    }

    void TearDown() override {
        if (m_peer) {
            m_peer->stop([] {}, 2s);
            m_hub->waitUntil([&] { return m_peer->stopped(); }, 4s);
        }
        if (HasFailure()) {
            std::cerr << "--- echo peer:\n" << m_log;
            if (m_kamailio)
                std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        }
        m_peer.reset();
        m_hub.reset();
        m_kamailio.reset();
    }

    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::Hub> m_hub;
    std::unique_ptr<demo::EchoPeer> m_peer;
    std::string m_log;
};

TEST_P(DemoEchoTest, AnswersTheWindowsTextAndSeesTheUserOpen) {
    m_hub->send("echo", "hello from the window");
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->boxes.openCount() == 1; })) << m_hub->status() << "\n"
                                                                                 << m_log;
    EXPECT_EQ("echo: hello from the window", m_hub->boxes.open(0).text);
    EXPECT_TRUE(m_hub->waitUntil([&] { return m_peer->echoed() == 1; }));
    EXPECT_NE(std::string::npos, m_log.find("text from alice@demo.test: \"hello from the window\""));
    // The text went in a message session (the peer takes them), not as the pager fallback.
    EXPECT_NE(std::string::npos, m_kamailio->log().find("request INVITE sip:echo@demo.test"));

    // The peer watches alice: the agent answers its subscription "open" (the peer subscribes again
    // every few seconds until alice is there).
    EXPECT_TRUE(m_hub->waitUntil([&] { return m_peer->watchedStatus() == "open"; }, 10s)) << m_log;
    EXPECT_NE(std::string::npos, m_log.find("alice@demo.test is open"));

    // An echo is not answered: nothing comes back for a text that already is one.
    m_hub->send("echo", "echo: once is enough");
    ASSERT_TRUE(
        m_hub->waitUntil([&] { return m_log.find("\"echo: once is enough\"") != std::string::npos; }));
    m_hub->waitFor(1s);
    EXPECT_EQ(1u, m_hub->boxes.openCount());
    EXPECT_EQ(1, m_peer->echoed());
}

INSTANTIATE_TEST_SUITE_P(Transports, DemoEchoTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
