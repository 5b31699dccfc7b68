// SPDX-License-Identifier: MIT
#include "platform/Shell.h"

#include "platform/QtShell.h"

namespace platform {
namespace {

Shell*& installed() {
    static Shell* shell = nullptr;
    return shell;
}

}  // namespace

Shell& CurrentShell() {
    if (Shell* shell = installed())
        return *shell;
    return QtShell::Instance();
}

ScopedShell::ScopedShell(Shell& shell) : m_previous(installed()) {
    installed() = &shell;
}

ScopedShell::~ScopedShell() {
    installed() = m_previous;
}

}  // namespace platform
