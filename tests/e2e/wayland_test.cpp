// SPDX-License-Identifier: MIT
// The program under Wayland: weston's headless compositor on a socket of the test's own, the real
// program on Qt's Wayland platform with no X display at all. It signs in at a SIPp registrar, maps its
// main window (an xdg toplevel with the program's title and app id, drawn into a buffer), keeps running
// without any X11 tray or connection, and a termination signal still removes the registration and ends
// it cleanly.
#include "support/ChildProcess.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "res/Resource.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return done();
}

class Wayland : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = test::makeTempDir("wayland");
        m_runtime = m_dir + "/runtime";
        std::filesystem::create_directories(m_runtime);
        std::filesystem::permissions(m_runtime, std::filesystem::perms::owner_all);
        m_socket = "chimely-test-" + std::to_string(getpid());
        // weston takes its runtime directory from the environment: `env` hands it over.
        m_weston.start(
            {"env", "XDG_RUNTIME_DIR=" + m_runtime, "weston", "--backend=headless-backend.so",
             "--socket=" + m_socket, "--no-config", "--idle-time=0", "--width=1024", "--height=768"},
            m_dir + "/weston.log");
        ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(m_runtime + "/" + m_socket); }, 10s))
            << "weston did not start:\n"
            << test::readTextFile(m_dir + "/weston.log");
    }

    void TearDown() override {
        if (m_program > 0) {
            kill(m_program, SIGKILL);
            waitpid(m_program, nullptr, 0);
        }
        m_weston.stop();
        if (HasFailure())
            std::cerr << "--- weston's log:\n" << test::readTextFile(m_dir + "/weston.log");
        test::removeTempDir(m_dir);
    }

    // The program on the compositor, its stderr (with the client side of the Wayland protocol) in a file.
    void startProgram(int registrarPort) {
        const std::string config = m_dir + "/config";
        std::filesystem::create_directories(config + "/Vantorell");
        std::ofstream(config + "/Vantorell/chimely.conf")
            << "[Settings]\nProtocol=0\nOutboundProxy=1\nSigninName=alice@example.test\nPassword=x\n"
            << "Server=127.0.0.1:" << registrarPort << "\nLocalPort=" << test::freePort() << "\n";
        const std::string output = m_dir + "/program.log";
        // A sanitized build's settings go on to the program: its environment is otherwise its own.
        std::vector<std::pair<std::string, std::string>> kept;
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
            if (const char* value = std::getenv(name))
                kept.emplace_back(name, value);
        m_program = fork();
        if (m_program == 0) {
            setpgid(0, 0);
            clearenv();
            for (const auto& [name, value] : kept)
                setenv(name.c_str(), value.c_str(), 1);
            setenv("PATH", "/usr/bin:/bin", 1);
            setenv("HOME", m_dir.c_str(), 1);
            setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1);
            setenv("WAYLAND_DISPLAY", m_socket.c_str(), 1);
            setenv("QT_QPA_PLATFORM", "wayland", 1);
            setenv("WAYLAND_DEBUG", "client", 1);
            std::freopen(output.c_str(), "w", stderr);
            std::freopen("/dev/null", "w", stdout);
            execl(CHIMELY_BINARY, "chimely", static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    std::string programLog() const { return test::readTextFile(m_dir + "/program.log"); }

    std::string m_dir;
    std::string m_runtime;
    std::string m_socket;
    test::ChildProcess m_weston;
    pid_t m_program = -1;
};

TEST_F(Wayland, ProgramShowsItsWindowSignsInAndEndsOnATerminationSignal) {
    test::Sipp sipp({.scenario = test::registrarScenario()});
    sipp.start();
    startProgram(sipp.port());

    ASSERT_TRUE(waitFor([&] { return sipp.requests("REGISTER").size() == 1; }, 15s)) << programLog();
    ASSERT_TRUE(waitFor(
        [&] {
            const std::string log = programLog();
            return log.find(".set_title(\"" + std::string(kMainDialogCaption) + "\")") != std::string::npos &&
                   log.find(".attach(wl_buffer@") != std::string::npos;
        },
        10s))
        << programLog();
    const std::string log = programLog();
    EXPECT_NE(std::string::npos, log.find(".set_app_id(\"com.vantorell.Chimely\")"));
    // Nothing of X11 was tried: Qt names its xcb plugin in any message about it.
    EXPECT_EQ(std::string::npos, log.find("xcb")) << log;

    // Still running a moment later: the tray and the window's set-up found no X11 and did not need it.
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(0, waitpid(m_program, nullptr, WNOHANG));

    kill(m_program, SIGTERM);
    int status = 0;
    bool reaped = false;
    EXPECT_TRUE(
        waitFor([&] { return reaped = reaped || waitpid(m_program, &status, WNOHANG) == m_program; }, 12s));
    if (reaped) {
        m_program = -1;
        EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        const std::string log = programLog();
        EXPECT_EQ(0, WIFEXITED(status) ? WEXITSTATUS(status) : -1)
            << "the program's last words: " << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    }
    ASSERT_TRUE(waitFor([&] { return sipp.requests("REGISTER").size() == 2; }, 3s));
    EXPECT_EQ("0", sipp.requests("REGISTER")[1].header("Expires"));
}

}  // namespace
