// SPDX-License-Identifier: MIT
// The program as a process when the session ends: a termination signal (what a log-out or shut-down
// sends) makes it remove its registration and end, as Exit would. The program runs offscreen with its
// own configuration, runtime directory and port, signed in at a SIPp registrar on 127.0.0.1.
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

TEST(SessionEnd, TerminationSignalRemovesTheRegistrationAndEndsTheProgram) {
    test::Sipp sipp({.scenario = test::registrarScenario()});
    sipp.start();
    QTemporaryDir home;
    const std::string config = home.filePath("config").toStdString();
    const std::string runtime = home.filePath("runtime").toStdString();
    std::filesystem::create_directories(config + "/Vantorell");
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    std::ofstream(config + "/Vantorell/chimely.conf")
        << "[Settings]\nProtocol=0\nOutboundProxy=1\nSigninName=alice@example.test\nPassword=x\n"
        << "Server=127.0.0.1:" << sipp.port() << "\nLocalPort=" << test::freePort() << "\n";

    const pid_t pid = fork();
    if (pid == 0) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("HOME", home.path().toLocal8Bit().constData(), 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        execl(CHIMELY_BINARY, "chimely", static_cast<char*>(nullptr));
        _exit(127);
    }
    auto waitFor = [](const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        return done();
    };
    ASSERT_TRUE(waitFor([&] { return sipp.requests("REGISTER").size() == 1; }, 10s));
    std::this_thread::sleep_for(300ms);

    kill(pid, SIGTERM);
    int status = 0;
    bool reaped = false;
    const bool ended = waitFor([&] { return reaped = reaped || waitpid(pid, &status, WNOHANG) == pid; }, 12s);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    ASSERT_TRUE(waitFor([&] { return sipp.requests("REGISTER").size() == 2; }, 3s));
    EXPECT_EQ("*", sipp.requests("REGISTER")[1].header("Contact"));
    EXPECT_EQ("0", sipp.requests("REGISTER")[1].header("Expires"));
}

}  // namespace
