// SPDX-License-Identifier: MIT
// The string table.
#include "res/Resource.h"

#include <utility>

const char* LoadResourceString(int id) {
    static const std::pair<int, const char*> table[] = {
        {IDS_DISCONNECTED, "Disconnected"},
        {IDS_CONNECTING, "Connecting..."},
        {IDS_CONNECTED, "Connected"},
        {IDS_INVALID_SIGNIN, "Invalid sign-in name"},
        {IDS_INVALID_SERVER, "Invalid server name or IP address"},
        {IDS_RECONNECT_QUESTION, "Preferences was changed, would you like to re-connect now?"},
        {IDS_DISCONNECTING, "Disconnecting..."},
        {IDS_MESSAGE_SENT, "Message has been sent"},
        {IDS_SENDING, "Sending..."},
        {IDS_EXIT_QUESTION,
         "If you close Vantorell Chimely, you won't be able to send and recieve message.\n"
         "Are you sure you want to close Chimely?"},
        {IDS_DELETE_HISTORY_QUESTION, "Delete the history of texts kept so far?"},
        {IDS_HISTORY_NOT_WRITTEN, "History could not be written: %s"},
        {IDS_HISTORY_MOVED_ASIDE,
         "The history of texts could not be read. It was moved to %s and a new history was started."},
        {IDS_HISTORY_OFF,
         "No history is kept. To keep one, tick \"Keep a history of texts\" in Preferences (tray menu)."},
        {IDS_DELETE_CONVERSATION_QUESTION, "Delete every text of this conversation?"},
        {IDS_DELETE_ALL_QUESTION, "Delete the whole history of texts?"},
    };
    for (const auto& [key, text] : table)
        if (key == id)
            return text;
    return "";
}
