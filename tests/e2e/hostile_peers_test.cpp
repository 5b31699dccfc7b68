// SPDX-License-Identifier: MIT
// The program as a process against what a hostile or merely busy network sends it, over UDP and TCP on
// 127.0.0.1: offers whose m= line holds bytes outside the SDP grammar, idle and half-sent TCP connections
// past the descriptor limit, floods of texts, subscriptions and sessions that never send their text, and
// the termination signals of a log-out while the user is in a dialog. Whatever arrives, the program keeps
// answering, its memory stays bounded, and a peer refused for want of room is told so.
#include "support/Program.h"
#include "support/RawSip.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// What the design holds the program to whatever peers send. A sanitized build keeps freed memory in
// quarantine and shadows the rest: its resident size says nothing about the program's.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kResidentLimitKb = 1L << 40;
#else
constexpr long kResidentLimitKb = 150 * 1024;
#endif

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return done();
}

class HostilePeersTest : public ::testing::TestWithParam<bool> {
protected:
    bool tcp() const { return GetParam(); }

    // Starts the program with its own port, signing in at a registrar that never answers: a peer reaches
    // it directly, and nothing here depends on the registration.
    void startProgram(int descriptorLimit = 0) {
        m_port = test::freePort();
        m_program.writeSettings({{"Protocol", tcp() ? "1" : "0"},
                                 {"OutboundProxy", "1"},
                                 {"Server", "127.0.0.1:" + std::to_string(test::freePort())},
                                 {"SigninName", "alice@example.test"},
                                 {"Password", "x"},
                                 {"LocalPort", std::to_string(m_port)}});
        m_pid = m_program.start({.descriptorLimit = descriptorLimit});
        ASSERT_TRUE(eventually([&] { return answersOptions(); }, 10s)) << m_program.log(1);
    }

    // Whether an OPTIONS on a new socket is answered 200 within `wait`.
    bool answersOptions(std::chrono::milliseconds wait = 1000ms) {
        test::RawPeer peer(tcp(), m_port);
        if (!peer.connected() || !peer.send(peer.request("OPTIONS", "options-" + std::to_string(++m_calls), 1)))
            return false;
        const auto deadline = Clock::now() + wait;
        while (Clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const auto message = peer.receive(left);
            if (message && !message->isRequest() && message->status() >= 200)
                return message->status() == 200;
        }
        return false;
    }

    // The final status of each request of the flood, by Call-ID. `make` builds request `i`; requests the
    // program sends meanwhile (NOTIFY, BYE) are answered 200, its 2xx to an INVITE acknowledged. At most
    // `window` are unanswered at a time, and one unanswered for 500 ms is sent again.
    std::map<std::string, test::RawMessage> flood(test::RawPeer& peer, int count,
                                                  const std::function<std::string(int)>& make,
                                                  std::chrono::seconds limit, long& peakKb) {
        constexpr int window = 32;
        std::map<std::string, test::RawMessage> finals;
        std::map<std::string, std::pair<std::string, Clock::time_point>> waiting;
        int next = 0;
        const auto deadline = Clock::now() + limit;
        int samples = 0;
        while (static_cast<int>(finals.size()) < count && Clock::now() < deadline) {
            while (next < count && waiting.size() < window) {
                const std::string text = make(next);
                const test::RawMessage request{text};
                
                waiting[request.header("Call-ID")] = {text, Clock::now()};
                peer.send(text);
                ++next;
            }
            if (const auto message = peer.receive(50ms)) {
                if (message->isRequest()) {
                                        if (message->method() != "ACK")
                        peer.send(test::RawPeer::answer(*message));
                } else if (message->status() >= 200) {
                    
                    const std::string callId = message->header("Call-ID");
                    if (message->method() == "INVITE" && message->status() < 300)
                        peer.send(peer.ack(*message));
                    if (waiting.erase(callId))
                        finals.emplace(callId, *message);
                }
            }
            for (auto& [callId, sent] : waiting) {
                if (Clock::now() - sent.second > 500ms) {
                    peer.send(sent.first);
                    sent.second = Clock::now();
                }
            }
            if (++samples % 64 == 0)
                peakKb = std::max(peakKb, test::residentKb(m_pid));
        }
        peakKb = std::max(peakKb, test::residentKb(m_pid));
        return finals;
    }

