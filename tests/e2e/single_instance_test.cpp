// SPDX-License-Identifier: MIT
// One instance per user. In process: the lock and the activation request, and the hidden start of the main
// window. Then the program itself, started as separate processes under a private X server with their own
// home, configuration and runtime directories: a minimised start keeps its window unmapped, a later start
// brings that window up and ends at once, a killed instance does not stop the next start, and a minimised
// start signs in. Start-up time and idle memory are printed, not checked.
#include "support/Sipp.h"

#include "app/ChimelyApp.h"
#include "platform/ProfileStore.h"
#include "platform/RegisteredMessages.h"
#include "platform/SingleInstance.h"
#include "res/Resource.h"
#include "ui/ChimelyDlg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const QString kMutex = QString::fromLatin1(kSingleInstanceMutexName);
const QString kMessage = QString::fromLatin1(kActivateMessageName);

// Runs the event loop until `done` holds or `timeout` has passed; returns `done`'s last answer.
bool processEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done() && Clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// ---- the lock and the request, in process ----

class SingleInstanceLockTest : public ::testing::Test {
protected:
    std::unique_ptr<platform::SingleInstance> instance() {
        return std::make_unique<platform::SingleInstance>(m_dir.path(), kMutex, kMessage);
    }

    QTemporaryDir m_dir;
};

TEST_F(SingleInstanceLockTest, LaterStartsAreRefusedAndEachRequestReachesTheFirst) {
    auto first = instance();
    ASSERT_EQ(platform::SingleInstance::Result::First, first->Create());
    EXPECT_TRUE(first->IsListening());
    int activations = 0;
    first->SetActivationHandler([&] { ++activations; });

    for (int start = 1; start <= 2; ++start) {
        auto later = instance();
        EXPECT_EQ(platform::SingleInstance::Result::AlreadyRunning, later->Create());
        EXPECT_TRUE(later->PostActivate());
        EXPECT_TRUE(processEventsUntil([&] { return activations == start; }, 2s)) << activations;
    }
    EXPECT_TRUE(QFile::exists(first->LockFileName()));
}

TEST_F(SingleInstanceLockTest, OnlyTheActivationRequestActivates) {
    auto first = instance();
    ASSERT_EQ(platform::SingleInstance::Result::First, first->Create());
    int activations = 0;
    first->SetActivationHandler([&] { ++activations; });

    auto send = [&](const std::vector<QByteArray>& pieces) {
        QLocalSocket client;
        client.connectToServer(first->ServerName());
        ASSERT_TRUE(client.waitForConnected(1000));
        for (const QByteArray& piece : pieces) {
            client.write(piece);
            client.waitForBytesWritten(1000);
            processEventsUntil([] { return false; }, 50ms);
        }
        client.disconnectFromServer();
    };
    send({"ACTIVATE"});
    send({"activate now"});
    send({QByteArray(1 << 20, 'a')});
    processEventsUntil([] { return false; }, 300ms);
    EXPECT_EQ(0, activations);

    // A request that arrives in pieces still counts, once.
    send({"acti", "vate"});
    EXPECT_TRUE(processEventsUntil([&] { return activations == 1; }, 2s));
    processEventsUntil([] { return false; }, 200ms);
    EXPECT_EQ(1, activations);
}

// Age alone never makes a lock stale: an instance that has been running for long keeps its lock, also
// where the file system does not keep the lock file's own lock (here: a lock file written by hand for this
// live process, an hour old).
TEST_F(SingleInstanceLockTest, LiveInstanceKeepsItsLockHoweverOldTheLockIs) {
    const QString path = instance()->LockFileName();
    QByteArray record;
    {
        QLockFile probe(path);
        ASSERT_TRUE(probe.tryLock(0));
        QFile written(path);
        ASSERT_TRUE(written.open(QIODevice::ReadOnly));
        record = written.readAll();
    }
    QFile lock(path);
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.write(record);
    lock.flush();
    ASSERT_TRUE(
        lock.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-3600), QFileDevice::FileModificationTime));
    lock.close();

    EXPECT_EQ(platform::SingleInstance::Result::AlreadyRunning, instance()->Create());
    EXPECT_TRUE(QFile::exists(path));
}

TEST_F(SingleInstanceLockTest, NoUsableDirectoryEndsTheStartWithoutAnInstance) {
    for (const QString& directory : {QString(), m_dir.filePath(QStringLiteral("missing"))}) {
        SCOPED_TRACE(directory.toStdString());
        platform::SingleInstance start(directory, kMutex, kMessage);
        EXPECT_EQ(platform::SingleInstance::Result::Failed, start.Create());
        EXPECT_FALSE(start.IsListening());
    }
}

