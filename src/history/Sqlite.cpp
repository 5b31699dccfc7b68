// SPDX-License-Identifier: MIT
#include "history/Sqlite.h"

#include <dlfcn.h>

#include <mutex>

namespace history {
namespace {

// Debian's libsqlite3-0: the soname of SQLite 3, whose interface keeps its functions for good.
constexpr const char* kLibrary = "libsqlite3.so.0";

template <typename Function>
bool find(void* library, const char* name, Function& function, std::string& missing) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (!function && missing.empty())
        missing = name;
    return function != nullptr;
}

}  // namespace

const SqliteApi* LoadSqlite(std::string* error) {
    static std::once_flag once;
    static SqliteApi api{};
    static const SqliteApi* loaded = nullptr;
    static std::string why;
    std::call_once(once, [] {
        // Never unloaded: the store's connection may live to the end of the run.
        void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!library) {
            const char* reason = dlerror();
            why = reason ? reason : kLibrary;
            return;
        }
        std::string missing;
        find(library, "sqlite3_open_v2", api.open_v2, missing);
        find(library, "sqlite3_close_v2", api.close_v2, missing);
        find(library, "sqlite3_exec", api.exec, missing);
        find(library, "sqlite3_prepare_v2", api.prepare_v2, missing);
        find(library, "sqlite3_finalize", api.finalize, missing);
        find(library, "sqlite3_reset", api.reset, missing);
        find(library, "sqlite3_step", api.step, missing);
        find(library, "sqlite3_bind_int64", api.bind_int64, missing);
        find(library, "sqlite3_bind_text", api.bind_text, missing);
        find(library, "sqlite3_bind_blob", api.bind_blob, missing);
        find(library, "sqlite3_column_int64", api.column_int64, missing);
        find(library, "sqlite3_column_text", api.column_text, missing);
        find(library, "sqlite3_column_blob", api.column_blob, missing);
        find(library, "sqlite3_column_bytes", api.column_bytes, missing);
        find(library, "sqlite3_last_insert_rowid", api.last_insert_rowid, missing);
        find(library, "sqlite3_errmsg", api.errmsg, missing);
        find(library, "sqlite3_errstr", api.errstr, missing);
        find(library, "sqlite3_extended_errcode", api.extended_errcode, missing);
        find(library, "sqlite3_busy_timeout", api.busy_timeout, missing);
        find(library, "sqlite3_db_release_memory", api.db_release_memory, missing);
        find(library, "sqlite3_free", api.free, missing);
        if (!missing.empty()) {
            why = std::string(kLibrary) + " has no " + missing;
            return;
        }
        loaded = &api;
    });
    if (!loaded && error)
        *error = why;
    return loaded;
}

}  // namespace history
