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
    };
    for (const auto& [key, text] : table)
        if (key == id)
            return text;
    return "";
}