// ---- the hidden start of the main window, in process ----

TEST(HiddenStartTest, NoShowSucceedsWhileInTrayAndTheActivationMessageBringsTheWindowUp) {
    QTemporaryDir dir;
    platform::UseProfileFile(dir.filePath(QStringLiteral("chimely.conf")));
    EXPECT_GE(s_uActivateMsg, platform::kFirstRegisteredMessage);
    EXPECT_EQ(s_uActivateMsg, platform::RegisterWindowMessage("c2c95c46-4c9f-406a-9eb1-72223c43fe83"));
    EXPECT_NE(s_uActivateMsg, platform::RegisterWindowMessage("TaskbarCreated"));

    CChimelyDlg dialog(true);
    dialog.show();
    dialog.showNormal();
    dialog.setVisible(true);
    EXPECT_FALSE(dialog.isVisible());

    EXPECT_EQ(0, dialog.SendMessage(s_uActivateMsg));
    EXPECT_FALSE(dialog.m_bInTray);
    EXPECT_TRUE(dialog.isVisible());

    dialog.HideWindow();
    EXPECT_TRUE(dialog.m_bInTray);
    dialog.show();
    EXPECT_FALSE(dialog.isVisible());
    dialog.PostMessage(s_uActivateMsg);
    EXPECT_TRUE(processEventsUntil([&] { return dialog.isVisible(); }, 2s));
}

// ---- the program, as separate processes under a private X server ----

// Output of a shell command (bounded by `timeout`, stderr dropped).
std::string capture(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(("timeout 5 " + command + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

bool haveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Waits up to `timeout` for `pid` to end; its exit status, or -1 while it still runs.
int waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0)
            return -2;
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(2ms);
    }
}

void endProcess(pid_t pid) {
    kill(pid, SIGTERM);
    if (waitForExit(pid, 3s) == -1) {
        kill(pid, SIGKILL);
        waitForExit(pid, 3s);
    }
}

// An Xvfb of the tests' own on a display it picks itself.
class XServer {
public:
    XServer() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 3);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                   "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        pollfd readable{fds[0], POLLIN, 0};
        const auto deadline = Clock::now() + 10s;
        while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
            if (poll(&readable, 1, 100) <= 0)
                continue;
            char c;
            if (read(fds[0], &c, 1) != 1)
                break;
            number += c;
        }
        close(fds[0]);
        if (number.find('\n') != std::string::npos)
            m_display = ":" + number.substr(0, number.find('\n'));
    }
    ~XServer() {
        if (m_pid > 0)
            endProcess(m_pid);
    }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":<n>", or empty when the server did not come up.
    const std::string& display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// A UDP socket that stands for a registrar which never answers: the REGISTER arriving there shows that the
