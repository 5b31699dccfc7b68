// SPDX-License-Identifier: MIT
// Where a server is reached: the lookup of its addresses (RFC 3263, RFC 6157) and the race between them
// (RFC 8305), in a thread of its own for each race; the outcome is delivered on the user-interface
// thread. See Targets.h.
#include "sip/Targets.h"

#include "sip/StackCore.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace sip::detail {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long after one address the next is tried when the first has not answered (RFC 8305's connection
// attempt delay), how often an OPTIONS probe goes again over UDP, and how long a race lasts at most.
constexpr auto kNextAttempt = 250ms;
constexpr auto kProbeAgain = 500ms;
constexpr auto kReachWait = 4s;

int defaultPort(Wire wire) {
    return wire == Wire::Tls ? 5061 : 5060;
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A name or address as a key: no brackets, no root's dot, lower case.
std::string plainHost(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    return lowerCase(host);
}

struct Srv {
    int priority = 0;
    int weight = 0;
    int port = 0;
    std::string target;
};

// The records of `type` for `name`, each record's data handed to `take` with the message it came in.
void query(const std::string& name, int type,
           const std::function<void(const ns_msg&, const unsigned char*, int)>& take) {
    struct __res_state state {};
    if (res_ninit(&state) != 0)
        return;
    unsigned char answer[4096];
    const int length = res_nquery(&state, name.c_str(), ns_c_in, type, answer, sizeof answer);
    ns_msg message;
    if (length > 0 && ns_initparse(answer, length, &message) == 0) {
        for (int i = 0; i < ns_msg_count(message, ns_s_an); ++i) {
            ns_rr record;
            if (ns_parserr(&message, ns_s_an, i, &record) == 0 && ns_rr_type(record) == type)
                take(message, ns_rr_rdata(record), ns_rr_rdlen(record));
        }
    }
    res_nclose(&state);
}

// The SRV name RFC 3263 4.1 leads to for the transport: the replacement of the domain's best NAPTR record
// for it, else the usual name.
std::string srvName(const std::string& domain, Wire wire) {
    const char* service = wire == Wire::Udp ? "sip+d2u" : wire == Wire::Tcp ? "sip+d2t" : "sips+d2t";
    std::string best;
    int bestOrder = 0x10000, bestPreference = 0x10000;
    query(domain, ns_t_naptr, [&](const ns_msg& message, const unsigned char* data, int length) {
        const unsigned char* end = data + length;
        if (length < 4)
            return;
        const int order = ns_get16(data), preference = ns_get16(data + 2);
        const unsigned char* at = data + 4;
        std::string strings[3];  // flags, service, regexp
        for (std::string& text : strings) {
            if (at >= end || at + 1 + *at > end)
                return;
            text.assign(reinterpret_cast<const char*>(at + 1), *at);
            at += 1 + *at;
        }
        char replacement[NS_MAXDNAME];
        if (dn_expand(ns_msg_base(message), ns_msg_end(message), at, replacement, sizeof replacement) < 0 ||
            lowerCase(strings[0]) != "s" || lowerCase(strings[1]) != service || !*replacement)
            return;
        if (order < bestOrder || (order == bestOrder && preference < bestPreference)) {
            bestOrder = order, bestPreference = preference;
            best = replacement;
        }
    });
    if (!best.empty())
        return best;
    return std::string(wire == Wire::Udp   ? "_sip._udp."
                       : wire == Wire::Tcp ? "_sip._tcp."
                                           : "_sips._tcp.") +
           domain;
}

std::vector<Srv> srvRecords(const std::string& name) {
    std::vector<Srv> records;
    query(name, ns_t_srv, [&](const ns_msg& message, const unsigned char* data, int length) {
        char target[NS_MAXDNAME];
        if (length < 7 ||
            dn_expand(ns_msg_base(message), ns_msg_end(message), data + 6, target, sizeof target) < 0 ||
            !*target || std::strcmp(target, ".") == 0)
            return;
        records.push_back({static_cast<int>(ns_get16(data)), static_cast<int>(ns_get16(data + 2)),
                           static_cast<int>(ns_get16(data + 4)), target});
    });
    std::stable_sort(records.begin(), records.end(), [](const Srv& a, const Srv& b) {
        return a.priority != b.priority ? a.priority < b.priority : a.weight > b.weight;
    });
    return records;
}

// The host's addresses in the order of the system's address selection, the families alternating from the
// one it puts first (RFC 8305 section 4).
std::vector<Target> addressesOf(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    std::vector<Target> families[2];
    int first = 0;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
        for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
            char text[INET6_ADDRSTRLEN] = "";
            const void* raw =
                entry->ai_family == AF_INET6
                    ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_addr)
                    : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr);
            if ((entry->ai_family != AF_INET && entry->ai_family != AF_INET6) ||
                !inet_ntop(entry->ai_family, raw, text, sizeof text))
                continue;
            const int which = entry->ai_family == AF_INET6 ? 0 : 1;
            if (families[0].empty() && families[1].empty())
                first = which;
            families[which].push_back({plainHost(host), text, port, entry->ai_family});
        }
        freeaddrinfo(found);
    }
    std::vector<Target> ordered;
    const std::vector<Target>& lead = families[first];
    const std::vector<Target>& other = families[1 - first];
    for (std::size_t i = 0; i < std::max(lead.size(), other.size()); ++i) {
        if (i < lead.size())
            ordered.push_back(lead[i]);
        if (i < other.size())
            ordered.push_back(other[i]);
    }
    return ordered;
}

