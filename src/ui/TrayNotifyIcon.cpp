// SPDX-License-Identifier: MIT
// The notification-area icon. Until the shell interface is in place the icon is never added: Create fails,
// and the window hides and shows without animation.
#include "ui/TrayNotifyIcon.h"

CTrayNotifyIcon::CTrayNotifyIcon() = default;

CTrayNotifyIcon::~CTrayNotifyIcon() = default;

bool CTrayNotifyIcon::Create(platform::CDialog*, unsigned, const char*, HICON, platform::UINT, unsigned,
                             bool) {
    return false;
}

bool CTrayNotifyIcon::SetIcon(HICON) {
    return false;
}

platform::LRESULT CTrayNotifyIcon::HandleNotification(platform::WPARAM, platform::LPARAM) {
    return 0;
}

bool CTrayNotifyIcon::AddIcon(bool) {
    return false;
}

bool CTrayNotifyIcon::RemoveIcon(bool) {
    return true;
}

bool CTrayNotifyIcon::SetVersion(unsigned) {
    return false;
}

bool CTrayNotifyIcon::IsHidden() const {
    return false;
}

platform::LRESULT CTrayNotifyIconEx::HandleNotification(platform::WPARAM wParam, platform::LPARAM lParam) {
    return CTrayNotifyIcon::HandleNotification(wParam, lParam);
}

bool IsMinimizeAnimationOn() {
    return false;
}

void HideToTray(platform::CDialog* window, bool) {
    window->hide();
}

void ShowFromTray(platform::CDialog* window, bool) {
    window->show();
    window->activateWindow();
    window->raise();
}
