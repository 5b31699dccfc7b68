// SPDX-License-Identifier: MIT
// What the stack sees of the machine's network: the detector of network changes, on Linux, from the
// kernel's own notifications (rtnetlink) of addresses, links and routes, in the stack's thread; whether a
// name server can be reached; and how long a failed lookup is remembered.
//
// sofia-sip's nua knows what to do when the network changes (NUTAG_DETECT_NETWORK_UPDATES with
// NUA_NW_DETECT_TRY_FULL): it closes its transports, opens them again on the addresses the machine has now
// (its sockets are bound one to an address, so a new address needs new ones) and reports
// nua_i_network_changed. It asks the platform for a detector with su_root_add_network_changed(), which
// Debian's build has only for macOS; the program defines that function. Closing the transports frees
// them even where a registration still holds one (a crash at the registration's next answer), so the
// detector does not call the stack at once: it tells the usage manager (StackCore::networkChanged), which
// lets its registrations go first, then asks the stack to act by setting its parameters, which makes the
// stack ask for its detector again, in its own thread and in order; that call runs the change.
//
// The kernel's messages about one change (an address, its routes, the link) come in bursts: they settle
// for a moment, and only a change of what the stack uses counts: the addresses of both families of the
// interfaces that are up (an IPv6 temporary address that comes or goes is none of those), and the default
// routes.
//
// A failed lookup is not to outlive what the DNS said (RFC 2308): a "no such name" without an SOA record
// may not be kept at all, one with an SOA no longer than the SOA's minimum. sofia-sip's resolver keeps
// every failure 600 s unless an SOA's minimum (if over 10 s) is shorter: a domain whose records appear
// after a first failed lookup then stays unknown for ten minutes, though the agent tries again every
// minute. The program defines sres_cache_store() so that such failures are not kept: those the SOA
// shortened are, for their time; the rest are asked again at the next attempt.
#include "sip/ReplacedFunctions.h"
#include "sip/StackCore.h"
#include "sip/Targets.h"

// sofia-resolv/sres_record.h needs these first.
#include <netinet/in.h>

#include <cstdint>
#include <ctime>

#include <sofia-resolv/sres_record.h>
#include <sofia-sip/su_alloc.h>
#include <sofia-sip/su_os_nw.h>
#include <sofia-sip/su_wait.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// How long the kernel's messages about one change are let come before the change is acted on.
constexpr su_duration_t kSettleMs = 700;

// A timer of the kernel's (a timerfd) measures the settling, not one of the stack's: those hold the
// stack's root, whose end at shutdown must find nothing holding it.
struct Watch {
    su_home_t home[1];  // first: the watch is a home of its own, freed with the stack's
    su_root_t* root;
    su_network_changed_f* changed;
    su_network_changed_magic_t* magic;
    int socket;
    int settle;
    su_wait_t waits[2];
    int registrations[2];
    char* state;
    // A change the stack has not acted on yet.
    bool pending;
};

// The IPv6 addresses the stack's transports bind, from the kernel's table (/proc/net/if_inet6: address,
// interface index, prefix length, scope, flags, name), which getifaddrs() does not give the flags of: not
// loopback, not link-local, and neither temporary (privacy) addresses, which come and go every few hours
// while the stable one the registration uses stays, nor addresses still being checked for duplicates.
void addIpv6Addresses(std::vector<std::string>& addresses) {
    constexpr unsigned kScopeLink = 0x20, kScopeHost = 0x10;
    constexpr unsigned kTemporary = 0x01, kTentative = 0x40, kDadFailed = 0x08;
    std::ifstream table("/proc/net/if_inet6");
    std::string hex, name;
    unsigned index = 0, prefix = 0, scope = 0, flags = 0;
    while (table >> hex >> std::hex >> index >> prefix >> scope >> flags >> std::dec >> name) {
        if (hex.size() != 32 || (scope & (kScopeLink | kScopeHost)) ||
            (flags & (kTemporary | kTentative | kDadFailed)))
            continue;
        addresses.push_back(name + "=" + hex);
    }
}