    test::Program m_program;
    pid_t m_pid = -1;
    int m_port = 0;
    int m_calls = 0;
};

std::string offer(const std::string& mLine) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + mLine + "\r\n";
}

// The 44-byte body that once made the SDP parser allocate without end, and the same m= line with other
// bytes from outside the grammar in each of its four fields.
std::vector<std::string> hostileBodies() {
    std::vector<std::string> bodies = {std::string("v=0\r\nm=message 5060 sip\xdd\x9d" "ob@127.0.0.1\r\n")};
    const std::vector<std::string> bytes = {"\xdd\x9d", std::string(1, '\0'), "\x01", "\x7f", "\xff", "\t", "\xc3\xa9"};
    const std::vector<std::string> fields = {"message", "5060", "TCP/MSRP", "bob@127.0.0.1"};
    for (std::size_t field = 0; field < fields.size(); ++field) {
        for (const std::string& inserted : bytes) {
            std::vector<std::string> words = fields;
            words[field].insert(words[field].size() / 2, inserted);
            bodies.push_back(offer("m=" + words[0] + " " + words[1] + " " + words[2] + " " + words[3]));
        }
    }
    return bodies;
}

TEST_P(HostilePeersTest, OffersOutsideTheGrammarGet488AndTheProgramGoesOn) {
    startProgram();
    test::RawPeer peer(tcp(), m_port);
    ASSERT_TRUE(peer.connected());
    int index = 0;
    for (const std::string& body : hostileBodies()) {
        const std::string callId = "offer-" + std::to_string(++index);
        ASSERT_TRUE(peer.send(peer.request("INVITE", callId, 1, "", "application/sdp", body)));
        int status = 0;
        const auto deadline = Clock::now() + 3s;
        while (status < 200 && Clock::now() < deadline) {
            const auto message = peer.receive(100ms);
            if (message && !message->isRequest() && message->header("Call-ID") == callId)
                status = message->status();
            if (message && message->status() >= 300)
                peer.send(peer.ack(*message));
        }
        EXPECT_EQ(488, status) << "offer " << index;
    }
    EXPECT_TRUE(answersOptions());
    EXPECT_LT(test::residentKb(m_pid), kResidentLimitKb);
    EXPECT_TRUE(m_program.running(m_pid));
}

// Each flood on a program of its own, as fast as the program answers: 10,000 texts, all taken and shown;
// 10,000 presence subscriptions asking to be kept for ever; 10,000 sessions that never send their text.
TEST_P(HostilePeersTest, FloodsAreAnsweredWithinTheMemoryBound) {
    if (tcp())
        GTEST_SKIP() << "the floods go over UDP, where nothing holds the sender back";
    constexpr int kCount = 10000;
    const std::string sessionOffer = offer("m=message 9 TCP/MSRP *");
    struct Kind {
        const char* name;
        std::function<std::string(const test::RawPeer&, int)> make;
        int accepted;  // the status of a request that was taken
    };
    const std::vector<Kind> kinds = {
        {"MESSAGE",
         [](const test::RawPeer& peer, int i) {
             return peer.request("MESSAGE", "text-" + std::to_string(i), 1, "", "text/plain",
                                 "flood text " + std::to_string(i));
         },
         200},
        {"SUBSCRIBE",
         [](const test::RawPeer& peer, int i) {
             return peer.request("SUBSCRIBE", "watch-" + std::to_string(i), 1,
                                 "Event: presence\r\nAccept: application/pidf+xml\r\nExpires: 4294967296\r\n");
         },
         202},
        {"INVITE",
         [&](const test::RawPeer& peer, int i) {
             return peer.request("INVITE", "session-" + std::to_string(i), 1, "", "application/sdp",
                                 sessionOffer);
         },
         200},
    };
    for (const Kind& kind : kinds) {
        startProgram();
        test::RawPeer peer(false, m_port);
        ASSERT_TRUE(peer.connected());
        long peakKb = 0;
        const auto finals =
            flood(peer, kCount, [&](int i) { return kind.make(peer, i); }, 150s, peakKb);
        std::map<int, int> statuses;
        for (const auto& [callId, response] : finals) {
            ++statuses[response.status()];
            if (response.status() == 503) {
                EXPECT_FALSE(response.header("Retry-After").empty()) << kind.name << " " << callId;
            }
        }
        EXPECT_EQ(kCount, static_cast<int>(finals.size())) << kind.name << ": every request answered";
        EXPECT_EQ(kCount, statuses[kind.accepted] + statuses[503]) << kind.name << ": only taken or refused";
        EXPECT_GT(statuses[kind.accepted], 0) << kind.name;
        EXPECT_TRUE(answersOptions()) << "after the " << kind.name << " flood";
        peakKb = std::max(peakKb, test::peakResidentKb(m_pid));
        EXPECT_LT(peakKb, kResidentLimitKb) << kind.name;
        std::printf("[ figures  ] %s flood: %d taken, %d refused, resident %ld kB at most\n", kind.name,
                    statuses[kind.accepted], statuses[503], peakKb);
        kill(m_pid, SIGTERM);
        EXPECT_EQ(0, m_program.waitFor(m_pid, 15s)) << kind.name;
    }
}

