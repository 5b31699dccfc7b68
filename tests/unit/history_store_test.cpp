// SPDX-License-Identifier: MIT
// The history store in a temporary folder: what goes in comes back byte for byte, in pages and by words;
// deleting deletes; files that are not this program's history are moved aside; a file held by another
// program delays the writes without losing them.
#include "history/HistoryStore.h"
#include "history/Sqlite.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <thread>

using history::Direction;
using history::Outcome;
using history::Route;
using history::Text;

namespace {

// A store whose answers run on its worker, collected here; faults likewise.
struct Store {
    explicit Store(const std::string& name = "data/history.db",
                   std::chrono::milliseconds restAfter = history::kRestAfter)
        : file(dir.filePath(QString::fromStdString(name)).toStdString()),
          store(
              file, [](std::function<void()> call) { call(); },
              [this](const history::Fault& fault) {
                  std::lock_guard lock(mutex);
                  faults.push_back(fault);
              },
              restAfter) {}

    std::vector<Text> page(const std::string& peer, std::int64_t before = 0, int count = 50) {
        std::vector<Text> rows;
        store.page("alice@example.test", peer, before, count,
                   [&](std::vector<Text> r) { rows = std::move(r); });
        store.flush();
        return rows;
    }
    std::vector<Text> search(const std::string& words) {
        std::vector<Text> rows;
        store.search(words, 100, [&](std::vector<Text> r) { rows = std::move(r); });
        store.flush();
        return rows;
    }
    std::vector<history::Conversation> conversations() {
        std::vector<history::Conversation> list;
        store.conversations([&](std::vector<history::Conversation> l) { list = std::move(l); });
        store.flush();
        return list;
    }

