// SPDX-License-Identifier: MIT
// Builds a dialog's window from its template (Resources.h): caption, frame and size, and one widget per
// control, placed in dialog units and registered under its id so that the dialog finds it with
// GetDlgItem. Dialog units are measured in the dialog's font as Windows measures them. User-interface
// thread only.
#pragma once

#include "platform/Dialog.h"

#include <QFont>
#include <QRect>

namespace platform {

// The average character width and the height of a font, in pixels: 4 horizontal and 8 vertical dialog
// units each.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};

DialogBaseUnits GetDialogBaseUnits(const QFont& font);

// A rectangle in dialog units, in pixels.
QRect MapDialogRect(DialogBaseUnits units, int x, int y, int width, int height);

// Makes `dialog` the window of template `templateId`. False when the program has no such template.
bool CreateDialogFromTemplate(CDialog& dialog, int templateId);

}  // namespace platform
