// SPDX-License-Identifier: MIT
// CTrayNotifyIcon and CTrayNotifyIconEx: the program's icon in the notification area, its menu, and the
// free functions that move the main window into and out of the notification area. The logic talks only to
// the platform's shell (platform/Shell.h). User-interface thread only.
//
// The icon reports to a notify window (the main window) through a callback message; a hidden helper
// window of its own receives the shell's "TaskbarCreated" broadcast and adds the icon again, as it last
// was, whenever the task bar is made anew.
#pragma once

#include "platform/Dialog.h"
#include "platform/Shell.h"

using HICON = platform::HICON;

class CTrayNotifyIcon {
public:
    CTrayNotifyIcon();
    virtual ~CTrayNotifyIcon();
    CTrayNotifyIcon(const CTrayNotifyIcon&) = delete;
    CTrayNotifyIcon& operator=(const CTrayNotifyIcon&) = delete;

    // Loads the menu (menuId, or iconId when menuId is 0), creates the helper window and adds the icon.
    // False when any of these fails; what was done before the failure stays done.
    bool Create(platform::CDialog* notifyWnd, unsigned iconId, const char* tooltip, HICON icon,
                platform::UINT callbackMessage, unsigned menuId, bool show);
    // Replaces the image of the added icon. Refused, and the image forgotten, while the icon is not added.
    bool SetIcon(HICON icon);
    // Replaces the tooltip of the added icon (at most 127 bytes are kept). Refused, and the text
    // forgotten, while the icon is not added, as SetIcon is: an icon added again shows both as they were.
    bool SetTooltipText(const char* tooltip);
    // Handles the icon's callback message; its result is the message's result: 0 for another icon's
    // message, 1 for every message of this one.
    virtual platform::LRESULT HandleNotification(platform::WPARAM wParam, platform::LPARAM lParam);
    // Adds the icon from the record as it stands.
    bool AddIcon(bool show);
    // Deletes the icon if it is added; with closeHelper also closes the helper window.
    bool RemoveIcon(bool closeHelper);
    bool SetVersion(unsigned version);
    // Whether the icon was ever added hidden.
    bool IsHidden() const;

protected:
    // The helper window's message map: "TaskbarCreated" adds the icon again.
    virtual bool ProcessWindowMessage(platform::HWND window, platform::UINT message, platform::WPARAM wParam,
                                      platform::LPARAM lParam, platform::LRESULT& result);

private:
    platform::NOTIFYICONDATAA m_nid;
    bool m_bCreated = false;
    bool m_bHidden = false;
    platform::CDialog* m_pNotifyWnd = nullptr;
    platform::HMENU m_menu = 0;
    platform::UINT m_nDefaultItem = 0;
    bool m_bDefaultByPos = true;
    int m_nShellClass = 0;
    platform::HWND m_hHelper = 0;
};

class CTrayNotifyIconEx : public CTrayNotifyIcon {
public:
    // A single press of the left button counts as a double-click.
    platform::LRESULT HandleNotification(platform::WPARAM wParam, platform::LPARAM lParam) override;
};

// Whether the desktop animates windows as they are minimised; false when it cannot tell.
bool IsMinimizeAnimationOn();
// The notification area's rectangle on the screen, or the best guess at it.
void LocateTrayRect(platform::RECT* rect);
// Hides the window into the notification area, animated when the desktop animates (or when forced).
void HideToTray(platform::CDialog* window, bool force);
// Shows the window out of the notification area, animated likewise, and activates it.
void ShowFromTray(platform::CDialog* window, bool force);
