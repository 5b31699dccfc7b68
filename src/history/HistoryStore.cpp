// SPDX-License-Identifier: MIT
// The history store: the connection, the schema and its upgrade steps, the queries, and the worker thread
// that runs them. Everything below the public functions runs on the worker.
#include "history/HistoryStore.h"

#include "history/Sqlite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <future>
#include <map>

namespace history {
namespace {

// "Chim": marks a file as this program's history, so that another program's database is never taken for
// one.
constexpr std::int64_t kApplicationId = 0x4368696d;
// Another program holding the file (a user's sqlite3 shell) is waited for this long, on the worker only.
constexpr int kBusyTimeoutMs = 1000;
// Writes that failed are tried again after this long, or with the next write.
constexpr auto kRetryDelay = std::chrono::seconds(2);
// Texts waiting to be written are held up to this many bytes; past it the oldest are given up.
constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
// Each text's cost besides its body, in the queue's count.
constexpr std::size_t kTextOverhead = 256;
// The page cache, in KiB (SQLite's own default is 2 MB).
constexpr int kCacheKiB = 512;
// How long writes gather before they go in one transaction: well inside the second within which a text
// must be in the file.
constexpr auto kGatherWrites = std::chrono::milliseconds(50);

// The schema's numbered steps: step n makes version n + 1 out of version n, once, in order. The file's
// version is its user_version; a file of a later version than this program knows is never written.
//
// Version 1: the texts, the index that pages a conversation, and the index of their words (FTS5, kept
// by triggers; outcomes change no body, so updates need none).
const char* const kUpgrades[] = {
    "CREATE TABLE texts("
    " id INTEGER PRIMARY KEY,"
    " account TEXT NOT NULL,"
    " peer TEXT NOT NULL,"
    " peer_key TEXT NOT NULL,"
    " direction INTEGER NOT NULL,"
    " time INTEGER NOT NULL,"
    " body BLOB NOT NULL,"
    " route INTEGER NOT NULL,"
    " outcome INTEGER NOT NULL,"
    " status INTEGER NOT NULL DEFAULT 0,"
    " reason TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX texts_conversation ON texts(account, peer_key, id);"
    "CREATE VIRTUAL TABLE texts_words USING fts5(body, content='texts', content_rowid='id');"
    "CREATE TRIGGER texts_added AFTER INSERT ON texts BEGIN"
    " INSERT INTO texts_words(rowid, body) VALUES (new.id, new.body); END;"
    "CREATE TRIGGER texts_removed AFTER DELETE ON texts BEGIN"
    " INSERT INTO texts_words(texts_words, rowid, body) VALUES ('delete', old.id, old.body); END;",
};
constexpr int kLatestVersion = static_cast<int>(std::size(kUpgrades));

constexpr const char* kColumns = "id, account, peer, direction, time, body, route, outcome, status, reason";

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Failures that pass: the disk or the lock, not the file's content.
bool passing(int rc) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_NOMEM:
            return true;
        default:
            return false;
    }
}

bool unreadable(int rc) {
    return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB;
}

std::string dateStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &local);
    return text;
}

