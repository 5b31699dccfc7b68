// SPDX-License-Identifier: MIT
#include "platform/FakeShell.h"
#include "platform/RegisteredMessages.h"

#include "platform/Dialog.h"

#include <cstring>

namespace platform {
namespace {

const char* notifyMessageName(DWORD message) {
    switch (message) {
        case NIM_ADD:
            return "NIM_ADD";
        case NIM_MODIFY:
            return "NIM_MODIFY";
        case NIM_DELETE:
            return "NIM_DELETE";
        case NIM_SETVERSION:
            return "NIM_SETVERSION";
        default:
            return "NIM_?";
    }
}

}  // namespace

std::string ToString(const RECT& rect) {
    return std::to_string(rect.left) + "," + std::to_string(rect.top) + "," + std::to_string(rect.right) +
           "," + std::to_string(rect.bottom);
}

void FakeShell::record(std::string call) {
    calls.push_back(std::move(call));
}

std::vector<std::string> FakeShell::Calls(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& call : calls)
        if (call.rfind(prefix, 0) == 0)
            found.push_back(call);
    return found;
}

std::string FakeShell::describe(HWND window) const {
    if (CDialog::FromHandle(window))
        return "dialog";
    if (m_windows.exists(window))
        return "helper";
    return std::to_string(window);
}

const FakeShell::Window* FakeShell::scripted(HWND window) const {
    for (const Window& candidate : windows)
        if (candidate.handle == window)
            return &candidate;
    return nullptr;
}

std::vector<HWND> FakeShell::HelperWindows() const {
    return m_windows.topLevel();
}

void FakeShell::BroadcastTaskbarCreated() {
    const UINT taskbarCreated = platform::RegisterWindowMessage("TaskbarCreated");
    for (HWND window : m_windows.topLevel())
        m_windows.send(window, taskbarCreated, 0, 0);
}

bool FakeShell::Shell_NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) {
    record(std::string("Shell_NotifyIcon ") + notifyMessageName(message));
    records.emplace_back(message, data);
    const auto key = std::make_pair(data.hWnd, data.uID);
    auto found = icons.find(key);
    switch (message) {
        case NIM_ADD: {
            bool succeeds = taskbarPresent && found == icons.end();
            if (!addResults.empty()) {
                succeeds = succeeds && addResults.front();
                addResults.pop_front();
            }
            if (succeeds)
                icons[key] = {data,
                              (data.uFlags & NIF_STATE) && (data.dwStateMask & data.dwState & NIS_HIDDEN)};
            return succeeds;
        }
        case NIM_MODIFY:
            if (found == icons.end())
                return false;
            if (data.uFlags & NIF_ICON)
                found->second.record.hIcon = data.hIcon;
            if (data.uFlags & NIF_TIP)
                std::memcpy(found->second.record.szTip, data.szTip, sizeof data.szTip);
            if (data.uFlags & NIF_MESSAGE)
                found->second.record.uCallbackMessage = data.uCallbackMessage;
            return true;
        case NIM_DELETE:
            if (found == icons.end() || deleteFails)
                return false;
            icons.erase(found);
            return true;
        case NIM_SETVERSION:
            return found != icons.end();
        default:
            return false;
    }
}

UINT FakeShell::RegisterWindowMessage(const char* name) {
    record(std::string("RegisterWindowMessage ") + name);
    return platform::RegisterWindowMessage(name);
}

bool FakeShell::GetVersionEx(OSVERSIONINFOA* info) {
    record("GetVersionEx " + std::to_string(info ? info->dwOSVersionInfoSize : 0));
    if (!info || !osMajorVersion)
        return false;
    info->dwMajorVersion = *osMajorVersion;
    return true;
}

HMODULE FakeShell::GetModuleHandle(const char* name) {
    record(std::string("GetModuleHandle ") + name);
    return shellLibraryLoaded && std::strcmp(name, "SHELL32.DLL") == 0 ? kShellLibrary : 0;
}

DLLGETVERSIONPROC FakeShell::GetProcAddress(HMODULE module, const char* name) {
    record(std::string("GetProcAddress ") + name);
    if (module != kShellLibrary || !hasDllGetVersion || std::strcmp(name, "DllGetVersion") != 0)
        return {};
    return [this](DLLVERSIONINFO* info) -> HRESULT {
        record("DllGetVersion " + std::to_string(info ? info->cbSize : 0));
        if (info && dllGetVersionResult >= 0) {
            info->dwMajorVersion = shellMajorVersion;
            info->dwMinorVersion = shellMinorVersion;
        }
        return dllGetVersionResult;
    };
}

HMENU FakeShell::LoadMenu(UINT id) {
    record("LoadMenu " + std::to_string(id));
    if (menuMissing)
        return 0;
    return m_menus.load(id);
}

HMENU FakeShell::GetSubMenu(HMENU menu, int position) {
    record("GetSubMenu " + std::to_string(position));
    return popupMissing ? 0 : m_menus.subMenu(menu, position);
}

bool FakeShell::SetMenuDefaultItem(HMENU menu, UINT item, bool byPosition) {
    record("SetMenuDefaultItem " + std::to_string(item) + (byPosition ? " by position" : " by command"));
    return !defaultItemRefused && m_menus.setDefaultItem(menu, item, byPosition);
}

UINT FakeShell::GetMenuDefaultItem(HMENU menu, bool byPosition, UINT flags) {
    record("GetMenuDefaultItem " + std::string(byPosition ? "by position " : "by command ") +
           std::to_string(flags));
    return m_menus.defaultItem(menu, byPosition, flags);
}

bool FakeShell::DestroyMenu(HMENU menu) {
    record("DestroyMenu");
    return m_menus.destroy(menu);
}

