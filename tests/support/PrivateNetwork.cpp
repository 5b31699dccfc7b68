// SPDX-License-Identifier: MIT
// Runs before main, on the program's only thread.
#include "support/PrivateNetwork.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

namespace test {
namespace {

struct Outcome {
    bool inside = false;
    std::string problem;
};

std::optional<Outcome>& outcome() {
    static std::optional<Outcome> value;
    return value;
}

std::string failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// The user namespace maps our own user and group to root inside it, which is what it takes to configure
// the network namespace that comes with it.
std::string unshareAsUser() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return failed("unshare(CLONE_NEWUSER | CLONE_NEWNET)");
    if (!writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return "mapping the user into the user namespace failed";
    return "";
}

// `ip link set lo up` and `ip route add default dev lo`, without needing iproute2.
std::string configureLoopback() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return failed("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string problem;
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        problem = failed("reading the flags of lo");
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0)
            problem = failed("setting lo up");
    }
    if (problem.empty()) {
        rtentry route{};
        auto any = [](sockaddr& address) {
            auto* in = reinterpret_cast<sockaddr_in*>(&address);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_ANY);
        };
        any(route.rt_dst);
        any(route.rt_genmask);
        any(route.rt_gateway);
        route.rt_flags = RTF_UP;
        char device[] = "lo";
        route.rt_dev = device;
        if (ioctl(fd, SIOCADDRT, &route) != 0)
            problem = failed("adding a default route through lo");
    }
    close(fd);
    return problem;
}

Outcome enter() {
    if (unshare(CLONE_NEWNET) != 0) {
        const std::string asRoot = failed("unshare(CLONE_NEWNET)");
        if (const std::string asUser = unshareAsUser(); !asUser.empty())
            return {false, asRoot + "; " + asUser + " (run as root, or allow unprivileged user namespaces)"};
    }
    if (const std::string problem = configureLoopback(); !problem.empty())
        return {false, problem};
    return {true, ""};
}

}  // namespace

bool enterPrivateNetwork() {
    if (!outcome())
        outcome() = enter();
    return outcome()->inside;
}

bool addRoutableAddress() {
    if (!inPrivateNetwork())
        return false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    // `ip address add 192.0.2.1/32 dev lo`, as the alias lo:1 that ioctl knows.
    ifreq request{};
    std::strncpy(request.ifr_name, "lo:1", IFNAMSIZ - 1);
    auto* address = reinterpret_cast<sockaddr_in*>(&request.ifr_addr);
    address->sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.1", &address->sin_addr);
    bool added = ioctl(fd, SIOCSIFADDR, &request) == 0;
    auto* mask = reinterpret_cast<sockaddr_in*>(&request.ifr_netmask);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = htonl(INADDR_NONE);
    added = added && ioctl(fd, SIOCSIFNETMASK, &request) == 0;
    close(fd);
    return added;
}

bool inPrivateNetwork() {
    return outcome() && outcome()->inside;
}

const std::string& privateNetworkProblem() {
    static const std::string notAsked = "the test program did not ask for one (test::enterPrivateNetwork)";
    return outcome() ? outcome()->problem : notAsked;
}

}  // namespace test
