// SPDX-License-Identifier: MIT
// The SQLite library, loaded while the store works and let go when it rests. A program that keeps no
// history never maps it: linking it would load it (and relocate it) at every start, whether or not the
// user keeps a history. Only the functions the store calls are looked up. Any thread.
#pragma once

#include <sqlite3.h>

#include <string>

namespace history {

struct SqliteApi {
    decltype(&sqlite3_open_v2) open_v2;
    decltype(&sqlite3_close_v2) close_v2;
    decltype(&sqlite3_exec) exec;
    decltype(&sqlite3_prepare_v2) prepare_v2;
    decltype(&sqlite3_finalize) finalize;
    decltype(&sqlite3_reset) reset;
    decltype(&sqlite3_step) step;
    decltype(&sqlite3_bind_int64) bind_int64;
    decltype(&sqlite3_bind_text) bind_text;
    decltype(&sqlite3_bind_blob) bind_blob;
    decltype(&sqlite3_column_int64) column_int64;
    decltype(&sqlite3_column_text) column_text;
    decltype(&sqlite3_column_blob) column_blob;
    decltype(&sqlite3_column_bytes) column_bytes;
    decltype(&sqlite3_last_insert_rowid) last_insert_rowid;
    decltype(&sqlite3_errmsg) errmsg;
    decltype(&sqlite3_errstr) errstr;
    decltype(&sqlite3_extended_errcode) extended_errcode;
    decltype(&sqlite3_busy_timeout) busy_timeout;
    decltype(&sqlite3_free) free;
};

// The library loaded for as long as the object lives (the loader counts its users: the last one unmaps it).
class SqliteLibrary {
public:
    SqliteLibrary();
    ~SqliteLibrary();
    SqliteLibrary(const SqliteLibrary&) = delete;
    SqliteLibrary& operator=(const SqliteLibrary&) = delete;

    // The library's functions, or null when it could not be loaded (then error() says why).
    const SqliteApi* api() const { return m_loaded ? &m_api : nullptr; }
    const std::string& error() const { return m_error; }

private:
    void* m_library = nullptr;
    SqliteApi m_api{};
    bool m_loaded = false;
    std::string m_error;
};

}  // namespace history
