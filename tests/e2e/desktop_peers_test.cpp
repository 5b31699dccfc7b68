// SPDX-License-Identifier: MIT
// The main window object with two more real, independently written desktop clients through Kamailio:
// twinkle (twinkle-console) as bob and linphonec as carol, each registered with digest, next to the agent
// signed in as alice with Kamailio as its outbound proxy. Texts go both ways and each side shows them;
// each client watches alice's presence, sees her online while she runs and gone after her Exit, and takes
// the final NOTIFY of her Exit without complaint (twinkle answers 400 to one whose Contact is not a SIP
// URI). Over UDP and TCP, inside a network namespace of the test program's own, which has a routable
// address besides 127.0.0.1 for linphonec's sake.
#include "support/Hub.h"
#include "support/Kamailio.h"
#include "support/Linphone.h"
#include "support/PrivateNetwork.h"
#include "support/Twinkle.h"

#include "res/Resource.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <iostream>
#include <sstream>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();
const bool kRoutableAddress = test::addRoutableAddress();

const test::SipUser kAlice{"alice", "example.test", "wonder:land"};
const test::SipUser kBob{"bob", "example.test", "bob123"};
const test::SipUser kCarol{"carol", "example.test", "carol.7"};

// How long each wait for an exchange with a peer may take: Kamailio passes everything on at once.
constexpr auto kExchange = 5s;

// The status with which `watcher` answered alice's final NOTIFY ("terminated"), as Kamailio passed the
// answer on; 0 while no such NOTIFY or answer passed.
int answerToFinalNotify(const test::Kamailio& kamailio, const std::string& watcher) {
    std::string id;
    for (const std::string& notify : kamailio.seen("alice", "NOTIFY")) {
        // "passed request NOTIFY from alice to bob call C cseq N over udp state terminated;reason=deactivated"
        const auto call = notify.find(" call ");
        const auto state = notify.find(" state ");
        const auto over = notify.find(" over ", call);
        if (notify.find(" to " + watcher + " call ") != std::string::npos &&
            notify.find(" state terminated", state) != std::string::npos)
            id = notify.substr(call, std::min(over, state) - call);
    }
    if (id.empty())
        return 0;
    // "passed reply 200 NOTIFY from alice to bob call C cseq N"
    std::istringstream log(kamailio.log());
    const std::string marker = "passed reply ";
    for (std::string line; std::getline(log, line);) {
        const auto at = line.find(marker);
        if (at != std::string::npos && line.size() >= id.size() &&
            line.compare(line.size() - id.size(), id.size(), id) == 0 &&
            line.find(" NOTIFY from alice to " + watcher + " call ") != std::string::npos)
            return std::stoi(line.substr(at + marker.size(), 3));
    }
    return 0;
}

// Kamailio with the three users, and the window signed in there as alice.
class DesktopPeersTest : public ::testing::TestWithParam<sip::TransportType> {
protected:
    bool tcp() const { return GetParam() == sip::TCP; }

    void SetUp() override {
        CHIMELY_REQUIRE_PRIVATE_NETWORK();
        m_kamailio = std::make_unique<test::Kamailio>(std::vector<test::SipUser>{kAlice, kBob, kCarol});
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
        m_hub->dialog().HideStatus();
    }

    void TearDown() override {
        if (HasFailure() && m_kamailio)
            std::cerr << "--- Kamailio's log:\n" << m_kamailio->log();
        m_hub.reset();
        m_kamailio.reset();
    }

    // The window keeps running while the test waits for a peer.
    std::function<void()> pump() {
        return [this] { m_hub->waitFor(20ms); };
    }

    // Alice sends `text` to `to`: the window says it went.
    void sendFromAlice(const std::string& to, const std::string& text) {
        m_hub->send(to, text);
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->status() == "Message has been sent"; }, kExchange))
            << m_hub->status();
    }

    // The box that a peer's text opened: its text, and a title naming `sender`.
    void expectOneBox(const std::string& text, const std::string& sender) {
        ASSERT_TRUE(m_hub->waitUntil([&] { return m_hub->boxes.openCount() == 1; }, kExchange));
        EXPECT_EQ(text, m_hub->boxes.open(0).text);
        const std::string& caption = m_hub->boxes.open(0).caption;
        EXPECT_EQ(0u, caption.find("Vantorell Chimely - Message [ " + sender + ", ")) << caption;
    }

    std::unique_ptr<test::Kamailio> m_kamailio;
    std::unique_ptr<test::Hub> m_hub;
};

