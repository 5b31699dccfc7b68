// SPDX-License-Identifier: MIT
// The show command the program was started with, in the terms of the nCmdShow that Windows hands a
// program. A desktop has no such hint for X11 or Wayland programs (a launcher passes no show state, and Qt
// exposes none), so the user asks for a minimised start on the command line: `-minimized` or
// `--minimized`, as the desktop entry's "Start minimised" action and an autostart entry can pass it.
#pragma once

#include "platform/WindowMessages.h"

#include <QStringList>

namespace platform {

// SW_SHOWMINIMIZED when `arguments` (argv, the program's name first) ask for a minimised start,
// SW_SHOWDEFAULT otherwise. Arguments the program does not know are ignored.
int StartupShowCommand(const QStringList& arguments);

}  // namespace platform
