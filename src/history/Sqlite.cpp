// SPDX-License-Identifier: MIT
#include "history/Sqlite.h"

#include <dlfcn.h>


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

SqliteLibrary::SqliteLibrary() {
    m_library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!m_library) {
        const char* reason = dlerror();
        m_error = reason ? reason : kLibrary;
        return;
    }
    SqliteApi& api = m_api;
    std::string missing;
    find(m_library, "sqlite3_open_v2", api.open_v2, missing);
    find(m_library, "sqlite3_close_v2", api.close_v2, missing);
    find(m_library, "sqlite3_exec", api.exec, missing);
    find(m_library, "sqlite3_prepare_v2", api.prepare_v2, missing);
    find(m_library, "sqlite3_finalize", api.finalize, missing);
    find(m_library, "sqlite3_reset", api.reset, missing);
    find(m_library, "sqlite3_step", api.step, missing);
    find(m_library, "sqlite3_bind_int64", api.bind_int64, missing);
    find(m_library, "sqlite3_bind_text", api.bind_text, missing);
    find(m_library, "sqlite3_bind_blob", api.bind_blob, missing);
    find(m_library, "sqlite3_column_int64", api.column_int64, missing);
    find(m_library, "sqlite3_column_text", api.column_text, missing);
    find(m_library, "sqlite3_column_blob", api.column_blob, missing);
    find(m_library, "sqlite3_column_bytes", api.column_bytes, missing);
    find(m_library, "sqlite3_last_insert_rowid", api.last_insert_rowid, missing);
    find(m_library, "sqlite3_errmsg", api.errmsg, missing);
    find(m_library, "sqlite3_errstr", api.errstr, missing);
    find(m_library, "sqlite3_extended_errcode", api.extended_errcode, missing);
    find(m_library, "sqlite3_busy_timeout", api.busy_timeout, missing);
    find(m_library, "sqlite3_free", api.free, missing);
    if (!missing.empty()) {
        m_error = std::string(kLibrary) + " has no " + missing;
        return;
    }
    m_loaded = true;
}

SqliteLibrary::~SqliteLibrary() {
    if (m_library)
        dlclose(m_library);
}

}  // namespace history
