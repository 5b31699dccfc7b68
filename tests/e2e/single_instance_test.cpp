// SPDX-License-Identifier: MIT
// One instance per user. In process: the lock and the activation request, and the hidden start of the main
// window. Then the program itself, started as separate processes under a private X server with their own
// home, configuration and runtime directories: a minimised start keeps its window unmapped, a later start
// brings that window up and ends at once, a killed instance does not stop the next start, and a minimised
// start signs in. Start-up time and idle memory are printed, not checked.
#include "support/Program.h"
#include "support/Sipp.h"

#include "app/ChimelyApp.h"
#include "platform/ProfileStore.h"
#include "platform/RegisteredMessages.h"
#include "platform/SingleInstance.h"
#include "res/Resource.h"
#include "ui/ChimelyDlg.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::capture;
using test::haveCommand;
using test::XServer;

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

// Silent local clients cannot crowd the request out: beyond a few held connections the oldest go, and the
// socket itself is the user's alone.
TEST_F(SingleInstanceLockTest, SilentClientsNeitherPileUpNorBlockTheRequest) {
    auto first = instance();
    ASSERT_EQ(platform::SingleInstance::Result::First, first->Create());
    int activations = 0;
    first->SetActivationHandler([&] { ++activations; });
    struct stat status {};
    ASSERT_EQ(0, stat(QFile::encodeName(first->ServerName()).constData(), &status));
    EXPECT_EQ(0600u, status.st_mode & 0777u);

    std::vector<std::unique_ptr<QLocalSocket>> silent;
    for (int i = 0; i < 40; ++i) {
        silent.push_back(std::make_unique<QLocalSocket>());
        silent.back()->connectToServer(first->ServerName());
        ASSERT_TRUE(silent.back()->waitForConnected(1000)) << i;
        processEventsUntil([] { return false; }, 2ms);
    }
    // The program ends all but its newest few connections.
    EXPECT_TRUE(processEventsUntil(
        [&] {
            return std::count_if(silent.begin(), silent.end(), [](const auto& s) {
                       return s->state() == QLocalSocket::ConnectedState;
                   }) <= 8;
        },
        2s));
    auto later = instance();
    EXPECT_TRUE(later->PostActivate());
    EXPECT_TRUE(processEventsUntil([&] { return activations == 1; }, 2s));
}

// With no descriptor to be had the waiting connection cannot be accepted; the program must neither spin on
// its listener meanwhile nor lose the request once descriptors are free again.
TEST_F(SingleInstanceLockTest, NoFreeDescriptorNeitherSpinsNorLosesTheRequest) {
    auto first = instance();
    ASSERT_EQ(platform::SingleInstance::Result::First, first->Create());
    int activations = 0;
    first->SetActivationHandler([&] { ++activations; });

    const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    rlimit saved{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
    std::vector<int> filler;
    for (int fd; (fd = dup(client)) >= 0;)
        filler.push_back(fd);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(first->ServerName());
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    ASSERT_EQ(0, connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address));
    ASSERT_EQ(8, write(client, "activate", 8));
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    {
        // A real wait of the loop, as the program's: it sleeps unless something is ready.
        QEventLoop loop;
        QTimer::singleShot(500, &loop, &QEventLoop::quit);
        loop.exec();
    }
    getrusage(RUSAGE_THREAD, &after);
    const auto cpuUs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    const long spentUs = cpuUs(after) - cpuUs(before);

    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(0, activations);
    EXPECT_LT(spentUs, 200000) << "the loop spun on the listener";
    EXPECT_TRUE(processEventsUntil([&] { return activations == 1; }, 2s));
    close(client);
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
        writeSettings(m_sink.port(), "secret");
    }

    // The settings the program reads at start: its own free port, and signing in through `serverPort` on
    // this machine, so that no test touches the default port or any other registrar.
    void writeSettings(int serverPort, const std::string& password) {
        m_program.writeSettings({{"Protocol", "0"},
                                 {"OutboundProxy", "1"},
                                 {"Server", "127.0.0.1:" + std::to_string(serverPort)},
                                 {"SigninName", "alice@example.test"},
                                 {"Password", password},
                                 {"LocalPort", std::to_string(test::freePort())}});
    }

    std::string path(const std::string& sub) const { return m_program.path(sub); }

    // Starts the program with `argument` (none when empty) on the test display.
    pid_t start(const std::string& argument = "") {
        test::Program::Options options{.display = s_x->display()};
        if (!argument.empty())
            options.arguments.push_back(argument);
        return m_program.start(options);
    }

    int waitFor(pid_t pid, std::chrono::milliseconds timeout) { return m_program.waitFor(pid, timeout); }

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
    Sink m_sink;
    test::Program m_program;
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
