// SPDX-License-Identifier: MIT
#include "support/Program.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's runtime has it; GCC ships no header that declares it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace test {

std::string capture(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(("timeout 5 " + command + " 2>/dev/null").c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

bool haveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

int waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0)
            return -2;
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(2ms);
    }
}

void endProcess(pid_t pid) {
    kill(pid, SIGTERM);
    if (waitForExit(pid, 3s) == -1) {
        kill(pid, SIGKILL);
        waitForExit(pid, 3s);
    }
}

XServer::XServer() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(fds[1], 3);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24",
               "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd readable{fds[0], POLLIN, 0};
    const auto deadline = Clock::now() + 10s;
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        if (poll(&readable, 1, 100) <= 0)
            continue;
        char c;
        if (read(fds[0], &c, 1) != 1)
            break;
        number += c;
    }
    close(fds[0]);
    if (number.find('\n') != std::string::npos)
        m_display = ":" + number.substr(0, number.find('\n'));
}

XServer::~XServer() {
    stop();
}

void XServer::stop() {
    if (m_pid > 0)
        endProcess(m_pid);
    m_pid = -1;
}

Program::Program() {
    for (const char* sub : {"home", "config/Vantorell", "runtime"})
        QDir().mkpath(m_dir.filePath(QString::fromLatin1(sub)));
    chmod(path("runtime").c_str(), 0700);
}

Program::~Program() {
    for (pid_t pid : m_running)
        endProcess(pid);
}

std::string Program::path(const std::string& sub) const {
    return m_dir.filePath(QString::fromStdString(sub)).toStdString();
}

void Program::writeSettings(const std::map<std::string, std::string>& values) const {
    std::ofstream file(settingsFile());
    file << "[Settings]\n";
    for (const auto& [name, value] : values)
        file << name << '=' << value << '\n';
}

pid_t Program::start(const Options& options) {
    static const std::set<std::string> replaced = {
        "DISPLAY",         "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",          "HOME",
        "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER",
        "XDG_DATA_HOME"};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!replaced.count(text.substr(0, text.find('='))))
            environment.push_back(text);
    }
    if (options.display.empty()) {
        environment.push_back("QT_QPA_PLATFORM=offscreen");
    } else {
        environment.push_back("DISPLAY=" + options.display);
        environment.push_back("QT_QPA_PLATFORM=xcb");
    }
    environment.push_back("HOME=" + path("home"));
    environment.push_back("XDG_CONFIG_HOME=" + path("config"));
    environment.push_back("XDG_RUNTIME_DIR=" + path("runtime"));
    environment.push_back("XDG_DATA_HOME=" + path("data"));
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = options.prefix;
    words.push_back(CHIMELY_BINARY);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string logFile = path("chimely-" + std::to_string(++m_starts) + ".log");
    const rlim_t limit = static_cast<rlim_t>(options.descriptorLimit);

    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        close_range(3, ~0U, 0);
        if (limit) {
            const rlimit descriptors{limit, limit};
            setrlimit(RLIMIT_NOFILE, &descriptors);
        }
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    m_running.insert(pid);
    return pid;
}

int Program::waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const int status = waitForExit(pid, timeout);
    if (status != -1)
        m_running.erase(pid);
    return status;
}

std::string Program::log(int n) const {
    std::ifstream file(path("chimely-" + std::to_string(n) + ".log"));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

namespace {

long statusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::atol(line.c_str() + name.size() + 1);
    return -1;
}

}  // namespace

long residentKb(pid_t pid) {
    return statusField(pid, "VmRSS");
}

long peakResidentKb(pid_t pid) {
    return statusField(pid, "VmHWM");
}

std::size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 heap = mallinfo2();
    return heap.uordblks + heap.hblkhd;
#endif
}

long cpuTicks(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses: the fields are counted after its last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::atol(field.c_str());
        if (index == 15) {
            stime = std::atol(field.c_str());
            break;
        }
    }
    return utime + stime;
}

}  // namespace test
