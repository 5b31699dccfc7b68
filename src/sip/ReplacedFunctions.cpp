// SPDX-License-Identifier: MIT
// The table of the functions the program defines in sofia-sip's place (ReplacedFunctions.h), and the
// decision, once for the process, whether each is in use with the sofia-sip that is loaded.
#include "sip/ReplacedFunctions.h"

#include <sofia-sip/nua.h>

#include <atomic>
#include <deque>
#include <iterator>
#include <mutex>

namespace sip::replaced {
namespace {

// Debian 12's libsofia-sip-ua0, as its nua_version says.
constexpr const char* kDebian12 = "1.12.11devel";

struct Replacement {
    Family family;
    // As the program defines them, and where.
    const char* functions;
    const char* file;
    const char* why;
    // The nua_version of the build the definitions were checked against.
    const char* checked;
};

// To add one: a Family, a row here, and an inUse() check at the top of each of its definitions.
constexpr Replacement kTable[] = {
    {Family::Accept, "accept", "Connections.cpp",
     "caps the TCP connections peers open to the SIP port, so that the listening socket never stays "
     "readable at the descriptor limit (the transport then spins)",
     kDebian12},
    {Family::TportSetParams, "tport_set_params", "KeepAlive.cpp",
     "gives the registration's own TCP or TLS connection, which the stack marks, a keep-alive and a "
     "TCP_USER_TIMEOUT, and no other connection",
     kDebian12},
    {Family::TlsFree, "tls_free", "Tls.cpp",
     "frees each TLS connection's SSL object, which this build leaves behind; a build that frees it itself "
     "(the maintained fork since 2013) would have it freed twice",
     kDebian12},
    {Family::TportSubjectSearch, "tport_subject_search", "Tls.cpp",
     "matches a server certificate's names also without the DNS root's dot and against the SRV target",
     kDebian12},
    {Family::SresCacheStore, "sres_cache_store", "NetworkWatch.cpp",
     "keeps a failed lookup no longer than the DNS said (this build keeps it 600 s)", kDebian12},
    {Family::NetworkChanged, "su_root_add_network_changed, su_root_remove_network_changed",
     "NetworkWatch.cpp",
     "the detector of network changes from the kernel's notifications, which this build has only for macOS",
     kDebian12},
    {Family::AuthClient, "auc_*", "Digest.cpp",
     "the whole authentication client: a fresh digest answer for every request, whatever characters the "
     "user name and password hold",
     kDebian12},
    {Family::TlsServerName, "tls_init_secondary, tls_connect", "Tls.cpp",
     "the server's name in each TLS connection's ClientHello (SNI), and the address a server reached by its "
     "address must have a certificate for; reads the TLS state as tls_free does",
     kDebian12},
    {Family::TransportByName, "tport_primary_by_name", "Families.cpp",
     "takes an IPv6 next hop in brackets for the address it is, so that the request leaves over IPv6",
     kDebian12},
    {Family::ContactFromVia, "nua_registration_from_via", "Families.cpp",
     "keeps the IPv4 loopback address among a registration's possible Contacts on a machine with loopback "
     "alone, and keeps track of those Contacts so that a change of the network takes all of them out, not "
     "only the first (the stack's own loop stops there)",
     kDebian12},
    {Family::ContactByAor, "nua_registration_by_aor", "Families.cpp",
     "gives a registration the Contact of the family it registers over", kDebian12},
    {Family::TextsOutsideDialogs, "nua_stack_process_request", "ReceivedTexts.cpp",
     "answers a plain text outside any dialog in the pass of the stack's loop that read it, without a handle "
     "or an event of the stack's: two passes of the loop fewer before its 200 leaves",
     kDebian12},
};

constexpr std::size_t kFamilies = std::size(kTable);

struct Decision {
    std::string loaded;
    bool inUse[kFamilies] = {};
};

Decision decide(const std::string& loaded) {
    Decision decision;
    decision.loaded = loaded;
    for (std::size_t i = 0; i < kFamilies; ++i)
        decision.inUse[static_cast<std::size_t>(kTable[i].family)] = loaded == kTable[i].checked;
    return decision;
}

// Every decision made stays for the process: a definition may be reading one while a test makes another.
struct Decisions {
    std::mutex mutex;
    std::deque<Decision> made;
    std::atomic<const Decision*> current{nullptr};
};

Decisions& decisions() {
    static Decisions all;
    return all;
}

const Decision& current() {
    Decisions& all = decisions();
    if (const Decision* decision = all.current.load(std::memory_order_acquire))
        return *decision;
    const std::lock_guard<std::mutex> lock(all.mutex);
    if (const Decision* decision = all.current.load(std::memory_order_acquire))
        return *decision;
    all.made.push_back(decide(nua_version));
    all.current.store(&all.made.back(), std::memory_order_release);
    return all.made.back();
}

}  // namespace

const char* const kCheckedPackage = "1.12.11+20110422.1+1e14eea~dfsg-6";

bool inUse(Family family) {
    return current().inUse[static_cast<std::size_t>(family)];
}

std::string report() {
    const Decision& decision = current();
    std::string off;
    for (const Replacement& row : kTable)
        if (!decision.inUse[static_cast<std::size_t>(row.family)])
            off += (off.empty() ? "" : ", ") + std::string(row.functions);
    std::string line = "sofia-sip " + decision.loaded + ": ";
    if (off.empty())
        return line + "every function the program defines in its place is in use";
    return line + "not the build the program was checked against (" + kDebian12 +
           "), so the library's own are in use for: " + off;
}

namespace testing {

void assumeLoadedVersion(const std::string& version) {
    Decisions& all = decisions();
    const std::lock_guard<std::mutex> lock(all.mutex);
    all.made.push_back(decide(version.empty() ? std::string(nua_version) : version));
    all.current.store(&all.made.back(), std::memory_order_release);
}

}  // namespace testing
}  // namespace sip::replaced
