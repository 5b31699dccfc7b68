// SPDX-License-Identifier: MIT
// Menu 131, the tray icon's menu: one popup, whose first item is its default.
#include "platform/Resources.h"
#include "res/Resource.h"

namespace {

using namespace platform;

constexpr MenuItemTemplate kSeparator = {0, nullptr};

constexpr MenuItemTemplate kTrayItems[] = {
    {ID_TRAY_SHOW, "Show"},
    kSeparator,
    {ID_TRAY_HOME, "Home"},
    {ID_TRAY_HISTORY, "History..."},
    {ID_TRAY_PREFERENCES, "Preferences..."},
    kSeparator,
    {ID_TRAY_EXIT, "Exit"},
};

constexpr PopupTemplate kTrayPopups[] = {{"Tray", kTrayItems}};

constexpr MenuTemplate kMenus[] = {{IDR_TRAY_MENU, kTrayPopups}};

}  // namespace

namespace platform {

const MenuTemplate* FindMenuTemplate(int id) {
    for (const MenuTemplate& menu : kMenus)
        if (menu.id == id)
            return &menu;
    return nullptr;
}

}  // namespace platform
