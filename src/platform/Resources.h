// SPDX-License-Identifier: MIT
// The shapes of the program's dialog and menu resources, and how the platform finds them by id. The
// resources themselves are data in src/res; the platform builds windows and menus from them. Styles are
// the Windows style bits, so that a template reads as it would in a resource script.
#pragma once

#include "platform/WindowMessages.h"

#include <span>

namespace platform {

// The id of a control the dialog never looks up.
constexpr int IDC_STATIC = -1;

// Window styles.
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_HSCROLL = 0x00100000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_MINIMIZEBOX = 0x00020000;
constexpr DWORD WS_MAXIMIZEBOX = 0x00010000;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000;
// Dialog styles.
constexpr DWORD DS_SYSMODAL = 0x02;
constexpr DWORD DS_SETFONT = 0x40;
constexpr DWORD DS_MODALFRAME = 0x80;
// Edit styles.
constexpr DWORD ES_MULTILINE = 0x0004;
constexpr DWORD ES_PASSWORD = 0x0020;
constexpr DWORD ES_AUTOVSCROLL = 0x0040;
constexpr DWORD ES_AUTOHSCROLL = 0x0080;
constexpr DWORD ES_NOHIDESEL = 0x0100;
constexpr DWORD ES_READONLY = 0x0800;
constexpr DWORD ES_WANTRETURN = 0x1000;
// Combo box styles.
constexpr DWORD CBS_DROPDOWN = 0x0002;
constexpr DWORD CBS_DROPDOWNLIST = 0x0003;
constexpr DWORD CBS_SORT = 0x0100;

// What a control is, as the statement that declares it in a resource script.
enum class ControlKind {
    LText,            // static text, left-aligned
    RText,            // static text, right-aligned
    GroupBox,         // a frame around other controls, which stay the dialog's own
    EditText,         // an edit: single-line, or multi-line with ES_MULTILINE
    ComboBox,         // CBS_DROPDOWN: editable text over a list; CBS_DROPDOWNLIST: a list only
    PushButton,       // a push button
    DefPushButton,    // the push button that Enter presses
    AutoRadioButton,  // a radio button; WS_GROUP on a control starts a new group
    AutoCheckBox,     // a check box
    ListBox,          // a list of items, one chosen at a time
};

// One control: rectangle in dialog units (x, y, width, height).
struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    DWORD style;
    int x, y, cx, cy;
};

// A dialog: its client area in dialog units, its font (face and points), and its controls in tab order.
struct DialogTemplate {
    int id;
    const char* caption;
    DWORD style;
    DWORD exStyle;
    const char* fontFace;
    int fontPoints;
    int cx, cy;
    std::span<const ControlTemplate> controls;
};

// One item of a popup menu: a command, or a separator (command 0, no text).
struct MenuItemTemplate {
    UINT command;
    const char* text;
};
struct PopupTemplate {
    const char* text;
    std::span<const MenuItemTemplate> items;
};
// A menu resource: a bar of popups.
struct MenuTemplate {
    int id;
    std::span<const PopupTemplate> popups;
};

// The program's resources by id; null for an id it does not have. Defined with the resources.
const DialogTemplate* FindDialogTemplate(int id);
const MenuTemplate* FindMenuTemplate(int id);

}  // namespace platform