// The default route of each family: its interface and gateway. /proc/net/route: Iface Destination Gateway
// Flags ..., destination 00000000; /proc/net/ipv6_route: destination, its prefix length, source, its
// length, next hop, metric, references, use, flags, interface.
std::string defaultRoutes() {
    std::string state;
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);
    while (std::getline(routes, line)) {
        char iface[IF_NAMESIZE + 1] = "";
        unsigned destination = 0, gateway = 0, flags = 0;
        if (std::sscanf(line.c_str(), "%16s %x %x %x", iface, &destination, &gateway, &flags) == 4 &&
            destination == 0 && (flags & 1))
            state += "default via " + std::to_string(gateway) + " dev " + iface + " ";
    }
    std::ifstream routes6("/proc/net/ipv6_route");
    while (std::getline(routes6, line)) {
        char destination[33] = "", source[33] = "", hop[33] = "", iface[IF_NAMESIZE + 1] = "";
        unsigned length = 0, sourceLength = 0, metric = 0, references = 0, use = 0, flags = 0;
        constexpr unsigned kRouteUp = 0x1, kRejected = 0x200;
        if (std::sscanf(line.c_str(), "%32s %x %32s %x %32s %x %x %x %x %16s", destination, &length, source,
                        &sourceLength, hop, &metric, &references, &use, &flags, iface) == 10 &&
            length == 0 && (flags & kRouteUp) && !(flags & kRejected))
            state += "default6 via " + std::string(hop) + " dev " + iface + " ";
    }
    return state;
}

// What the stack's transports and routes depend on, as text: the addresses of both families of the
// interfaces that are up (loopback aside) and the default routes.
std::string networkState() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP) ||
                (entry->ifa_flags & IFF_LOOPBACK))
                continue;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text,
                      sizeof text);
            addresses.push_back(std::string(entry->ifa_name) + "=" + text);
        }
        freeifaddrs(list);
    }
    addIpv6Addresses(addresses);
    std::sort(addresses.begin(), addresses.end());
    std::string state;
    for (const std::string& address : addresses)
        state += address + " ";
    return state + defaultRoutes();
}

// The stack asks again for a detector each time its parameters are set: one watch a root. The mutex
// also guards each watch's `pending`.
struct Watches {
    std::mutex mutex;
    std::map<su_root_t*, Watch*> byRoot;
};

Watches& watches() {
    static Watches all;
    return all;
}

int settled(su_root_magic_t*, su_wait_t*, su_wakeup_arg_t* argument) {
    auto* watch = static_cast<Watch*>(argument);
    std::uint64_t expirations = 0;
    if (read(watch->settle, &expirations, sizeof expirations) != sizeof expirations)
        return 0;
    const std::string now = networkState();
    if (watch->state && now == watch->state)
        return 0;
    su_free(watch->home, watch->state);
    watch->state = su_strdup(watch->home, now.c_str());
    {
        const std::lock_guard<std::mutex> lock(watches().mutex);
        watch->pending = true;
    }
    sip::detail::announceNetworkChange(watch->magic);
    return 0;
}

