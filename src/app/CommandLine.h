// SPDX-License-Identifier: MIT
// The program's command line, read before anything of Qt exists: `--help` and `--version` answer without
// a display, `--minimized` is left for the start-up to see, Qt's own options go on to Qt, and anything
// else is refused with a message. Main thread, before the application object.
#pragma once

#include <string>

enum class CommandLineAction { Run, Help, Version, Refuse };

struct CommandLine {
    CommandLineAction action = CommandLineAction::Run;
    // What to print: the help or version text (stdout), or why the line was refused (stderr).
    std::string text;
};

// Reads argv (the program's name first). The first of --help and --version wins over what follows it;
// the first argument that is neither ours nor Qt's refuses the whole line.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// "chimely 1.1": the program's name and version.
std::string VersionText();
