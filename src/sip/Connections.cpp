// SPDX-License-Identifier: MIT
// The TCP connections peers open to us, bounded. sofia-sip's transport accepts every connection it is
// offered and keeps it as long as the peer likes; at the descriptor limit its listening socket stays
// readable and its thread spins without answering anyone. It has no setting for a cap, so the cap sits
// where the transport takes a connection: the program's accept() (which sofia-sip's library calls, and
// nothing else of the program does; Qt accepts through accept4) counts the connections accepted on the
// SIP port, closes the oldest when one more would pass the cap, and when no descriptor is left accepts
// and closes the newcomer, so the listening socket never stays readable. Runs in the stack's thread.
#include "sip/PeerGuards.h"
#include "sip/ReplacedFunctions.h"
#include "sip/StackCore.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>

namespace sip::detail {
namespace {

struct Accepted {
    int fd;
    sockaddr_storage peer;
    socklen_t peerLength;
};

struct Inbound {
    std::mutex mutex;
    std::atomic<int> port{0};
    std::deque<Accepted> accepted;  // oldest first
    int spare = -1;                 // kept open for the moment no descriptor is left
};

Inbound& inbound() {
    static Inbound state;
    return state;
}

int localPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return -1;
}

bool isStream(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

// Whether the descriptor still is the connection that was accepted (the transport may have closed it
// and the number gone to another socket since).
bool stillAccepted(const Accepted& entry, int port) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(entry.fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
        return false;
    return length == entry.peerLength && std::memcmp(&peer, &entry.peer, length) == 0 &&
           localPort(entry.fd) == port;
}

// One more connection is about to be kept: forget the ones already gone, and when the cap is reached
// shut the oldest down. The transport then sees its end and closes it itself.
void makeRoom(Inbound& state, int port) {
    if (state.accepted.size() < guard::kMaxInboundConnections)
        return;
    std::erase_if(state.accepted, [port](const Accepted& entry) { return !stillAccepted(entry, port); });
    while (state.accepted.size() >= guard::kMaxInboundConnections) {
        shutdown(state.accepted.front().fd, SHUT_RDWR);
        state.accepted.pop_front();
    }
}

// With no descriptor left the connection cannot be taken at all: give up the spare one for a moment,
// take the connection and close it at once.
void refuseWithoutDescriptors(Inbound& state, int listener) {
    if (state.spare < 0)
        return;
    close(state.spare);
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
        close(fd);
    state.spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void guardInboundConnections(int port) {
    Inbound& state = inbound();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (state.spare < 0)
        state.spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
    state.accepted.clear();
    state.port = port;
}

std::size_t closeQuietConnections(std::chrono::milliseconds quiet) {
    Inbound& state = inbound();
    const std::lock_guard<std::mutex> lock(state.mutex);
    const int port = state.port;
    std::size_t closed = 0;
    std::erase_if(state.accepted, [&](const Accepted& entry) {
        if (!stillAccepted(entry, port))
            return true;
        tcp_info info{};
        socklen_t length = sizeof info;
        if (getsockopt(entry.fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
            std::chrono::milliseconds(info.tcpi_last_data_recv) < quiet)
            return false;
        // The transport sees the end and closes the connection itself.
        shutdown(entry.fd, SHUT_RDWR);
        ++closed;
        return true;
    });
    return closed;
}

std::size_t inboundConnectionsKept() {
    Inbound& state = inbound();
    const std::lock_guard<std::mutex> lock(state.mutex);
    const int port = state.port;
    return static_cast<std::size_t>(
        std::count_if(state.accepted.begin(), state.accepted.end(),
                      [port](const Accepted& e) { return stillAccepted(e, port); }));
}

}  // namespace sip::detail

extern "C" int accept(int listener, sockaddr* address, socklen_t* length) {
    using namespace sip::detail;
    static const auto own = sip::replaced::libraryOwn<int (*)(int, sockaddr*, socklen_t*)>("accept");
    if (!sip::replaced::inUse(sip::replaced::Family::Accept))
        return own(listener, address, length);
    Inbound& state = inbound();
    const int port = state.port;
    if (port == 0 || localPort(listener) != port || !isStream(listener))
        return accept4(listener, address, length, 0);

    const std::lock_guard<std::mutex> lock(state.mutex);
    Accepted entry{};
    entry.peerLength = sizeof entry.peer;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&entry.peer), &entry.peerLength, 0);
    if (fd < 0) {
        const int error = errno;
        if (error == EMFILE || error == ENFILE)
            refuseWithoutDescriptors(state, listener);
        errno = error == EMFILE || error == ENFILE ? EAGAIN : error;
        return -1;
    }
    // A number the transport closed and the kernel gave out again: the old entry is gone.
    std::erase_if(state.accepted, [fd](const Accepted& e) { return e.fd == fd; });
    makeRoom(state, port);
    entry.fd = fd;
    state.accepted.push_back(entry);
    if (address && length) {
        const socklen_t copied = std::min(*length, entry.peerLength);
        std::memcpy(address, &entry.peer, copied);
        *length = entry.peerLength;
    }
    return fd;
}