    QTemporaryDir dir;
    std::string file;
    std::mutex mutex;
    std::vector<history::Fault> faults;
    history::HistoryStore store;
};

Text received(const std::string& peer, const std::string& body, std::int64_t time = 1000) {
    return {.account = "alice@example.test", .peer = peer, .timeMs = time, .body = body};
}

mode_t modeOf(const std::string& path) {
    struct stat s {};
    stat(path.c_str(), &s);
    return s.st_mode & 0777;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Runs SQL on a file through the library, as another program would.
void sql(const std::string& file, const std::string& statements) {
    const history::SqliteLibrary library;
    const history::SqliteApi* api = library.api();
    ASSERT_NE(nullptr, api);
    sqlite3* db = nullptr;
    api->open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    EXPECT_EQ(SQLITE_OK, api->exec(db, statements.c_str(), nullptr, nullptr, nullptr)) << api->errmsg(db);
    api->close_v2(db);
}

// The store rests (file closed, library let go) between the sending of a text and its outcome here.
TEST(HistoryStore, KeepsEveryFieldAndEveryByteInAPrivateFile) {
    Store s("data/history.db", std::chrono::milliseconds(50));
    const std::string bodies[] = {
        std::string("nul\0inside", 10), "bad \xff\xfe utf-8",
        std::string(10240, 'x'),        "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d right to left",
        "emoji \xf0\x9f\x98\x80",       ""};
    for (const std::string& body : bodies)
        s.store.record(received("Bob@Example.test", body));
    Text sent{.account = "alice@example.test",
              .peer = "bob@example.test",
              .direction = Direction::Sent,
              .timeMs = 2000,
              .body = "are you there?",
              .route = Route::Session};
    const std::uint64_t ticket = s.store.recordSent(sent);
    s.store.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::ifstream maps("/proc/self/maps");
    EXPECT_EQ(std::string::npos, std::string(std::istreambuf_iterator<char>(maps), {}).find("libsqlite3"));
    s.store.recordOutcome(ticket, Route::Pager, Outcome::Failed, 404, "Not Found");
    const std::uint64_t second = s.store.recordSent(sent);
    s.store.recordOutcome(second, Route::Pager, Outcome::Accepted, 202, "Accepted");

    // The peer is compared without regard to letter case.
    const std::vector<Text> rows = s.page("BOB@example.TEST");
    ASSERT_EQ(std::size(bodies) + 2, rows.size());
    for (std::size_t i = 0; i < std::size(bodies); ++i) {
        EXPECT_EQ(bodies[i], rows[i].body) << i;
        EXPECT_EQ(Direction::Received, rows[i].direction);
        EXPECT_EQ(Outcome::None, rows[i].outcome);
        EXPECT_EQ("Bob@Example.test", rows[i].peer);
        EXPECT_EQ("alice@example.test", rows[i].account);
        EXPECT_EQ(1000, rows[i].timeMs);
    }
    const Text& failed = rows[std::size(bodies)];
    EXPECT_EQ(Direction::Sent, failed.direction);
    EXPECT_EQ(2000, failed.timeMs);
    EXPECT_EQ(Route::Pager, failed.route);
    EXPECT_EQ(Outcome::Failed, failed.outcome);
    EXPECT_EQ(404, failed.statusCode);
    EXPECT_EQ("Not Found", failed.reason);
    EXPECT_EQ(Outcome::Accepted, rows.back().outcome);

    EXPECT_EQ(0600u, modeOf(s.file));
    EXPECT_EQ(0700u, modeOf(s.dir.filePath("data").toStdString()));
    EXPECT_TRUE(s.faults.empty());
}

TEST(HistoryStore, PagesConversationsNewestFirstFindsWordsAndDeletes) {
    Store s;
    for (int i = 1; i <= 120; ++i)
        s.store.record(received("bob@example.test", "text number " + std::to_string(i), i));
    s.store.record(received("carol@example.test", "Lunch at noon?", 200));
    s.store.record(received("dave@example.test", "\"quoted\" OR NOT *", 300));

    const auto list = s.conversations();
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ("dave@example.test", list[0].peer);
    EXPECT_EQ("carol@example.test", list[1].peer);
    EXPECT_EQ(120, list[2].texts);
    EXPECT_EQ("text number 120", list[2].last.body);

    // The newest 50, then the 50 before them, then the rest, each oldest first.
    const auto newest = s.page("bob@example.test");
    ASSERT_EQ(50u, newest.size());
    EXPECT_EQ("text number 71", newest.front().body);
    EXPECT_EQ("text number 120", newest.back().body);
    const auto older = s.page("bob@example.test", newest.front().id);
    ASSERT_EQ(50u, older.size());
    EXPECT_EQ("text number 21", older.front().body);
    EXPECT_EQ(20u, s.page("bob@example.test", older.front().id).size());

    EXPECT_EQ(1u, s.search("LUNCH").size());
    // Every word, each also as the start of a longer one: 11 and 110 to 119, the newest first.
    const auto hits = s.search("number 11");
    ASSERT_EQ(11u, hits.size());
    EXPECT_EQ("text number 119", hits.front().body);
    EXPECT_EQ(1u, s.search("\"quoted\" OR NOT *").size());
    EXPECT_TRUE(s.search("   ").empty());

    bool deleted = false;
    s.store.deleteConversation("alice@example.test", "BOB@example.test", [&] { deleted = true; });
    s.store.flush();
    EXPECT_TRUE(deleted);
    EXPECT_TRUE(s.page("bob@example.test").empty());
    EXPECT_TRUE(s.search("number").empty());
    EXPECT_EQ(2u, s.conversations().size());

    // Gone when the store says so; a later question may start a new, empty file.
    bool gone = false;
    s.store.deleteAll([&] { gone = !QFile::exists(QString::fromStdString(s.file)); });
    s.store.flush();
    EXPECT_TRUE(gone);
    EXPECT_TRUE(s.conversations().empty());
}

// Not a database, another program's database, a history of a later version: each is moved aside under a
// dated name, untouched, the user is told where, and a new history takes the texts.
TEST(HistoryStore, FilesItCannotUseAreMovedAsideAndANewOneStarts) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
    };
    const Case cases[] = {
        {"not a database", [](const std::string& f) { writeFile(f, std::string(8192, 'z')); }},
        {"another program's", [](const std::string& f) { sql(f, "CREATE TABLE contacts(name TEXT);"); }},
        {"a later version",
         [](const std::string& f) { sql(f, "PRAGMA application_id=1130916205; PRAGMA user_version=99;"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Store s("history.db");
        c.make(s.file);
        std::ifstream original(s.file, std::ios::binary);
        const std::string before((std::istreambuf_iterator<char>(original)), {});
        s.store.record(received("bob@example.test", "kept"));
        ASSERT_EQ(1u, s.page("bob@example.test").size());
        ASSERT_EQ(1u, s.faults.size());
        EXPECT_EQ(history::Fault::MovedAside, s.faults[0].kind);
        const std::string aside = s.faults[0].detail;
        EXPECT_NE(std::string::npos, aside.find("history-unreadable-20")) << aside;
        std::ifstream moved(aside, std::ios::binary);
        EXPECT_EQ(before, std::string((std::istreambuf_iterator<char>(moved)), {}));
    }
}

// Another program holds the write lock (a user's sqlite3 shell in a transaction): the texts wait, the user
// is told once, and they are all written, in order, once the lock goes.
TEST(HistoryStore, WritesHeldBackByAnotherProgramAreToldOnceAndWrittenLater) {
    Store s;
    s.store.record(received("bob@example.test", "first"));
    s.store.flush();
    const history::SqliteLibrary library;
    const history::SqliteApi* api = library.api();
    sqlite3* other = nullptr;
    api->open_v2(s.file.c_str(), &other, SQLITE_OPEN_READWRITE, nullptr);
    ASSERT_EQ(SQLITE_OK, api->exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
    s.store.record(received("bob@example.test", "second"));
    s.store.record(received("bob@example.test", "third"));
    s.store.flush();
    ASSERT_EQ(1u, s.faults.size());
    EXPECT_EQ(history::Fault::NotWritten, s.faults[0].kind);
    EXPECT_NE(std::string::npos, s.faults[0].detail.find("locked")) << s.faults[0].detail;
    api->exec(other, "COMMIT", nullptr, nullptr, nullptr);
    api->close_v2(other);
    s.store.record(received("bob@example.test", "fourth"));
    const auto rows = s.page("bob@example.test");
    ASSERT_EQ(4u, rows.size());
    EXPECT_EQ("second", rows[1].body);
    EXPECT_EQ("fourth", rows[3].body);
    EXPECT_EQ(1u, s.faults.size());
}

// The disk fills up (a small file system of the test's own): the same, told once as the disk being full.
TEST(HistoryStore, WritesHeldBackByAFullDiskAreToldOnceAndWrittenLater) {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        GTEST_SKIP() << "a file system of its own needs root";
    QTemporaryDir disk;
    ASSERT_EQ(0, mount("chimely-test", disk.path().toLocal8Bit().constData(), "tmpfs", 0, "size=256k"));
    {
        Store s;
        s.file = disk.filePath("history.db").toStdString();
        history::HistoryStore store(
            s.file, [](std::function<void()> call) { call(); },
            [&s](const history::Fault& fault) {
                std::lock_guard lock(s.mutex);
                s.faults.push_back(fault);
            });
        store.record(received("bob@example.test", "first"));
        store.flush();
        const std::string filler = disk.filePath("filler").toStdString();
        {
            std::ofstream fill(filler, std::ios::binary);
            const std::string block(4096, 'x');
            while (fill.write(block.data(), block.size()) && fill.flush()) {
            }
        }
        store.record(received("bob@example.test", std::string(8192, 's')));
        store.record(received("bob@example.test", "third"));
        store.flush();
        ASSERT_EQ(1u, s.faults.size());
        EXPECT_EQ(history::Fault::NotWritten, s.faults[0].kind);
        EXPECT_NE(std::string::npos, s.faults[0].detail.find("full")) << s.faults[0].detail;
        std::remove(filler.c_str());
        store.record(received("bob@example.test", "fourth"));
        std::vector<Text> rows;
        store.page("alice@example.test", "bob@example.test", 0, 50,
                   [&](std::vector<Text> r) { rows = std::move(r); });
        store.flush();
        ASSERT_EQ(4u, rows.size());
        EXPECT_EQ("third", rows[2].body);
        EXPECT_EQ("fourth", rows[3].body);
        EXPECT_EQ(1u, s.faults.size());
    }
    umount2(disk.path().toLocal8Bit().constData(), MNT_DETACH);
}

}  // namespace
