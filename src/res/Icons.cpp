// SPDX-License-Identifier: MIT
// Icons 128, 139 and 140: SVG files in src/res, compiled into the program as Qt resources.
#include "res/Resource.h"

const char* IconResourcePath(int id) {
    switch (id) {
        case IDR_MAINFRAME:
            return ":/chimely.svg";
        case IDI_DISCONNECTED:
            return ":/disconnected.svg";
        case IDI_CONNECTED:
            return ":/connected.svg";
        default:
            return "";
    }
}
