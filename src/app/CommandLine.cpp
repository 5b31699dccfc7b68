// SPDX-License-Identifier: MIT
#include "app/CommandLine.h"

#include "sip/ReplacedFunctions.h"

#include <array>
#include <string_view>

#ifndef CHIMELY_VERSION
#error "CHIMELY_VERSION comes from the build (project version)"
#endif

namespace {

// QGuiApplication and QApplication take these themselves; they take a value as the next argument.
constexpr std::array<std::string_view, 11> kQtOptionsWithValue = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "style",
    "stylesheet"};
constexpr std::array<std::string_view, 5> kQtFlags = {"reverse", "nograb", "dograb", "sync", "widgetcount"};

constexpr const char* kHelp =
    "Usage: chimely [--minimized]\n"
    "A desktop SIP text-messaging agent: it signs in to a SIP registrar, sends short texts to one\n"
    "address at a time and shows every text that arrives. It lives in the notification area.\n"
    "\n"
    "  --minimized   start with the window hidden (only the notification-area icon shows)\n"
    "  -h, --help    show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Qt's own options (-platform NAME, -display DISPLAY, -style NAME, ...) are passed on to Qt.\n"
    "Settings: $XDG_CONFIG_HOME/Vantorell/chimely.conf (by default ~/.config/Vantorell/chimely.conf);\n"
    "a second start brings the running program's window up. See chimely(1).\n";

template <std::size_t N>
bool among(const std::array<std::string_view, N>& names, std::string_view name) {
    for (std::string_view known : names)
        if (known == name)
            return true;
    return false;
}

}  // namespace

std::string VersionText() {
    return std::string("chimely ") + CHIMELY_VERSION;
}

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h")
            return {CommandLineAction::Help, kHelp};
        // With the sofia-sip that is loaded, and which of the program's definitions in its place are off.
        if (argument == "--version")
            return {CommandLineAction::Version, VersionText() + "\n" + sip::replaced::report() + "\n"};
        if (argument == "--minimized" || argument == "-minimized")
            continue;
        // Qt reads its options with one dash or two, and a value either after "=" or as the next argument.
        std::string_view name = argument;
        if (name.size() > 1 && name[0] == '-')
            name.remove_prefix(name.size() > 2 && name[1] == '-' ? 2 : 1);
        else
            name = {};
        const auto equals = name.find('=');
        const std::string_view bare = name.substr(0, equals);
        if (!name.empty() && among(kQtOptionsWithValue, bare)) {
            if (equals == std::string_view::npos && ++i >= argc)
                return {CommandLineAction::Refuse, "chimely: option '" + std::string(argument) +
                                                       "' needs a value\n"
                                                       "Try 'chimely --help' for more information.\n"};
            continue;
        }
        if (!name.empty() && equals == std::string_view::npos && among(kQtFlags, bare))
            continue;
        const std::string what =
            argument.size() > 1 && argument[0] == '-' ? "unknown option" : "unexpected argument";
        return {CommandLineAction::Refuse, "chimely: " + what + " '" + std::string(argument) +
                                               "'\nTry 'chimely --help' for more information.\n"};
    }
    return {};
}
