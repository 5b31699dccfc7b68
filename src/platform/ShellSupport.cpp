// SPDX-License-Identifier: MIT
#include "platform/ShellSupport.h"

#include "platform/Dialog.h"
#include "platform/RegisteredMessages.h"
#include "platform/Resources.h"

#include <QCoreApplication>
#include <QEvent>

#include <strings.h>

namespace platform::detail {
namespace {

const QEvent::Type kPostedMessage = static_cast<QEvent::Type>(QEvent::registerEventType());

class PostedMessage : public QEvent {
public:
    PostedMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
        : QEvent(kPostedMessage), window(window), message(message), wParam(wParam), lParam(lParam) {}
    const HWND window;
    const UINT message;
    const WPARAM wParam;
    const LPARAM lParam;
};

}  // namespace

HWND LocalWindows::create(const char* className, const char* windowName, HWND parent, WNDPROC windowProc) {
    auto window = std::make_unique<Window>();
    window->className = className ? className : "";
    window->windowName = windowName ? windowName : "";
    window->parent = parent;
    window->proc = std::move(windowProc);
    window->serial = ++m_created;
    const HWND handle = reinterpret_cast<HWND>(window.get());
    m_windows.emplace(handle, std::move(window));
    return handle;
}

bool LocalWindows::exists(HWND window) const {
    return m_windows.count(window) != 0;
}

std::string LocalWindows::className(HWND window) const {
    auto found = m_windows.find(window);
    return found == m_windows.end() ? std::string() : found->second->className;
}

std::vector<HWND> LocalWindows::topLevel() const {
    std::map<std::uint64_t, HWND> byAge;
    for (const auto& [handle, window] : m_windows)
        if (!window->parent)
            byAge.emplace(window->serial, handle);
    std::vector<HWND> handles;
    for (const auto& [serial, handle] : byAge)
        handles.push_back(handle);
    return handles;
}

bool LocalWindows::destroy(HWND window) {
    return m_windows.erase(window) != 0;
}

LRESULT LocalWindows::send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (CDialog* dialog = CDialog::FromHandle(window))
        return dialog->SendMessage(message, wParam, lParam);
    auto found = m_windows.find(window);
    if (found == m_windows.end())
        return 0;
    // A copy: the window may be destroyed by the very message it handles.
    const WNDPROC proc = found->second->proc;
    return proc ? proc(window, message, wParam, lParam) : defaultProc(window, message, wParam, lParam);
}

bool LocalWindows::post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (CDialog* dialog = CDialog::FromHandle(window)) {
        dialog->PostMessage(message, wParam, lParam);
        return true;
    }
    if (!exists(window))
        return false;
    QCoreApplication::postEvent(this, new PostedMessage(window, message, wParam, lParam));
    return true;
}

LRESULT LocalWindows::defaultProc(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE)
        destroy(window);
    return 0;
}

void LocalWindows::customEvent(QEvent* event) {
    if (event->type() != kPostedMessage)
        return QObject::customEvent(event);
    const auto* posted = static_cast<PostedMessage*>(event);
    if (exists(posted->window))
        send(posted->window, posted->message, posted->wParam, posted->lParam);
}

HMENU MenuTable::add(std::unique_ptr<Menu> menu) {
    const HMENU handle = reinterpret_cast<HMENU>(menu.get());
    m_menus.emplace(handle, std::move(menu));
    return handle;
}

HMENU MenuTable::load(UINT id) {
    const MenuTemplate* resource = FindMenuTemplate(static_cast<int>(id));
    if (!resource)
        return 0;
    auto bar = std::make_unique<Menu>();
    for (const PopupTemplate& popupResource : resource->popups) {
        auto popup = std::make_unique<Menu>();
        for (const MenuItemTemplate& item : popupResource.items)
            popup->items.push_back({item.command, item.text ? item.text : "", 0});
        bar->items.push_back({0, popupResource.text, add(std::move(popup))});
    }
    return add(std::move(bar));
}

const MenuTable::Menu* MenuTable::find(HMENU menu) const {
    auto found = m_menus.find(menu);
    return found == m_menus.end() ? nullptr : found->second.get();
}

HMENU MenuTable::subMenu(HMENU menu, int position) const {
    const Menu* found = find(menu);
    if (!found || position < 0 || position >= static_cast<int>(found->items.size()))
        return 0;
    return found->items[static_cast<std::size_t>(position)].popup;
}

bool MenuTable::setDefaultItem(HMENU menu, UINT item, bool byPosition) {
    auto found = m_menus.find(menu);
    if (found == m_menus.end())
        return false;
    Menu& target = *found->second;
    if (item == kNoMenuItem) {
        target.defaultPosition = -1;
        return true;
    }
    if (byPosition) {
        if (item >= target.items.size())
            return false;
        target.defaultPosition = static_cast<int>(item);
        return true;
    }
    for (std::size_t position = 0; position < target.items.size(); ++position)
        if (target.items[position].command == item && !target.items[position].text.empty()) {
            target.defaultPosition = static_cast<int>(position);
            return true;
        }
    return false;
}

UINT MenuTable::defaultItem(HMENU menu, bool byPosition, UINT flags) const {
    const Menu* found = find(menu);
    if (!found || found->defaultPosition < 0)
        return kNoMenuItem;
    const Item& item = found->items[static_cast<std::size_t>(found->defaultPosition)];
    if (item.popup && (flags & GMDI_GOINTOPOPUPS)) {
        const UINT inner = defaultItem(item.popup, byPosition, flags);
        if (inner != kNoMenuItem)
            return inner;
    }
    return byPosition ? static_cast<UINT>(found->defaultPosition) : item.command;
}

bool MenuTable::destroy(HMENU menu) {
    auto found = m_menus.find(menu);
    if (found == m_menus.end())
        return false;
    std::unique_ptr<Menu> gone = std::move(found->second);
    m_menus.erase(found);
    for (const Item& item : gone->items)
        if (item.popup)
            destroy(item.popup);
    return true;
}

}  // namespace platform::detail
