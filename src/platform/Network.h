// SPDX-License-Identifier: MIT
// The local host's own IPv4 address, as the socket calls give it. Any thread.
#pragma once

#include <string>

namespace platform {

// The first IPv4 address the local host name resolves to, in dotted-decimal form; 127.0.0.1 when the
// name does not resolve to one.
std::string LocalIPv4Address();

}  // namespace platform