// 1,100 connections left open, 100 of them in the middle of a request, against a limit of 1,024
// descriptors: a new connection is still answered, and once they are gone the program rests.
TEST_P(HostilePeersTest, IdleAndHalfSentConnectionsCannotFreezeTheTransport) {
    if (!tcp())
        GTEST_SKIP() << "connections are TCP's";
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_max < 1300)
        GTEST_SKIP() << "this process may not hold 1,300 descriptors";
    const rlimit raised{own.rlim_max, own.rlim_max};
    setrlimit(RLIMIT_NOFILE, &raised);
    startProgram(1024);

    const sockaddr_in agent = [&] {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(m_port));
        return address;
    }();
    std::vector<int> held;
    const std::string halfSent = "OPTIONS sip:alice@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:9;branch=z9";
    for (int i = 0; i < 1100; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        connect(fd, reinterpret_cast<const sockaddr*>(&agent), sizeof agent);
        held.push_back(fd);
        if (i % 11 == 0) {
            std::this_thread::sleep_for(1ms);
            send(fd, halfSent.data(), halfSent.size(), MSG_NOSIGNAL);
        }
    }
    std::this_thread::sleep_for(500ms);
    const auto begin = Clock::now();
    EXPECT_TRUE(answersOptions(1000ms)) << "with 1,100 connections held";
    const auto answered = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin);
    EXPECT_TRUE(m_program.running(m_pid));
    for (int fd : held)
        close(fd);

    std::this_thread::sleep_for(1s);
    const long before = test::cpuTicks(m_pid);
    std::this_thread::sleep_for(3s);
    const long used = test::cpuTicks(m_pid) - before;
    // The 100 ms pump costs a fraction of a tick a second; a busy loop would cost 300.
    EXPECT_LE(used, 15) << "clock ticks in 3 s once the connections are gone";
    std::printf("[ figures  ] OPTIONS answered in %lld us with 1,100 connections held; %ld ticks in 3 s after\n",
                static_cast<long long>(answered.count()), used);

    // A request that never ends is not waited for without end.
    test::RawPeer slow(true, m_port);
    ASSERT_TRUE(slow.send(halfSent));
    const auto sent = Clock::now();
    EXPECT_FALSE(slow.receive(30s)) << "a half-sent request gets no answer";
    const auto closedAfter = Clock::now() - sent;
    EXPECT_LT(closedAfter, 30s) << "the program closes a half-sent request's connection";
    EXPECT_GT(closedAfter, 5s) << "and not at once";
    EXPECT_TRUE(answersOptions());
}

INSTANTIATE_TEST_SUITE_P(Transports, HostilePeersTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "TCP" : "UDP"; });

// ---- the termination signals while the user is in a dialog ----

class SignalInDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (test::haveCommand("Xvfb") && test::haveCommand("xdotool"))
            s_x = std::make_unique<test::XServer>();
    }
    static void TearDownTestSuite() { s_x.reset(); }

    void SetUp() override {
        if (!s_x || s_x->display().empty())
            GTEST_SKIP() << "needs Xvfb and xdotool";
    }

    std::string xdotool(const std::string& arguments) const {
        return test::capture("xdotool " + arguments);
    }
    // The id of a viewable window whose whole title is `title`, "" when there is none.
    std::string window(const std::string& title) const {
        const std::string ids = xdotool("search --onlyvisible --name '^" + title + "$'");
        return ids.substr(0, ids.find('\n'));
    }

    // Signs in at a SIPp registrar, opens what `open` opens, sends `signal`, and checks that the bindings
    // are removed and the program ends within the bound.
    void endsWithin2sAfter(int signal, const std::function<void()>& open) {
        test::Sipp registrar({.scenario = test::registrarScenario()});
        registrar.start();
        m_program.writeSettings({{"Protocol", "0"},
                                 {"OutboundProxy", "1"},
                                 {"Server", "127.0.0.1:" + std::to_string(registrar.port())},
                                 {"SigninName", "alice@example.test"},
                                 {"Password", "x"},
                                 {"LocalPort", std::to_string(test::freePort())}});
        setenv("DISPLAY", s_x->display().c_str(), 1);
        const pid_t pid = m_program.start({.display = s_x->display()});
        ASSERT_TRUE(eventually([&] { return registrar.requests("REGISTER").size() == 1; }, 10s));
        ASSERT_TRUE(eventually([&] { return !window("Vantorell Chimely 1.1").empty(); }, 10s));
        open();

        const auto sent = Clock::now();
        kill(pid, signal);
        const int status = m_program.waitFor(pid, 5s);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
        EXPECT_EQ(0, status) << "still running 5 s after the signal, or ended by it";
        EXPECT_LT(took, 2000ms);
        std::printf("[ figures  ] ended %lld ms after signal %d\n", static_cast<long long>(took.count()), signal);
        ASSERT_TRUE(eventually([&] { return registrar.requests("REGISTER").size() == 2; }, 3s));
        EXPECT_EQ("0", registrar.requests("REGISTER")[1].header("Expires"));
    }

    // Types `keys` into the window through XTEST, as a user would, until `done` holds (three tries).
    bool typeInto(const std::string& id, const std::string& keys, const std::function<bool()>& done) {
        for (int attempt = 0; attempt < 3 && !done(); ++attempt) {
            xdotool("windowfocus --sync " + id);
            xdotool("key " + keys);
            eventually(done, 2s);
        }
        return done();
    }

    void openPreferences() {
        ASSERT_TRUE(typeInto(window("Vantorell Chimely 1.1"), "ctrl+comma",
                             [&] { return !window("Preferences").empty(); }))
            << "Preferences did not open";
    }

    static std::unique_ptr<test::XServer> s_x;
    test::Program m_program;
};

std::unique_ptr<test::XServer> SignalInDialogTest::s_x;

TEST_F(SignalInDialogTest, TermWithPreferencesOpen) {
    endsWithin2sAfter(SIGTERM, [&] { openPreferences(); });
}

TEST_F(SignalInDialogTest, HangUpWithTheReconnectQuestionOpen) {
    endsWithin2sAfter(SIGHUP, [&] {
        openPreferences();
        ASSERT_TRUE(typeInto(window("Preferences"), "Return", [&] { return !window("Vantorell Chimely").empty(); }))
            << "the re-connect question did not open";
    });
}

TEST_F(SignalInDialogTest, InterruptWithTheWindowMenuOpen) {
    endsWithin2sAfter(SIGINT, [&] {
        const std::string main = window("Vantorell Chimely 1.1");
        auto windows = [&] {
            const std::string ids = xdotool("search --onlyvisible --classname chimely");
            return std::count(ids.begin(), ids.end(), '\n');
        };
        const auto before = windows();
        xdotool("mousemove --window " + main + " 40 40 click 3");
        ASSERT_TRUE(eventually([&] { return windows() > before; }, 5s)) << "the window's menu did not open";
    });
}

}  // namespace
