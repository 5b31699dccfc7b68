// SPDX-License-Identifier: MIT
// The window messages, command values and results the program's windows exchange, by their Windows
// names and numbers, so that the logic written against them reads as designed.
#pragma once

#include <cstdint>

namespace platform {

using UINT = unsigned;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using DWORD = std::uint32_t;
// A window by handle: a dialog of the program (CDialog::GetSafeHwnd), a window the program made through
// the shell, or one of the desktop's own windows the shell reports. 0 is no window.
using HWND = std::uintptr_t;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_ENDSESSION = 0x0016;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_MBUTTONDOWN = 0x0207;
constexpr UINT WM_MBUTTONUP = 0x0208;
constexpr UINT WM_APP = 0x8000;
constexpr WPARAM SC_MINIMIZE = 0xF020;
constexpr WPARAM SC_CLOSE = 0xF060;
constexpr WPARAM SC_RESTORE = 0xF120;

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWMINNOACTIVE = 7;
constexpr int SW_SHOWDEFAULT = 10;

// Button and dialog results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

constexpr WPARAM MAKEWPARAM(unsigned low, unsigned high) {
    return (low & 0xFFFF) | ((WPARAM(high) & 0xFFFF) << 16);
}
constexpr unsigned LOWORD(std::uintptr_t value) {
    return value & 0xFFFF;
}
constexpr unsigned HIWORD(std::uintptr_t value) {
    return (value >> 16) & 0xFFFF;
}

}  // namespace platform
