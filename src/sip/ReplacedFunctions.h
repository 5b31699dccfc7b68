// SPDX-License-Identifier: MIT
// The functions of sofia-sip, and of the C library as sofia-sip calls it, that the program defines itself
// (the executable's definition wins over the library's): one table of them in ReplacedFunctions.cpp, each
// with why and the build of sofia-sip it was checked against. Any thread.
//
// Each definition is a promise about one build of the library: what it calls, frees or leaves undone. At
// the first call, once for the process, the loaded library's version (its nua_version) is compared with
// the one each definition was checked against; where they differ, that definition passes every call
// straight through to the library's own (dlsym(RTLD_NEXT)), and --version says which are off. A family
// that replaces a whole interface (the authentication client, auc_*) is on or off as one.
#pragma once

#include <dlfcn.h>

#include <string>
#include <string_view>

namespace sip::replaced {

// One row of the table each. A definition asks inUse() for its own before doing anything of its own.
enum class Family {
    Accept,
    TportSetParams,
    TlsFree,
    TportSubjectSearch,
    SresCacheStore,
    NetworkChanged,
    AuthClient,
    TlsServerName,
    TransportByName,
    ContactFromVia,
    ContactByAor,
    TextsOutsideDialogs,
};

// Whether the program's own definitions of `family` are in use: the loaded sofia-sip is the build they
// were checked against.
bool inUse(Family family);

// The loaded sofia-sip and the program's definitions that are off, in one line for --version.
std::string report();

// The library's own definition of `name`, the next one after the program's.
template <typename Function>
Function libraryOwn(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The Debian package of sofia-sip the table was checked against, for the .deb's dependency.
extern const char* const kCheckedPackage;

namespace testing {
// Decides from now on as if the loaded library said `version` (the real one when empty).
void assumeLoadedVersion(const std::string& version);
}  // namespace testing

}  // namespace sip::replaced