int readable(su_root_magic_t*, su_wait_t*, su_wakeup_arg_t* argument) {
    auto* watch = static_cast<Watch*>(argument);
    char buffer[8192];
    for (int i = 0; i < 64 && recv(watch->socket, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
    }
    itimerspec once{};
    once.it_value.tv_sec = kSettleMs / 1000;
    once.it_value.tv_nsec = (kSettleMs % 1000) * 1000000L;
    timerfd_settime(watch->settle, 0, &once, nullptr);
    return 0;
}

void destroyed(void* argument) {
    auto* watch = static_cast<Watch*>(argument);
    for (int* fd : {&watch->socket, &watch->settle}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    Watches& all = watches();
    const std::lock_guard<std::mutex> lock(all.mutex);
    if (auto found = all.byRoot.find(watch->root); found != all.byRoot.end() && found->second == watch)
        all.byRoot.erase(found);
}

bool routable(int family, const void* address, socklen_t length) {
    const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = connect(fd, static_cast<const sockaddr*>(address), length) == 0;
    close(fd);
    return ok;
}

}  // namespace

namespace sip::detail {

// Whether one of the name servers of /etc/resolv.conf (the ones the stack's resolver asks) can be reached
// at all: a route to it exists. Without one the stack's resolver spins on failing connect() calls
// (sofia-sip's sres), so no name may be handed to the stack then. None configured: the resolver asks
// the local host.
bool nameServerReachable() {
    std::ifstream conf("/etc/resolv.conf");
    bool any = false;
    for (std::string line; std::getline(conf, line);) {
        std::istringstream words(line);
        std::string keyword, server;
        if (!(words >> keyword >> server) || keyword != "nameserver")
            continue;
        any = true;
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(53);
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(53);
        if (inet_pton(AF_INET, server.c_str(), &v4.sin_addr) == 1     ? routable(AF_INET, &v4, sizeof v4)
            : inet_pton(AF_INET6, server.c_str(), &v6.sin6_addr) == 1 ? routable(AF_INET6, &v6, sizeof v6)
                                                                      : false)
            return true;
    }
    return !any;
}

void markNetworkChanged(const void* nua) {
    Watches& all = watches();
    const std::lock_guard<std::mutex> lock(all.mutex);
    for (const auto& [root, watch] : all.byRoot)
        if (static_cast<const void*>(watch->magic) == nua)
            watch->pending = true;
}

}  // namespace sip::detail

extern "C" su_network_changed_t* su_root_add_network_changed(su_home_t* home, su_root_t* root,
                                                             su_network_changed_f* changed,
                                                             su_network_changed_magic_t* magic) {
    using Own =
        su_network_changed_t* (*)(su_home_t*, su_root_t*, su_network_changed_f*, su_network_changed_magic_t*);
    static const auto own = sip::replaced::libraryOwn<Own>("su_root_add_network_changed");
    if (!sip::replaced::inUse(sip::replaced::Family::NetworkChanged))
        return own ? own(home, root, changed, magic) : nullptr;
    if (!home || !root || !changed)
        return nullptr;
    Watches& all = watches();
    {
        const std::lock_guard<std::mutex> lock(all.mutex);
        if (auto found = all.byRoot.find(root); found != all.byRoot.end()) {
            Watch* watch = found->second;
            watch->changed = changed;
            watch->magic = magic;
            // The usage manager's go-ahead, in the stack's thread: the change is acted on now.
            if (watch->pending) {
                watch->pending = false;
                sip::detail::forgetAddressContacts();
                watch->changed(watch->magic, watch->root);
            }
            return reinterpret_cast<su_network_changed_t*>(watch);
        }
    }
    auto* watch = static_cast<Watch*>(su_home_clone(home, sizeof(Watch)));
    if (!watch)
        return nullptr;
    watch->root = root;
    watch->changed = changed;
    watch->magic = magic;
    watch->registrations[0] = watch->registrations[1] = -1;
    watch->socket = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    watch->settle = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    su_home_destructor(watch->home, destroyed);
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups =
        RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR | RTMGRP_IPV6_ROUTE;
    if (watch->socket < 0 || watch->settle < 0 ||
        bind(watch->socket, reinterpret_cast<sockaddr*>(&groups), sizeof groups) != 0 ||
        su_wait_create(&watch->waits[0], watch->socket, SU_WAIT_IN) != 0 ||
        su_wait_create(&watch->waits[1], watch->settle, SU_WAIT_IN) != 0 ||
        (watch->registrations[0] = su_root_register(root, &watch->waits[0], readable, watch, 0)) < 0 ||
        (watch->registrations[1] = su_root_register(root, &watch->waits[1], settled, watch, 0)) < 0) {
        for (int registration : watch->registrations)
            if (registration >= 0)
                su_root_deregister(root, registration);
        su_home_unref(watch->home);
        return nullptr;
    }
    watch->state = su_strdup(watch->home, networkState().c_str());
    const std::lock_guard<std::mutex> lock(all.mutex);
    all.byRoot[root] = watch;
    return reinterpret_cast<su_network_changed_t*>(watch);
}

extern "C" int su_root_remove_network_changed(su_network_changed_t* changes) {
    static const auto own =
        sip::replaced::libraryOwn<int (*)(su_network_changed_t*)>("su_root_remove_network_changed");
    if (!sip::replaced::inUse(sip::replaced::Family::NetworkChanged))
        return own ? own(changes) : -1;
    auto* watch = reinterpret_cast<Watch*>(changes);
    if (!watch)
        return -1;
    for (int registration : watch->registrations)
        if (registration >= 0)
            su_root_deregister(watch->root, registration);
    su_home_unref(watch->home);
    return 0;
}

// sofia-resolv/sres_cache.h does not compile as C++ (a parameter named "template").
extern "C" {
typedef struct sres_cache sres_cache_t;
}

extern "C" void sres_cache_store(sres_cache_t* cache, sres_record_t* record, time_t now) {
    using Real = void (*)(sres_cache_t*, sres_record_t*, time_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "sres_cache_store"));
    // The resolver's own failure records last exactly 600 s unless an SOA shortened them.
    constexpr std::uint32_t kResolverFailureSeconds = 600;
    if (!real)
        return;
    if (sip::replaced::inUse(sip::replaced::Family::SresCacheStore) && record &&
        record->sr_record->r_status != 0 && record->sr_record->r_ttl >= kResolverFailureSeconds)
        return;
    real(cache, record, now);
}
