// SPDX-License-Identifier: MIT
// The shell on Qt: the notification-area icon is a QSystemTrayIcon, its activations come to the notify
// window as the mouse messages of a Windows tray icon, a tray manager announcing itself on X11 is the
// "TaskbarCreated" broadcast, the tray's window and the icon's geometry stand for "Shell_TrayWnd" and
// "TrayNotifyWnd", the menu is a QMenu built from the menu resource, and the caption animation is a
// short flight of a caption bar from one rectangle to the other. User-interface thread only.
#pragma once

#include "platform/Shell.h"
#include "platform/ShellSupport.h"

#include <QPointer>

#include <map>
#include <memory>
#include <utility>

class QSystemTrayIcon;

namespace platform {

class QtShell : public Shell {
public:
    QtShell();
    ~QtShell() override;

    // The program's shell: made on first use, which may come before the application object, and never
    // destroyed. Static destructors run after the application object is gone, or, when the framework ends
    // the process with exit() from inside its event loop, while that object is still alive on main's stack
    // and Qt's own statics are being destroyed around it: deleting a Qt object then is not safe either way.
    static QtShell& Instance();

    // Deletes the Qt objects the shell has made (the icons, the receiver of its windows' messages, the
    // tray manager's watch); the next use makes them again. The program calls it before its application
    // object goes, once its windows are gone.
    void ReleaseQtObjects();

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
    class TrayManagerWatch;
    struct Icon {
        QPointer<QSystemTrayIcon> icon;
        UINT callbackMessage = 0;
    };
    using IconKey = std::pair<HWND, UINT>;

    // Applies what the record's flags name to the icon.
    void apply(Icon& icon, const NOTIFYICONDATAA& data);
    // Where the program's icons are on the screen; empty when no tray shows them.
    QRect notificationArea() const;
    // The rectangle of the tray itself; empty when there is none.
    QRect trayWindowRect() const;
    void watchTrayManager();
    void broadcastTaskbarCreated();
    // The program's own windows, made on first use (a QObject, so never before it is needed).
    detail::LocalWindows& windows();

    std::map<IconKey, Icon> m_icons;
    std::unique_ptr<detail::LocalWindows> m_windows;
    detail::MenuTable m_menus;
    std::unique_ptr<TrayManagerWatch> m_watch;
};

}  // namespace platform
