// SPDX-License-Identifier: MIT
// The program's entry: the command line, then the application object and its run.
#include "app/ChimelyApp.h"
#include "app/CommandLine.h"

#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

namespace {

// The desktop entry's name without ".desktop": on Wayland it is the window's app id, which the desktop
// uses to find the program's icon and entry.
constexpr const char* kDesktopFileName = "com.vantorell.Chimely";

bool haveDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before any display is looked for, so they work on a console and in scripts.
    const CommandLine commandLine = ParseCommandLine(argc, argv);
    switch (commandLine.action) {
        case CommandLineAction::Help:
        case CommandLineAction::Version:
            std::fputs(commandLine.text.c_str(), stdout);
            return 0;
        case CommandLineAction::Refuse:
            std::fputs(commandLine.text.c_str(), stderr);
            return 2;
        case CommandLineAction::Run:
            break;
    }
    if (!haveDisplay()) {
        std::fprintf(stderr,
                     "chimely: no display (DISPLAY is not set); run it under a virtual display with: "
                     "xvfb-run -a make run\n");
        return 1;
    }
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    CChimelyApp application(argc, argv);
    return application.Run();
}
