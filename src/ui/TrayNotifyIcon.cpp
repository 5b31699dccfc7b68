// SPDX-License-Identifier: MIT
// The notification-area icon and the window's way into and out of the notification area.
// User-interface thread.
#include "ui/TrayNotifyIcon.h"

#include <cstring>

using namespace platform;

namespace {

// The size of the notification record each kind of shell reads, by capability class 0 to 3.
constexpr DWORD kRecordSize[] = {88, 488, 504, 508};

// Where a task bar on an edge keeps its notification area: this far from its far end, this deep.
constexpr int kTrayReach = 100;
constexpr int kTrayInset = 16;
// The guess when nothing tells where the task bar is: a box in the work area's bottom-right corner.
constexpr int kGuessWidth = 150;
constexpr int kGuessHeight = 30;
// A clock whose bottom is more than this above the notification area's is above the icons.
constexpr int kClockSlack = 5;
constexpr int kClassNameChars = 256;

// The number the shell broadcasts when its task bar is made, known before any window exists.
const UINT s_uTaskbarCreated = CurrentShell().RegisterWindowMessage("TaskbarCreated");

// What the shell can do: 3 on an operating system of major version 6 or later, else 2 or 1 for
// shell libraries 6 and 5, else 0.
int shellClass(Shell& shell) {
    OSVERSIONINFOA os;
    os.dwOSVersionInfoSize = kOsVersionInfoSize;
    if (shell.GetVersionEx(&os) && os.dwMajorVersion >= 6)
        return 3;
    // The shell library is always loaded in a program with windows: it is looked up, not loaded.
    if (const HMODULE library = shell.GetModuleHandle("SHELL32.DLL")) {
        if (const DLLGETVERSIONPROC dllGetVersion = shell.GetProcAddress(library, "DllGetVersion")) {
            DLLVERSIONINFO version;
            version.cbSize = kDllVersionInfoSize;
            if (dllGetVersion(&version) >= 0) {
                if (version.dwMajorVersion >= 6)
                    return 2;
                if (version.dwMajorVersion == 5)
                    return 1;
            }
        }
    }
    return 0;
}

// The tooltip as the record holds it: at most kTipChars bytes, never the first part of a character.
void copyTip(char (&tip)[kTipChars + 1], const char* text) {
    std::size_t length = text ? strnlen(text, kTipChars + 1) : 0;
    if (length > kTipChars) {
        length = kTipChars;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    }
    std::memset(tip, 0, sizeof tip);
    if (length)
        std::memcpy(tip, text, length);
}

}  // namespace

CTrayNotifyIcon::CTrayNotifyIcon() : m_nShellClass(shellClass(CurrentShell())) {
    m_nid.cbSize = kRecordSize[m_nShellClass];
}

CTrayNotifyIcon::~CTrayNotifyIcon() {
    RemoveIcon(true);
    if (m_menu)
        CurrentShell().DestroyMenu(m_menu);
}

bool CTrayNotifyIcon::Create(CDialog* notifyWnd, unsigned iconId, const char* tooltip, HICON icon,
                             UINT callbackMessage, unsigned menuId, bool show) {
    Shell& shell = CurrentShell();
    m_menu = shell.LoadMenu(menuId ? menuId : iconId);
    if (!m_menu)
        return false;
    const HMENU popup = shell.GetSubMenu(m_menu, 0);
    if (!popup)
        return false;
    shell.SetMenuDefaultItem(popup, m_nDefaultItem, m_bDefaultByPos);

    m_hHelper =
        shell.CreateWindowEx(0, "TrayNotifyIconClass", "CTrayNotifyIcon Helper Window", WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0,
                             [this](HWND window, UINT message, WPARAM w, LPARAM l) {
                                 LRESULT result = 0;
                                 if (ProcessWindowMessage(window, message, w, l, result))
                                     return result;
                                 return CurrentShell().DefWindowProc(window, message, w, l);
                             });
    if (!m_hHelper)
        return false;

    m_pNotifyWnd = notifyWnd;
    m_nid.hWnd = notifyWnd ? notifyWnd->GetSafeHwnd() : 0;
    m_nid.uID = iconId;
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_nid.uCallbackMessage = callbackMessage;
    m_nid.hIcon = icon;
    copyTip(m_nid.szTip, tooltip);
    if (!show) {
        m_nid.uFlags |= NIF_STATE;
        m_nid.dwState = NIS_HIDDEN;
        m_nid.dwStateMask = NIS_HIDDEN;
    }

    m_bCreated = shell.Shell_NotifyIcon(NIM_ADD, m_nid);
    if (!m_bCreated)
        return false;
    if (!show)
        m_bHidden = true;
    if (m_nShellClass >= 1)
        SetVersion(NOTIFYICON_VERSION);
    return true;
}

