// SPDX-License-Identifier: MIT
// CTrayNotifyIcon and CTrayNotifyIconEx: the program's icon in the notification area, its menu, and the
// free functions that move the main window into and out of the notification area. The logic talks only to
// the platform's shell interface. User-interface thread only.
#pragma once

#include "platform/Dialog.h"

#include <QIcon>

using HICON = const QIcon*;

class CTrayNotifyIcon {
public:
    CTrayNotifyIcon();
    virtual ~CTrayNotifyIcon();
    CTrayNotifyIcon(const CTrayNotifyIcon&) = delete;
    CTrayNotifyIcon& operator=(const CTrayNotifyIcon&) = delete;

    // Loads the menu (menuId, or iconId when menuId is 0), creates the helper window and adds the icon.
    bool Create(platform::CDialog* notifyWnd, unsigned iconId, const char* tooltip, HICON icon,
                platform::UINT callbackMessage, unsigned menuId, bool show);
    // Replaces the image of the added icon; refused while the icon is not added.
    bool SetIcon(HICON icon);
    // Handles the icon's callback message; its result is the message's result.
    virtual platform::LRESULT HandleNotification(platform::WPARAM wParam, platform::LPARAM lParam);
    bool AddIcon(bool show);
    bool RemoveIcon(bool closeHelper);
    bool SetVersion(unsigned version);
    bool IsHidden() const;
};

class CTrayNotifyIconEx : public CTrayNotifyIcon {
public:
    // A single press of the left button counts as a double-click.
    platform::LRESULT HandleNotification(platform::WPARAM wParam, platform::LPARAM lParam) override;
};

bool IsMinimizeAnimationOn();
// Hides the window into the notification area, animated when the desktop animates (or when forced).
void HideToTray(platform::CDialog* window, bool force);
// Shows the window out of the notification area, animated likewise, and activates it.
void ShowFromTray(platform::CDialog* window, bool force);
