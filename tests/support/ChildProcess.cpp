// SPDX-License-Identifier: MIT
#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {

ChildProcess::~ChildProcess() {
    stop();
}

void ChildProcess::start(const std::vector<std::string>& args, const std::string& output, int input) {
    if (running())
        throw std::logic_error(args.front() + " runs already");
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& arg : copy)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int in = input >= 0 ? input : open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0)
        throw std::runtime_error("cannot open the files of " + args.front());
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        // Nothing else of the test (the agent's sockets above all) stays open in the peer.
        close_range(3, ~0U, 0);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out);
    if (input < 0)
        close(in);
    if (pid < 0)
        throw std::runtime_error("fork failed for " + args.front());
    // Also from here, so that stop() finds the group even if the child has not run yet.
    setpgid(pid, pid);
    m_pid = pid;
    m_exitCode = -1;
}

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            m_pid = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::signal(int number) const {
    if (m_pid > 0)
        kill(m_pid, number);
}

void ChildProcess::stop(int terms, std::chrono::milliseconds grace) {
    if (m_pid <= 0)
        return;
    const int group = m_pid;
    for (int i = 0; i < terms; ++i) {
        signal(SIGTERM);
        if (wait(grace))
            break;
    }
    // The group goes too, so that what the peer forked (Kamailio's children) does not outlive it. Until
    // the peer is reaped, its id cannot name anybody else's group.
    if (running()) {
        kill(-group, SIGKILL);
        wait(std::chrono::seconds(2));
    }
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int openFifo(const std::string& path) {
    if (mkfifo(path.c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo failed: " + path);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open the FIFO " + path);
    return fd;
}

bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               const std::function<void()>& meanwhile, const std::function<bool()>& alive) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline || (alive && !alive()))
            return false;
        if (meanwhile)
            meanwhile();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string makeTempDir(const std::string& what) {
    std::string pattern = "/tmp/chimely-" + what + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed for " + what);
    return pattern;
}

void removeTempDir(const std::string& dir) {
    if (dir.empty() || std::getenv("CHIMELY_KEEP_PEERS"))
        return;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace test