// bob on twinkle, watching alice.
class TwinkleTest : public DesktopPeersTest {
protected:
    void SetUp() override {
        DesktopPeersTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_bob = std::make_unique<test::Twinkle>(test::Twinkle::Options{.user = kBob,
                                                                       .registrarPort = m_kamailio->port(),
                                                                       .tcp = tcp(),
                                                                       .buddies = {{"alice", kAlice.uri()}}});
        m_bob->start(10s, pump());
    }

    void TearDown() override {
        if (m_bob) {
            m_bob->stop(3s, m_hub ? pump() : std::function<void()>{});
            if (HasFailure())
                std::cerr << "--- twinkle's output:\n"
                          << m_bob->output() << "--- twinkle's log:\n"
                          << m_bob->log();
        }
        m_bob.reset();
        DesktopPeersTest::TearDown();
    }

    std::unique_ptr<test::Twinkle> m_bob;
};

//   bob (twinkle)      Kamailio              window (alice)
//     | MESSAGE text/plain;charset=utf-8         |
//     |------------------>|--------------------->|
//     |       200         |         200          |   the text in a box titled "bob"
//     |<------------------|<---------------------|
//     |       INVITE (m=message)                 |
//     |<------------------|<---------------------|
//     |       400         |                      |
//     |------------------>|--------------------->|
//     |       MESSAGE (pager)                    |
//     |<------------------|<---------------------|
//     |       200         |                      |   twinkle prints the text
//     |------------------>|--------------------->|
TEST_P(TwinkleTest, TextsGoBothWaysAndEachSideShowsThem) {
    ASSERT_TRUE(m_bob->message(kAlice.uri(), "grüße from twinkle"));
    expectOneBox("grüße from twinkle", "bob");

    sendFromAlice("bob", "hello bob, tschüss");
    EXPECT_TRUE(m_bob->waitUntil([&] { return m_bob->hasText(kAlice.uri(), "hello bob, tschüss"); },
                                 kExchange, pump()));
    // twinkle has no message sessions: it refused the session, and the text went on its own.
    EXPECT_EQ(1u, m_kamailio->seenReplies("bob", 400, "INVITE").size());
    EXPECT_EQ(1u, m_kamailio->seen("alice", "MESSAGE").size());
    EXPECT_EQ(1u, m_kamailio->seenReplies("bob", 200, "MESSAGE").size());
    EXPECT_EQ(std::vector<std::string>{}, m_bob->failures());
}

//   bob (twinkle)      Kamailio              window (alice)
//     | SUBSCRIBE presence                       |
//     |------------------>|--------------------->|
//     |       202, NOTIFY open                   |   bob shows alice "open"
//     |<------------------|<---------------------|
//     |                   |  REGISTER Contact: *, Expires: 0 (Exit)
//     |                   |<---------------------|
//     |  NOTIFY terminated, Contact: alice's own |
//     |<------------------|<---------------------|
//     |       200 (400 if the Contact were not a SIP URI)
//     |------------------>|--------------------->|   bob shows alice no longer "open"
TEST_P(TwinkleTest, SeesAliceOnlineWhileSheRunsAndGoneAfterHerExit) {
    ASSERT_TRUE(m_bob->waitUntil([&] { return m_bob->presence(kAlice.uri()) == "open"; }, kExchange, pump()))
        << m_bob->presence(kAlice.uri());

    m_hub->stop();
    // The subscription's end makes it "unknown"; twinkle then subscribes again, and fails: alice is gone.
    EXPECT_TRUE(m_bob->waitUntil(
        [&] {
            const std::string shown = m_bob->presence(kAlice.uri());
            return shown == "unknown" || shown == "failed";
        },
        kExchange))
        << m_bob->presence(kAlice.uri());
    EXPECT_TRUE(m_bob->waitUntil([&] { return answerToFinalNotify(*m_kamailio, "bob") != 0; }, kExchange));
    EXPECT_EQ(200, answerToFinalNotify(*m_kamailio, "bob"));
    EXPECT_EQ(std::vector<std::string>{}, m_kamailio->seenReplies("bob", 400, "NOTIFY"));
    EXPECT_TRUE(m_kamailio->bindings(kAlice.aor()).empty());
}

