// SPDX-License-Identifier: MIT
// Private to the SIP layer: what keeps the registration's flow open through NAT routers (KeepAlive.cpp).
// A router forgets a flow that has been quiet for a while (30 s for UDP on many home routers, 90 s or less
// for TCP on carrier-grade ones); the registrar can then no longer reach the agent.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>

namespace sip::detail {

// The registration's datagram flow: our socket (the port, and the address the registrar saw in our Via)
// and the registrar's address, where its answers came from.
struct DatagramFlow {
    std::string localHost;
    int localPort = 0;
    sockaddr_storage registrar{};
    socklen_t registrarLength = 0;
};

// Sends a bare CRLF pair (4 bytes) from the stack's own UDP socket of `flow` to the registrar: no reply is
// due, and a SIP parser takes it for the white space between messages. False when no such socket is
// open any more, or the datagram could not leave. Any thread (the socket is the stack's; a datagram goes
// out whole).
bool sendDatagramKeepAlive(const DatagramFlow& flow);

// How often the stack sends a CRLF pair on the registration's TCP connection when it is idle, and how long
// data it sent may stay unacknowledged before the connection counts as dead (the stack then closes it and
// registers again at once on a new one). Takes effect for registrations made from now on; any thread.
void setStreamKeepAlive(std::chrono::milliseconds interval, std::chrono::milliseconds deadAfter);

}  // namespace sip::detail
