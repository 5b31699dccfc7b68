// SPDX-License-Identifier: MIT
// The program's entry: the application object and its run.
#include "app/ChimelyApp.h"

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
    CChimelyApp application(argc, argv);
    return application.Run();
}
