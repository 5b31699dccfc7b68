// SPDX-License-Identifier: MIT
// The tray icon on a real X11 notification area: an Xvfb display of the test's own with Debian's trayer
// as the tray. The icon's part runs in a child process on that display (the platform is chosen before the
// application object exists, and every other test runs offscreen). There, with real mouse input through
// XTEST: an icon whose tray is not there yet appears with Create's image once trayer starts; a click on it
// reaches HandleNotification and runs Show; a right click pops the menu with Show as its default and the
// chosen item comes back as a command; after trayer is restarted the icon comes back with its last image
// and still answers. Every wait is bounded; every process is started and ended here, by its id.
#include "support/EventLoop.h"

#include "platform/Shell.h"
#include "ui/TrayNotifyIcon.h"

#include <QtGui/qguiapplication_platform.h>
#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace platform;
using namespace std::chrono_literals;

namespace {

constexpr const char* kChildVariable = "CHIMELY_TRAY_X11_CHILD";
constexpr unsigned kIconId = 131;
constexpr UINT kCallback = WM_APP + 1;
constexpr UINT kShow = 32776;
constexpr UINT kPreferences = 32777;

// ---- processes ----

// Starts `argv` with `environment` added to this process's; its output goes to `output` when given.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
            const std::string& output = "") {
    std::vector<std::string> env = environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string item = *entry;
        const std::string name = item.substr(0, item.find('='));
        bool replaced = false;
        for (const std::string& own : environment)
            replaced |= own.rfind(name + "=", 0) == 0;
        if (!replaced)
            env.push_back(item);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& item : env)
        envp.push_back(const_cast<char*>(item.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for the process to end; its exit status, or -1 when it was still running after `limit` and was
// killed.
int finish(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Ends the process if it is still ours to end.
void stop(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        finish(pid, 5s);
    }
    pid = -1;
}

// An Xvfb server on a display number it picks itself; stopped with the object.
class VirtualDisplay {
public:
    VirtualDisplay() {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const std::string fd = std::to_string(fds[1]);
        const char* argv[] = {"Xvfb",    "-displayfd", fd.c_str(),    "-nolisten", "tcp",
                              "-screen", "0",          "1024x768x24", nullptr};
        if (posix_spawnp(&m_pid, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        pollfd readable{fds[0], POLLIN, 0};
        while (m_pid > 0 && poll(&readable, 1, 10000) > 0) {
            char c;
            if (read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        close(fds[0]);
        if (!number.empty())
            m_display = ":" + number;
    }
    ~VirtualDisplay() { stop(m_pid); }

    // Empty when no server could be started.
    const std::string& name() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// ---- the child: the icon on the display ----

bool runUntil(const std::function<bool()>& done, int limitMs = 10000) {
    return test::runUntil(done, limitMs);
}

// Counts the shell's "TaskbarCreated" reaching the icon's helper window.
class WatchedIcon : public CTrayNotifyIconEx {
public:
    int taskbarsCreated = 0;

protected:
    bool ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override {
        const bool handled = CTrayNotifyIconEx::ProcessWindowMessage(window, message, wParam, lParam, result);
        taskbarsCreated += handled;
        return handled;
    }
};

QIcon solid(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

// Where the shell says the program's icons are: the "TrayNotifyWnd" within "Shell_TrayWnd".
QRect iconRect() {
    Shell& shell = CurrentShell();
    const HWND tray = shell.FindWindow("Shell_TrayWnd", nullptr);
    QRect found;
    if (!tray)
        return found;
    shell.EnumChildWindows(tray, [&](HWND child) {
        RECT rect;
        if (shell.GetClassName(child, 256) == "TrayNotifyWnd" && shell.GetWindowRect(child, &rect))
            found = QRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
        return true;
    });
    return found;
}

QColor centreColour(const QRect& rect) {
    const QImage image = QGuiApplication::primaryScreen()
                             ->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height())
                             .toImage();
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

bool showsColour(Qt::GlobalColor colour) {
    const QRect rect = iconRect();
    return !rect.isEmpty() && centreColour(rect) == QColor(colour);
}

// Real mouse input, as the X server gets it from a device.
void click(const QPoint& at, uint8_t button) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_test_fake_input(connection, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root,
                        static_cast<int16_t>(at.x()), static_cast<int16_t>(at.y()), 0);
    xcb_test_fake_input(connection, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(connection, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(connection);
}

pid_t startTray() {
    return spawn({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request", "--height",
                  "24", "--SetDockType", "true", "--SetPartialStrut", "true"});
}

TEST(TrayX11Child, IconOnTheRealTray) {
    if (!std::getenv(kChildVariable))
        GTEST_SKIP() << "runs only inside TrayOnX11, on the display that test starts";
    ASSERT_EQ(QStringLiteral("xcb"), QGuiApplication::platformName());

    const QIcon red = solid(Qt::red);
    const QIcon blue = solid(Qt::blue);
    // The main window's part: the icon's messages go to the icon.
    WatchedIcon icon;
    test::RecordingDialog window;
    std::vector<LRESULT> results;
    window.handler = [&](UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
        if (message != kCallback)
            return 0;
        results.push_back(icon.HandleNotification(wParam, lParam));
        return results.back();
    };

    // Everything happens inside the window's modal loop, as in the program.
    pid_t trayer = -1;
    auto scenario = [&] {
        // No tray yet: the add fails and new images are refused.
        ASSERT_EQ(QRect(), iconRect());
        EXPECT_FALSE(icon.Create(&window, kIconId, "Chimely on X11", &red, kCallback, 0, true));
        EXPECT_FALSE(icon.SetIcon(&blue));

        // The tray announces itself: the icon appears with the image given to Create.
        trayer = startTray();
        ASSERT_GT(trayer, 0) << "trayer could not be started";
        EXPECT_TRUE(runUntil([&] { return showsColour(Qt::red); }))
            << "icon at " << iconRect().x() << "," << iconRect().y();
        EXPECT_EQ(1, icon.taskbarsCreated);

        // The notification area is where the icon is; the window flies there and back.
        RECT tray;
        LocateTrayRect(&tray);
        EXPECT_EQ(iconRect(), QRect(tray.left, tray.top, tray.right - tray.left, tray.bottom - tray.top));
        window.setGeometry(200, 150, 300, 250);
        window.show();
        HideToTray(&window, true);
        EXPECT_FALSE(window.isVisible());
        ShowFromTray(&window, true);
        EXPECT_TRUE(window.isVisible());

        // A left press is the icon's double-click: Show is sent to the window.
        click(iconRect().center(), 1);
        EXPECT_TRUE(runUntil([&] { return window.count(WM_COMMAND, kShow) == 1; }));
        EXPECT_EQ(1, window.count(kCallback, kIconId));
        EXPECT_EQ((std::vector<LRESULT>{1}), results);

        // A right press pops the menu at the cursor with Show as its default; the item chosen comes back.
        QMenu* menu = nullptr;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!popup || popup == menu)
                return;
            menu = popup;
            EXPECT_EQ(QStringLiteral("Show"),
                      popup->defaultAction() ? popup->defaultAction()->text() : QString());
            for (QAction* action : popup->actions())
                if (action->text() == QStringLiteral("Preferences..."))
                    QTimer::singleShot(100, [popup, action] {
                        click(popup->mapToGlobal(popup->actionGeometry(action).center()), 1);
                    });
        });
        poll.start(20);
        click(iconRect().center(), 3);
        EXPECT_TRUE(runUntil([&] { return window.count(WM_COMMAND, kPreferences) == 1; }));
        EXPECT_NE(nullptr, menu);
        poll.stop();
        runUntil([&] { return window.count(WM_NULL, 0) == 1; }, 2000);
        EXPECT_EQ(1, window.count(WM_NULL, 0));

        // A new image, then the tray goes away and comes back: the icon with its last image, still answering.
        EXPECT_TRUE(icon.SetIcon(&blue));
        EXPECT_TRUE(runUntil([&] { return showsColour(Qt::blue); }));
        stop(trayer);
        EXPECT_TRUE(runUntil([&] { return iconRect().isEmpty(); }));
        trayer = startTray();
        ASSERT_GT(trayer, 0);
        EXPECT_TRUE(runUntil([&] { return icon.taskbarsCreated == 2 && showsColour(Qt::blue); }));
        click(iconRect().center(), 1);
        EXPECT_TRUE(runUntil([&] { return window.count(WM_COMMAND, kShow) == 2; }));
    };
    QTimer::singleShot(0, &window, [&] {
        scenario();
        window.EndDialog(0);
    });
    window.DoModal();
    stop(trayer);
}

// ---- the test: a display of its own, and the child on it ----

TEST(TrayOnX11, IconAppearsAnswersClicksAndComesBackAfterTheTrayRestarts) {
    VirtualDisplay display;
    if (display.name().empty())
        GTEST_SKIP() << "no X server could be started (Xvfb from the package xvfb)";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string output = dir.filePath(QStringLiteral("child.log")).toStdString();
    // Under AddressSanitizer, the child on the display leaves libdbus's buffer behind (tests/lsan.supp).
    const char* leakOptions = std::getenv("LSAN_OPTIONS");
    const std::string lsan = std::string("LSAN_OPTIONS=") +
                             (leakOptions ? std::string(leakOptions) + ":" : "") +
                             "suppressions=" CHIMELY_TESTS_DIR "/lsan.supp";
    const pid_t child =
        spawn({"/proc/self/exe", "--gtest_filter=TrayX11Child.*"},
              {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(), std::string(kChildVariable) + "=1",
               "XDG_RUNTIME_DIR=" + dir.path().toStdString(), lsan},
              output);
    ASSERT_GT(child, 0);
    const int status = finish(child, 120s);
    std::ifstream log(output);
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_EQ(0, status) << text.str();
    EXPECT_NE(std::string::npos, text.str().find("[  PASSED  ] 1 test")) << text.str();
}

}  // namespace
