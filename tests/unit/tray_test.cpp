// SPDX-License-Identifier: MIT
// The tray icon's logic on the fake shell: what kind of shell it writes for, how Create fails and what
// each failure leaves, what every mouse message on the icon leads to, adding the icon again when the
// task bar is made anew, where the notification area is taken to be, and hiding and showing the window.
#include "support/EventLoop.h"

#include "platform/FakeShell.h"
#include "ui/TrayNotifyIcon.h"

#include <QPixmap>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace platform;

namespace {

constexpr unsigned kIconId = 131;
constexpr UINT kCallback = WM_APP + 1;
constexpr UINT kShow = 32776;
constexpr UINT kPreferences = 32777;
constexpr const char* kTip = "Vantorell Chimely 1.1";

using test::Message;
using NotifyWindow = test::RecordingDialog;

void runEvents() {
    test::runFor(20);
}

QIcon solid(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

class TrayTest : public ::testing::Test {
protected:
    // As the main window creates its icon: icon id 131, menu 0 (so menu 131), callback WM_APP + 1.
    bool create(CTrayNotifyIcon& icon, bool show = true) {
        return icon.Create(&window, kIconId, kTip, &disconnected, kCallback, 0, show);
    }
    const FakeShell::Icon* shown() const {
        auto found = shell.icons.find({window.GetSafeHwnd(), kIconId});
        return found == shell.icons.end() ? nullptr : &found->second;
    }
    // The calls made from now on.
    std::vector<std::string> callsSince(std::size_t mark) const {
        return {shell.calls.begin() + static_cast<std::ptrdiff_t>(mark), shell.calls.end()};
    }

    FakeShell shell;
    ScopedShell installed{shell};
    NotifyWindow window;
    QIcon disconnected = solid(Qt::red);
    QIcon connected = solid(Qt::green);
};

// ---- the kind of shell ----

TEST_F(TrayTest, RecordSizeAndVersionRequestFollowTheShellsCapability) {
    struct Case {
        const char* name;
        std::optional<DWORD> os;
        bool loaded;
        bool hasVersion;
        HRESULT result;
        DWORD shellMajor;
        DWORD size;
    };
    const Case cases[] = {
        {"system 6 whatever the library says", 6, true, true, 0, 4, 508},
        {"system 10", 10, false, false, 0, 0, 508},
        {"library 6.0 on an older system", 5, true, true, 0, 6, 504},
        {"library 6.0 when the system version cannot be had", std::nullopt, true, true, 0, 6, 504},
        {"library 5.0", 5, true, true, 0, 5, 488},
        {"library 4.7", 5, true, true, 0, 4, 88},
        {"library without DllGetVersion", 5, true, false, 0, 6, 88},
        {"DllGetVersion failing", 5, true, true, -2147467259L, 6, 88},
        {"library not loaded", 4, false, true, 0, 6, 88},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeShell scripted;
        ScopedShell use(scripted);
        scripted.osMajorVersion = c.os;
        scripted.shellLibraryLoaded = c.loaded;
        scripted.hasDllGetVersion = c.hasVersion;
        scripted.dllGetVersionResult = c.result;
        scripted.shellMajorVersion = c.shellMajor;
        {
            CTrayNotifyIcon icon;
            ASSERT_TRUE(create(icon));
        }
        ASSERT_FALSE(scripted.records.empty());
        for (const auto& [message, record] : scripted.records)
            EXPECT_EQ(c.size, record.cbSize) << message;
        const bool versionAsked = !scripted.Calls("Shell_NotifyIcon NIM_SETVERSION").empty();
        EXPECT_EQ(c.size != 88, versionAsked);
        for (const auto& [message, record] : scripted.records) {
            if (message == NIM_SETVERSION) {
                EXPECT_EQ(3u, record.uVersion);
            }
        }
        EXPECT_EQ(std::vector<std::string>{"GetVersionEx 148"}, scripted.Calls("GetVersionEx"));
        // The library is only asked when the system's version does not settle it, and only when it has
        // the function.
        const bool systemSettles = c.os && *c.os >= 6;
        EXPECT_EQ(systemSettles, scripted.Calls("GetModuleHandle").empty());
        const bool asked = !systemSettles && c.loaded && c.hasVersion;
        EXPECT_EQ(asked ? std::vector<std::string>{"DllGetVersion 20"} : std::vector<std::string>{},
                  scripted.Calls("DllGetVersion"));
    }
}

// ---- Create ----

TEST_F(TrayTest, CreateLoadsTheMenuMakesTheHelperWindowAndAddsTheIcon) {
    CTrayNotifyIcon icon;
    ASSERT_TRUE(create(icon));
    EXPECT_EQ((std::vector<std::string>{
                  "GetVersionEx 148",
                  "LoadMenu 131",
                  "GetSubMenu 0",
                  "SetMenuDefaultItem 0 by position",
                  "CreateWindowEx 0 TrayNotifyIconClass \"CTrayNotifyIcon Helper Window\" 13565952 default "
                  "position",
                  "Shell_NotifyIcon NIM_ADD",
                  "Shell_NotifyIcon NIM_SETVERSION",
              }),
              shell.calls);
    const FakeShell::Icon* added = shown();
    ASSERT_NE(nullptr, added);
    EXPECT_FALSE(added->hidden);
    EXPECT_EQ(NIF_MESSAGE | NIF_ICON | NIF_TIP, added->record.uFlags);
    EXPECT_EQ(kCallback, added->record.uCallbackMessage);
    EXPECT_EQ(&disconnected, added->record.hIcon);
    EXPECT_STREQ(kTip, added->record.szTip);
    EXPECT_FALSE(icon.IsHidden());
    EXPECT_EQ(1u, shell.HelperWindows().size());
}

TEST_F(TrayTest, HiddenIconIsAddedHiddenAndAnExplicitMenuIdIsUsed) {
    CTrayNotifyIcon icon;
    ASSERT_TRUE(icon.Create(&window, 7, kTip, &disconnected, kCallback, kIconId, false));
    EXPECT_EQ(std::vector<std::string>{"LoadMenu 131"}, shell.Calls("LoadMenu"));
    auto found = shell.icons.find({window.GetSafeHwnd(), 7});
    ASSERT_NE(shell.icons.end(), found);
    const FakeShell::Icon* added = &found->second;
    EXPECT_TRUE(added->hidden);
    EXPECT_EQ(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_STATE, added->record.uFlags);
    EXPECT_EQ(NIS_HIDDEN, added->record.dwState);
    EXPECT_EQ(NIS_HIDDEN, added->record.dwStateMask);
    EXPECT_TRUE(icon.IsHidden());
}

TEST_F(TrayTest, TooltipKeepsAtMost127BytesAndNeverHalfACharacter) {
    const std::string longTip(200, 'x');
    CTrayNotifyIcon icon;
    ASSERT_TRUE(icon.Create(&window, kIconId, longTip.c_str(), &disconnected, kCallback, 0, true));
    EXPECT_EQ(std::string(127, 'x'), shown()->record.szTip);

    // "é" is two bytes in UTF-8: the 127th byte would be the first of them.
    const std::string accented = std::string(126, 'a') + "\xC3\xA9" + "tail";
    CTrayNotifyIcon second;
    ASSERT_TRUE(
        second.Create(&window, kIconId + 1, accented.c_str(), &disconnected, kCallback, kIconId, true));
    EXPECT_EQ(std::string(126, 'a'), shell.icons.at({window.GetSafeHwnd(), kIconId + 1}).record.szTip);
}

// Each failing step ends Create at once: what came before it stays, nothing after it happens.
TEST_F(TrayTest, CreateFailingAtEachStepLeavesWhatWasDoneBeforeIt) {
    struct Case {
        const char* name;
        void (*script)(FakeShell&);
        bool helperMade;
        bool menuLoaded;
    };
    const Case cases[] = {
        {"no menu", [](FakeShell& s) { s.menuMissing = true; }, false, false},
        {"no popup", [](FakeShell& s) { s.popupMissing = true; }, false, true},
        {"no helper window", [](FakeShell& s) { s.createWindowFails = true; }, false, true},
        {"no task bar", [](FakeShell& s) { s.taskbarPresent = false; }, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeShell scripted;
        ScopedShell use(scripted);
        c.script(scripted);
        {
            CTrayNotifyIcon icon;
            EXPECT_FALSE(create(icon));
            EXPECT_EQ(c.helperMade ? 1u : 0u, scripted.HelperWindows().size());
            EXPECT_EQ(c.helperMade ? 1u : 0u, scripted.Calls("Shell_NotifyIcon NIM_ADD").size());
            EXPECT_TRUE(scripted.Calls("Shell_NotifyIcon NIM_SETVERSION").empty());
            EXPECT_TRUE(scripted.icons.empty());

            // Not added: a new image is refused without asking the shell, and nothing is deleted.
            const std::size_t before = scripted.calls.size();
            EXPECT_FALSE(icon.SetIcon(&connected));
            EXPECT_EQ(before, scripted.calls.size());
        }
        EXPECT_TRUE(scripted.Calls("Shell_NotifyIcon NIM_DELETE").empty());
        EXPECT_TRUE(scripted.HelperWindows().empty());
        EXPECT_EQ(c.menuLoaded ? 1u : 0u, scripted.Calls("DestroyMenu").size());
    }
}

TEST_F(TrayTest, DestroyingTheIconDeletesItClosesTheHelperAndDestroysTheMenu) {
    {
        CTrayNotifyIcon icon;
        ASSERT_TRUE(create(icon));
    }
    EXPECT_TRUE(shell.icons.empty());
    EXPECT_TRUE(shell.HelperWindows().empty());
    const std::vector<std::string> tail(shell.calls.end() - 4, shell.calls.end());
    EXPECT_EQ((std::vector<std::string>{"Shell_NotifyIcon NIM_DELETE", "SendMessage helper 16 0 0",
                                        "DefWindowProc helper 16", "DestroyMenu"}),
              tail);
}

// ---- mouse messages on the icon ----

TEST_F(TrayTest, RightButtonReleasedPopsTheMenuAtTheCursorWithShowAsDefault) {
    CTrayNotifyIcon icon;
    ASSERT_TRUE(create(icon));
    shell.menuChoice = kPreferences;
    const std::size_t mark = shell.calls.size();
    EXPECT_EQ(1, icon.HandleNotification(kIconId, WM_RBUTTONUP));
    EXPECT_EQ((std::vector<std::string>{"GetSubMenu 0", "GetCursorPos", "SetForegroundWindow dialog",
                                        "TrackPopupMenu 0 600,750 dialog", "PostMessage dialog 0 0 0"}),
              callsSince(mark));
    EXPECT_EQ((std::vector<std::string>{"Show", "-", "Home", "History...", "Preferences...", "-", "Exit"}),
              shell.shownMenu);
    EXPECT_EQ("Show", shell.shownMenuDefault);

    // The chosen command arrives as a command, then the message posted after the menu.
    runEvents();
    EXPECT_EQ((std::vector<Message>{{WM_COMMAND, kPreferences, 0}, {WM_NULL, 0, 0}}), window.messages);

    // Dismissed: no command.
    window.messages.clear();
    shell.menuChoice.reset();
    EXPECT_EQ(1, icon.HandleNotification(kIconId, WM_RBUTTONUP));
    runEvents();
    EXPECT_EQ((std::vector<Message>{{WM_NULL, 0, 0}}), window.messages);
}

TEST_F(TrayTest, LeftDoubleClickSendsTheDefaultCommandAtOnce) {
    CTrayNotifyIcon icon;
    ASSERT_TRUE(create(icon));
    const std::size_t mark = shell.calls.size();
    EXPECT_EQ(1, icon.HandleNotification(kIconId, WM_LBUTTONDBLCLK));
    // Sent, not posted: the window has it before the notification returns.
    EXPECT_EQ((std::vector<Message>{{WM_COMMAND, kShow, 0}}), window.messages);
    EXPECT_EQ((std::vector<std::string>{"SetForegroundWindow dialog", "GetSubMenu 0",
                                        "GetMenuDefaultItem by command 2", "SendMessage dialog 273 32776 0"}),
              callsSince(mark));
}

TEST_F(TrayTest, MenuWithoutDefaultItemStillBringsTheWindowForwardButSendsNothing) {
    shell.defaultItemRefused = true;
    CTrayNotifyIcon icon;
    ASSERT_TRUE(create(icon));
    const std::size_t mark = shell.calls.size();
    EXPECT_EQ(1, icon.HandleNotification(kIconId, WM_LBUTTONDBLCLK));
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(1u, shell.Calls("SetForegroundWindow dialog").size());
    EXPECT_EQ(mark + 3, shell.calls.size());
}

// Other messages of the icon do nothing and count as handled; another icon's messages are not handled.
TEST_F(TrayTest, OtherMessagesAndOtherIconsMessagesDoNothing) {
    for (bool ex : {false, true}) {
        SCOPED_TRACE(ex ? "CTrayNotifyIconEx" : "CTrayNotifyIcon");
        std::unique_ptr<CTrayNotifyIcon> icon =
            ex ? std::make_unique<CTrayNotifyIconEx>() : std::make_unique<CTrayNotifyIcon>();
        ASSERT_TRUE(create(*icon));
        const std::size_t mark = shell.calls.size();
        // NIN_SELECT (WM_USER) and WM_CONTEXTMENU are the shell's own notifications.
        for (UINT mouse :
             {WM_LBUTTONUP, WM_RBUTTONDOWN, WM_MOUSEMOVE, WM_MBUTTONDOWN, WM_MBUTTONUP, 0x400u, 0x7Bu})
            EXPECT_EQ(1, icon->HandleNotification(kIconId, mouse)) << mouse;
        for (UINT mouse : {WM_LBUTTONDOWN, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_MOUSEMOVE})
            EXPECT_EQ(0, icon->HandleNotification(kIconId + 1, mouse)) << mouse;
        runEvents();
        EXPECT_EQ(mark, shell.calls.size());
        EXPECT_TRUE(window.messages.empty());
    }
}

TEST_F(TrayTest, LeftPressIsADoubleClickOnlyForTheExtendedIcon) {
    {
        CTrayNotifyIcon plain;
        ASSERT_TRUE(create(plain));
        EXPECT_EQ(1, plain.HandleNotification(kIconId, WM_LBUTTONDOWN));
        EXPECT_TRUE(window.messages.empty());
    }

    CTrayNotifyIconEx icon;
    ASSERT_TRUE(create(icon));
    // Only the low word names the message.
    EXPECT_EQ(1, icon.HandleNotification(kIconId, static_cast<LPARAM>((7u << 16) | WM_LBUTTONDOWN)));
    EXPECT_EQ((std::vector<Message>{{WM_COMMAND, kShow, 0}}), window.messages);

    // A whole double-click: press, release, double-click, release. Show goes twice.
    window.messages.clear();
    for (UINT mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
        EXPECT_EQ(1, icon.HandleNotification(kIconId, mouse));
    EXPECT_EQ((std::vector<Message>{{WM_COMMAND, kShow, 0}, {WM_COMMAND, kShow, 0}}), window.messages);
}

// ---- the task bar made anew ----

TEST_F(TrayTest, NewTaskBarGetsTheIconBackAsItLastWas) {
    CTrayNotifyIconEx icon;
    ASSERT_TRUE(create(icon));
    ASSERT_TRUE(icon.SetIcon(&connected));
    // The old task bar is gone, and with it every icon it showed.
    shell.icons.clear();
    shell.records.clear();
    shell.BroadcastTaskbarCreated();

    ASSERT_EQ(2u, shell.records.size());
    EXPECT_EQ(NIM_DELETE, shell.records[0].first);
    EXPECT_EQ(NIM_ADD, shell.records[1].first);
    const FakeShell::Icon* back = shown();
    ASSERT_NE(nullptr, back);
    EXPECT_FALSE(back->hidden);
    EXPECT_EQ(&connected, back->record.hIcon);
    EXPECT_STREQ(kTip, back->record.szTip);
    EXPECT_EQ(kCallback, back->record.uCallbackMessage);
    EXPECT_EQ(NIF_MESSAGE | NIF_ICON | NIF_TIP, back->record.uFlags);

    // Added again: new images are taken, and the icon still answers to its id.
    EXPECT_TRUE(icon.SetIcon(&disconnected));
    EXPECT_EQ(&disconnected, shown()->record.hIcon);
    EXPECT_EQ(1, icon.HandleNotification(kIconId, WM_LBUTTONDOWN));
    EXPECT_EQ((std::vector<Message>{{WM_COMMAND, kShow, 0}}), window.messages);
}

TEST_F(TrayTest, HiddenIconStaysHiddenWhenAddedAgain) {
    CTrayNotifyIcon icon;
    ASSERT_TRUE(create(icon, false));
    shell.icons.clear();
    shell.BroadcastTaskbarCreated();
    ASSERT_NE(nullptr, shown());
    EXPECT_TRUE(shown()->hidden);
}

TEST_F(TrayTest, FailedAddAgainRefusesImagesUntilTheNextTaskBar) {
    CTrayNotifyIcon icon;
    ASSERT_TRUE(create(icon));
    shell.icons.clear();
    shell.addResults = {false};
    shell.BroadcastTaskbarCreated();
    EXPECT_EQ(nullptr, shown());
    EXPECT_FALSE(icon.SetIcon(&connected));

    shell.BroadcastTaskbarCreated();
    ASSERT_NE(nullptr, shown());
    EXPECT_EQ(&disconnected, shown()->record.hIcon);
    // The second time round there was nothing to delete.
    EXPECT_EQ(1u, shell.Calls("Shell_NotifyIcon NIM_DELETE").size());
}

TEST_F(TrayTest, IconWhoseFirstAddFailedAppearsWithCreatesImageOnceTheTaskBarIsThere) {
    shell.taskbarPresent = false;
    CTrayNotifyIconEx icon;
    EXPECT_FALSE(create(icon));
    EXPECT_FALSE(icon.SetIcon(&connected));
    EXPECT_FALSE(icon.SetIcon(&disconnected));
    EXPECT_TRUE(shell.Calls("Shell_NotifyIcon NIM_MODIFY").empty());

    shell.taskbarPresent = true;
    shell.BroadcastTaskbarCreated();
    const FakeShell::Icon* added = shown();
    ASSERT_NE(nullptr, added);
    EXPECT_FALSE(added->hidden);
    EXPECT_EQ(&disconnected, added->record.hIcon);
    EXPECT_TRUE(shell.Calls("Shell_NotifyIcon NIM_DELETE").empty());
    // The version request belongs to Create alone.
    EXPECT_TRUE(shell.Calls("Shell_NotifyIcon NIM_SETVERSION").empty());
    EXPECT_TRUE(icon.SetIcon(&connected));
    EXPECT_EQ(&connected, shown()->record.hIcon);
}

// ---- where the notification area is ----

class LocateTrayRectTest : public ::testing::Test {
protected:
    RECT locate() {
        RECT rect;
        LocateTrayRect(&rect);
        return rect;
    }
    // A task bar along the bottom of a 1280 x 800 screen.
    void taskbarWith(std::vector<FakeShell::Window> children) {
        shell.windows.push_back({100, 0, "Shell_TrayWnd", {0, 770, 1280, 800}});
        for (FakeShell::Window& child : children) {
            if (!child.parent)
                child.parent = 100;
            shell.windows.push_back(child);
        }
    }

    FakeShell shell;
    ScopedShell installed{shell};
};

// The clock at the right end of the icons cuts the area short of it; a clock more than 5 pixels above
// the area's bottom sits above the icons, and the area starts below it.
TEST_F(LocateTrayRectTest, ClockCutsTheNotificationAreaShortOfItself) {
    struct Case {
        RECT clock;
        RECT expected;
    };
    const Case cases[] = {
        {{1220, 772, 1278, 798}, {1100, 772, 1220, 798}},
        {{1100, 772, 1278, 793}, {1100, 772, 1100, 798}},
        {{1100, 772, 1278, 792}, {1100, 792, 1278, 798}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToString(c.clock));
        shell.windows.clear();
        taskbarWith({{101, 0, "ReBarWindow32", {200, 772, 1000, 798}},
                     {102, 0, "TrayNotifyWnd", {1100, 772, 1278, 798}},
                     {103, 102, "ToolbarWindow32", {1102, 772, 1210, 798}},
                     {104, 102, "TrayClockWClass", c.clock}});
        EXPECT_EQ(c.expected, locate());
    }
    EXPECT_TRUE(shell.Calls("SHAppBarMessage").empty());
}

TEST_F(LocateTrayRectTest, WithoutTheClockTheAreaOrElseTheTaskBarItself) {
    taskbarWith({{101, 0, "ReBarWindow32", {200, 772, 1000, 798}},
                 {102, 0, "TrayNotifyWnd", {1100, 772, 1278, 798}}});
    EXPECT_EQ((RECT{1100, 772, 1278, 798}), locate());

    // Class names match exactly.
    shell.windows.clear();
    taskbarWith(
        {{102, 0, "traynotifywnd", {1100, 772, 1278, 798}}, {104, 0, "TrayClockWClassX", {1, 2, 3, 4}}});
    EXPECT_EQ((RECT{0, 770, 1280, 800}), locate());

    // A clock found first trims the task bar's rectangle and ends the search.
    shell.windows.clear();
    taskbarWith({{104, 0, "TrayClockWClass", {1220, 772, 1278, 798}},
                 {102, 0, "TrayNotifyWnd", {1100, 772, 1278, 798}}});
    EXPECT_EQ((RECT{0, 770, 1220, 800}), locate());
}

TEST_F(LocateTrayRectTest, WithoutTheTaskBarWindowTheShellsTaskBarPositionGivesTheCorner) {
    struct Case {
        UINT edge;
        RECT bar;
        RECT expected;
    };
    const Case cases[] = {
        {ABE_LEFT, {0, 0, 60, 800}, {0, 700, 60, 784}},
        {ABE_RIGHT, {1220, 0, 1280, 800}, {1220, 700, 1280, 784}},
        {ABE_TOP, {0, 0, 1280, 30}, {1180, 0, 1264, 30}},
        {ABE_BOTTOM, {0, 770, 1280, 800}, {1180, 770, 1264, 800}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.edge);
        APPBARDATA taskbar;
        taskbar.uEdge = c.edge;
        taskbar.rc = c.bar;
        shell.taskbar = taskbar;
        EXPECT_EQ(c.expected, locate());
    }
    EXPECT_EQ(std::vector<std::string>(4, "SHAppBarMessage 5 36"), shell.Calls("SHAppBarMessage"));
    EXPECT_TRUE(shell.Calls("SystemParametersInfo").empty());
}

TEST_F(LocateTrayRectTest, NothingKnownGivesABoxInTheWorkAreasCorner) {
    shell.workArea = {0, 0, 1280, 770};
    EXPECT_EQ((RECT{1130, 740, 1280, 770}), locate());

    // A task bar on no known edge tells nothing either.
    APPBARDATA taskbar;
    taskbar.uEdge = 7;
    taskbar.rc = {0, 0, 10, 10};
    shell.taskbar = taskbar;
    EXPECT_EQ((RECT{1130, 740, 1280, 770}), locate());
}

// ---- hiding and showing ----

class HideShowTest : public LocateTrayRectTest {
protected:
    void SetUp() override {
        shell.workArea = {0, 0, 1280, 770};
        window.setGeometry(300, 200, 280, 260);
        window.show();
        const QRect frame = window.frameGeometry();
        windowRect = ToString({frame.left(), frame.top(), frame.right() + 1, frame.bottom() + 1});
    }
    // The window's rectangle, frame included.
    std::string windowRect;
    const std::string trayRect = ToString({1130, 740, 1280, 770});

    NotifyWindow window;
};

TEST_F(HideShowTest, AnimationOnFliesTheCaptionIntoTheTrayThenHides) {
    HideToTray(&window, false);
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ((std::vector<std::string>{
                  "SystemParametersInfo SPI_GETANIMATION 8 8", "GetWindowRect dialog",
                  "FindWindow Shell_TrayWnd", "SHAppBarMessage 5 36", "SystemParametersInfo SPI_GETWORKAREA",
                  "DrawAnimatedRects dialog 3 " + windowRect + " -> " + trayRect, "ShowWindow dialog 0"}),
              shell.calls);

    shell.calls.clear();
    ShowFromTray(&window, false);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ((std::vector<std::string>{
                  "SystemParametersInfo SPI_GETANIMATION 8 8", "GetWindowRect dialog",
                  "FindWindow Shell_TrayWnd", "SHAppBarMessage 5 36", "SystemParametersInfo SPI_GETWORKAREA",
                  "DrawAnimatedRects dialog 3 " + trayRect + " -> " + windowRect, "ShowWindow dialog 5",
                  "SetActiveWindow dialog", "SetForegroundWindow dialog"}),
              shell.calls);
}

TEST_F(HideShowTest, AnimationOffOrUnknownHidesAndShowsWithoutIt) {
    for (std::optional<bool> setting : {std::optional<bool>(false), std::optional<bool>()}) {
        shell.animation = setting;
        shell.calls.clear();
        HideToTray(&window, false);
        EXPECT_FALSE(window.isVisible());
        ShowFromTray(&window, false);
        EXPECT_TRUE(window.isVisible());
        EXPECT_TRUE(shell.Calls("DrawAnimatedRects").empty());
        EXPECT_TRUE(shell.Calls("GetWindowRect").empty());
        EXPECT_EQ((std::vector<std::string>{"ShowWindow dialog 0", "ShowWindow dialog 5"}),
                  shell.Calls("ShowWindow"));
    }
}

TEST_F(HideShowTest, ForceAnimatesWhateverTheSetting) {
    shell.animation = false;
    HideToTray(&window, true);
    ShowFromTray(&window, true);
    EXPECT_EQ(2u, shell.Calls("DrawAnimatedRects").size());
    EXPECT_TRUE(window.isVisible());
}

}  // namespace
