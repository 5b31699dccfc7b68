// SPDX-License-Identifier: MIT
// The next hop of a request outside a dialog: the address of its server that answers (Targets.h), with
// that server's certificate checked over TLS (Tls.h), remembered for the requests after it. Both families
// are bound, and the stack would try a server's IPv6 addresses first and wait 32 s on one whose packets are
// dropped; handed the address that answered, it sends there at once. User-interface thread.
#include "sip/DialogUsageManager.h"
#include "sip/DumState.h"
#include "sip/Tls.h"

namespace sip {

namespace {

std::string serverKey(detail::Wire wire, const detail::Server& server) {
    const char* name = wire == detail::Wire::Tls ? "tls" : wire == detail::Wire::Tcp ? "tcp" : "udp";
    std::string host = server.host;
    for (char& c : host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::string(name) + " " + host + ":" + std::to_string(server.port);
}

}  // namespace

void detail::DumState::forgetNextHop(const std::string& address) {
    std::erase_if(nextHops, [&](const auto& entry) { return entry.second.address == address; });
}

void Usage::reach(const std::string& uri, std::vector<std::string> avoid,
                  std::function<void(const detail::NextHop&)> then) {
    detail::DumState& s = state();
    const detail::Wire wire = s.wire();
    const detail::Server server = detail::serverOfUri(uri);
    const std::string key = serverKey(wire, server);
    if (avoid.empty())
        if (auto found = s.nextHops.find(key); found != s.nextHops.end())
            return then(found->second);
    std::weak_ptr<Usage> weak = weak_from_this();
    const std::string trustFile = s.core.tlsTrustFile();
    detail::reachServer(
        server, wire, std::move(avoid),
        [weak, wire, server, key, trustFile, then = std::move(then)](std::optional<detail::Target> winner) {
            auto usage = weak.lock();
            if (!usage || usage->retired())
                return;
            if (!winner)
                return then(detail::NextHop{});
            // A TLS server's certificate may name the host given or the one its SRV record names.
            std::vector<std::string> names;
            if (!server.literal)
                names.push_back(server.host);
            names.push_back(winner->name);
            detail::rememberServerNames(winner->name, names);
            detail::rememberServerNames(server.host, names);
            detail::NextHop hop{winner->uri(wire), winner->hostPort(), {}};
            if (wire != detail::Wire::Tls) {
                usage->state().nextHops[key] = hop;
                return then(hop);
            }
            detail::checkTlsServer(*winner, names, trustFile,
                                   [weak, key, hop, then](const std::string& problem) mutable {
                                       auto usage = weak.lock();
                                       if (!usage || usage->retired())
                                           return;
                                       hop.problem = problem;
                                       if (problem.empty())
                                           usage->state().nextHops[key] = hop;
                                       then(hop);
                                   });
        });
}

}  // namespace sip
