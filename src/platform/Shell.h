// SPDX-License-Identifier: MIT
// The shell: the notification area, menus, the desktop's windows and settings, and window animation, as
// the calls the tray icon's logic is written against, one operation per call and by the call's Windows
// name. The program talks to the current shell: the Qt one (QtShell.h) unless a test has put another in
// its place (FakeShell.h). User-interface thread only.
#pragma once

#include "platform/WindowMessages.h"

#include <QIcon>

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// An icon image the caller keeps alive while it is shown; the shell never owns it.
using HICON = const QIcon*;
using HMENU = std::uintptr_t;
using HMODULE = std::uintptr_t;
using HRESULT = long;

struct POINT {
    int x = 0;
    int y = 0;
};

// Screen coordinates; right and bottom are one past the last pixel.
struct RECT {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    friend bool operator==(const RECT&, const RECT&) = default;
};

// Shell_NotifyIcon: the messages, the record's flags and states, the version the program asks for.
constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_MODIFY = 1;
constexpr DWORD NIM_DELETE = 2;
constexpr DWORD NIM_SETVERSION = 4;
constexpr UINT NIF_MESSAGE = 0x1;
constexpr UINT NIF_ICON = 0x2;
constexpr UINT NIF_TIP = 0x4;
constexpr UINT NIF_STATE = 0x8;
constexpr DWORD NIS_HIDDEN = 0x1;
constexpr UINT NOTIFYICON_VERSION = 3;
// The tooltip holds this many characters and a terminating zero.
constexpr std::size_t kTipChars = 127;

// The notification-area record, with the members the program uses. The shell reads cbSize to tell
// which version of the record it was given: 508, 504, 488 or 88 bytes, as on Windows.
struct NOTIFYICONDATAA {
    DWORD cbSize = 0;
    HWND hWnd = 0;
    UINT uID = 0;
    UINT uFlags = 0;
    UINT uCallbackMessage = 0;
    HICON hIcon = nullptr;
    char szTip[kTipChars + 1] = {};
    DWORD dwState = 0;
    DWORD dwStateMask = 0;
    UINT uVersion = 0;
};

// GetVersionEx and DllGetVersion, with the sizes their callers put in the size members.
constexpr DWORD kOsVersionInfoSize = 148;
constexpr DWORD kDllVersionInfoSize = 20;
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize = 0;
    DWORD dwMajorVersion = 0;
    DWORD dwMinorVersion = 0;
    DWORD dwBuildNumber = 0;
    DWORD dwPlatformId = 0;
};
struct DLLVERSIONINFO {
    DWORD cbSize = 0;
    DWORD dwMajorVersion = 0;
    DWORD dwMinorVersion = 0;
    DWORD dwBuildNumber = 0;
    DWORD dwPlatformID = 0;
};
// A library's DllGetVersion; empty when the library has none. A negative result is a failure.
using DLLGETVERSIONPROC = std::function<HRESULT(DLLVERSIONINFO*)>;

// Menus.
constexpr UINT GMDI_GOINTOPOPUPS = 0x2;
constexpr UINT kNoMenuItem = static_cast<UINT>(-1);
constexpr UINT TPM_LEFTALIGN = 0x0;

// SHAppBarMessage: where the task bar is.
constexpr DWORD ABM_GETTASKBARPOS = 0x5;
constexpr DWORD kAppBarDataSize = 36;
constexpr UINT ABE_LEFT = 0;
constexpr UINT ABE_TOP = 1;
constexpr UINT ABE_RIGHT = 2;
constexpr UINT ABE_BOTTOM = 3;
struct APPBARDATA {
    DWORD cbSize = 0;
    HWND hWnd = 0;
    UINT uCallbackMessage = 0;
    UINT uEdge = 0;
    RECT rc;
    LPARAM lParam = 0;
};

// SystemParametersInfo.
constexpr UINT SPI_GETWORKAREA = 0x0030;
constexpr UINT SPI_GETANIMATION = 0x0048;
constexpr UINT kAnimationInfoSize = 8;
struct ANIMATIONINFO {
    UINT cbSize = 0;
    int iMinAnimate = 0;
};

