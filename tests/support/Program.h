// SPDX-License-Identifier: MIT
// The program itself as a separate process, for tests: its own home, configuration and runtime
// directories in a temporary folder, its settings written beforehand, on a private X server or the
// offscreen platform, and what the kernel says about it (memory, processor time).
#pragma once

#include <sys/types.h>

#include <QTemporaryDir>

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace test {

// Output of a shell command (bounded to 5 s, stderr dropped).
std::string capture(const std::string& command);
bool haveCommand(const std::string& name);

// Waits up to `timeout` for `pid` to end; its exit status (128 + the signal for one ended by a signal),
// -1 while it still runs, -2 when it is no child of ours.
int waitForExit(pid_t pid, std::chrono::milliseconds timeout);
// SIGTERM, then SIGKILL after 3 s.
void endProcess(pid_t pid);

// An Xvfb of the tests' own on a display it picks itself.
class XServer {
public:
    XServer();
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":<n>", or empty when the server did not come up.
    const std::string& display() const { return m_display; }
    // Ends the server now, as the destructor would, and returns once it has ended; display() stays.
    void stop();

private:
    pid_t m_pid = -1;
    std::string m_display;
};

class Program {
public:
    struct Options {
        std::string display;        // an X display; offscreen when empty
        std::vector<std::string> arguments;
        int descriptorLimit = 0;    // soft and hard RLIMIT_NOFILE of the program, when not 0
        // A command the program runs under, its path and arguments following (NatLab::inLan(): in the
        // lab's home network with the lab's resolv.conf). It must end in an exec of the program, so that
        // the process id is the program's.
        std::vector<std::string> prefix;
    };

    Program();
    ~Program();  // ends every process it started that still runs
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The folder under the program's temporary home.
    std::string path(const std::string& sub) const;
    std::string settingsFile() const { return path("config/Vantorell/chimely.conf"); }
    std::string historyFile() const { return path("data/Vantorell/chimely/history.db"); }
    // Writes the [Settings] group the program reads at start.
    void writeSettings(const std::map<std::string, std::string>& values) const;

    pid_t start(const Options& options);
    // As waitForExit, for a process this object started; an ended one is forgotten at once, so that its
    // id, once reused, is never signalled.
    int waitFor(pid_t pid, std::chrono::milliseconds timeout);
    bool running(pid_t pid) { return waitFor(pid, std::chrono::milliseconds(0)) == -1; }
    // What the program wrote on stdout and stderr in its `n`th start (from 1).
    std::string log(int n) const;

private:
    QTemporaryDir m_dir;
    std::set<pid_t> m_running;
    int m_starts = 0;
};

// The resident set of a process now and at its peak, in kB; -1 when it is gone.
long residentKb(pid_t pid);
long peakResidentKb(pid_t pid);
// User plus system time a process has used, in clock ticks.
long cpuTicks(pid_t pid);
// The bytes this process's allocator has handed out and not had back: under AddressSanitizer its own count,
// otherwise the C library's over every thread's arena, which also counts the freed blocks each thread keeps
// cached for its next allocations (tens of kB after a burst of work).
std::size_t heapInUse();

}  // namespace test
