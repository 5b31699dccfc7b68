// SPDX-License-Identifier: MIT
// The registration through the registrar's challenges, as they come on a long run: Kamailio's nonces
// expire (here after a few seconds) and it checks that each nonce's count grows, so that an answer sent
// again is refused. The main window object signs in, stays signed in across refreshes that meet stale
// nonces, never sends an answer twice, and every way of leaving removes its binding however old the
// nonce. Over UDP and TCP, inside a network namespace of the test program's own.
//
//   agent                      Kamailio
//     | REGISTER                  |
//     |-------------------------->|
//     |    401 (nonce n1)         |
//     |<--------------------------|
//     | REGISTER n1, nc 1         |
//     |-------------------------->|
//     |    200 (8 s)              |
//     |<--------------------------|
//     | REGISTER n1, nc 2         |   refresh before n1 expired
//     |-------------------------->|
//     |    200                    |
//     |<--------------------------|
//     | REGISTER n1, nc 3         |   refresh after it expired
//     |-------------------------->|
//     |    401 stale (nonce n2)   |
//     |<--------------------------|
//     | REGISTER n2, nc 1         |
//     |-------------------------->|
//     |    200                    |
//     |<--------------------------|
#include "support/Hub.h"
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"

#include "res/Resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <set>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

const test::SipUser kAlice{"alice", "example.test", "wonder:land"};
constexpr int kNonceSeconds = 3;

std::string nonceOf(const std::string& answer) {
    const auto at = answer.find("nonce=\"");
    return at == std::string::npos ? std::string() : answer.substr(at + 7, answer.find('"', at + 7) - at - 7);
}

class RegistrarNoncesTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    // Kamailio grants `grantedSeconds` whatever is asked, so that the stack refreshes that often.
    void start(int grantedSeconds) {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_kamailio = std::make_unique<test::Kamailio>(
            std::vector<test::SipUser>{kAlice},
            test::Kamailio::Options{.nonceExpire = kNonceSeconds,
                                    .nonceCount = true,
                                    .minExpires = 1,
                                    .maxExpires = grantedSeconds});
        m_kamailio->start();
        m_hub = std::make_unique<test::Hub>(
            test::Hub::Settings{.protocol = tcp() ? 1 : 0,
                                .outboundProxy = 1,
                                .signin = kAlice.aor(),
                                .password = kAlice.password,
                                .server = "127.0.0.1:" + std::to_string(m_kamailio->port())});
        m_hub->start();
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }))
            << m_hub->status();
    }

    void TearDown() override {
        if (HasFailure() && m_kamailio)
            std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        m_hub.reset();
        m_kamailio.reset();
    }

    std::vector<std::string> bindings() const { return m_kamailio->bindings(kAlice.aor()); }

    // Waits past the nonce's life with nothing sent (the registration granted is long enough).
    void letTheNonceExpire() { m_hub->waitFor(std::chrono::seconds(kNonceSeconds + 1)); }

    void expectEveryAnswerOnce() const {
        std::map<std::string, int> sent;
        for (const std::string& answer : m_kamailio->answers(kAlice.user))
            EXPECT_EQ(1, ++sent[answer]) << "sent again: " << answer;
    }

    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::Hub> m_hub;
};

TEST_P(RegistrarNoncesTest, RefreshesAcrossExpiredNoncesStaySignedInWithoutSendingAnAnswerTwice) {
    start(8);
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status().empty(); }, 5s));
    const auto end = std::chrono::steady_clock::now() + 16s;
    while (std::chrono::steady_clock::now() < end) {
        m_hub->waitFor(200ms);
        ASSERT_EQ("", m_hub->status()) << "the user saw something";
        ASSERT_FALSE(m_hub->dialog().IsTimerActive(kReconnectTimerId));
    }
    EXPECT_EQ(1u, bindings().size());
    const auto answers = m_kamailio->answers(kAlice.user);
    std::set<std::string> nonces;
    for (const std::string& answer : answers)
        nonces.insert(nonceOf(answer));
    // The refreshes (one every 2 to 6 s) met several nonces, most of them stale by then.
    EXPECT_GE(answers.size(), 4u);
    EXPECT_GE(nonces.size(), 3u);
    expectEveryAnswerOnce();
}

// Exit removes the binding whether the registrar takes the removal at once (a fresh nonce) or
// challenges it first (an expired one); the figures show what the challenge adds to the way out.
TEST_P(RegistrarNoncesTest, ExitWithAFreshOrAnExpiredNonceRemovesTheBinding) {
    for (const bool expired : {false, true}) {
        SCOPED_TRACE(expired ? "expired nonce" : "fresh nonce");
        start(60);
        if (expired)
            letTheNonceExpire();
        ASSERT_EQ(1u, bindings().size());
        const auto begin = std::chrono::steady_clock::now();
        m_hub->stop();
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(0u, bindings().size());
        EXPECT_LT(took, 3s);
        expectEveryAnswerOnce();
        std::printf("[ figures  ] Exit with %s nonce: %.0f ms\n", expired ? "an expired" : "a fresh",
                    std::chrono::duration<double, std::milli>(took).count());
        m_hub.reset();
        m_kamailio.reset();
    }
}

TEST_P(RegistrarNoncesTest, DisconnectAfterTheNonceExpiredRemovesTheBinding) {
    start(60);
    letTheNonceExpire();
    m_hub->dialog().Disconnect();
    EXPECT_EQ("Disconnected", m_hub->status());
    EXPECT_TRUE(m_hub->waitUntil([&] { return bindings().empty(); }, 5s));
    expectEveryAnswerOnce();
}

// The re-connect after Preferences: the removal of the old binding is answered before the new sign-in
// reaches the registrar, so that its wildcard does not take the new binding away too.
TEST_P(RegistrarNoncesTest, ReconnectAfterTheNonceExpiredLeavesExactlyTheNewBinding) {
    start(60);
    letTheNonceExpire();
    m_hub->dialog().Disconnect();
    m_hub->dialog().Connect();
    ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->dialog().GetStatusId() == IDS_CONNECTED; }))
        << m_hub->status();
    m_hub->waitFor(500ms);
    EXPECT_EQ(1u, bindings().size());
    expectEveryAnswerOnce();
}

INSTANTIATE_TEST_SUITE_P(Transports, RegistrarNoncesTest, ::testing::Values(sip::UDP, sip::TCP),
                         [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; });

}  // namespace