// The folder is created private; one that exists is made private too, as it holds only the history.
bool makePrivateFolder(const std::string& folder, std::string& why) {
    std::string path;
    std::size_t from = 0;
    while (from != std::string::npos) {
        const std::size_t slash = folder.find('/', from + 1);
        path = folder.substr(0, slash);
        from = slash;
        if (path.empty())
            continue;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            why = path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (chmod(folder.c_str(), 0700) != 0) {
        why = folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string folderOf(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string(".") : file.substr(0, slash);
}

}  // namespace

// One open file, the worker's only.
class HistoryStore::Connection {
public:
    explicit Connection(const SqliteApi& api) : m_api(api) {}
    ~Connection() { close(); }

    // Opens the file and brings its schema to the latest version. SQLITE_NOTADB for a file that is not
    // this program's history or is of a later version; `why` says what went wrong.
    int open(const std::string& file, std::string& why) {
        if (!makePrivateFolder(folderOf(file), why))
            return SQLITE_CANTOPEN;
        const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            why = file + ": " + std::strerror(errno);
            return SQLITE_CANTOPEN;
        }
        fchmod(fd, 0600);
        ::close(fd);
        int rc = m_api.open_v2(file.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
        if (rc != SQLITE_OK)
            return failed(rc, why);
        m_api.busy_timeout(m_db, kBusyTimeoutMs);
        std::int64_t applicationId = 0, version = 0, objects = 0;
        if ((rc = single("PRAGMA application_id", applicationId)) != SQLITE_OK ||
            (rc = single("PRAGMA user_version", version)) != SQLITE_OK ||
            (rc = single("SELECT count(*) FROM sqlite_schema", objects)) != SQLITE_OK)
            return failed(rc, why);
        if (applicationId != kApplicationId && (applicationId != 0 || objects != 0)) {
            why = "not a history of texts";
            return SQLITE_NOTADB;
        }
        if (version > kLatestVersion) {
            why = "a history of a later version (" + std::to_string(version) + ")";
            return SQLITE_NOTADB;
        }
        const std::string settings =
            "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
            "PRAGMA secure_delete=ON; PRAGMA cache_size=-" +
            std::to_string(kCacheKiB) + ";";
        if ((rc = exec(settings.c_str())) != SQLITE_OK)
            return failed(rc, why);
        for (int step = static_cast<int>(version); step < kLatestVersion; ++step) {
            const std::string upgrade = std::string("BEGIN IMMEDIATE;") + kUpgrades[step] +
                                        "PRAGMA user_version=" + std::to_string(step + 1) +
                                        "; PRAGMA application_id=" + std::to_string(kApplicationId) +
                                        "; COMMIT;";
            if ((rc = exec(upgrade.c_str())) != SQLITE_OK) {
                exec("ROLLBACK");
                return failed(rc, why);
            }
        }
        return SQLITE_OK;
    }

    void close() {
        for (auto& [sql, statement] : m_statements)
            m_api.finalize(statement);
        m_statements.clear();
        if (m_db)
            m_api.close_v2(m_db);
        m_db = nullptr;
    }

    int exec(const char* sql) { return m_api.exec(m_db, sql, nullptr, nullptr, nullptr); }
    std::string error() const { return m_db ? m_api.errmsg(m_db) : std::string(); }

    // A statement prepared once and kept; reset and unbound when handed out again.
    sqlite3_stmt* statement(const std::string& sql) {
        auto found = m_statements.find(sql);
        if (found != m_statements.end()) {
            m_api.reset(found->second);
            return found->second;
        }
        sqlite3_stmt* prepared = nullptr;
        if (m_api.prepare_v2(m_db, sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK)
            return nullptr;
        m_statements.emplace(sql, prepared);
        return prepared;
    }
    int lastError() const { return m_db ? m_api.extended_errcode(m_db) : SQLITE_CANTOPEN; }

    void bind(sqlite3_stmt* s, int index, std::int64_t value) { m_api.bind_int64(s, index, value); }
    void bind(sqlite3_stmt* s, int index, const std::string& value) {
        m_api.bind_text(s, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    }
    void bindBlob(sqlite3_stmt* s, int index, const std::string& value) {
        // An empty body is still a blob, never NULL.
        m_api.bind_blob(s, index, value.data() ? value.data() : "", static_cast<int>(value.size()),
                        SQLITE_TRANSIENT);
    }
    int step(sqlite3_stmt* s) { return m_api.step(s); }
    std::int64_t rowid() const { return m_api.last_insert_rowid(m_db); }

    std::int64_t integer(sqlite3_stmt* s, int column) { return m_api.column_int64(s, column); }
    std::string bytes(sqlite3_stmt* s, int column) {
        const void* data = m_api.column_blob(s, column);
        const int size = m_api.column_bytes(s, column);
        return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
                    : std::string();
    }

    // A row of kColumns.
    Text text(sqlite3_stmt* s) {
        Text t;
        t.id = integer(s, 0);
        t.account = bytes(s, 1);
        t.peer = bytes(s, 2);
        t.direction = static_cast<Direction>(integer(s, 3));
        t.timeMs = integer(s, 4);
        t.body = bytes(s, 5);
        t.route = static_cast<Route>(integer(s, 6));
        t.outcome = static_cast<Outcome>(integer(s, 7));
        t.statusCode = static_cast<int>(integer(s, 8));
        t.reason = bytes(s, 9);
        return t;
    }

    // Rows of kColumns until the statement ends.
    std::vector<Text> texts(sqlite3_stmt* s) {
        std::vector<Text> rows;
        while (step(s) == SQLITE_ROW)
            rows.push_back(text(s));
        return rows;
    }

private:
    int single(const char* sql, std::int64_t& value) {
        sqlite3_stmt* s = nullptr;
        int rc = m_api.prepare_v2(m_db, sql, -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            rc = m_api.step(s);
            if (rc == SQLITE_ROW) {
                value = m_api.column_int64(s, 0);
                rc = SQLITE_OK;
            } else if (rc == SQLITE_DONE) {
                rc = SQLITE_OK;
            }
        }
        m_api.finalize(s);
        return rc == SQLITE_OK ? rc : m_api.extended_errcode(m_db);
    }

    int failed(int rc, std::string& why) {
        why = m_db ? m_api.errmsg(m_db) : m_api.errstr(rc);
        return rc;
    }

    const SqliteApi& m_api;
    sqlite3* m_db = nullptr;
    std::map<std::string, sqlite3_stmt*> m_statements;
};

HistoryStore::HistoryStore(std::string file, Post post, std::function<void(const Fault&)> faults,
                           std::chrono::milliseconds restAfter)
    : m_file(std::move(file)), m_post(std::move(post)), m_faults(std::move(faults)), m_restAfter(restAfter) {}

HistoryStore::~HistoryStore() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void HistoryStore::enqueue(Job job) {
    {
        std::lock_guard lock(m_mutex);
        // A worker that went to rest has ended, or is about to: it needs the lock no more.
        if (!m_working) {
            if (m_worker.joinable())
                m_worker.join();
            m_working = true;
            m_worker = std::thread([this] { work(); });
        }
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void HistoryStore::report(Fault fault) {
    if (m_faults)
        m_post([faults = m_faults, fault = std::move(fault)] { faults(fault); });
}

namespace {

int insertText(HistoryStore::Connection& db, const Text& t) {
    sqlite3_stmt* s = db.statement(
        "INSERT INTO texts(account, peer, peer_key, direction, time, body, route, outcome, status, reason)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    if (!s)
        return db.lastError();
    db.bind(s, 1, t.account);
    db.bind(s, 2, t.peer);
    db.bind(s, 3, lowered(t.peer));
    db.bind(s, 4, static_cast<std::int64_t>(t.direction));
    db.bind(s, 5, t.timeMs);
    db.bindBlob(s, 6, t.body);
    db.bind(s, 7, static_cast<std::int64_t>(t.route));
    db.bind(s, 8, static_cast<std::int64_t>(t.outcome));
    db.bind(s, 9, static_cast<std::int64_t>(t.statusCode));
    db.bind(s, 10, t.reason);
    const int rc = db.step(s);
    return rc == SQLITE_DONE ? SQLITE_OK : db.lastError();
}

// The FTS5 query for what the user typed: each word quoted, so that nothing typed is taken for the query
// language, and matched also as the start of a longer word.
std::string wordsQuery(const std::string& words) {
    std::string query;
    std::size_t at = 0;
    while (at < words.size()) {
        while (at < words.size() && std::isspace(static_cast<unsigned char>(words[at])))
            ++at;
        std::size_t end = at;
        while (end < words.size() && !std::isspace(static_cast<unsigned char>(words[end])))
            ++end;
        if (end > at) {
            std::string word = words.substr(at, end - at);
            std::string quoted = "\"";
            for (char c : word)
                quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            query += (query.empty() ? "" : " ") + quoted + "\"*";
        }
        at = end;
    }
    return query;
}

}  // namespace

void HistoryStore::record(Text text) {
    const std::size_t bytes = text.body.size() + kTextOverhead;
    enqueue({true, bytes, [text = std::move(text)](Connection* db) { return insertText(*db, text); }});
}

std::uint64_t HistoryStore::recordSent(Text text) {
    std::uint64_t ticket;
    {
        std::lock_guard lock(m_mutex);
        ticket = m_nextTicket++;
    }
    text.outcome = Outcome::Pending;
    const std::size_t bytes = text.body.size() + kTextOverhead;
    enqueue({true, bytes, [this, text = std::move(text), ticket](Connection* db) {
                 const int rc = insertText(*db, text);
                 if (rc == SQLITE_OK)
                     m_sentRows[ticket] = db->rowid();
                 return rc;
             }});
    return ticket;
}

void HistoryStore::recordOutcome(std::uint64_t ticket, Route route, Outcome outcome, int statusCode,
                                 std::string reason) {
    enqueue({true, kTextOverhead + reason.size(), [=, this, reason = std::move(reason)](Connection* db) {
                 auto row = m_sentRows.find(ticket);
                 // The text itself was given up (the queue's bound) or belongs to a file since removed.
                 if (row == m_sentRows.end())
                     return SQLITE_OK;
                 sqlite3_stmt* s = db->statement(
                     "UPDATE texts SET route = ?2, outcome = ?3, status = ?4, reason = ?5 "
                     "WHERE id = ?1");
                 if (!s)
                     return db->lastError();
                 db->bind(s, 1, row->second);
                 db->bind(s, 2, static_cast<std::int64_t>(route));
                 db->bind(s, 3, static_cast<std::int64_t>(outcome));
                 db->bind(s, 4, static_cast<std::int64_t>(statusCode));
                 db->bind(s, 5, reason);
                 const int rc = db->step(s);
                 if (rc != SQLITE_DONE)
                     return db->lastError();
                 m_sentRows.erase(row);
                 return SQLITE_OK;
             }});
}

void HistoryStore::conversations(std::function<void(std::vector<Conversation>)> done) {
    enqueue({false, 0, [this, done = std::move(done)](Connection* db) {
                 std::vector<Conversation> list;
                 sqlite3_stmt* s =
                     db ? db->statement(std::string("SELECT c.n, ") + kColumns +
                                        " FROM (SELECT max(id) AS last, count(*) AS n FROM texts"
                                        " GROUP BY account, peer_key) AS c JOIN texts ON texts.id = c.last"
                                        " ORDER BY texts.id DESC")
                        : nullptr;
                 int rc = SQLITE_OK;
                 while (s && (rc = db->step(s)) == SQLITE_ROW) {
                     Conversation c;
                     c.texts = db->integer(s, 0);
                     // The row's columns after the count, as a text's.
                     c.last.id = db->integer(s, 1);
                     c.last.account = db->bytes(s, 2);
                     c.last.peer = db->bytes(s, 3);
                     c.last.direction = static_cast<Direction>(db->integer(s, 4));
                     c.last.timeMs = db->integer(s, 5);
                     c.last.body = db->bytes(s, 6);
                     c.last.route = static_cast<Route>(db->integer(s, 7));
                     c.last.outcome = static_cast<Outcome>(db->integer(s, 8));
                     c.last.statusCode = static_cast<int>(db->integer(s, 9));
                     c.last.reason = db->bytes(s, 10);
                     c.account = c.last.account;
                     c.peer = c.last.peer;
                     list.push_back(std::move(c));
                 }
                 m_post([done, list = std::move(list)]() mutable { done(std::move(list)); });
                 return s ? (rc == SQLITE_DONE ? SQLITE_OK : db->lastError()) : SQLITE_OK;
             }});
}

void HistoryStore::page(const std::string& account, const std::string& peer, std::int64_t beforeId, int count,
                        std::function<void(std::vector<Text>)> done) {
    enqueue({false, 0, [=, this, done = std::move(done)](Connection* db) {
                 std::vector<Text> rows;
                 sqlite3_stmt* s = db ? db->statement(std::string("SELECT ") + kColumns +
                                                      " FROM texts WHERE account = ?1 AND peer_key = ?2"
                                                      " AND id < ?3 ORDER BY id DESC LIMIT ?4")
                                      : nullptr;
                 if (s) {
                     db->bind(s, 1, account);
                     db->bind(s, 2, lowered(peer));
                     db->bind(s, 3, beforeId > 0 ? beforeId : INT64_MAX);
                     db->bind(s, 4, static_cast<std::int64_t>(count));
                     rows = db->texts(s);
                     std::reverse(rows.begin(), rows.end());
                 }
                 m_post([done, rows = std::move(rows)]() mutable { done(std::move(rows)); });
                 return SQLITE_OK;
             }});
}

void HistoryStore::search(const std::string& words, int count, std::function<void(std::vector<Text>)> done) {
    enqueue({false, 0, [=, this, query = wordsQuery(words), done = std::move(done)](Connection* db) {
                 std::vector<Text> rows;
                 sqlite3_stmt* s =
                     db && !query.empty()
                         ? db->statement(std::string("SELECT ") + kColumns +
                                         " FROM texts WHERE id IN (SELECT rowid FROM texts_words"
                                         " WHERE texts_words MATCH ?1 ORDER BY rowid DESC LIMIT ?2)"
                                         " ORDER BY id DESC")
                         : nullptr;
                 if (s) {
                     db->bind(s, 1, query);
                     db->bind(s, 2, static_cast<std::int64_t>(count));
                     rows = db->texts(s);
                 }
                 m_post([done, rows = std::move(rows)]() mutable { done(std::move(rows)); });
                 return SQLITE_OK;
             }});
}

void HistoryStore::deleteConversation(const std::string& account, const std::string& peer,
                                      std::function<void()> done) {
    enqueue({true, kTextOverhead, [=, this, done = std::move(done)](Connection* db) {
                 sqlite3_stmt* s = db->statement("DELETE FROM texts WHERE account = ?1 AND peer_key = ?2");
                 if (!s)
                     return db->lastError();
                 db->bind(s, 1, account);
                 db->bind(s, 2, lowered(peer));
                 if (db->step(s) != SQLITE_DONE)
                     return db->lastError();
                 if (done)
                     m_post(done);
                 return SQLITE_OK;
             }});
}

void HistoryStore::deleteAll(std::function<void()> done) {
    // Not a write of the batch: the file itself goes, with whatever the journal still held of it.
    enqueue({false, 0, [this, done = std::move(done)](Connection*) {
                 m_connection.reset();
                 m_sentRows.clear();
                 RemoveFiles(m_file);
                 if (done)
                     m_post(done);
                 return SQLITE_OK;
             }});
}

void HistoryStore::flush() {
    std::promise<void> finished;
    enqueue({false, 0, [&finished](Connection*) {
                 finished.set_value();
                 return SQLITE_OK;
             }});
    finished.get_future().wait();
}

bool HistoryStore::RemoveFiles(const std::string& file) {
    bool removed = true;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        if (unlink((file + suffix).c_str()) != 0 && errno != ENOENT)
            removed = false;
    return removed;
}

// The worker: takes whatever is queued, writes the writes among it in one transaction, answers the
// questions in order, and waits. Writes that failed for want of room, access or the lock stay queued and
// are tried again later.
void HistoryStore::work() {
    std::unique_lock lock(m_mutex);
    while (true) {
        if (m_jobs.empty() && m_unwritten.empty() && m_stopping)
            break;
        if (m_jobs.empty()) {
            if (m_unwritten.empty()) {
                const bool woken =
                    m_wake.wait_for(lock, m_restAfter, [this] { return m_stopping || !m_jobs.empty(); });
                if (!woken) {
                    // At rest: the file is closed and SQLite unmapped, without the lock (closing writes the
                    // journal back); work that came meanwhile keeps the worker going.
                    lock.unlock();
                    m_connection.reset();
                    m_library.reset();
                    lock.lock();
                    if (m_jobs.empty())
                        break;
                }
            } else if (!m_stopping) {
                m_wake.wait_for(lock, kRetryDelay, [this] { return m_stopping || !m_jobs.empty(); });
            }
        }
        // Writes gather a moment, so that a burst goes in few transactions; a question is answered at once.
        const auto question = [this] {
            return std::any_of(m_jobs.begin(), m_jobs.end(), [](const Job& job) { return !job.write; });
        };
        if (!m_stopping && !question())
            m_wake.wait_for(lock, kGatherWrites, [&] { return m_stopping || question(); });
        std::deque<Job> jobs = std::move(m_jobs);
        m_jobs.clear();
        const bool last = m_stopping;
        lock.unlock();

        std::string why;
        if (!m_library)
            m_library = std::make_unique<SqliteLibrary>();
        const SqliteApi* api = m_library->api();
        if (!m_connection && api) {
            auto connection = std::make_unique<Connection>(*api);
            int rc = connection->open(m_file, why);
            if (unreadable(rc)) {
                connection.reset();
                moveAside();
                connection = std::make_unique<Connection>(*api);
                rc = connection->open(m_file, why);
            }
            if (rc == SQLITE_OK)
                m_connection = std::move(connection);
        } else if (!api) {
            why = m_library->error();
        }

        // Questions are answered in their place among the writes: each sees every write asked before it.
        std::deque<Job> writes;
        for (Job& job : jobs) {
            if (job.write) {
                writes.push_back(std::move(job));
                continue;
            }
            if (!writes.empty() || !m_unwritten.empty()) {
                runWrites(writes);
                writes.clear();
            }
            job.run(m_connection.get());
        }
        if (!writes.empty() || !m_unwritten.empty()) {
            if (!m_connection) {
                for (Job& job : writes)
                    m_unwritten.push_back(std::move(job));
                if (!m_failing && !m_unwritten.empty()) {
                    m_failing = true;
                    report({Fault::NotWritten, why});
                }
            } else {
                runWrites(writes);
            }
        }

        lock.lock();
        // Texts that cannot be written are held only so far: the oldest go first.
        std::size_t held = 0;
        for (const Job& job : m_unwritten)
            held += job.bytes;
        while (held > kMaxQueuedBytes && !m_unwritten.empty()) {
            held -= m_unwritten.front().bytes;
            m_unwritten.pop_front();
        }
        if (last && m_jobs.empty())
            break;
    }
    m_working = false;
    lock.unlock();
    m_connection.reset();
    m_library.reset();
}

// The file and its journals get the date in their name, beside where they were.
void HistoryStore::moveAside() {
    std::string aside = m_file;
    const std::size_t dot = aside.rfind('.');
    const std::size_t slash = aside.rfind('/');
    const std::string stamp = "-unreadable-" + dateStamp();
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        aside.insert(dot, stamp);
    else
        aside += stamp;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        std::rename((m_file + suffix).c_str(), (aside + suffix).c_str());
    m_sentRows.clear();
    report({Fault::MovedAside, aside});
}

bool HistoryStore::runWrites(std::deque<Job>& writes) {
    for (Job& job : writes)
        m_unwritten.push_back(std::move(job));
    writes.clear();
    if (!m_connection)
        return false;
    Connection& db = *m_connection;
    int rc = db.exec("BEGIN IMMEDIATE");
    std::size_t done = 0;
    // What went wrong, read before the rollback: SQLite has often rolled back already (a full disk), and
    // the rollback's own complaint would stand in its place.
    std::string why;
    if (rc == SQLITE_OK) {
        for (; done < m_unwritten.size(); ++done)
            if ((rc = m_unwritten[done].run(&db)) != SQLITE_OK)
                break;
        if (rc == SQLITE_OK)
            rc = db.exec("COMMIT");
        if (rc != SQLITE_OK) {
            why = db.error();
            db.exec("ROLLBACK");
        }
    }
    if (rc == SQLITE_OK) {
        m_unwritten.clear();
        m_failing = false;
        return true;
    }
    if (why.empty())
        why = db.error();
    if (unreadable(rc)) {
        // Damaged under us: moved aside, and these go into a new one at the next round.
        m_connection.reset();
        moveAside();
        return false;
    }
    if (!passing(rc) && done < m_unwritten.size()) {
        // This one write can never succeed (a statement the file refuses): it is given up, not the rest.
        m_unwritten.erase(m_unwritten.begin() + static_cast<std::ptrdiff_t>(done));
    }
    if (!m_failing) {
        m_failing = true;
        report({Fault::NotWritten, why});
    }
    return false;
}

}  // namespace history
