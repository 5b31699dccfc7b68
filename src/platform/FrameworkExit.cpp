// SPDX-License-Identifier: MIT
#include "platform/FrameworkExit.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

namespace platform {
namespace {

// exit() destroys the calling thread's objects of thread storage duration before it destroys any object
// of static storage duration or calls any function given to atexit (a rule of the language, not of one C
// library). A handler registered with atexit would run after every static made later than itself, Qt's
// font cache and the SIP layer's credentials among them; this object's destructor runs before all of them.
struct LastCall {
    std::function<void()> call;

    ~LastCall() {
        if (!call)
            return;
        std::function<void()> last = std::move(call);
        call = nullptr;
        last();
        std::fflush(nullptr);
        _exit(kFrameworkExitStatus);
    }
};

thread_local LastCall t_lastCall;

}  // namespace

FrameworkExit::FrameworkExit(std::function<void()> last) {
    t_lastCall.call = std::move(last);
}

FrameworkExit::~FrameworkExit() {
    t_lastCall.call = nullptr;
}

}  // namespace platform