// DrawAnimatedRects: a window's caption flying from one rectangle to another.
constexpr int IDANI_CAPTION = 3;

// Window creation.
constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);
// A window procedure: the window's message map, called with every message sent or posted to it.
using WNDPROC = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

class Shell {
public:
    virtual ~Shell() = default;

    // Adds, modifies or deletes the notification-area icon of (hWnd, uID), or sets the version of its
    // behaviour. While added, the icon shows the record's image and tooltip, and mouse activity on it
    // reaches hWnd as uCallbackMessage with wParam = uID and lParam = the mouse message.
    virtual bool Shell_NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) = 0;
    // The number of the message registered under `name`: the same for every caller in the process.
    virtual UINT RegisterWindowMessage(const char* name) = 0;

    virtual bool GetVersionEx(OSVERSIONINFOA* info) = 0;
    virtual HMODULE GetModuleHandle(const char* name) = 0;
    virtual DLLGETVERSIONPROC GetProcAddress(HMODULE module, const char* name) = 0;

    // Menus, from the program's menu resources. GetMenuDefaultItem answers with a command id, or
    // kNoMenuItem when the menu has no default item.
    virtual HMENU LoadMenu(UINT id) = 0;
    virtual HMENU GetSubMenu(HMENU menu, int position) = 0;
    virtual bool SetMenuDefaultItem(HMENU menu, UINT item, bool byPosition) = 0;
    virtual UINT GetMenuDefaultItem(HMENU menu, bool byPosition, UINT flags) = 0;
    virtual bool DestroyMenu(HMENU menu) = 0;

    virtual bool GetCursorPos(POINT* point) = 0;
    virtual bool SetForegroundWindow(HWND window) = 0;
    // Pops the menu up at (x, y) and returns when it closes; the chosen item's command reaches `owner`
    // as a posted WM_COMMAND, and nothing does when the menu is dismissed.
    virtual bool TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                                const RECT* rect) = 0;
    virtual bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;

    // The desktop's own windows: a top-level window by class, its descendants (the enumeration stops
    // when the callback answers false), a window's class name (at most maxCount - 1 characters) and its
    // rectangle in screen coordinates.
    virtual HWND FindWindow(const char* className, const char* windowName) = 0;
    virtual bool EnumChildWindows(HWND parent, const std::function<bool(HWND)>& callback) = 0;
    virtual std::string GetClassName(HWND window, int maxCount) = 0;
    virtual bool GetWindowRect(HWND window, RECT* rect) = 0;
    // ABM_GETTASKBARPOS: the task bar's edge and rectangle. False when the shell cannot tell.
    virtual bool SHAppBarMessage(DWORD message, APPBARDATA* data) = 0;
    // SPI_GETANIMATION and SPI_GETWORKAREA.
    virtual bool SystemParametersInfo(UINT action, UINT uiParam, ANIMATIONINFO* info, UINT winIni) = 0;
    virtual bool SystemParametersInfo(UINT action, UINT uiParam, RECT* rect, UINT winIni) = 0;

    // Draws only: changes no window's state.
    virtual bool DrawAnimatedRects(HWND window, int idAni, const RECT& from, const RECT& to) = 0;
    // Returns whether the window was visible before.
    virtual bool ShowWindow(HWND window, int command) = 0;
    virtual HWND SetActiveWindow(HWND window) = 0;

    // A window of the program's own that is never shown and exists to receive messages: they reach
    // `windowProc`, which hands what it does not handle to DefWindowProc. 0 when it cannot be made.
    virtual HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                                int x, int y, int width, int height, HWND parent, HMENU menu,
                                WNDPROC windowProc) = 0;
    // Default processing: WM_CLOSE destroys the window; every other message gives 0.
    virtual LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// The shell the program talks to.
Shell& CurrentShell();

// Puts `shell` in place of the current shell for as long as it lives (tests).
class ScopedShell {
public:
    explicit ScopedShell(Shell& shell);
    ~ScopedShell();
    ScopedShell(const ScopedShell&) = delete;
    ScopedShell& operator=(const ScopedShell&) = delete;

private:
    Shell* m_previous;
};

}  // namespace platform