bool CTrayNotifyIcon::SetIcon(HICON icon) {
    if (!m_bCreated)
        return false;
    m_nid.uFlags = NIF_ICON;
    m_nid.hIcon = icon;
    return CurrentShell().Shell_NotifyIcon(NIM_MODIFY, m_nid);
}

bool CTrayNotifyIcon::SetTooltipText(const char* tooltip) {
    if (!m_bCreated)
        return false;
    m_nid.uFlags = NIF_TIP;
    copyTip(m_nid.szTip, tooltip);
    return CurrentShell().Shell_NotifyIcon(NIM_MODIFY, m_nid);
}

LRESULT CTrayNotifyIcon::HandleNotification(WPARAM wParam, LPARAM lParam) {
    if (wParam != m_nid.uID)
        return 0;
    Shell& shell = CurrentShell();
    if (lParam == static_cast<LPARAM>(WM_RBUTTONUP)) {
        if (const HMENU popup = shell.GetSubMenu(m_menu, 0)) {
            POINT cursor;
            shell.GetCursorPos(&cursor);
            // The menu closes when the user clicks elsewhere only if its owner is in the foreground;
            // the message posted after it makes the owner notice that the menu is gone.
            shell.SetForegroundWindow(m_nid.hWnd);
            shell.TrackPopupMenu(popup, TPM_LEFTALIGN, cursor.x, cursor.y, 0, m_nid.hWnd, nullptr);
            shell.PostMessage(m_nid.hWnd, WM_NULL, 0, 0);
        }
    } else if (lParam == static_cast<LPARAM>(WM_LBUTTONDBLCLK)) {
        shell.SetForegroundWindow(m_nid.hWnd);
        if (const HMENU popup = shell.GetSubMenu(m_menu, 0)) {
            const UINT command = shell.GetMenuDefaultItem(popup, false, GMDI_GOINTOPOPUPS);
            if (command != kNoMenuItem)
                shell.SendMessage(m_nid.hWnd, WM_COMMAND, command, 0);
        }
    }
    return 1;
}

bool CTrayNotifyIcon::AddIcon(bool show) {
    m_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    if (!show) {
        m_nid.uFlags |= NIF_STATE;
        m_nid.dwState = NIS_HIDDEN;
        m_nid.dwStateMask = NIS_HIDDEN;
    }
    m_bCreated = CurrentShell().Shell_NotifyIcon(NIM_ADD, m_nid);
    if (m_bCreated && !show)
        m_bHidden = true;
    return m_bCreated;
}

bool CTrayNotifyIcon::RemoveIcon(bool closeHelper) {
    Shell& shell = CurrentShell();
    bool result = true;
    if (m_bCreated) {
        m_nid.uFlags = 0;
        result = shell.Shell_NotifyIcon(NIM_DELETE, m_nid);
        m_bCreated = false;
    }
    if (closeHelper && m_hHelper) {
        shell.SendMessage(m_hHelper, WM_CLOSE, 0, 0);
        m_hHelper = 0;
    }
    return result;
}

bool CTrayNotifyIcon::SetVersion(unsigned version) {
    m_nid.uVersion = version;
    return CurrentShell().Shell_NotifyIcon(NIM_SETVERSION, m_nid);
}

bool CTrayNotifyIcon::IsHidden() const {
    return m_bHidden;
}