// ---- the race ----------------------------------------------------------------------------------------

sockaddr_storage socketAddress(const Target& target, socklen_t& length) {
    sockaddr_storage address{};
    if (target.family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(target.port));
        inet_pton(AF_INET6, target.address.c_str(), &v6->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(target.port));
        inet_pton(AF_INET, target.address.c_str(), &v4->sin_addr);
        length = sizeof(sockaddr_in);
    }
    return address;
}

std::string token() {
    static std::mutex mutex;
    static std::mt19937_64 random{std::random_device{}()};
    const std::lock_guard<std::mutex> lock(mutex);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return text;
}

// An OPTIONS request for the server itself, which a registrar or proxy answers (with 200, or a refusal:
// either shows it is there).
std::string optionsProbe(const Target& target, int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    char text[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (local.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&local);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    }
    const std::string here =
        (local.ss_family == AF_INET6 ? "[" + std::string(text) + "]" : std::string(text)) + ":" +
        std::to_string(port);
    const std::string id = token();
    return "OPTIONS sip:" + target.hostPort() + " SIP/2.0\r\nVia: SIP/2.0/UDP " + here +
           ";rport;branch=z9hG4bK" + id + "\r\nMax-Forwards: 70\r\nFrom: <sip:probe@" + here + ">;tag=" + id +
           "\r\nTo: <sip:" + target.hostPort() + ">\r\nCall-ID: " + id +
           "\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n";
}

struct Attempt {
    Target target;
    int fd = -1;
    std::string probe;
    Clock::time_point nextProbe;
    bool failed = false;
};

// Opens the attempt's socket and sends its first probe (UDP) or starts its connection (TCP, TLS); false
// when it failed at once.
bool begin(Attempt& attempt, Wire wire) {
    const bool datagram = wire == Wire::Udp;
    attempt.fd = socket(attempt.target.family,
                        (datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (attempt.fd < 0)
        return false;
    socklen_t length = 0;
    const sockaddr_storage address = socketAddress(attempt.target, length);
    if (connect(attempt.fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 && errno != EINPROGRESS)
        return false;
    if (!datagram)
        return true;
    attempt.probe = optionsProbe(attempt.target, attempt.fd);
    attempt.nextProbe = Clock::now() + kProbeAgain;
    return send(attempt.fd, attempt.probe.data(), attempt.probe.size(), MSG_NOSIGNAL) >= 0 || errno == EAGAIN;
}

// Whether the attempt's socket shows the server: an answer to the probe, or the connection open. Sets
// `failed` when the server refused or cannot be reached.
bool answered(Attempt& attempt, Wire wire, short events) {
    if (wire != Wire::Udp) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(attempt.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        attempt.failed = error != 0 || (events & (POLLERR | POLLHUP));
        return !attempt.failed && (events & POLLOUT);
    }
    char buffer[2048];
    const ssize_t got = recv(attempt.fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno != EAGAIN && errno != EINTR)
        attempt.failed = true;
    return got >= 8 && std::memcmp(buffer, "SIP/2.0 ", 8) == 0;
}

std::optional<Target> race(std::vector<Target> targets, Wire wire) {
    std::vector<Attempt> attempts;
    const auto deadline = Clock::now() + kReachWait;
    auto nextStart = Clock::now();
    std::optional<Target> winner;
    while (!winner && Clock::now() < deadline) {
        const bool allFailed =
            std::all_of(attempts.begin(), attempts.end(), [](const Attempt& a) { return a.failed; });
        if (attempts.size() < targets.size() && (Clock::now() >= nextStart || allFailed)) {
            Attempt attempt;
            attempt.target = targets[attempts.size()];
            attempt.failed = !begin(attempt, wire);
            attempts.push_back(std::move(attempt));
            nextStart = Clock::now() + kNextAttempt;
            continue;
        }
        if (attempts.size() == targets.size() && allFailed)
            break;
        std::vector<pollfd> fds;
        std::vector<Attempt*> polled;
        for (Attempt& attempt : attempts) {
            if (attempt.failed)
                continue;
            if (wire == Wire::Udp && Clock::now() >= attempt.nextProbe) {
                send(attempt.fd, attempt.probe.data(), attempt.probe.size(), MSG_NOSIGNAL);
                attempt.nextProbe = Clock::now() + kProbeAgain;
            }
            fds.push_back({attempt.fd, static_cast<short>(wire == Wire::Udp ? POLLIN : POLLOUT), 0});
            polled.push_back(&attempt);
        }
        auto until = std::min(deadline, attempts.size() < targets.size() ? nextStart : deadline);
        for (const Attempt* attempt : polled)
            if (wire == Wire::Udp)
                until = std::min(until, attempt->nextProbe);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(1, wait))) <= 0)
            continue;
        for (std::size_t i = 0; i < fds.size() && !winner; ++i)
            if (fds[i].revents && answered(*polled[i], wire, fds[i].revents))
                winner = polled[i]->target;
    }
    for (Attempt& attempt : attempts)
        if (attempt.fd >= 0)
            close(attempt.fd);
    return winner;
}

