// SPDX-License-Identifier: MIT
// The program's entry: a tray program, so closing the last window does not end it by itself.
#include "platform/ProfileStore.h"
#include "ui/ChimelyDlg.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

bool haveDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
    if (!haveDisplay()) {
        std::fprintf(stderr,
                     "chimely: no display (DISPLAY is not set); run it under a virtual display with: "
                     "xvfb-run -a make run\n");
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    platform::SetRegistryKey(QStringLiteral("Vantorell"));
    CChimelyDlg dialog(false);
    dialog.DoModal();
    return 0;
}