// The old task bar took the icon with it: delete it (which may fail, harmlessly) and add it again from
// the record, which still holds the id, the tooltip, the callback message and the last accepted image.
bool CTrayNotifyIcon::ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result) {
    if (message != s_uTaskbarCreated)
        return false;
    const bool show = !IsHidden();
    RemoveIcon(false);
    AddIcon(show);
    result = 0;
    return true;
}

LRESULT CTrayNotifyIconEx::HandleNotification(WPARAM wParam, LPARAM lParam) {
    if (LOWORD(static_cast<std::uintptr_t>(lParam)) == WM_LBUTTONDOWN)
        lParam = WM_LBUTTONDBLCLK;
    return CTrayNotifyIcon::HandleNotification(wParam, lParam);
}

bool IsMinimizeAnimationOn() {
    ANIMATIONINFO info;
    info.cbSize = kAnimationInfoSize;
    return CurrentShell().SystemParametersInfo(SPI_GETANIMATION, kAnimationInfoSize, &info, 0) &&
           info.iMinAnimate != 0;
}

// Where the notification area is, in this order: the task bar's own windows (the notification area
// within the task bar, short of its clock); else a guess from the task bar's edge and rectangle; else a
// guess in the corner of the work area. A task bar on no known edge counts as no task bar.
void LocateTrayRect(RECT* rect) {
    Shell& shell = CurrentShell();
    if (const HWND taskbar = shell.FindWindow("Shell_TrayWnd", nullptr)) {
        shell.GetWindowRect(taskbar, rect);
        shell.EnumChildWindows(taskbar, [&](HWND child) {
            const std::string className = shell.GetClassName(child, kClassNameChars);
            if (className == "TrayNotifyWnd") {
                shell.GetWindowRect(child, rect);
                return true;
            }
            if (className == "TrayClockWClass") {
                RECT clock;
                shell.GetWindowRect(child, &clock);
                if (clock.bottom < rect->bottom - kClockSlack)
                    rect->top = clock.bottom;
                else
                    rect->right = clock.left;
                return false;
            }
            return true;
        });
        return;
    }

    APPBARDATA appBar;
    appBar.cbSize = kAppBarDataSize;
    if (shell.SHAppBarMessage(ABM_GETTASKBARPOS, &appBar)) {
        const RECT& bar = appBar.rc;
        switch (appBar.uEdge) {
            case ABE_LEFT:
            case ABE_RIGHT:
                *rect = {bar.left, bar.bottom - kTrayReach, bar.right, bar.bottom - kTrayInset};
                return;
            case ABE_TOP:
            case ABE_BOTTOM:
                *rect = {bar.right - kTrayReach, bar.top, bar.right - kTrayInset, bar.bottom};
                return;
            default:
                break;
        }
    }

    shell.SystemParametersInfo(SPI_GETWORKAREA, 0, rect, 0);
    rect->left = rect->right - kGuessWidth;
    rect->top = rect->bottom - kGuessHeight;
}

namespace {

// The caption's flight between the window and the notification area, when the desktop animates
// minimising windows or the caller insists.
void flyCaption(Shell& shell, HWND window, bool force, bool intoTray) {
    if (!force && !IsMinimizeAnimationOn())
        return;
    RECT windowRect;
    RECT trayRect;
    shell.GetWindowRect(window, &windowRect);
    LocateTrayRect(&trayRect);
    shell.DrawAnimatedRects(window, IDANI_CAPTION, intoTray ? windowRect : trayRect,
                            intoTray ? trayRect : windowRect);
}

}  // namespace

void HideToTray(CDialog* window, bool force) {
    Shell& shell = CurrentShell();
    const HWND handle = window->GetSafeHwnd();
    flyCaption(shell, handle, force, true);
    shell.ShowWindow(handle, SW_HIDE);
}

void ShowFromTray(CDialog* window, bool force) {
    Shell& shell = CurrentShell();
    const HWND handle = window->GetSafeHwnd();
    flyCaption(shell, handle, force, false);
    shell.ShowWindow(handle, SW_SHOW);
    shell.SetActiveWindow(handle);
    shell.SetForegroundWindow(handle);
}
