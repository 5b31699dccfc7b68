// SPDX-License-Identifier: MIT
// Keep-alives on the registration's own flow, so that a NAT router between the agent and its registrar
// keeps the mapping through which the registrar reaches the agent.
//
// UDP: sofia-sip has no bare keep-alive for datagrams (only an OPTIONS request through the registrar). The
// layer sends the CRLF pair of RFC 5626 (section 4.4.1 uses STUN over UDP; a CRLF pair is what most
// clients send, and any SIP parser skips it) from the stack's own socket, the one the REGISTER left from,
// so that the router refreshes exactly that mapping. The socket is found among the process's descriptors
// by its address.
//
// TCP: the stack can ping an idle connection with CRLF pairs (TPTAG_KEEPALIVE), but only for every
// connection at once, which would keep the idle connections peers open to us alive as well. The stack
// marks the registration's connection itself, and only it, with TPTAG_SDWN_ERROR: the program defines
// tport_set_params, so that this marking also gives that connection its keep-alive, and its socket a
// TCP_USER_TIMEOUT, after which data that is not acknowledged (a ping into a connection a router dropped)
// makes the kernel end the connection. The stack then registers again at once on a new one.
//
// TLS: the stack's TLS connections have no keep-alive timer at all. The kernel's TCP keep-alive stands in
// for the CRLF pair there: an empty segment every interval while the connection is quiet, which refreshes
// a router's mapping as well, and whose missing acknowledgement ends a dead connection the same way.
#include "sip/KeepAlive.h"

#include "sip/ReplacedFunctions.h"

#include <sofia-sip/su_tag.h>
#include <sofia-sip/su_tagarg.h>
#include <sofia-sip/tport.h>
#include <sofia-sip/tport_tag.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace sip::detail {
namespace {

std::atomic<unsigned> g_streamKeepAliveMs{30000};
std::atomic<unsigned> g_streamDeadAfterMs{15000};

int socketType(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 ? type : -1;
}

bool sameAddress(const sockaddr_storage& a, socklen_t aLength, const sockaddr* b, socklen_t bLength) {
    return aLength == bLength && std::memcmp(&a, b, aLength) == 0;
}

// The first of the process's open descriptors for which `matches` holds.
int findSocket(const std::function<bool(int)>& matches) {
    DIR* directory = opendir("/proc/self/fd");
    if (!directory)
        return -1;
    int found = -1;
    while (dirent* entry = readdir(directory)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end || fd == dirfd(directory))
            continue;
        if (matches(static_cast<int>(fd))) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(directory);
    return found;
}

// Whether the socket is bound to `port` on `host` (as the Via names it: an IPv6 address in brackets) or
// on its family's wildcard address.
bool boundTo(int fd, const std::string& host, int port) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return false;
    const bool v6 = host.find(':') != std::string::npos;
    const std::string bare = !host.empty() && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
    char text[INET6_ADDRSTRLEN] = "";
    if (local.ss_family == AF_INET && !v6) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return ntohs(v4->sin_port) == port && (bare == text || v4->sin_addr.s_addr == htonl(INADDR_ANY));
    }
    if (local.ss_family != AF_INET6 || !v6)
        return false;
    const auto* address = reinterpret_cast<const sockaddr_in6*>(&local);
    in6_addr wanted{};
    return ntohs(address->sin6_port) == port &&
           ((inet_pton(AF_INET6, bare.c_str(), &wanted) == 1 &&
             std::memcmp(&wanted, &address->sin6_addr, sizeof wanted) == 0) ||
            IN6_IS_ADDR_UNSPECIFIED(&address->sin6_addr));
}

// The registration's TCP connection: our socket connected to the registrar's address.
// Unanswered probes of the kernel's keep-alive that end a connection (TCP_USER_TIMEOUT usually ends it
// first). The probes go every interval, in whole seconds, at least 1.
constexpr int kKernelProbesBeforeDead = 2;

void limitUnacknowledged(tport_t* connection, unsigned intervalMs, unsigned deadAfterMs,
                         bool kernelKeepAlive) {
    const su_addrinfo_t* peer = tport_get_address(connection);
    if (!peer || !peer->ai_addr)
        return;
    sockaddr_storage wanted{};
    const socklen_t wantedLength = static_cast<socklen_t>(peer->ai_addrlen);
    if (wantedLength > sizeof wanted)
        return;
    std::memcpy(&wanted, peer->ai_addr, wantedLength);
    const int fd = findSocket([&](int candidate) {
        if (socketType(candidate) != SOCK_STREAM)
            return false;
        sockaddr_storage remote{};
        socklen_t length = sizeof remote;
        return getpeername(candidate, reinterpret_cast<sockaddr*>(&remote), &length) == 0 &&
               sameAddress(wanted, wantedLength, reinterpret_cast<sockaddr*>(&remote), length);
    });
    if (fd < 0)
        return;
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &deadAfterMs, sizeof deadAfterMs);
    if (!kernelKeepAlive)
        return;
    const int on = 1, seconds = std::max(1, static_cast<int>(intervalMs / 1000)),
              probes = kKernelProbesBeforeDead;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &seconds, sizeof seconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &seconds, sizeof seconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

}  // namespace

bool sendDatagramKeepAlive(const DatagramFlow& flow) {
    if (flow.registrarLength == 0)
        return false;
    const int fd = findSocket([&](int candidate) {
        return socketType(candidate) == SOCK_DGRAM && boundTo(candidate, flow.localHost, flow.localPort);
    });
    if (fd < 0)
        return false;
    static const char kPing[] = "\r\n\r\n";
    return sendto(fd, kPing, 4, MSG_DONTWAIT | MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&flow.registrar), flow.registrarLength) == 4;
}

void setStreamKeepAlive(std::chrono::milliseconds interval, std::chrono::milliseconds deadAfter) {
    g_streamKeepAliveMs = static_cast<unsigned>(interval.count());
    g_streamDeadAfterMs = static_cast<unsigned>(deadAfter.count());
}

}  // namespace sip::detail

extern "C" int tport_set_params(tport_t* self, tag_type_t tag, tag_value_t value, ...) {
    using Real = int (*)(tport_t*, tag_type_t, tag_value_t, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tport_set_params"));
    if (!real)
        return -1;
    ta_list ta;
    ta_start(ta, tag, value);
    const tagi_t* marked = tl_find(ta_args(ta), tptag_sdwn_error);
    int result;
    const unsigned interval = sip::detail::g_streamKeepAliveMs;
    if (sip::replaced::inUse(sip::replaced::Family::TportSetParams) && interval && marked &&
        marked->t_value && self && tport_is_secondary(self) && tport_is_stream(self)) {
        result = real(self, TPTAG_KEEPALIVE(interval), TAG_NEXT(ta_args(ta)));
        sip::detail::limitUnacknowledged(self, interval, sip::detail::g_streamDeadAfterMs,
                                         tport_has_tls(self));
    } else {
        result = real(self, TAG_NEXT(ta_args(ta)));
    }
    ta_end(ta);
    return result;
}
