// SPDX-License-Identifier: MIT
// Benchmark: the history of texts. A store of `texts` texts (default 100,000) over 200 conversations, one
// of them of 10,000, is written through the program's store; then, on it:
//   - recording a received text on the window's thread (the store's record call; each of a flood of
//     10,000, which must all be written, in order), and a flood of 10,000 MESSAGEs from SIPp into the
//     agent with the history on, every one answered and kept, in order;
//   - the History window opened until its conversations are listed and painted, a 10,000-text conversation
//     chosen until its newest page is painted, a search until its hits are listed (offscreen);
//   - start-up with the history on (this store in its file) against off: exec to the main window mapped,
//     on a private Xvfb;
//   - RSS of the program after a received text with the history on against off: 2 s after it, and once
//     the store has rested; whether SQLite is mapped at each point (never with the history off).
// The anchor, in the same run: the sqlite3 shell on a copy of the same schema doing the same inserts (in
// one transaction) and the same queries, each timed by the shell itself.
//
//   bench_history [texts]
#include "MapWatch.h"
#include "Measure.h"

#include "support/Hub.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "history/HistoryStore.h"
#include "res/Resource.h"
#include "ui/HistoryDlg.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

constexpr int kConversations = 200;
constexpr int kLongConversation = 10000;
constexpr int kFlood = 10000;
// The rate of the flood from SIPp into the agent, texts a second.
constexpr int kFloodRate = 1000;
constexpr const char* kAccount = "alice@example.test";
constexpr const char* kSearchWords = "lunch tomorrow";
// Starts with the history on and off, taken in turn.
constexpr int kStarts = 5;

using Clock = std::chrono::steady_clock;
using bench::median;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string peerOf(int conversation) {
    return "peer" + std::to_string(conversation) + "@example.test";
}

// The text number i of the store: the first kLongConversation go to one peer, the rest round the others;
// every 97th mentions lunch.
history::Text textNumber(int i) {
    history::Text t;
    t.account = kAccount;
    t.peer = i < kLongConversation ? peerOf(0) : peerOf(1 + i % (kConversations - 1));
    t.direction = i % 3 ? history::Direction::Received : history::Direction::Sent;
    t.timeMs = 1765000000000LL + i * 1000LL;
    t.body =
        "text " + std::to_string(i) + (i % 97 ? " about nothing much at all" : " lunch tomorrow at noon?");
    t.outcome =
        t.direction == history::Direction::Sent ? history::Outcome::Delivered : history::Outcome::None;
    t.statusCode = t.direction == history::Direction::Sent ? 200 : 0;
    t.reason = t.direction == history::Direction::Sent ? "OK" : "";
    return t;
}

std::string sqlQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

