// SPDX-License-Identifier: MIT
// Window messages registered by name, as RegisterWindowMessageA gives them out: the same name (in any
// letter case) always gets the same number, a number of its own in 0xC000 to 0xFFFF, so it can never be
// mistaken for a fixed message such as WM_APP + 1. Numbers hold for the process. Any thread; safe to call
// during static initialisation.
#pragma once

#include "platform/WindowMessages.h"

namespace platform {

constexpr UINT kFirstRegisteredMessage = 0xC000;
constexpr UINT kLastRegisteredMessage = 0xFFFF;

// The number of the message registered under `name`, or 0 when the name is empty or the range is used up.
UINT RegisterWindowMessage(const char* name);

}  // namespace platform
