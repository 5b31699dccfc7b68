// SPDX-License-Identifier: MIT
// Runs every benchmark several times, interleaved (run 1 of each, then run 2 of each, ...), so that
// the program and its anchor are always measured in the same run under the same load, and prints one
// table: for each measure the program's figure and each anchor's, as min / median / max over the runs,
// with the ratio of the medians and the load average at the start and the end. The benchmarks' own
// lines are passed on as they come, so the runs behind each figure stay in the output. A figure that a
// run could not give reads "not measured" with the reason its benchmark gave, and a benchmark that
// failed in any run makes the report end with a non-zero status after the table.
//
//   BENCH_RUNS=3 BENCH_QUICK=0 bench_report
//
// BENCH_RUNS sets the number of runs (default 3); BENCH_QUICK=1 shortens each benchmark (10 s at rest,
// 200 MESSAGEs for latency, floods of 2,000, a soak of 2,000 texts received and 500 sent, a history of
// 20,000 texts) for a look in about a third of the time.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Anchor {
    std::string who;
    std::string name;
};

struct Measure {
    std::string key;
    std::string name;
    std::string unit;
    std::vector<Anchor> anchors;
    std::string goal;
};

const std::vector<Measure> kMeasures = {
    {"idle_cpu",
     "Idle CPU, signed in, Xvfb + trayer",
     "%",
     {{"dialog+timer", "Qt dialog + 100 ms timer"}, {"baresip", "baresip"}},
     "<= 1.1x dialog+timer"},
    {"latency_udp_direct_median",
     "MESSAGE to 200, UDP direct, median",
     "ms",
     {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}},
     "<= 1.0x"},
    {"latency_udp_direct_p99", "MESSAGE to 200, UDP direct, p99", "ms", {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}}, "<= 1.5x"},
    {"latency_tcp_direct_median",
     "MESSAGE to 200, TCP direct, median",
     "ms",
     {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}},
     "<= 1.0x"},
    {"latency_tcp_direct_p99", "MESSAGE to 200, TCP direct, p99", "ms", {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}}, "<= 1.5x"},
    {"latency_udp_proxy_median",
     "MESSAGE to 200, UDP via Kamailio, median",
     "ms",
     {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}},
     "<= 1.0x"},
    {"latency_udp_proxy_p99",
     "MESSAGE to 200, UDP via Kamailio, p99",
     "ms",
     {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}},
     "<= 1.5x"},
    {"latency_tcp_proxy_median",
     "MESSAGE to 200, TCP via Kamailio, median",
     "ms",
     {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}},
     "<= 1.0x"},
    {"latency_tcp_proxy_p99",
     "MESSAGE to 200, TCP via Kamailio, p99",
     "ms",
     {{"baresip", "baresip"}, {"sofia", "bare sofia-sip agent"}},
     "<= 1.5x"},
    {"flood_500_peak_rss", "Flood at 500/s, peak RSS", "MB", {{"baresip", "baresip"}}, "<= 60 MB"},
    {"flood_2000_peak_rss", "Flood at 2,000/s, peak RSS", "MB", {{"baresip", "baresip"}}, "<= 60 MB"},
    {"start_mapped", "Start: exec to main window mapped", "ms", {{"dialog", "Qt dialog"}}, "<= 1.5x"},
    {"start_register",
     "Start: exec to first REGISTER",
     "ms",
     {{"baresip", "baresip"}, {"qt+sofia", "Qt + sofia-sip, one REGISTER"}},
     "<= 25 ms or floor + 10 ms"},
    {"idle_rss",
     "Idle RSS, signed in, X11 + tray",
     "MB",
     {{"dialog", "Qt dialog"}, {"baresip", "baresip"}},
     "<= 32 MB"},
    {"idle_pss", "Idle PSS", "MB", {{"dialog", "Qt dialog"}, {"baresip", "baresip"}}, ""},
    {"idle_private", "Idle private memory", "MB", {{"dialog", "Qt dialog"}, {"baresip", "baresip"}}, ""},
    {"transport_sign_in",
     "TLS: exec to signed in, by name",
     "ms",
     {{"chimely-tcp", "Chimely over TCP"}, {"chimely-udp", "Chimely over UDP"}},
     ""},
    {"transport_idle_cpu",
     "TLS: idle CPU, signed in, offscreen",
     "%",
     {{"chimely-tcp", "Chimely over TCP"}, {"chimely-udp", "Chimely over UDP"}},
     ""},
    {"transport_idle_rss",
     "TLS: idle RSS, signed in, offscreen",
     "MB",
     {{"chimely-tcp", "Chimely over TCP"}, {"chimely-udp", "Chimely over UDP"}},
     ""},
    {"family_sign_in_udp",
     "UDP: exec to signed in over IPv6",
     "ms",
     {{"chimely-ipv4", "the same over IPv4"}},
     ""},
    {"family_sign_in_tcp",
     "TCP: exec to signed in over IPv6",
     "ms",
     {{"chimely-ipv4", "the same over IPv4"}},
     ""},
    {"family_sign_in_tls",
     "TLS: exec to signed in over IPv6",
     "ms",
     {{"chimely-ipv4", "the same over IPv4"}},
     ""},
    {"family_dropped_v6", "UDP, IPv6 path dropped: exec to signed in over IPv4", "ms", {}, "<= 10 s"},
    {"family_dropped_v4", "UDP, IPv4 path dropped: exec to signed in over IPv6", "ms", {}, "<= 10 s"},
    {"keepalive_udp_packets", "UDP at rest: packets an hour, both ways", "", {}, ""},
    {"keepalive_udp_kb", "UDP at rest: kB of IP an hour, both ways", "kB", {}, ""},
    {"keepalive_tcp_packets", "TCP at rest: packets an hour, both ways", "", {}, ""},
    {"keepalive_tcp_kb", "TCP at rest: kB of IP an hour, both ways", "kB", {}, ""},
    {"keepalive_tls_packets", "TLS at rest: packets an hour, both ways", "", {}, ""},
    {"keepalive_tls_kb", "TLS at rest: kB of IP an hour, both ways", "kB", {}, ""},
    {"soak_heap_warm", "Soak: heap in use, 500 received", "kB", {{"rest", "Chimely at rest"}}, ""},
    {"soak_heap_received", "Soak: heap in use, all received (5,000; quick 2,000)", "kB",
     {{"rest", "Chimely at rest"}}, "<= 500 received + 64 kB"},
    {"soak_heap_sent", "Soak: heap in use, then sent (1,000; quick 500)", "kB", {{"rest", "Chimely at rest"}},
     ""},
    {"soak_heap_slope_received", "Soak: heap growth per 1,000 received", "kB", {}, "<= 14 kB"},
    {"soak_heap_slope_sent", "Soak: heap growth per 1,000 sent", "kB", {}, ""},
    {"soak_rss_warm", "Soak: RSS, 500 received", "MB", {{"rest", "Chimely at rest"}}, ""},
    {"soak_rss_received", "Soak: RSS, all received", "MB", {{"rest", "Chimely at rest"}}, ""},
    {"soak_rss_sent", "Soak: RSS, then sent", "MB", {{"rest", "Chimely at rest"}}, ""},
    {"soak_rss_slope_received", "Soak: RSS growth per 1,000 received", "kB", {}, ""},
    {"history_start_mapped", "History on (100,000 texts): exec to window mapped", "ms",
     {{"off", "Chimely, history off"}}, "<= 1.05x"},
    {"history_open_painted", "History window open, conversations painted", "ms",
     {{"sqlite3", "sqlite3 shell, same query"}}, "< 100 ms"},
    {"history_conversation_painted", "10,000-text conversation painted", "ms",
     {{"sqlite3", "sqlite3 shell, same query"}}, "< 50 ms"},
    {"history_search", "Search over all texts, hits listed", "ms", {{"sqlite3", "sqlite3 shell, same query"}},
     "< 100 ms"},
    {"history_record_median", "Recording a received text, window's thread, median", "ms",
     {{"sqlite3", "sqlite3 shell, per insert"}}, "< 1 ms"},
    {"history_flood_written", "Flood of 10,000 texts written whole", "ms",
     {{"sqlite3", "sqlite3 shell, same inserts"}}, ""},
    {"history_agent_flood", "Flood of 10,000 at 1,000/s into the agent, all kept", "ms", {}, ""},
    {"history_working_rss", "RSS 2 s after a text, history on", "MB", {{"off", "Chimely, history off"}}, ""},
    {"history_idle_rss", "Idle RSS after a text, history on (store at rest)", "MB",
     {{"off", "Chimely, history off"}}, "<= off + 1.5 MB"},
};

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string here() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string("./x");
    return path.substr(0, path.rfind('/') + 1);
}

