// SPDX-License-Identifier: MIT
// The agent's set-up, pump and shutdown in the main window object, with its settings in a temporary
// store and SIPp peers on 127.0.0.1.
#include "support/Hub.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "platform/Kernel.h"
#include "platform/ProfileStore.h"
#include "ui/ChimelyDlg.h"

#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <gtest/gtest.h>

#include <filesystem>

using namespace std::chrono_literals;

namespace {

int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

// Holds a port the way another program would.
class HeldPort {
public:
    HeldPort(int type, int port) : m_fd(socket(AF_INET, type, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        EXPECT_EQ(0, bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
        if (type == SOCK_STREAM)
            listen(m_fd, 1);
    }
    ~HeldPort() { close(m_fd); }

private:
    int m_fd;
};

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        platform::UseProfileFile(m_dir.filePath("chimely.conf"));
        m_port = test::freePort();
    }

    void TearDown() override { platform::testing::SetTickCountOffset(0); }

    void store(int protocol) {
        platform::AppProfile().WriteProfileInt("Settings", "Protocol", protocol);
        platform::AppProfile().WriteProfileInt("Settings", "LocalPort", m_port);
    }

    QTemporaryDir m_dir;
    int m_port = 0;
};

TEST_F(AgentTest, TransportFollowsTheProtocolSettingAndListensOnTheLocalPort) {
    for (int protocol : {0, 1, 7}) {
        SCOPED_TRACE(protocol);
        m_port = test::freePort();
        store(protocol);
        CChimelyDlg dialog;
        ASSERT_EQ(std::nullopt, dialog.InitStack());
        const bool tcp = protocol != 0;
        test::Sipp peer({.scenario = test::requestScenario("OPTIONS", "", "", 200),
                         .tcp = tcp,
                         .remote = "127.0.0.1:" + std::to_string(m_port)});
        peer.start();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!peer.wait(0ms) && std::chrono::steady_clock::now() < deadline)
            dialog.ProcessDum();
        EXPECT_EQ(0, peer.exitCode()) << peer.errors();
        // One transport only: the other protocol's port stays free.
        EXPECT_TRUE(test::bindable(tcp ? SOCK_DGRAM : SOCK_STREAM, m_port));
        dialog.ShutdownStack();
    }
}

TEST_F(AgentTest, PortInUseIsReportedByNameAndTheAgentStaysUp) {
    store(0);
    HeldPort held(SOCK_DGRAM, m_port);
    CChimelyDlg dialog;
    const std::optional<std::string> error = dialog.InitStack();
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(std::string::npos, error->find("UDP port " + std::to_string(m_port))) << *error;
    EXPECT_NE(std::string::npos, error->find("in use")) << *error;
    EXPECT_FALSE(dialog.m_stack.isRunning());
    // Trying again leaves nothing behind: no descriptor (and, sanitized, no memory) per attempt.
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = descriptors();
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(error, dialog.InitStack());
    EXPECT_EQ(before, descriptors());

    // Nothing can go out, and nothing breaks for trying.
    dialog.m_dum.send(
        dialog.m_dum.makeRegistration(sip::NameAddr(sip::Uri(sip::Data("sip:alice@127.0.0.1")))));
    dialog.ProcessDum();
    const auto start = std::chrono::steady_clock::now();
    dialog.ShutdownStack();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// The window says which port it could not open, and signs nobody in.
TEST_F(AgentTest, PortInUseIsShownInTheStatusPanel) {
    test::Hub hub({.signin = "alice@example.test"});
    HeldPort held(SOCK_DGRAM, hub.port);
    hub.start();
    EXPECT_NE(std::string::npos,
              hub.status().find("UDP port " + std::to_string(hub.port) + " cannot be opened"))
        << hub.status();
    hub.waitFor(300ms);
    EXPECT_NE(std::string::npos, hub.status().find("cannot be opened"));
    EXPECT_FALSE(hub.dialog().IsTimerActive(kReconnectTimerId));
}

// Texts are answered in the stack's thread while nobody pumps; their events pile up, and one ProcessDum
// handles them all.
TEST_F(AgentTest, OnePumpHandlesEveryQueuedEvent) {
    store(0);
    platform::testing::MessageBoxDouble boxes;
    CChimelyDlg dialog;
    ASSERT_EQ(std::nullopt, dialog.InitStack());
    test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "hi", 200),
                     .remote = "127.0.0.1:" + std::to_string(m_port),
                     .calls = 5,
                     .extra = {"-r", "1000"}});
    peer.start();
    EXPECT_TRUE(peer.wait(5s));
    EXPECT_EQ(0, peer.exitCode()) << peer.errors();
    EXPECT_EQ(0u, boxes.openCount());
    dialog.ProcessDum();
    EXPECT_EQ(5u, boxes.openCount());
    dialog.ShutdownStack();
}

TEST_F(AgentTest, ShutdownWithNothingToWindDownEndsAtOnce) {
    store(0);
    const int threadsBefore = threadCount();
    CChimelyDlg dialog;
    ASSERT_EQ(std::nullopt, dialog.InitStack());
    EXPECT_GT(threadCount(), threadsBefore);
    const auto start = std::chrono::steady_clock::now();
    dialog.ShutdownStack();
    // Well short of the 10 s the shutdown waits at most for usages still in flight.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(1, dialog.m_bDumCanBeDeleted);
    // A joined thread may stay listed a moment while the kernel finishes its exit (seen under load).
    for (int look = 0; look < 50 && threadCount() != threadsBefore; ++look)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(threadsBefore, threadCount());
}

// A text the server never answers keeps the usage manager from finishing (a sign-in in flight would not:
// Disconnect ends it): the wait gives up after 10 s, even with the tick count wrapping round in the middle
// of it, and the stack thread is joined.
TEST_F(AgentTest, ShutdownGivesUpAfterTenSecondsWhenTheServerDoesNotAnswer) {
    store(0);
    test::Sipp silent({.scenario = "<?xml version=\"1.0\"?><scenario><recv request=\"MESSAGE\"/>"
                                   "<pause milliseconds=\"30000\"/></scenario>"});
    silent.start();
    const int threadsBefore = threadCount();
    CChimelyDlg dialog;
    ASSERT_EQ(std::nullopt, dialog.InitStack());
    dialog.m_dum.getMasterProfile()->setOutboundProxy(
        sip::Uri(sip::Data("sip:127.0.0.1:" + std::to_string(silent.port()))));
    dialog.m_dum.makePagerMessage(sip::NameAddr(sip::Uri(sip::Data("sip:bob@example.test"))))
        ->page(std::make_unique<sip::PlainContents>(sip::Data("still there?")));
    dialog.ProcessDum();

    platform::testing::SetTickCountOffset(0xFFFFFFFFu - platform::GetTickCount() - 3000);
    const auto start = std::chrono::steady_clock::now();
    dialog.ShutdownStack();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(elapsed, 10s);
    EXPECT_LT(elapsed, 13s);
    EXPECT_EQ(0, dialog.m_bDumCanBeDeleted);
    EXPECT_FALSE(dialog.m_stack.isRunning());
    EXPECT_EQ(threadsBefore, threadCount());
}

}  // namespace
