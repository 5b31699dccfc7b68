// SPDX-License-Identifier: MIT
// The program as a process when the session ends: a termination signal (what a log-out or shut-down
// sends) makes it remove its registration and end, as Exit would, within 2 s. The program runs offscreen
// with its own configuration, runtime directory and port, signed in at a SIPp registrar, or at Kamailio
// whose nonce has expired by the time the signal comes, on 127.0.0.1 of a network namespace of the test's
// own.
#include "support/Kamailio.h"
#include "support/PrivateNetwork.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

const bool kPrivateNetwork = test::enterPrivateNetwork();

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return done();
}

// The program, offscreen, with `settings` as its [Settings] and everything else of its own under `home`.
pid_t startProgram(const QTemporaryDir& home, const std::string& settings) {
    const std::string config = home.filePath("config").toStdString();
    const std::string runtime = home.filePath("runtime").toStdString();
    std::filesystem::create_directories(config + "/Vantorell");
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    std::ofstream(config + "/Vantorell/chimely.conf")
        << "[Settings]\n" << settings << "LocalPort=" << test::freePort() << "\n";
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("HOME", home.path().toLocal8Bit().constData(), 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        execl(CHIMELY_BINARY, "chimely", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// SIGTERM, then how the program ended within `limit`: its exit status, or -1 (it was killed then).
int terminate(pid_t pid, std::chrono::milliseconds limit) {
    kill(pid, SIGTERM);
    int status = 0;
    bool reaped = false;
    if (!waitFor([&] { return reaped = reaped || waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SessionEnd, TerminationSignalRemovesTheRegistrationAndEndsTheProgram) {
    test::Sipp sipp({.scenario = test::registrarScenario()});
    sipp.start();
    QTemporaryDir home;
    const pid_t pid = startProgram(home, "Protocol=0\nOutboundProxy=1\nSigninName=alice@example.test\n"
                                         "Password=x\nServer=127.0.0.1:" +
                                             std::to_string(sipp.port()) + "\n");
    ASSERT_TRUE(waitFor([&] { return sipp.requests("REGISTER").size() == 1; }, 10s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(0, terminate(pid, 12s));
    ASSERT_TRUE(waitFor([&] { return sipp.requests("REGISTER").size() == 2; }, 3s));
    EXPECT_EQ("*", sipp.requests("REGISTER")[1].header("Contact"));
    EXPECT_EQ("0", sipp.requests("REGISTER")[1].header("Expires"));
}

// The nonce of the last answer has expired: the removal is challenged, answered, and seen through before
// the program ends, within the signal's 2 s.
TEST(SessionEnd, TerminationSignalAfterTheNonceExpiredStillRemovesTheBinding) {
    CHIMELY_REQUIRE_PRIVATE_NETWORK();
    const test::SipUser alice{"alice", "example.test", "wonder:land"};
    test::Kamailio kamailio({alice}, test::Kamailio::Options{.nonceExpire = 2, .nonceCount = true});
    kamailio.start();
    QTemporaryDir home;
    const pid_t pid = startProgram(home, "Protocol=1\nOutboundProxy=1\nSigninName=" + alice.aor() +
                                             "\nPassword=" + alice.password + "\nServer=127.0.0.1:" +
                                             std::to_string(kamailio.port()) + "\n");
    ASSERT_TRUE(waitFor([&] { return kamailio.bindings(alice.aor()).size() == 1; }, 10s));
    std::this_thread::sleep_for(3s);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(0, terminate(pid, 4s));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
    EXPECT_TRUE(kamailio.bindings(alice.aor()).empty()) << kamailio.log();
}

}  // namespace