// measure -> who -> one value per run
using Results = std::map<std::string, std::map<std::string, std::vector<double>>>;
// measure -> who -> why a run gave no figure (the last reason given)
using Failures = std::map<std::string, std::map<std::string, std::string>>;

struct Command {
    std::string line;
    // How long it may take (it is ended then).
    int limitSeconds = 300;
};

// Runs one benchmark (bounded), passing its lines on and keeping its figures and the reasons of those it
// could not give; false when it failed.
bool runOne(const Command& command, Results& results, Failures& failures) {
    std::printf("$ %s\n", command.line.c_str());
    std::fflush(stdout);
    const std::string limit = std::to_string(command.limitSeconds);
    FILE* pipe = popen(("timeout -k 10 " + limit + " " + command.line + " 2>&1").c_str(), "r");
    if (!pipe) {
        std::printf("    (could not be started)\n");
        return false;
    }
    char line[8192];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text = line;
        const bool figure = text.rfind("RESULT\t", 0) == 0;
        if (figure || text.rfind("FAILED\t", 0) == 0) {
            std::istringstream fields(text.substr(7));
            std::string measure, who, value;
            std::getline(fields, measure, '\t');
            std::getline(fields, who, '\t');
            std::getline(fields, value);
            if (figure) {
                results[measure][who].push_back(std::atof(value.c_str()));
            } else {
                failures[measure][who] = value;
                std::printf("    %s: %s not measured: %s\n", measure.c_str(), who.c_str(), value.c_str());
            }
        } else {
            std::printf("    %s", text.c_str());
        }
    }
    const int status = pclose(pipe);
    if (status != 0)
        std::printf("    (FAILED: ended with status %d; its figures of this run are missing)\n", status);
    std::fflush(stdout);
    return status == 0;
}

