// SPDX-License-Identifier: MIT
// An exit() that the framework makes from inside its event loop while the program runs. Qt's X11
// platform ends the process so when its connection breaks (the X server ended first at a log-out, a
// remote display was closed), as Xlib's I/O error handler does, and Qt's Wayland platform when the
// compositor goes. exit() then destroys Qt's statics while main's stack still holds the window and the
// SIP stack, and any Qt object deleted after that point can crash. While a FrameworkExit exists, an exit()
// on its thread first runs the object's callback, before anything has been destroyed, then ends the
// process at once with _exit(): no static destructor runs. User-interface thread.
#pragma once

#include <functional>

namespace platform {

// The status the framework's own exits give (Qt's platforms and Xlib all pass 1); exit() does not tell
// what it was given to the code it runs.
constexpr int kFrameworkExitStatus = 1;

class FrameworkExit {
public:
    // `last` runs inside exit(), on the user-interface thread: the display is gone, so it must neither
    // run an event loop nor show anything.
    explicit FrameworkExit(std::function<void()> last);
    ~FrameworkExit();
    FrameworkExit(const FrameworkExit&) = delete;
    FrameworkExit& operator=(const FrameworkExit&) = delete;
};

}  // namespace platform