// carol on linphonec.
class LinphoneTest : public DesktopPeersTest {
protected:
    void SetUp() override {
        DesktopPeersTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(kRoutableAddress) << "linphonec needs an address besides 127.0.0.1";
        m_carol = std::make_unique<test::Linphone>(
            test::Linphone::Options{.user = kCarol, .registrarPort = m_kamailio->port(), .tcp = tcp()});
        m_carol->start(15s, pump());
    }

    void TearDown() override {
        if (m_carol) {
            m_carol->stop(3s, m_hub ? pump() : std::function<void()>{});
            if (HasFailure()) {
                std::cerr << "--- linphonec's errors:\n";
                for (const std::string& line : m_carol->failures())
                    std::cerr << line << "\n";
                std::cerr << "--- linphonec's output:\n"
                          << m_carol->output() << "--- linphonec's log:\n"
                          << m_carol->log();
            }
        }
        m_carol.reset();
        DesktopPeersTest::TearDown();
    }

    std::unique_ptr<test::Linphone> m_carol;
};

//   carol (linphonec)  Kamailio              window (alice)
//     | MESSAGE text/plain                       |
//     |------------------>|--------------------->|
//     |       200         |         200          |   the text in a box titled by carol's address
//     |<------------------|<---------------------|
//     |       INVITE (m=message)                 |
//     |<------------------|<---------------------|
//     |       488         |                      |
//     |------------------>|--------------------->|
//     |       MESSAGE (pager)                    |
//     |<------------------|<---------------------|
//     |       200         |                      |   linphonec prints the text
//     |------------------>|--------------------->|
TEST_P(LinphoneTest, TextsGoBothWaysAndEachSideShowsThem) {
    ASSERT_TRUE(m_carol->chat(kAlice.uri(), "hello alice, ça va? from linphone"));
    // linphonec gives no display name: the title names carol by her address.
    expectOneBox("hello alice, ça va? from linphone", kCarol.aor());

    sendFromAlice("carol", "hi carol, ça va bien");
    EXPECT_TRUE(m_carol->waitUntil([&] { return m_carol->hasText(kAlice.uri(), "hi carol, ça va bien"); },
                                   kExchange, pump()));
    EXPECT_EQ(1u, m_kamailio->seenReplies("carol", 488, "INVITE").size());
    EXPECT_EQ(1u, m_kamailio->seenReplies("carol", 200, "MESSAGE").size());
}

//   carol (linphonec)  Kamailio              window (alice)
//     | friend add: SUBSCRIBE presence           |
//     |------------------>|--------------------->|
//     |       202, NOTIFY open                   |   "Friend ... is Online"
//     |<------------------|<---------------------|
//     |  NOTIFY terminated (Exit)                |
//     |<------------------|<---------------------|
//     |       200         |                      |   "Friend ... is Offline"
//     |------------------>|--------------------->|
TEST_P(LinphoneTest, FriendListShowsAliceOnlineWhileSheRunsAndOfflineAfterHerExit) {
    ASSERT_TRUE(m_carol->addFriend("alice", kAlice.uri()));
    ASSERT_TRUE(
        m_carol->waitUntil([&] { return m_carol->presence(kAlice.uri()) == "Online"; }, kExchange, pump()))
        << m_carol->presence(kAlice.uri());

    m_hub->stop();
    EXPECT_TRUE(m_carol->waitUntil([&] { return m_carol->presence(kAlice.uri()) == "Offline"; }, kExchange))
        << m_carol->presence(kAlice.uri());
    EXPECT_TRUE(
        m_carol->waitUntil([&] { return answerToFinalNotify(*m_kamailio, "carol") != 0; }, kExchange));
    EXPECT_EQ(200, answerToFinalNotify(*m_kamailio, "carol"));
}

const auto kTransportName = [](const auto& info) { return info.param == sip::TCP ? "TCP" : "UDP"; };
INSTANTIATE_TEST_SUITE_P(Transports, TwinkleTest, ::testing::Values(sip::UDP, sip::TCP), kTransportName);
INSTANTIATE_TEST_SUITE_P(Transports, LinphoneTest, ::testing::Values(sip::UDP, sip::TCP), kTransportName);

}  // namespace