// agent is up.
class Sink {
public:
    Sink() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
    }
    ~Sink() { close(m_fd); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    int port() const { return m_port; }

    // Whether a REGISTER arrives within `timeout`.
    bool waitForRegister(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            pollfd readable{m_fd, POLLIN, 0};
            if (poll(&readable, 1, 20) <= 0)
                continue;
            char buffer[65536];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n > 9 && std::string(buffer, 9) == "REGISTER ")
                return true;
        }
        return false;
    }

    void drain() {
        char buffer[65536];
        while (recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

private:
    int m_fd;
    int m_port = 0;
};

class ProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!haveCommand("Xvfb") || !haveCommand("xwininfo") || !haveCommand("xprop"))
            return;
        s_x = std::make_unique<XServer>();
        if (s_x->display().empty())
            s_x.reset();
    }
    static void TearDownTestSuite() { s_x.reset(); }

    void SetUp() override {
        if (!s_x)
            GTEST_SKIP() << "no X server: Xvfb, xwininfo and xprop are needed";
        ASSERT_TRUE(m_dir.isValid());
        for (const char* sub : {"home", "config/Vantorell", "runtime"})
            ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QString::fromLatin1(sub))));
        ASSERT_EQ(0, chmod(path("runtime").c_str(), 0700));
        writeSettings(m_sink.port(), "secret");
    }

    void TearDown() override {
        for (pid_t pid : m_running)
            endProcess(pid);
    }

    std::string path(const std::string& sub) const {
        return m_dir.filePath(QString::fromStdString(sub)).toStdString();
    }

    // The settings the program reads at start: its own free port, and signing in through `serverPort` on
    // this machine, so that no test touches the default port or any other registrar.
    void writeSettings(int serverPort, const std::string& password) {
        std::ofstream(path("config/Vantorell/chimely.conf"))
            << "[Settings]\nProtocol=0\nOutboundProxy=1\nServer=127.0.0.1:" << serverPort
            << "\nSigninName=alice@example.test\nPassword=" << password << "\nLocalPort=" << test::freePort()
            << "\n";
    }

    // Starts the program with `argument` (none when empty), its environment the tests' own.
    pid_t start(const std::string& argument = "") {
        static const std::set<std::string> replaced = {
            "DISPLAY",         "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",          "HOME",
            "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER"};
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (!replaced.count(text.substr(0, text.find('='))))
                environment.push_back(text);
        }
        environment.push_back("DISPLAY=" + s_x->display());
        environment.push_back("QT_QPA_PLATFORM=xcb");
        environment.push_back("HOME=" + path("home"));
        environment.push_back("XDG_CONFIG_HOME=" + path("config"));
        environment.push_back("XDG_RUNTIME_DIR=" + path("runtime"));
        std::vector<char*> envp;
        for (std::string& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = CHIMELY_BINARY;
        std::string arg = argument;
        std::vector<char*> argv = {program.data()};
        if (!arg.empty())
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string log = path("chimely-" + std::to_string(++m_starts) + ".log");

        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            close_range(3, ~0U, 0);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        m_running.insert(pid);
        return pid;
    }

    // Waits up to `timeout` for a process this test started to end; its exit status, or -1 while it runs.
    // An ended process is forgotten at once, so that its id, once reused, is never signalled.
    int waitFor(pid_t pid, std::chrono::milliseconds timeout) {
        const int status = waitForExit(pid, timeout);
        if (status != -1)
            m_running.erase(pid);
        return status;
    }

    bool running(pid_t pid) { return waitFor(pid, 0ms) == -1; }

    // The processes whose main window is viewable on the test display, one entry per window.
    std::vector<pid_t> viewableMainWindows() const {
        const std::string display = " -display " + s_x->display();
        std::vector<pid_t> owners;
        std::istringstream tree(capture("xwininfo" + display + " -root -tree"));
        const std::string title = std::string("\"") + kMainDialogCaption + "\"";
        for (std::string line; std::getline(tree, line);) {
            if (line.find(title) == std::string::npos)
                continue;
            std::istringstream words(line);
            std::string id;
            words >> id;
            if (capture("xwininfo" + display + " -id " + id).find("Map State: IsViewable") ==
                std::string::npos)
                continue;
            const std::string pid = capture("xprop" + display + " -id " + id + " _NET_WM_PID");
            const auto equals = pid.find("= ");
            owners.push_back(equals == std::string::npos ? 0 : std::atoi(pid.c_str() + equals + 2));
        }
        return owners;
    }

    // Whether the main window of `pid` (and no other) becomes viewable within `timeout`.
    bool waitForWindowOf(pid_t pid, std::chrono::milliseconds timeout) const {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (viewableMainWindows() == std::vector<pid_t>{pid})
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Whether no main window is viewable at any check during `period`.
    bool noWindowFor(std::chrono::milliseconds period) const {
        const auto deadline = Clock::now() + period;
        do {
            if (!viewableMainWindows().empty())
                return false;
            std::this_thread::sleep_for(50ms);
        } while (Clock::now() < deadline);
        return true;
    }

    // A later start: it must end by itself, with status 0; returns how long it ran.
    std::chrono::milliseconds startLater() {
        const auto begin = Clock::now();
        const pid_t later = start();
        const int status = waitFor(later, 5s);
        const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
        EXPECT_EQ(0, status) << "a later start did not end by itself";
        return ran;
    }

    static std::unique_ptr<XServer> s_x;
    QTemporaryDir m_dir;
    Sink m_sink;
    std::set<pid_t> m_running;
    int m_starts = 0;
};

std::unique_ptr<XServer> ProgramTest::s_x;

TEST_F(ProgramTest, MinimisedStartShowsNoWindowUntilALaterStartBringsItUp) {
    const pid_t first = start("--minimized");
    ASSERT_TRUE(m_sink.waitForRegister(10s)) << "the first instance never tried to sign in";
    EXPECT_TRUE(noWindowFor(1s));
    ASSERT_TRUE(running(first));

    const auto ran = startLater();
    std::cout << "[ measure  ] a later start ended after " << ran.count() << " ms\n";
    EXPECT_TRUE(waitForWindowOf(first, 5s));
    EXPECT_TRUE(running(first));

    // Once up, a further start leaves it the one window.
    startLater();
    EXPECT_TRUE(waitForWindowOf(first, 1s));
}

