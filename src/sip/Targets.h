// SPDX-License-Identifier: MIT
// Private to the SIP layer: where a server is reached (Targets.cpp). sofia-sip looks a server's name up
// itself (NAPTR, SRV, then AAAA before A once both families are bound) but tries the next address only
// after a transport error or the transaction's time-out, 32 s: a family whose packets are dropped on the
// way, common on networks where IPv6 or IPv4 is half set up, would hold every request that long. The
// layer therefore finds the addresses itself, the way the stack would (RFC 3263 with RFC 6157), races
// them in the order RFC 6724 and RFC 8305 give, and hands the stack the one that answered.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sip::detail {

enum class Wire { Udp, Tcp, Tls };

// One address a server answers at.
struct Target {
    // The host name it was found under (an SRV record's target, or the host given); the address itself
    // when a literal was given. A TLS server's certificate is for this name, or for the name given.
    std::string name;
    // Numeric, IPv6 without brackets.
    std::string address;
    int port = 0;
    int family = 0;  // AF_INET6 or AF_INET

    // As the stack is given a next hop: "sip:[2001:db8::1]:5060;transport=udp"; over TLS the name with the
    // address as maddr, "sips:sip.example.test:5061;maddr=192.0.2.1", so that the stack checks the
    // certificate against the name and asks for it (SNI).
    std::string uri(Wire wire) const;
    // "[2001:db8::1]:5060" or "192.0.2.1:5060".
    std::string hostPort() const;
};

// The host, its port (0 when none is given) and whether it is an address, from a URI's host part as the
// user or a header gives it ("sip.example.test", "192.0.2.1", "[2001:db8::1]"); the brackets go.
struct Server {
    std::string host;
    int port = 0;
    bool literal = false;
};
// The server a sip: or sips: URI (a next hop: "sip:example.test;transport=tcp", "sips:[2001:db8::1]:5080")
// names; an empty host when there is none.
Server serverOfUri(const std::string& uri);

// The addresses `server` is reached at over `wire`, best first: a literal is itself; a host with a port
// has its AAAA and A records; otherwise the domain's NAPTR records for the transport lead to its SRV
// records (or _sip._udp, _sip._tcp, _sips._tcp straight away), whose targets come in priority order (the
// heavier first among equals), each with its addresses; without SRV records, the host's own at the
// transport's default port. Each target's addresses alternate between the families, the family the
// system's address selection (RFC 6724) puts first leading: IPv6 wherever the machine can use it.
// Blocking (the system's resolver); any thread.
std::vector<Target> lookUp(const Server& server, Wire wire);

// Looks `server` up and tries its addresses (other than those in `avoid`) in turn, each a quarter of a
// second after the one before, or at once when the one before failed outright (refused, unreachable):
// over UDP an OPTIONS request that any answer proves, over TCP and TLS a connection that opens. The
// first address that answers wins; tries still under way are dropped. A single address is taken as it is,
// untried. Calls `done` on the user-interface thread with the winner, or with none when nothing answered
// within kReachWait (4 s) or the name has no address.
void reachServer(const Server& server, Wire wire, std::vector<std::string> avoid,
                 std::function<void(std::optional<Target>)> done);

// Where the stack is to send a request (Usage::reach, NextHop.cpp).
struct NextHop {
    // The next hop for the stack ("sip:[2001:db8::1]:5060;transport=udp"); empty when no address answered,
    // and the stack is left to look the name up itself.
    std::string uri;
    // The address, as Target::hostPort() writes it.
    std::string address;
    // Over TLS, why the server's certificate was refused, in words; empty when it was not.
    std::string problem;
};

// Remembers that a TLS server reached as `host` (the name the stack is given, an SRV record's target, or
// an address) is also known as each of `names` (the domain whose SRV record named it): its certificate may
// name any of them. Any thread.
void rememberServerNames(const std::string& host, const std::vector<std::string>& names);
// The names remembered for `host` (brackets and a root's dot are ignored); empty when none.
std::vector<std::string> serverNames(const std::string& host);

// The address family (AF_INET6, AF_INET) of the registrar the next REGISTER goes to, so that its Contact
// is an address of that family (Families.cpp); 0 when not known, and the stack chooses. Any thread.
void setRegistrationFamily(int family);

}  // namespace sip::detail
