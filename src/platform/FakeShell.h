// SPDX-License-Identifier: MIT
// A shell for tests: every answer can be scripted (versions, failures, the desktop's windows and task
// bar, the work area, the animation setting, the user's menu choice) and every call is recorded in
// order. Messages to dialogs and to the windows made through it are delivered as the real shell
// delivers them. Install it with ScopedShell. User-interface thread only.
#pragma once

#include "platform/Shell.h"
#include "platform/ShellSupport.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class FakeShell : public Shell {
public:
    // ---- answers ----

    // GetVersionEx's major version; nothing makes the call fail.
    std::optional<DWORD> osMajorVersion = 10;
    // The shell library: whether it is loaded, whether it has DllGetVersion, what that answers.
    bool shellLibraryLoaded = true;
    bool hasDllGetVersion = true;
    HRESULT dllGetVersionResult = 0;
    DWORD shellMajorVersion = 6;
    DWORD shellMinorVersion = 0;

    // Menus come from the menu resources unless one of these says otherwise.
    bool menuMissing = false;         // LoadMenu fails
    bool popupMissing = false;        // the menu has no popups
    bool defaultItemRefused = false;  // SetMenuDefaultItem fails, so no item is the default
    // The item the user picks from a popup menu; nothing dismisses it.
    std::optional<UINT> menuChoice;
    POINT cursor{600, 750};

    // NIM_ADD fails while there is no task bar, and for the answers queued here (front first).
    bool taskbarPresent = true;
    std::deque<bool> addResults;
    bool deleteFails = false;
    bool createWindowFails = false;

    // The desktop's own windows, found by FindWindow and enumerated by EnumChildWindows in this order.
    struct Window {
        HWND handle = 0;
        HWND parent = 0;
        std::string className;
        RECT rect;
    };
    std::vector<Window> windows;
    // SHAppBarMessage's answer; nothing makes it fail.
    std::optional<APPBARDATA> taskbar;
    RECT workArea{0, 0, 1280, 800};
    // SPI_GETANIMATION's answer; nothing makes the query fail.
    std::optional<bool> animation = true;

    // ---- what happened ----

    // Every call, in order: its name and what it was given, e.g. "Shell_NotifyIcon NIM_ADD" or
    // "SendMessage dialog 273 32776 0". Windows show as "dialog", "helper" or their number.
    std::vector<std::string> calls;
    // The calls whose text starts with `prefix`.
    std::vector<std::string> Calls(const std::string& prefix) const;
    // Every record given to Shell_NotifyIcon, in order.
    std::vector<std::pair<DWORD, NOTIFYICONDATAA>> records;

    struct Icon {
        NOTIFYICONDATAA record;  // as last added or modified
        bool hidden = false;
    };
    // The icons in the notification area now, by (window, id).
    std::map<std::pair<HWND, UINT>, Icon> icons;

    // The last popup menu shown: its item texts ("-" for separators) and its default item's text.
    std::vector<std::string> shownMenu;
    std::string shownMenuDefault;

    // The windows made through this shell that still exist.
    std::vector<HWND> HelperWindows() const;
    // What the shell does when its task bar is created: "TaskbarCreated" sent to every top-level window.
    void BroadcastTaskbarCreated();

    // ---- the shell ----

    bool Shell_NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) override;
    UINT RegisterWindowMessage(const char* name) override;
    bool GetVersionEx(OSVERSIONINFOA* info) override;
    HMODULE GetModuleHandle(const char* name) override;
    DLLGETVERSIONPROC GetProcAddress(HMODULE module, const char* name) override;
    HMENU LoadMenu(UINT id) override;
    HMENU GetSubMenu(HMENU menu, int position) override;
    bool SetMenuDefaultItem(HMENU menu, UINT item, bool byPosition) override;
    UINT GetMenuDefaultItem(HMENU menu, bool byPosition, UINT flags) override;
    bool DestroyMenu(HMENU menu) override;
    bool GetCursorPos(POINT* point) override;
    bool SetForegroundWindow(HWND window) override;
    bool TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                        const RECT* rect) override;
    bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    HWND FindWindow(const char* className, const char* windowName) override;
    bool EnumChildWindows(HWND parent, const std::function<bool(HWND)>& callback) override;
    std::string GetClassName(HWND window, int maxCount) override;
    bool GetWindowRect(HWND window, RECT* rect) override;
    bool SHAppBarMessage(DWORD message, APPBARDATA* data) override;
    bool SystemParametersInfo(UINT action, UINT uiParam, ANIMATIONINFO* info, UINT winIni) override;
    bool SystemParametersInfo(UINT action, UINT uiParam, RECT* rect, UINT winIni) override;
    bool DrawAnimatedRects(HWND window, int idAni, const RECT& from, const RECT& to) override;
    bool ShowWindow(HWND window, int command) override;
    HWND SetActiveWindow(HWND window) override;
    HWND CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x,
                        int y, int width, int height, HWND parent, HMENU menu, WNDPROC windowProc) override;
    LRESULT DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    static constexpr HMODULE kShellLibrary = 0x5EE1;

    void record(std::string call);
    std::string describe(HWND window) const;
    const Window* scripted(HWND window) const;

    detail::LocalWindows m_windows;
    detail::MenuTable m_menus;
};

// "l,t,r,b", for call texts and test output.
std::string ToString(const RECT& rect);

}  // namespace platform
