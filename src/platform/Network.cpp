// SPDX-License-Identifier: MIT
#include "platform/Network.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace platform {

std::string LocalIPv4Address() {
    constexpr const char* kLoopback = "127.0.0.1";
    char name[1024] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return kLoopback;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return kLoopback;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
    freeaddrinfo(found);
    return ok ? text : kLoopback;
}

}  // namespace platform
