// SPDX-License-Identifier: MIT
// The history of texts: one SQLite file, private to the user, that keeps every text received and sent
// while the user wants a history, with the outcome of each text sent. It knows texts, peers and accounts
// as text, nothing of SIP or of windows.
//
// One worker thread owns the connection and does all of the file's work: the window's thread only hands
// it texts to write and questions to answer, and never waits for the file (a disk that is slow, full, or
// locked by another program stays the worker's problem). Writes queued together go in one transaction.
// Answers and faults come back through `post`, which runs them on the thread that owns the store. After a
// quiet spell the worker closes the file, lets SQLite go and ends; the next use starts it again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace history {

class SqliteLibrary;

// How long the store stays open after its last work.
constexpr std::chrono::milliseconds kRestAfter{10000};

enum class Direction : int { Received = 0, Sent = 1 };
// How a text travelled: outside any dialog, or inside a message session.
enum class Route : int { Pager = 0, Session = 1 };
// What became of a sent text; a received one has none.
enum class Outcome : int { None = 0, Pending = 1, Delivered = 2, Accepted = 3, Failed = 4 };

struct Text {
    std::int64_t id = 0;
    // The own account's address of record, and the peer's (user@host).
    std::string account;
    std::string peer;
    Direction direction = Direction::Received;
    // Milliseconds since 1970, UTC.
    std::int64_t timeMs = 0;
    // The bytes as they came or went, whatever they are.
    std::string body;
    Route route = Route::Pager;
    Outcome outcome = Outcome::None;
    // A failed text's response; also kept for a delivered one.
    int statusCode = 0;
    std::string reason;
};

// A peer of one account, compared as the recipient history compares (without regard to letter case).
struct Conversation {
    std::string account;
    std::string peer;
    std::int64_t texts = 0;
    Text last;
};

struct Fault {
    enum Kind {
        // The file could not be used (not a database, damaged, another program's, or of a later version):
        // `detail` is where it went. A new history starts in its place.
        MovedAside,
        // A write failed: `detail` is why. The texts stay queued and are written when the file takes them.
        NotWritten,
    };
    Kind kind;
    std::string detail;
};

class HistoryStore {
public:
    using Post = std::function<void(std::function<void()>)>;

    // Nothing is opened, loaded or started until the first use.
    HistoryStore(std::string file, Post post, std::function<void(const Fault&)> faults,
                 std::chrono::milliseconds restAfter = kRestAfter);
    // Writes what is still queued (one try), then closes the file.
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    const std::string& file() const { return m_file; }

    void record(Text text);
    // A sent text, as yet without outcome: the ticket names it for recordOutcome.
    std::uint64_t recordSent(Text text);
    void recordOutcome(std::uint64_t ticket, Route route, Outcome outcome, int statusCode,
                       std::string reason);

    // The conversations, the newest first.
    void conversations(std::function<void(std::vector<Conversation>)> done);
    // At most `count` texts of a conversation older than the text `beforeId` (the newest when 0), oldest
    // first.
    void page(const std::string& account, const std::string& peer, std::int64_t beforeId, int count,
              std::function<void(std::vector<Text>)> done);
    // At most `count` texts whose bodies hold every one of `words` (each also as the start of a longer
    // word), the newest first.
    void search(const std::string& words, int count, std::function<void(std::vector<Text>)> done);
    void deleteConversation(const std::string& account, const std::string& peer, std::function<void()> done);
    // Removes the file itself.
    void deleteAll(std::function<void()> done);

    // Returns once everything asked before it is done (tests, the benchmark).
    void flush();

    // Removes a history file with its journal files; false when one of them is there still.
    static bool RemoveFiles(const std::string& file);

    class Connection;

private:
    struct Job {
        bool write = false;
        std::size_t bytes = 0;
        // For a write: SQLite's result; the write is tried again later when it failed for want of room,
        // access or the lock. For a question: runs with no connection when the file cannot be had.
        std::function<int(Connection*)> run;
    };
    void enqueue(Job job);
    void work();
    bool runWrites(std::deque<Job>& writes);
    void report(Fault fault);
    void moveAside();

    const std::string m_file;
    const Post m_post;
    const std::function<void(const Fault&)> m_faults;
    const std::chrono::milliseconds m_restAfter;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::uint64_t m_nextTicket = 1;
    std::thread m_worker;
    bool m_working = false;

    // The worker's own.
    std::unique_ptr<SqliteLibrary> m_library;
    std::unique_ptr<Connection> m_connection;
    // A sent text's row, by the ticket recordSent gave; kept across rests, as an answer may take a minute.
    std::map<std::uint64_t, std::int64_t> m_sentRows;
    std::deque<Job> m_unwritten;
    bool m_failing = false;
};

}  // namespace history
