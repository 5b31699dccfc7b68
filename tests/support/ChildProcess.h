// SPDX-License-Identifier: MIT
// A peer program run by a test: started in a process group of its own with its output in a file, waited
// for with a bound, and ended by its id. Called from the test's thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace test {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs `args` (found on PATH) with stdout and stderr going to `output`, and stdin from `input` when
    // that is a file descriptor, else from /dev/null.
    void start(const std::vector<std::string>& args, const std::string& output, int input = -1);
    // Whether it ended within `timeout` (then exitCode() says how).
    bool wait(std::chrono::milliseconds timeout);
    bool running() const { return m_pid > 0; }
    int pid() const { return m_pid; }
    // The exit status, or 128 + the signal that ended it; -1 while it runs.
    int exitCode() const { return m_exitCode; }
    void signal(int number) const;
    // Sends SIGTERM `terms` times, `grace` apart, then SIGKILL to the whole process group (so that
    // children it forked end too) when it still runs.
    void stop(int terms = 1, std::chrono::milliseconds grace = std::chrono::seconds(2));

private:
    int m_pid = -1;
    int m_exitCode = -1;
};

// The whole of a (small) text file, "" when it cannot be read.
std::string readTextFile(const std::string& path);

// The lines of `text`, without their line ends.
std::vector<std::string> splitLines(const std::string& text);

// Makes a FIFO at `path` and opens it at both ends, for a peer's stdin: while we hold its write end the
// peer never reads EOF, which would end a console peer. Throws when it cannot be made.
int openFifo(const std::string& path);

// Waits until `done` holds or `timeout` passes, running `meanwhile` between looks (the test's own agent
// has to keep answering), or sleeping when there is none. False on time-out, and as soon as `alive`, when
// given, no longer holds (the peer waited for has ended).
bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               const std::function<void()>& meanwhile = {}, const std::function<bool()>& alive = {});

// A new directory under /tmp, named after `what`; throws when it cannot be made.
std::string makeTempDir(const std::string& what);

// Removes `dir` unless CHIMELY_KEEP_PEERS is set, for looking at a peer's files after a run.
void removeTempDir(const std::string& dir);

}  // namespace test