struct Spread {
    double min = 0, median = 0, max = 0;
    std::size_t runs = 0;
};

Spread spread(std::vector<double> values) {
    Spread s;
    s.runs = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.min = values.front();
    s.max = values.back();
    const std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

// A figure missing from some runs says so; one missing from all says why.
std::string format(const Spread& s, const std::string& unit, int runs, const std::string& why) {
    if (!s.runs)
        return "not measured: " +
               (why.empty() ? std::string("no benchmark gave it (see the runs above)") : why);
    char text[128];
    const char* pattern = unit == "%"    ? "%.3f / %.3f / %.3f %s"
                          : unit == "MB" ? "%.1f / %.1f / %.1f %s"
                                         : "%.2f / %.2f / %.2f %s";
    std::snprintf(text, sizeof text, pattern, s.min, s.median, s.max, unit.c_str());
    if (s.runs < static_cast<std::size_t>(runs))
        return std::string(text) + " (" + std::to_string(s.runs) + " of " + std::to_string(runs) + " runs" +
               (why.empty() ? "" : "; " + why) + ")";
    return text;
}

}  // namespace

int main() {
    const char* runsText = std::getenv("BENCH_RUNS");
    const int runs = std::max(1, runsText ? std::atoi(runsText) : 3);
    const char* quickText = std::getenv("BENCH_QUICK");
    const bool quick = quickText && std::string(quickText) != "0" && *quickText;
    const std::string dir = here();
    const std::string messages = quick ? "200 50" : "500 50";
    const std::string flood = quick ? "2000" : "10000";
    const std::vector<Command> commands = {
        {dir + "bench_footprint " + (quick ? "10" : "30")},
        {dir + "bench_start_up"},
        {dir + "bench_transports " + (quick ? "30" : "60")},
        {dir + "bench_message_latency " + messages + " udp direct"},
        {dir + "bench_message_latency " + messages + " tcp direct"},
        {dir + "bench_message_latency " + messages + " udp proxy"},
        {dir + "bench_message_latency " + messages + " tcp proxy"},
        {dir + "bench_message_flood " + flood + " 500"},
        {dir + "bench_message_flood " + flood + " 2000"},
        // Five waits of 35 s for the stack's transactions to end, besides the texts themselves.
        {dir + "bench_soak " + (quick ? "500 2000 500" : "500 5000 1000") + " 50", 600},
        {dir + "bench_history " + (quick ? "20000" : "100000")},
    };

    const std::string loadBefore = loadAverage();
    const auto began = std::chrono::steady_clock::now();
    Results results;
    Failures failures;
    std::vector<std::string> failed;
    for (int run = 1; run <= runs; ++run) {
        std::printf("== run %d of %d, load average %s\n", run, runs, loadAverage().c_str());
        for (const Command& command : commands)
            if (!runOne(command, results, failures))
                failed.push_back("run " + std::to_string(run) + ": " + command.line.substr(dir.size()));
    }
    const std::string loadAfter = loadAverage();
    const double minutes =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() / 60.0;

    std::printf(
        "\n%d run%s%s in %.1f min; load average (1, 5, 15 min) %s at the start, %s at the end; "
        "2 cores.\n\n",
        runs, runs == 1 ? "" : "s", quick ? " (quick)" : "", minutes, loadBefore.c_str(), loadAfter.c_str());
    std::printf(
        "| Measure | Chimely min / median / max | Anchor | Anchor min / median / max | Ratio of "
        "medians | Goal |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const Measure& measure : kMeasures) {
        const Spread own = spread(results[measure.key]["chimely"]);
        const std::string ownText = format(own, measure.unit, runs, failures[measure.key]["chimely"]);
        if (measure.anchors.empty())
            std::printf("| %s | %s | - | - | - | %s |\n", measure.name.c_str(), ownText.c_str(),
                        measure.goal.c_str());
        bool first = true;
        for (const Anchor& anchor : measure.anchors) {
            const Spread other = spread(results[measure.key][anchor.who]);
            char ratio[32] = "-";
            if (own.runs && other.runs && other.median > 0)
                std::snprintf(ratio, sizeof ratio, "%.2fx", own.median / other.median);
            std::printf("| %s | %s | %s | %s | %s | %s |\n", first ? measure.name.c_str() : "",
                        first ? ownText.c_str() : "", anchor.name.c_str(),
                        format(other, measure.unit, runs, failures[measure.key][anchor.who]).c_str(), ratio,
                        first ? measure.goal.c_str() : "");
            first = false;
        }
    }
    if (failed.empty())
        return 0;
    std::printf("\n%zu benchmark run%s FAILED; the figures they miss are marked above:\n", failed.size(),
                failed.size() == 1 ? "" : "s");
    for (const std::string& which : failed)
        std::printf("  %s\n", which.c_str());
    return 1;
}