TEST_F(ProgramTest, NormalStartShowsItsWindow) {
    const auto begin = Clock::now();
    const pid_t first = start();
    ASSERT_TRUE(waitForWindowOf(first, 15s));
    const auto startUp = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    std::cout << "[ measure  ] start-up, process start to window viewable: " << startUp.count() << " ms\n";
    RecordProperty("startup_ms", static_cast<int>(startUp.count()));
}

TEST_F(ProgramTest, KilledInstanceLeavesAStaleLockThatDoesNotStopTheNextStart) {
    const pid_t killed = start("--minimized");
    ASSERT_TRUE(m_sink.waitForRegister(10s));
    kill(killed, SIGKILL);
    ASSERT_EQ(128 + SIGKILL, waitFor(killed, 5s));
    const std::string runtime = path("runtime") + "/";
    ASSERT_TRUE(QFile::exists(QString::fromStdString(runtime + kSingleInstanceMutexName + ".lock")));
    ASSERT_TRUE(QFile::exists(QString::fromStdString(runtime + kActivateMessageName)));

    m_sink.drain();
    const pid_t next = start("--minimized");
    ASSERT_TRUE(m_sink.waitForRegister(10s)) << "the next start did not run as the first instance";
    EXPECT_TRUE(running(next));
    // It listens on the socket the killed one left behind.
    startLater();
    EXPECT_TRUE(waitForWindowOf(next, 5s));
}

// Signing in takes the pump: the digest answer to the 401 is computed on the user-interface thread, so the
// second REGISTER shows that the modal loop runs while the window stays hidden.
//
//   agent                 registrar
//     | REGISTER             |
//     |--------------------->|
//     |        401           |
//     |<---------------------|
//     | REGISTER + digest    |
//     |--------------------->|
//     |        200           |
//     |<---------------------|
TEST_F(ProgramTest, MinimisedStartSignsInWithoutAWindow) {
    const std::string response =
        "[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]SIPpTag01[call_number]\n[last_Call-ID:]\n"
        "[last_CSeq:]\n";
    test::Sipp registrar(
        {.scenario =
             "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"registrar\">\n"
             "<recv request=\"REGISTER\"/>\n<send><![CDATA[\nSIP/2.0 401 Unauthorized\n" +
             response +
             "WWW-Authenticate: Digest realm=\"example.test\", nonce=\"[pid]n[call_number]\"\n"
             "Content-Length: 0\n\n]]></send>\n"
             "<recv request=\"REGISTER\" next=\"good\" test=\"ok\"><action><verifyauth "
             "assign_to=\"ok\" username=\"alice@example.test\" password=\"secret\"/></action></recv>\n"
             "<send><![CDATA[\nSIP/2.0 403 Forbidden\n" +
             response + "Content-Length: 0\n\n]]></send>\n<nop next=\"done\"/>\n<label id=\"good\"/>\n" +
             "<send><![CDATA[\nSIP/2.0 200 OK\n" + response +
             "[last_Contact:];expires=1800\nContent-Length: 0\n\n]]></send>\n<label id=\"done\"/>\n"
             "</scenario>\n"});
    registrar.start();
    writeSettings(registrar.port(), "secret");

    const pid_t first = start("-minimized");
    ASSERT_TRUE(registrar.wait(15s)) << registrar.errors();
    EXPECT_EQ(0, registrar.exitCode()) << registrar.errors();
    int registers = 0;
    int lastStatus = 0;
    for (const test::TracedMessage& message : registrar.messages()) {
        registers += !message.sent && message.isRequest("REGISTER");
        if (message.sent)
            lastStatus = message.status();
    }
    EXPECT_EQ(2, registers);
    EXPECT_EQ(200, lastStatus) << "the digest answer was not accepted";

    // Idle after signing in; the status panel's "Connected" goes after 3 s.
    EXPECT_TRUE(noWindowFor(4s));
    ASSERT_TRUE(running(first));
    std::ifstream status("/proc/" + std::to_string(first) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0 || line.rfind("VmHWM:", 0) == 0)
            std::cout << "[ measure  ] idle after sign-in, minimised: " << line << "\n";
    }
}

}  // namespace