// The sqlite3 shell on `file` with `script`; the sum of its "Run Time: real" figures in ms, or the whole
// run's wall time when `whole`. Throws when the shell fails.
double shell(const std::string& file, const std::string& script, const std::string& dir, bool whole = false) {
    const std::string scriptFile = dir + "/anchor.sql";
    std::ofstream(scriptFile) << (whole ? "" : ".timer on\n") << script << "\n";
    const auto start = Clock::now();
    FILE* pipe = popen(("sqlite3 -batch " + file + " < " + scriptFile + " 2>&1").c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run sqlite3");
    double total = 0;
    char line[4096];
    std::string output;
    while (std::fgets(line, sizeof line, pipe)) {
        const std::string text = line;
        if (text.rfind("Run Time: real ", 0) == 0)
            total += std::atof(text.c_str() + 15) * 1000.0;
        else if (output.size() < 2000)
            output += text;
    }
    const double wall = msSince(start);
    if (pclose(pipe) != 0 || output.find("Error") != std::string::npos)
        throw std::runtime_error("sqlite3 failed: " + output);
    return whole ? wall : total;
}

// Runs the event loop until `done` holds; false after `limit`.
template <typename Done>
bool spin(Done done, std::chrono::milliseconds limit = 30s) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

bool sqliteMapped(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    return std::string(std::istreambuf_iterator<char>(maps), {}).find("libsqlite3") != std::string::npos;
}

struct Resident {
    long workingKb = -1;  // 2 s after the text
    bool workingMapped = false;
    long idleKb = -1;  // once the store has rested
    bool idleMapped = false;
};

// The program's memory after one received text: while the store is still open, and at rest.
Resident residentAfterAText(bool keepHistory) {
    test::Program program;
    const int port = test::freePort();
    program.writeSettings({{"SigninName", "alice@127.0.0.1"},
                           {"Password", "x"},
                           {"Protocol", "0"},
                           {"LocalPort", std::to_string(port)},
                           {"KeepHistory", keepHistory ? "1" : "0"}});
    const pid_t pid = program.start({});
    if (!test::waitForUdpPort(port, 15s))
        throw std::runtime_error("the program did not open its port");
    test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n", "hello", 200),
                     .remote = "127.0.0.1:" + std::to_string(port)});
    peer.start();
    if (!peer.wait(20s) || peer.exitCode() != 0)
        throw std::runtime_error("the program did not answer a text: " + peer.errors());
    Resident resident;
    std::this_thread::sleep_for(2s);
    resident.workingKb = bench::footprint(pid).rssKb;
    resident.workingMapped = sqliteMapped(pid);
    std::this_thread::sleep_for(history::kRestAfter + 2s);
    resident.idleKb = bench::footprint(pid).rssKb;
    resident.idleMapped = sqliteMapped(pid);
    kill(pid, SIGTERM);
    program.waitFor(pid, 10s);
    if (resident.workingKb < 0 || resident.idleKb < 0)
        throw std::runtime_error("the program ended early");
    return resident;
}

double startMapped(bool keepHistory, const std::string& historyFile, const test::XServer& x) {
    bench::MapWatch windows(x.display());
    windows.windowMapped();
    test::Program program;
    program.writeSettings({{"SigninName", "alice@127.0.0.1"},
                           {"Password", "x"},
                           {"Protocol", "0"},
                           {"LocalPort", std::to_string(test::freePort())},
                           {"KeepHistory", keepHistory ? "1" : "0"}});
    if (keepHistory) {
        std::filesystem::create_directories(std::filesystem::path(program.historyFile()).parent_path());
        std::filesystem::copy_file(historyFile, program.historyFile());
        // On the disk before the start, so that the copy's write-back is not timed with it.
        const int fd = open(program.historyFile().c_str(), O_RDONLY | O_CLOEXEC);
        fsync(fd);
        close(fd);
    }
    const double startedAt = bench::realtimeMs();
    const pid_t pid = program.start({.display = x.display()});
    double mapped = -1;
    const auto deadline = Clock::now() + 10s;
    while (mapped < 0 && Clock::now() < deadline) {
        pollfd fd{windows.fd(), POLLIN, 0};
        poll(&fd, 1, 50);
        if (windows.windowMapped())
            mapped = bench::realtimeMs() - startedAt;
    }
    kill(pid, SIGTERM);
    program.waitFor(pid, 10s);
    if (mapped < 0)
        throw std::runtime_error("the main window was not mapped");
    return mapped;
}

}  // namespace