struct KnownNames {
    std::mutex mutex;
    std::map<std::string, std::vector<std::string>> byAddress;
};

KnownNames& knownNames() {
    static KnownNames names;
    return names;
}

}  // namespace

std::string Target::hostPort() const {
    return (family == AF_INET6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::string Target::uri(Wire wire) const {
    // Over TLS the stack checks the certificate against the URI's host and asks for it in the ClientHello:
    // the name stays, and maddr says where it is.
    if (wire == Wire::Tls && !name.empty() && name != address)
        return "sips:" + name + ":" + std::to_string(port) +
               ";maddr=" + (family == AF_INET6 ? "[" + address + "]" : address);
    return std::string(wire == Wire::Tls ? "sips:" : "sip:") + hostPort() +
           (wire == Wire::Udp   ? ";transport=udp"
            : wire == Wire::Tcp ? ";transport=tcp"
                                : "");
}

Server serverOfUri(const std::string& uri) {
    Server server;
    const auto colon = uri.find(':');
    if (colon == std::string::npos)
        return server;
    std::string rest = uri.substr(colon + 1);
    rest = rest.substr(0, rest.find_first_of(";?"));
    if (const auto at = rest.rfind('@'); at != std::string::npos)
        rest = rest.substr(at + 1);
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            return server;
        server.host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
    } else {
        const auto portColon = rest.find(':');
        server.host = rest.substr(0, portColon);
        rest = portColon == std::string::npos ? std::string() : rest.substr(portColon);
    }
    if (rest.size() > 1 && rest.front() == ':')
        server.port = std::atoi(rest.c_str() + 1);
    in6_addr literal{};
    server.literal = inet_pton(AF_INET, server.host.c_str(), &literal) == 1 ||
                     inet_pton(AF_INET6, server.host.c_str(), &literal) == 1;
    return server;
}

std::vector<Target> lookUp(const Server& server, Wire wire) {
    if (server.host.empty())
        return {};
    const int port = server.port ? server.port : defaultPort(wire);
    if (server.literal || server.port)
        return addressesOf(server.host, port);
    std::vector<Target> targets;
    const std::vector<Srv> records = srvRecords(srvName(server.host, wire));
    for (const Srv& record : records)
        for (const Target& target : addressesOf(record.target, record.port))
            targets.push_back(target);
    if (records.empty())
        targets = addressesOf(server.host, port);
    return targets;
}

namespace {

std::vector<Target> lookUpAvoiding(const Server& server, Wire wire, const std::vector<std::string>& avoid) {
    std::vector<Target> targets = lookUp(server, wire);
    std::erase_if(targets, [&](const Target& target) {
        return std::find(avoid.begin(), avoid.end(), target.hostPort()) != avoid.end();
    });
    return targets;
}

}  // namespace

void reachServer(const Server& server, Wire wire, std::vector<std::string> avoid,
                 std::function<void(std::optional<Target>)> done) {
    // An address is itself: nothing to look up and nothing to choose, so the answer comes at once rather
    // than on a later pass of the caller's loop (at start, after the whole window is made).
    if (server.literal) {
        const std::vector<Target> targets = lookUpAvoiding(server, wire, avoid);
        return done(targets.empty() ? std::nullopt : std::optional<Target>(targets.front()));
    }
    std::thread([server, wire, avoid = std::move(avoid), done = std::move(done)]() mutable {
        const std::vector<Target> targets = lookUpAvoiding(server, wire, avoid);
        // One address leaves nothing to choose: the stack tries it itself, and no probe reaches a server
        // that would not expect one.
        std::optional<Target> winner;
        if (targets.size() == 1)
            winner = targets.front();
        else if (!targets.empty())
            winner = race(targets, wire);
        deliverOnUiThread([done = std::move(done), winner = std::move(winner)] { done(winner); });
    }).detach();
}

void rememberServerNames(const std::string& address, const std::vector<std::string>& names) {
    KnownNames& known = knownNames();
    const std::lock_guard<std::mutex> lock(known.mutex);
    std::vector<std::string>& list = known.byAddress[plainHost(address)];
    for (const std::string& name : names) {
        const std::string plain = plainHost(name);
        if (!plain.empty() && plain != plainHost(address) &&
            std::find(list.begin(), list.end(), plain) == list.end())
            list.push_back(plain);
    }
}

std::vector<std::string> serverNames(const std::string& address) {
    KnownNames& known = knownNames();
    const std::lock_guard<std::mutex> lock(known.mutex);
    const auto found = known.byAddress.find(plainHost(address));
    return found == known.byAddress.end() ? std::vector<std::string>() : found->second;
}

}  // namespace sip::detail
