// SPDX-License-Identifier: MIT
// Resource ids shared between the resources and the code: dialogs, controls, menus, icons, strings.
#pragma once

#include <string>

// The main window: dialog template 102.
constexpr int IDD_CHIMELY_DIALOG = 102;
constexpr const char* kMainDialogCaption = "Vantorell Chimely 1.1";
// The program's name, the caption of its message boxes.
constexpr const char* kProgramName = "Vantorell Chimely";

// Controls of the main window.
constexpr int IDC_SEND = 1003;
constexpr int IDC_TO = 1005;
constexpr int IDC_MESSAGE = 1006;
constexpr int IDC_HOME = 1008;
constexpr int IDC_TO_LABEL = 1024;
constexpr int IDC_MESSAGE_LABEL = 1025;
constexpr int IDC_STATUS = 1027;
constexpr int IDC_STATUS_OK = 1029;

// The Preferences dialog: dialog template 134 and its controls.
constexpr int IDD_PREFERENCES = 134;
constexpr int IDC_SIGNIN_NAME = 1015;
constexpr int IDC_PASSWORD = 1017;
constexpr int IDC_AUTOMATIC_CONFIGURATION = 1018;
constexpr int IDC_CONFIGURE_SETTINGS = 1019;
constexpr int IDC_UDP = 1020;
constexpr int IDC_TCP = 1021;
constexpr int IDC_SERVER = 1022;
constexpr int IDC_DISPLAY_NAME = 1023;
constexpr int IDC_SERVER_LABEL = 1024;
constexpr int IDC_TRANSPORT_LABEL = 1025;
constexpr int IDC_TLS = 1026;
constexpr int IDC_KEEP_HISTORY = 1030;

// The History window: template 136 and its controls.
constexpr int IDD_HISTORY = 136;
constexpr int IDC_HISTORY_SEARCH_LABEL = 1040;
constexpr int IDC_HISTORY_SEARCH = 1041;
constexpr int IDC_HISTORY_CONVERSATIONS = 1042;
constexpr int IDC_HISTORY_TEXTS = 1043;
constexpr int IDC_HISTORY_NOTE = 1044;
constexpr int IDC_HISTORY_REPLY = 1045;
constexpr int IDC_HISTORY_SEND_AGAIN = 1046;
constexpr int IDC_HISTORY_DELETE = 1047;
constexpr int IDC_HISTORY_DELETE_ALL = 1048;

// The received-text box's second button, beside OK.
constexpr const char* kReplyButton = "Reply";

// Icons: the program's, and the tray's for the two connection states.
constexpr int IDR_MAINFRAME = 128;
constexpr int IDI_DISCONNECTED = 139;
constexpr int IDI_CONNECTED = 140;

// The tray menu and its commands.
constexpr int IDR_TRAY_MENU = 131;
constexpr unsigned ID_TRAY_HOME = 32775;
constexpr unsigned ID_TRAY_SHOW = 32776;
constexpr unsigned ID_TRAY_PREFERENCES = 32777;
constexpr unsigned ID_TRAY_EXIT = 32779;
constexpr unsigned ID_TRAY_HISTORY = 32780;

// The string table.
constexpr int IDS_DISCONNECTED = 130;
constexpr int IDS_CONNECTING = 131;
constexpr int IDS_CONNECTED = 132;
constexpr int IDS_INVALID_SIGNIN = 133;
constexpr int IDS_INVALID_SERVER = 134;
constexpr int IDS_RECONNECT_QUESTION = 135;
constexpr int IDS_DISCONNECTING = 137;
constexpr int IDS_MESSAGE_SENT = 138;
constexpr int IDS_SENDING = 139;
constexpr int IDS_EXIT_QUESTION = 140;
// The history of texts.
constexpr int IDS_DELETE_HISTORY_QUESTION = 141;
constexpr int IDS_HISTORY_NOT_WRITTEN = 142;
constexpr int IDS_HISTORY_MOVED_ASIDE = 143;
constexpr int IDS_HISTORY_OFF = 144;
constexpr int IDS_DELETE_CONVERSATION_QUESTION = 145;
constexpr int IDS_DELETE_ALL_QUESTION = 146;

// The text of a string-table entry; empty for an id the table does not hold.
const char* LoadResourceString(int id);

// The sizes, in pixels, each icon resource is drawn in at build time, from its SVG in src/res.
inline constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64};

// The Qt resource path of an icon resource's image of `size` (one of kIconSizes); empty for an id the
// program does not have.
std::string IconResourcePath(int id, int size);