int main(int argc, char** argv) {
    const int texts = std::max(kLongConversation + kConversations, argc > 1 ? std::atoi(argv[1]) : 100000);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    const std::string dir = test::makeTempDir("history");
    try {
        std::printf("load average %s\n", bench::loadAverage().c_str());
        const std::string file = dir + "/history.db";
        QObject context;
        auto post = [&context](std::function<void()> call) {
            QMetaObject::invokeMethod(&context, std::move(call), Qt::QueuedConnection);
        };
        bool faulted = false;
        auto store = std::make_unique<history::HistoryStore>(file, post, [&](const history::Fault& fault) {
            std::fprintf(stderr, "store fault: %s\n", fault.detail.c_str());
            faulted = true;
        });

        // The store written, and the same inserts for the anchor.
        std::string inserts = "BEGIN;\n";
        auto start = Clock::now();
        for (int i = 0; i < texts; ++i) {
            history::Text t = textNumber(i);
            inserts +=
                "INSERT INTO texts(account, peer, peer_key, direction, time, body, route, outcome, status, "
                "reason) VALUES (" +
                sqlQuoted(t.account) + "," + sqlQuoted(t.peer) + "," + sqlQuoted(t.peer) + "," +
                std::to_string(static_cast<int>(t.direction)) + "," + std::to_string(t.timeMs) + ",CAST(" +
                sqlQuoted(t.body) + " AS BLOB),0," + std::to_string(static_cast<int>(t.outcome)) + "," +
                std::to_string(t.statusCode) + "," + sqlQuoted(t.reason) + ");\n";
            store->record(std::move(t));
        }
        store->flush();
        const double filled = msSince(start);
        inserts += "COMMIT;\n";
        std::printf("chimely: %d texts written in %.0f ms\n", texts, filled);

        // The anchor's file: the same schema and settings, empty.
        const std::string anchorFile = dir + "/anchor.db";
        FILE* schemaPipe = popen(("sqlite3 -batch " + file + " .schema").c_str(), "r");
        std::string schema;
        char line[4096];
        while (schemaPipe && std::fgets(line, sizeof line, schemaPipe))
            schema += line;
        if (!schemaPipe || pclose(schemaPipe) != 0 || schema.empty())
            throw std::runtime_error("cannot read the store's schema");
        shell(anchorFile,
              "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA secure_delete=ON; PRAGMA "
              "cache_size=-512;\n" +
                  schema,
              dir, true);
        const double anchorFilled =
            shell(anchorFile, "PRAGMA synchronous=NORMAL; PRAGMA secure_delete=ON;\n" + inserts, dir, true);
        std::printf("sqlite3: the same %d inserts in one transaction in %.0f ms\n", texts, anchorFilled);

        // Recording on the window's thread: a flood of 10,000 received texts, each call timed.
        std::vector<double> recordMs;
        start = Clock::now();
        for (int i = 0; i < kFlood; ++i) {
            history::Text t{.account = kAccount,
                            .peer = "flood@example.test",
                            .timeMs = i,
                            .body = "flood " + std::to_string(i)};
            const auto before = Clock::now();
            store->record(std::move(t));
            recordMs.push_back(msSince(before));
        }
        store->flush();
        const double floodWritten = msSince(start);
        std::vector<history::Text> floodTexts;
        std::int64_t before = 0;
        bool read = true;
        while (read) {
            read = false;
            bool answered = false;
            store->page(kAccount, "flood@example.test", before, 500, [&](std::vector<history::Text> page) {
                answered = true;
                read = !page.empty();
                if (read)
                    before = page.front().id;
                floodTexts.insert(floodTexts.begin(), page.begin(), page.end());
            });
            if (!spin([&] { return answered; }))
                throw std::runtime_error("no answer from the store");
        }
        if (static_cast<int>(floodTexts.size()) != kFlood)
            throw std::runtime_error("the flood was not written whole: " + std::to_string(floodTexts.size()));
        for (int i = 0; i < kFlood; ++i)
            if (floodTexts[i].body != "flood " + std::to_string(i))
                throw std::runtime_error("the flood was not written in order at " + std::to_string(i));
        std::string floodInserts = "BEGIN;\n";
        for (int i = 0; i < kFlood; ++i)
            floodInserts +=
                "INSERT INTO texts(account, peer, peer_key, direction, time, body, route, outcome) VALUES "
                "('alice@example.test','flood@example.test','flood@example.test',0," +
                std::to_string(i) + ",CAST('flood " + std::to_string(i) + "' AS BLOB),0,0);\n";
        floodInserts += "COMMIT;\n";
        const double anchorFlood =
            shell(anchorFile, "PRAGMA synchronous=NORMAL;\n" + floodInserts, dir, true);
        std::printf(
            "chimely: record call median %.4f ms, max %.3f ms; the flood of %d written, whole and in "
            "order, in %.0f ms\n",
            median(recordMs), *std::max_element(recordMs.begin(), recordMs.end()), kFlood, floodWritten);
        std::printf("sqlite3: the same %d inserts in one transaction in %.0f ms\n", kFlood, anchorFlood);

        // The History window, offscreen.
        CHistoryDlg window(CHistoryDlg::Actions{});
        auto* conversations = qobject_cast<QListWidget*>(window.GetDlgItem(IDC_HISTORY_CONVERSATIONS));
        auto* shown = qobject_cast<QListWidget*>(window.GetDlgItem(IDC_HISTORY_TEXTS));
        window.SetStore(store.get());
        spin([&] { return window.Waiting() == 0; });
        window.hide();
        start = Clock::now();
        window.Open();
        if (!spin([&] { return window.Waiting() == 0 && conversations->count() == kConversations + 1; }))
            throw std::runtime_error("the conversations were not listed");
        window.repaint();
        const double opened = msSince(start);
        // The long conversation (peer 0) is the oldest: the last of the list.
        start = Clock::now();
        conversations->setCurrentRow(conversations->count() - 1);
        if (!spin([&] { return window.Waiting() == 0 && shown->count() == CHistoryDlg::kPageTexts; }))
            throw std::runtime_error("the long conversation's page was not shown");
        window.repaint();
        const double conversationPainted = msSince(start);
        auto* search = window.GetDlgItem(IDC_HISTORY_SEARCH);
        start = Clock::now();
        qobject_cast<QLineEdit*>(search)->setText(QString::fromLatin1(kSearchWords));
        if (!spin([&] { return window.Waiting() == 0 && shown->count() > 0; }))
            throw std::runtime_error("the search found nothing");
        window.repaint();
        const double searched = msSince(start);
        std::printf(
            "chimely: window open and painted %.1f ms, %d-text conversation painted %.1f ms, search "
            "listed %.1f ms (%d hits)\n",
            opened, kLongConversation, conversationPainted, searched, shown->count());

        const double anchorOpen =
            shell(anchorFile,
                  "SELECT c.n, texts.* FROM (SELECT max(id) AS last, count(*) AS n FROM texts "
                  "GROUP BY account, peer_key) AS c JOIN texts ON texts.id = c.last ORDER BY "
                  "texts.id DESC;",
                  dir);
        const double anchorPage =
            shell(anchorFile,
                  "SELECT * FROM texts WHERE account = 'alice@example.test' AND peer_key = "
                  "'peer0@example.test' AND id < 9223372036854775807 ORDER BY id DESC LIMIT 50;",
                  dir);
        const double anchorSearch =
            shell(anchorFile,
                  "SELECT * FROM texts WHERE id IN (SELECT rowid FROM texts_words WHERE "
                  "texts_words MATCH '\"lunch\"* \"tomorrow\"*' ORDER BY rowid DESC LIMIT "
                  "200) ORDER BY id DESC;",
                  dir);
        std::printf("sqlite3: conversations %.1f ms, page %.1f ms, search %.1f ms\n", anchorOpen, anchorPage,
                    anchorSearch);
        store.reset();
        if (faulted)
            throw std::runtime_error("the store reported a fault");

        // Start-up and idle memory of the program itself.
        test::XServer x;
        if (x.display().empty())
            throw std::runtime_error("Xvfb did not come up");
        std::vector<double> startsOn, startsOff;
        for (int i = 0; i < kStarts; ++i) {
            startsOff.push_back(startMapped(false, file, x));
            startsOn.push_back(startMapped(true, file, x));
        }
        std::printf("chimely: exec to window mapped, history on %.1f ms, off %.1f ms (medians of %d)\n",
                    median(startsOn), median(startsOff), kStarts);
        const Resident on = residentAfterAText(true);
        const Resident off = residentAfterAText(false);
        std::printf("chimely: RSS 2 s after a text, history on %ld kB (SQLite %s), off %ld kB\n",
                    on.workingKb, on.workingMapped ? "mapped" : "not mapped", off.workingKb);
        std::printf(
            "chimely: idle RSS once the store rested, history on %ld kB (SQLite %s), off %ld kB (SQLite "
            "%s)\n",
            on.idleKb, on.idleMapped ? "mapped" : "not mapped", off.idleKb,
            off.idleMapped ? "mapped" : "not mapped");
        if (off.workingMapped || off.idleMapped)
            throw std::runtime_error("SQLite is mapped with the history off");
        if (!on.workingMapped)
            throw std::runtime_error("SQLite is not mapped with the history on: nothing was recorded");
        if (on.idleMapped)
            throw std::runtime_error("SQLite is still mapped once the store has rested");

        // The flood of received texts through the agent itself with the history on: every one answered,
        // and every one kept, in the order it came.
        std::string floodFailure;
        double agentFlood = -1;
        try {
            agentFlood = [&] {
                test::Hub hub({.signin = "alice@127.0.0.1",
                               .password = "x",
                               .keepHistory = true,
                               .historyFile = dir + "/flood.db"});
                hub.start();
                test::Sipp peer({.scenario = test::requestScenario("MESSAGE", "Content-Type: text/plain\n",
                                                                   "text [call_number]", 200),
                                 .remote = hub.address(),
                                 .calls = kFlood,
                                 .extra = {"-r", std::to_string(kFloodRate)}});
                const auto began = Clock::now();
                peer.start();
                if (!hub.waitUntil([&] { return peer.wait(0ms); }, 120s) || peer.exitCode() != 0)
                    throw std::runtime_error("the flood through the agent was not answered whole: " +
                                             peer.errors());
                // The last texts may be answered before the window has taken them to the store.
                std::vector<history::Conversation> list;
                auto keptCount = [&] {
                    list = hub.keptConversations();
                    return list.size() == 1 ? list[0].texts : 0;
                };
                if (!hub.waitUntil([&] { return keptCount() == kFlood; }, 10s))
                    throw std::runtime_error(
                        "the flood through the agent was not kept whole: " + std::to_string(keptCount()) +
                        " of " + std::to_string(kFlood) + " texts kept");
                const double kept = msSince(began);
                std::int64_t older = 0;
                for (int last = kFlood; last > 0;) {
                    std::vector<history::Text> page;
                    bool answered = false;
                    hub.dialog().m_history->page(list[0].account, list[0].peer, older, 1000,
                                                 [&](std::vector<history::Text> texts) {
                                                     page = std::move(texts);
                                                     answered = true;
                                                 });
                    if (!hub.waitUntil([&] { return answered; }) || page.empty())
                        throw std::runtime_error("the kept flood could not be read back");
                    for (auto text = page.rbegin(); text != page.rend(); ++text, --last)
                        if (text->body != "text " + std::to_string(last))
                            throw std::runtime_error("the flood through the agent was not kept in order");
                    older = page.front().id;
                }
                return kept;
            }();
        } catch (const std::exception& e) {
            floodFailure = e.what();
        }
        if (agentFlood >= 0)
            std::printf(
                "chimely: a flood of %d texts at %d/s into the agent, every one answered and kept in order, "
                "all kept %.0f ms after the first was sent\n",
                kFlood, kFloodRate, agentFlood);

        bench::result("history_record_median", "chimely", median(recordMs));
        bench::result("history_record_median", "sqlite3", anchorFlood / kFlood);
        bench::result("history_flood_written", "chimely", floodWritten);
        bench::result("history_flood_written", "sqlite3", anchorFlood);
        bench::result("history_open_painted", "chimely", opened);
        bench::result("history_open_painted", "sqlite3", anchorOpen);
        bench::result("history_conversation_painted", "chimely", conversationPainted);
        bench::result("history_conversation_painted", "sqlite3", anchorPage);
        bench::result("history_search", "chimely", searched);
        bench::result("history_search", "sqlite3", anchorSearch);
        bench::result("history_start_mapped", "chimely", median(startsOn));
        bench::result("history_start_mapped", "off", median(startsOff));
        bench::result("history_working_rss", "chimely", on.workingKb / 1024.0);
        bench::result("history_working_rss", "off", off.workingKb / 1024.0);
        bench::result("history_idle_rss", "chimely", on.idleKb / 1024.0);
        bench::result("history_idle_rss", "off", off.idleKb / 1024.0);
        if (!floodFailure.empty()) {
            std::fprintf(stderr, "bench_history: %s\n", floodFailure.c_str());
            test::removeTempDir(dir);
            return 1;
        }
        bench::result("history_agent_flood", "chimely", agentFlood);
        test::removeTempDir(dir);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_history: %s\n", e.what());
        test::removeTempDir(dir);
        return 1;
    }
}
