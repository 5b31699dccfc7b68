// SPDX-License-Identifier: MIT
// Dialog templates 102 (the main window) and 134 (Preferences), control by control in tab order, with
// rectangles in dialog units.
#include "platform/Resources.h"
#include "res/Resource.h"

namespace {

using namespace platform;

constexpr DWORD kControl = WS_CHILD | WS_VISIBLE;
constexpr DWORD kStatic = kControl | WS_GROUP;
constexpr DWORD kButton = kControl | WS_TABSTOP;
constexpr DWORD kEdit = kControl | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;

constexpr ControlTemplate kMainControls[] = {
    {IDC_TO_LABEL, ControlKind::LText, "To:", kStatic, 2, 2, 12, 8},
    {IDC_MESSAGE_LABEL, ControlKind::LText, "Message:", kStatic, 2, 29, 32, 8},
    {IDC_TO, ControlKind::ComboBox, "", kControl | CBS_DROPDOWN | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 2, 12,
     157, 30},
    // No ES_WANTRETURN: Enter presses Send, Ctrl+Enter starts a new line.
    {IDC_MESSAGE, ControlKind::EditText, "", kControl | ES_MULTILINE | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 2,
     39, 157, 90},
    {IDC_SEND, ControlKind::DefPushButton, "Send", kButton, 32, 131, 127, 20},
    {IDC_HOME, ControlKind::PushButton, "Home", kButton, 2, 131, 29, 20},
    // The status panel, hidden until a status is shown.
    {IDC_STATUS, ControlKind::EditText, "", WS_CHILD | WS_BORDER | ES_READONLY | ES_NOHIDESEL, 21, 15, 119,
     57},
    {IDC_STATUS_OK, ControlKind::PushButton, "Ok", WS_CHILD | WS_TABSTOP, 21, 72, 119, 14},
};

constexpr ControlTemplate kPreferencesControls[] = {
    {IDC_STATIC, ControlKind::GroupBox, "", kControl, 7, 112, 224, 45},
    {IDC_DISPLAY_NAME, ControlKind::EditText, "", kEdit, 56, 7, 93, 14},
    {IDC_SIGNIN_NAME, ControlKind::EditText, "", kEdit, 56, 26, 93, 14},
    {IDC_PASSWORD, ControlKind::EditText, "", kEdit | ES_PASSWORD, 56, 46, 93, 14},
    {IDC_AUTOMATIC_CONFIGURATION, ControlKind::AutoRadioButton, "Automatic configuration", kButton | WS_GROUP,
     7, 100, 92, 10},
    {IDC_CONFIGURE_SETTINGS, ControlKind::AutoRadioButton, "Configure settings", kButton, 7, 111, 75, 10},
    {IDC_SERVER, ControlKind::EditText, "", kEdit, 107, 124, 117, 14},
    {IDC_UDP, ControlKind::AutoRadioButton, "UDP", kButton | WS_GROUP, 107, 142, 29, 10},
    {IDC_TCP, ControlKind::AutoRadioButton, "TCP", kButton, 141, 142, 29, 10},
    {IDC_TLS, ControlKind::AutoRadioButton, "TLS", kButton, 175, 142, 29, 10},
    {IDOK, ControlKind::DefPushButton, "OK", kButton, 181, 7, 50, 14},
    {IDCANCEL, ControlKind::PushButton, "Cancel", kButton, 181, 23, 50, 14},
    {IDC_STATIC, ControlKind::RText, "Sign-in name:", kStatic, 7, 30, 46, 8},
    {IDC_STATIC, ControlKind::RText, "Password:", kStatic, 7, 50, 46, 8},
    {IDC_STATIC, ControlKind::LText,
     "Select which method should be used to configure your connection to a SIP server:", kStatic, 7, 79, 209,
     18},
    {IDC_SERVER_LABEL, ControlKind::RText, "Server name o IP address:", kStatic, 13, 128, 90, 8},
    {IDC_TRANSPORT_LABEL, ControlKind::RText, "Connect using:", kStatic, 13, 142, 90, 8},
    {IDC_STATIC, ControlKind::RText, "Display name:", kStatic, 7, 10, 46, 8},
    // Below the server's frame, in a strip the dialog grew by for it.
    {IDC_KEEP_HISTORY, ControlKind::AutoCheckBox, "Keep a history of texts", kButton | WS_GROUP, 7, 164, 150,
     10},
};

// The History window: the search over the conversations on the left and the chosen one's texts (or the
// search's hits) on the right; the note stands in their place while no history is kept.
constexpr ControlTemplate kHistoryControls[] = {
    {IDC_HISTORY_SEARCH_LABEL, ControlKind::LText, "Search:", kStatic, 4, 6, 28, 8},
    {IDC_HISTORY_SEARCH, ControlKind::EditText, "", kEdit, 34, 4, 262, 12},
    {IDC_HISTORY_CONVERSATIONS, ControlKind::ListBox, "", kControl | WS_BORDER | WS_VSCROLL | WS_TABSTOP, 4,
     20, 100, 156},
    {IDC_HISTORY_TEXTS, ControlKind::ListBox, "", kControl | WS_BORDER | WS_VSCROLL | WS_TABSTOP, 108, 20,
     188, 156},
    {IDC_HISTORY_NOTE, ControlKind::LText, "", WS_CHILD | WS_GROUP, 4, 20, 292, 24},
    {IDC_HISTORY_REPLY, ControlKind::PushButton, "Reply", kButton, 4, 180, 50, 14},
    {IDC_HISTORY_SEND_AGAIN, ControlKind::PushButton, "Send again", kButton, 58, 180, 50, 14},
    {IDC_HISTORY_DELETE, ControlKind::PushButton, "Delete conversation", kButton, 112, 180, 76, 14},
    {IDC_HISTORY_DELETE_ALL, ControlKind::PushButton, "Delete all", kButton, 192, 180, 50, 14},
    {IDCANCEL, ControlKind::PushButton, "Close", kButton, 246, 180, 50, 14},
};

constexpr DialogTemplate kDialogs[] = {
    {IDD_CHIMELY_DIALOG, kMainDialogCaption,
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SYSMODAL |
         DS_SETFONT,
     WS_EX_APPWINDOW, "MS Shell Dlg", 8, 161, 153, kMainControls},
    {IDD_PREFERENCES, "Preferences", WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 0,
     "MS Shell Dlg", 8, 238, 181, kPreferencesControls},
    {IDD_HISTORY, "History", WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT,
     WS_EX_APPWINDOW, "MS Shell Dlg", 8, 300, 198, kHistoryControls},
};

}  // namespace

namespace platform {

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& dialog : kDialogs)
        if (dialog.id == id)
            return &dialog;
    return nullptr;
}

}  // namespace platform
