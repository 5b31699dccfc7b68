// SPDX-License-Identifier: MIT
// The command line: --help and --version answer (from the real program, without any display), the
// minimised start and Qt's own options are let through, and anything else is refused before a window
// could appear.
#include "app/CommandLine.h"
#include "res/Resource.h"
#include "sip/ReplacedFunctions.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

CommandLine parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "chimely");
    return ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built program with an empty environment (no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM)
// and collects what it prints. Its output is small, so reading one pipe after the other cannot block.
Outcome runProgram(const std::vector<std::string>& arguments) {
    std::array<int, 2> out{}, err{};
    if (pipe(out.data()) != 0 || pipe(err.data()) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> argv{const_cast<char*>("chimely")};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        char* environment[] = {nullptr};
        execve(CHIMELY_BINARY, argv.data(), environment);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    Outcome outcome;
    char buffer[4096];
    for (auto [fd, text] : {std::pair{out[0], &outcome.out}, std::pair{err[0], &outcome.err}}) {
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            text->append(buffer, static_cast<std::size_t>(n));
        close(fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

TEST(CommandLine, RunsWithTheMinimisedStartAndQtsOwnOptions) {
    EXPECT_EQ(CommandLineAction::Run, parse({}).action);
    EXPECT_EQ(CommandLineAction::Run, parse({"--minimized"}).action);
    EXPECT_EQ(CommandLineAction::Run, parse({"-minimized"}).action);
    EXPECT_EQ(CommandLineAction::Run, parse({"-platform", "wayland", "--minimized"}).action);
    EXPECT_EQ(CommandLineAction::Run, parse({"--style=Fusion", "-reverse"}).action);
    // The value of a Qt option is not read as an option of ours.
    EXPECT_EQ(CommandLineAction::Run, parse({"-qwindowtitle", "--bogus"}).action);
}

TEST(CommandLine, RefusesWhatItDoesNotKnow) {
    const CommandLine unknown = parse({"--minimized", "--frobnicate"});
    EXPECT_EQ(CommandLineAction::Refuse, unknown.action);
    EXPECT_NE(std::string::npos, unknown.text.find("unknown option '--frobnicate'")) << unknown.text;
    EXPECT_EQ(CommandLineAction::Refuse, parse({"notes.txt"}).action);
    EXPECT_EQ(CommandLineAction::Refuse, parse({"--minimised"}).action);
    // A Qt option that needs a value, at the end of the line.
    const CommandLine missing = parse({"-platform"});
    EXPECT_EQ(CommandLineAction::Refuse, missing.action);
    EXPECT_NE(std::string::npos, missing.text.find("needs a value")) << missing.text;
    // A flag of Qt's given a value is not Qt's flag.
    EXPECT_EQ(CommandLineAction::Refuse, parse({"-reverse=yes"}).action);
}

TEST(CommandLine, HelpAndVersionWinOverWhatFollows) {
    EXPECT_EQ(CommandLineAction::Help, parse({"--help", "--frobnicate"}).action);
    EXPECT_EQ(CommandLineAction::Help, parse({"--minimized", "-h"}).action);
    EXPECT_EQ(CommandLineAction::Version, parse({"--version", "--help"}).action);
    EXPECT_EQ(CommandLineAction::Refuse, parse({"--frobnicate", "--help"}).action);
}

TEST(CommandLine, VersionIsTheOneTheWindowTitleShows) {
    const std::string version = VersionText().substr(std::string("chimely ").size());
    const std::string caption = kMainDialogCaption;
    EXPECT_EQ(version, caption.substr(caption.rfind(' ') + 1));
}

TEST(CommandLine, TheProgramAnswersWithoutADisplay) {
    const Outcome version = runProgram({"--version"});
    EXPECT_EQ(0, version.status) << version.err;
    EXPECT_EQ(VersionText() + "\n" + sip::replaced::report() + "\n", version.out);
    // The build of sofia-sip the program's own definitions in its place were checked against.
    EXPECT_NE(std::string::npos,
              version.out.find(": every function the program defines in its place is in use"))
        << version.out;

    const Outcome help = runProgram({"--help"});
    EXPECT_EQ(0, help.status) << help.err;
    EXPECT_EQ(0u, help.out.rfind("Usage: chimely [--minimized]", 0)) << help.out;
    EXPECT_NE(std::string::npos, help.out.find("~/.config/Vantorell/chimely.conf"));
    EXPECT_EQ("", help.err);

    const Outcome unknown = runProgram({"--frobnicate"});
    EXPECT_EQ(2, unknown.status);
    EXPECT_EQ("", unknown.out);
    EXPECT_NE(std::string::npos, unknown.err.find("unknown option '--frobnicate'")) << unknown.err;

    // Without --help, the missing display is what it says.
    const Outcome plain = runProgram({});
    EXPECT_EQ(1, plain.status);
    EXPECT_NE(std::string::npos, plain.err.find("no display")) << plain.err;
}

}  // namespace
