// SPDX-License-Identifier: MIT
// What the benchmarks share: the lines each figure, or the reason it is missing, is reported on (read
// back by bench_report), what SIPp was answered, what the
// kernel says about a process (processor time in nanoseconds, resident, proportional and private
// memory), the machine's load, a tray on a private X display, and the other benchmark programs next to
// this one. Runs on the benchmark's one thread.
#pragma once

#include "support/ChildProcess.h"
#include "support/Program.h"
#include "support/Sipp.h"

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

// One figure, for bench_report: "RESULT <measure> <who> <value>", tab-separated.
inline void result(const std::string& measure, const std::string& who, double value) {
    std::printf("RESULT\t%s\t%s\t%.6g\n", measure.c_str(), who.c_str(), value);
    std::fflush(stdout);
}

// A figure that could not be had, and why, for bench_report: "FAILED <measure> <who> <reason>", on one
// line. A benchmark that reports one ends with a non-zero status.
inline void failure(const std::string& measure, const std::string& who, const std::string& reason) {
    std::string line = reason.substr(0, 300);
    for (char& c : line)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    std::printf("FAILED\t%s\t%s\t%s\n", measure.c_str(), who.c_str(), line.c_str());
    std::fflush(stdout);
}

// The final answers SIPp was given, by status line, most frequent first: "404 Not Found to 200, 200 OK to
// 3"; "no final answer" when there was none.
inline std::string finalAnswers(const test::Sipp& peer) {
    std::map<std::string, int> counts;
    for (const auto& message : peer.messages())
        if (!message.sent && message.status() >= 200) {
            const std::string line = message.startLine();
            ++counts[line.size() > 8 ? line.substr(8) : line];
        }
    std::vector<std::pair<int, std::string>> ordered;
    for (const auto& [answer, count] : counts)
        ordered.emplace_back(-count, answer);
    std::sort(ordered.begin(), ordered.end());
    std::string text;
    for (const auto& [count, answer] : ordered)
        text += (text.empty() ? "" : ", ") + answer + " to " + std::to_string(-count);
    return text.empty() ? "no final answer" : text;
}

// The 1, 5 and 15 minute load averages as /proc/loadavg gives them.
// The middle of `values` (the upper one of an even count), or -1 when there are none.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

inline std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Processor time used so far by every thread of `pid` that still runs, in nanoseconds (the scheduler's
// own accounting, far finer than the clock ticks of /proc/<pid>/stat); -1 when it is gone.
inline long long cpuNs(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir)
        return -1;
    long long total = 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream file(tasks + "/" + entry->d_name + "/schedstat");
        long long onCpu = 0;
        if (file >> onCpu)
            total += onCpu;
    }
    closedir(dir);
    return total;
}

struct Footprint {
    long rssKb = -1;
    long pssKb = -1;
    long privateKb = -1;  // clean and dirty pages no other process maps
};

inline Footprint footprint(pid_t pid) {
    Footprint result;
    std::ifstream file("/proc/" + std::to_string(pid) + "/smaps_rollup");
    long privateClean = 0, privateDirty = 0;
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::string name;
        long kb = 0;
        fields >> name >> kb;
        if (name == "Rss:")
            result.rssKb = kb;
        else if (name == "Pss:")
            result.pssKb = kb;
        else if (name == "Private_Clean:")
            privateClean = kb;
        else if (name == "Private_Dirty:")
            privateDirty = kb;
    }
    if (result.rssKb >= 0)
        result.privateKb = privateClean + privateDirty;
    return result;
}

// The path of another benchmark program built next to this one.
inline std::string sibling(const std::string& name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./x");
    return path.substr(0, path.rfind('/') + 1) + name;
}

// Debian's trayer as the notification area of the display in DISPLAY, given a moment to claim the tray
// selection before anything looks for it.
inline void startTray(test::ChildProcess& tray, const std::string& dir) {
    tray.start({"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request", "--height", "24",
                "--SetDockType", "true", "--SetPartialStrut", "true"},
               dir + "/trayer.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

// Makes `x` this process's display, for it and every program it starts, with trayer as its tray.
inline void useDisplayWithTray(const test::XServer& x, test::ChildProcess& tray, const std::string& dir) {
    if (x.display().empty())
        throw std::runtime_error("Xvfb did not come up");
    setenv("DISPLAY", x.display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    startTray(tray, dir);
}

// Sleeps in steps until `done` holds or `limit` passes; whether it holds.
template <typename Done>
bool waitFor(Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace bench
