// SPDX-License-Identifier: MIT
// What every shell keeps the same way, whichever desktop it stands on: registered message numbers,
// the program's own message-only windows, and menus loaded from the menu resources. Private to the
// shells. User-interface thread only.
#pragma once

#include "platform/Shell.h"

#include <QObject>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::detail {

// Windows the program makes through the shell that are not dialogs. Messages sent to one of them, or to
// a dialog, are delivered at once; posted ones go through the event queue and are dropped when the
// window is gone by then.
class LocalWindows : public QObject {
public:
    HWND create(const char* className, const char* windowName, HWND parent, WNDPROC windowProc);
    bool exists(HWND window) const;
    std::string className(HWND window) const;
    // The windows without a parent, oldest first.
    std::vector<HWND> topLevel() const;
    bool destroy(HWND window);

    // 0 for a window that does not exist.
    LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // False for a window that does not exist.
    bool post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT defaultProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    void customEvent(QEvent* event) override;

private:
    struct Window {
        std::string className;
        std::string windowName;
        HWND parent = 0;
        WNDPROC proc;
        std::uint64_t serial = 0;
    };
    std::map<HWND, std::unique_ptr<Window>> m_windows;
    std::uint64_t m_created = 0;
};

// Menus made from the menu resources: a bar whose items open popups, as LoadMenu gives it.
class MenuTable {
public:
    struct Item {
        UINT command = 0;  // 0 for a separator or a popup
        std::string text;  // empty for a separator
        HMENU popup = 0;
    };
    struct Menu {
        std::vector<Item> items;
        int defaultPosition = -1;
    };

    HMENU load(UINT id);
    HMENU subMenu(HMENU menu, int position) const;
    bool setDefaultItem(HMENU menu, UINT item, bool byPosition);
    UINT defaultItem(HMENU menu, bool byPosition, UINT flags) const;
    // Destroys the menu and the popups it opens.
    bool destroy(HMENU menu);
    const Menu* find(HMENU menu) const;

private:
    HMENU add(std::unique_ptr<Menu> menu);
    std::map<HMENU, std::unique_ptr<Menu>> m_menus;
};

}  // namespace platform::detail