bool FakeShell::GetCursorPos(POINT* point) {
    record("GetCursorPos");
    *point = cursor;
    return true;
}

bool FakeShell::SetForegroundWindow(HWND window) {
    record("SetForegroundWindow " + describe(window));
    return true;
}

bool FakeShell::TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT* rect) {
    record("TrackPopupMenu " + std::to_string(flags) + " " + std::to_string(x) + "," + std::to_string(y) +
           " " + describe(owner) + (rect ? " with rectangle" : ""));
    const detail::MenuTable::Menu* shown = m_menus.find(menu);
    if (!shown)
        return false;
    shownMenu.clear();
    shownMenuDefault.clear();
    for (const detail::MenuTable::Item& item : shown->items)
        shownMenu.push_back(item.text.empty() ? "-" : item.text);
    if (shown->defaultPosition >= 0)
        shownMenuDefault = shown->items[static_cast<std::size_t>(shown->defaultPosition)].text;
    if (menuChoice)
        m_windows.post(owner, WM_COMMAND, *menuChoice, 0);
    return true;
}

bool FakeShell::PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    record("PostMessage " + describe(window) + " " + std::to_string(message) + " " + std::to_string(wParam) +
           " " + std::to_string(lParam));
    return m_windows.post(window, message, wParam, lParam);
}

LRESULT FakeShell::SendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    record("SendMessage " + describe(window) + " " + std::to_string(message) + " " + std::to_string(wParam) +
           " " + std::to_string(lParam));
    return m_windows.send(window, message, wParam, lParam);
}

HWND FakeShell::FindWindow(const char* className, const char* windowName) {
    record(std::string("FindWindow ") + className + (windowName ? std::string(" ") + windowName : ""));
    for (const Window& window : windows)
        if (!window.parent && window.className == className)
            return window.handle;
    return 0;
}

bool FakeShell::EnumChildWindows(HWND parent, const std::function<bool(HWND)>& callback) {
    record("EnumChildWindows " + std::to_string(parent));
    // Depth first, in the order of the list.
    std::function<bool(HWND)> visit = [&](HWND node) {
        for (const Window& window : windows)
            if (window.parent == node && (!callback(window.handle) || !visit(window.handle)))
                return false;
        return true;
    };
    visit(parent);
    return true;
}

std::string FakeShell::GetClassName(HWND window, int maxCount) {
    record("GetClassName " + std::to_string(maxCount));
    std::string name;
    if (const Window* found = scripted(window))
        name = found->className;
    else
        name = m_windows.className(window);
    return name.substr(0, static_cast<std::size_t>(std::max(maxCount - 1, 0)));
}

bool FakeShell::GetWindowRect(HWND window, RECT* rect) {
    record("GetWindowRect " + describe(window));
    if (const Window* found = scripted(window)) {
        *rect = found->rect;
        return true;
    }
    if (CDialog* dialog = CDialog::FromHandle(window)) {
        const QRect frame = dialog->frameGeometry();
        *rect = {frame.left(), frame.top(), frame.left() + frame.width(), frame.top() + frame.height()};
        return true;
    }
    return false;
}

bool FakeShell::SHAppBarMessage(DWORD message, APPBARDATA* data) {
    record("SHAppBarMessage " + std::to_string(message) + " " + std::to_string(data->cbSize));
    if (message != ABM_GETTASKBARPOS || !taskbar)
        return false;
    data->uEdge = taskbar->uEdge;
    data->rc = taskbar->rc;
    return true;
}

bool FakeShell::SystemParametersInfo(UINT action, UINT uiParam, ANIMATIONINFO* info, UINT) {
    record("SystemParametersInfo SPI_GETANIMATION " + std::to_string(uiParam) + " " +
           std::to_string(info->cbSize));
    if (action != SPI_GETANIMATION || !animation)
        return false;
    info->iMinAnimate = *animation ? 1 : 0;
    return true;
}

bool FakeShell::SystemParametersInfo(UINT action, UINT, RECT* rect, UINT) {
    record("SystemParametersInfo SPI_GETWORKAREA");
    if (action != SPI_GETWORKAREA)
        return false;
    *rect = workArea;
    return true;
}

bool FakeShell::DrawAnimatedRects(HWND window, int idAni, const RECT& from, const RECT& to) {
    record("DrawAnimatedRects " + describe(window) + " " + std::to_string(idAni) + " " + ToString(from) +
           " -> " + ToString(to));
    return true;
}

bool FakeShell::ShowWindow(HWND window, int command) {
    record("ShowWindow " + describe(window) + " " + std::to_string(command));
    CDialog* dialog = CDialog::FromHandle(window);
    if (!dialog)
        return false;
    const bool wasVisible = dialog->isVisible();
    dialog->setVisible(command != SW_HIDE);
    return wasVisible;
}

HWND FakeShell::SetActiveWindow(HWND window) {
    record("SetActiveWindow " + describe(window));
    return 0;
}

HWND FakeShell::CreateWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                               int x, int, int, int, HWND parent, HMENU, WNDPROC windowProc) {
    record(std::string("CreateWindowEx ") + std::to_string(exStyle) + " " + className + " \"" + windowName +
           "\" " + std::to_string(style) + (x == CW_USEDEFAULT ? " default position" : ""));
    if (createWindowFails)
        return 0;
    return m_windows.create(className, windowName, parent, std::move(windowProc));
}

LRESULT FakeShell::DefWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    record("DefWindowProc " + describe(window) + " " + std::to_string(message));
    return m_windows.defaultProc(window, message, wParam, lParam);
}

}  // namespace platform
