// SPDX-License-Identifier: MIT
// Icons 128, 139 and 140: SVG files in src/res, drawn at build time in each of kIconSizes and compiled into
// the program as PNG resources, so that showing them needs neither Qt's SVG module nor its icon engine.
#include "res/Resource.h"

std::string IconResourcePath(int id, int size) {
    const char* name = nullptr;
    switch (id) {
        case IDR_MAINFRAME:
            name = "chimely";
            break;
        case IDI_DISCONNECTED:
            name = "disconnected";
            break;
        case IDI_CONNECTED:
            name = "connected";
            break;
        default:
            return std::string();
    }
    return ":/icons/" + std::string(name) + "-" + std::to_string(size) + ".png";
}
