// SPDX-License-Identifier: MIT
// Client registration: the REGISTER, the stack's silent refreshes, the retry asked of the handler after a
// 408, and the removal of every binding by a wildcard Contact, seen through to its final answer. The stack
// answers challenges itself, to the first REGISTER and to every refresh and removal alike (Digest.cpp);
// only a challenge it could not answer reaches the usage, as the final response.
//
//   agent               registrar
//     | REGISTER          |
//     |------------------>|
//     |      401          |
//     |<------------------|
//     | REGISTER + digest |
//     |------------------>|
//     |      200          |   onSuccess (the refreshes that follow are silent)
//     |<------------------|
//     ...
//     | REGISTER, nc + 1  |   a refresh, with a new answer to the same nonce
//     |------------------>|
//     |   401 stale       |   the nonce expired: answered at once, nothing is reported
//     |<------------------|
//     | REGISTER + digest |
//     |------------------>|
//     |      200          |
//     |<------------------|
#include "sip/DialogUsageManager.h"
#include "sip/DumState.h"
#include "sip/KeepAlive.h"
#include "sip/Tls.h"

#include <sofia-sip/msg_addr.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <strings.h>

#include <cctype>
#include <cstring>

namespace sip {

using detail::Event;

namespace {

// How long a new registration waits for a removal still under way before it is sent all the same.
constexpr std::chrono::seconds kRemovalWait{4};
// How long the first REGISTER of a run may hold up the thread that hands it over (StackCore.h).
constexpr std::chrono::milliseconds kFirstRequestWait{10};

const char* portOrDefault(const char* port) {
    return port && *port ? port : "5060";
}

// The registrar lists the bindings of every device of the address of record. Ours carry the address our
// transport puts in Via, or, once a NAT was seen, the public one the registrar saw it come from: the
// top Via of the response, its sent-by or its received and rport.
std::vector<NameAddr> ownBindings(const Event& event) {
    std::vector<NameAddr> own;
    const sip_t* response = event.sip();
    if (!response || !response->sip_via)
        return own;
    const sip_via_t* via = response->sip_via;
    auto ours = [via](const url_t* url) {
        const char* port = portOrDefault(url->url_port);
        if (strcasecmp(url->url_host, via->v_host) == 0 && std::strcmp(port, portOrDefault(via->v_port)) == 0)
            return true;
        return via->v_received && strcasecmp(url->url_host, via->v_received) == 0 &&
               std::strcmp(port, via->v_rport && *via->v_rport ? via->v_rport : portOrDefault(via->v_port)) ==
                   0;
    };
    const SipMessage view = event.message();
    std::size_t index = 0;
    for (const sip_contact_t* bound = response->sip_contact; bound; bound = bound->m_next) {
        if (bound->m_url->url_type == url_any)
            continue;
        if (bound->m_url->url_host && ours(bound->m_url) && index < view.contacts().size())
            own.push_back(view.contacts()[index]);
        ++index;
    }
    return own;
}

// Where the registration's answers came from, and the socket the REGISTER left from.
detail::DatagramFlow flowOf(const Event& event, int port) {
    detail::DatagramFlow flow;
    const sip_t* response = event.sip();
    msg_t* msg = event.msg();
    const su_addrinfo_t* source = msg ? msg_addrinfo(msg) : nullptr;
    if (!response || !response->sip_via || !source || !source->ai_addr ||
        source->ai_addrlen > sizeof flow.registrar)
        return flow;
    flow.localHost = response->sip_via->v_host;
    flow.localPort = port;
    std::memcpy(&flow.registrar, source->ai_addr, source->ai_addrlen);
    flow.registrarLength = static_cast<socklen_t>(source->ai_addrlen);
    return flow;
}

std::string registrarOf(const Uri& aor) {
    std::string uri = aor.scheme().str() + ":" + aor.host().str();
    if (aor.port())
        uri += ":" + std::to_string(aor.port());
    return uri;
}

}  // namespace

std::size_t detail::removalsUnderWay(const DumState& state) {
    std::size_t count = 0;
    for (const auto& entry : state.usages)
        if (const auto* registration = dynamic_cast<const ClientRegistration*>(entry.second.get()))
            count += registration->detached();
    return count;
}

ClientRegistration::ClientRegistration(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target)
    : Usage(dum, nh), m_target(target), m_registrar(dum.state().secured(registrarOf(target.uri()))) {}

ClientRegistration::~ClientRegistration() = default;

ClientRegistrationHandle ClientRegistration::getHandle() {
    return ClientRegistrationHandle(std::static_pointer_cast<ClientRegistration>(shared_from_this()));
}

void ClientRegistration::start() {
    if (!m_nh)
        return failSoon(nua_r_register, 503, "Transport unavailable");
    if (state().namesUnreachable(m_registrar))
        return failSoon(nua_r_register, 503, detail::kNoNameServer);
    if (!m_registrarFound)
        return findRegistrar();
    // A wildcard removal still under way would remove this registration's binding too, were it to reach
    // the registrar after it.
    detail::DumState& s = state();
    if (detail::removalsUnderWay(s) == 0)
        return issue();
    s.afterRemovals.push_back(std::static_pointer_cast<ClientRegistration>(shared_from_this()));
    // A removal whose registrar does not answer does not hold the sign-in up for long.
    auto late = std::make_unique<Event>();
    std::weak_ptr<Usage> weak = weak_from_this();
    late->call = [weak] {
        auto usage = std::static_pointer_cast<ClientRegistration>(weak.lock());
        if (!usage || usage->retired())
            return;
        auto& waiting = usage->state().afterRemovals;
        const auto before = waiting.size();
        std::erase_if(waiting, [&](const std::weak_ptr<ClientRegistration>& w) { return w.lock() == usage; });
        if (waiting.size() != before)
            usage->issue();
    };
    m_core.post(std::move(late), kRemovalWait);
}

void ClientRegistration::issue() {
    // What the stack gives the registration's connection, if it makes one (KeepAlive.cpp).
    const detail::DumState& s = state();
    const auto stream = s.keepAlive ? s.profile->getKeepAliveTimeForStream() : std::chrono::seconds{0};
    detail::setStreamKeepAlive(stream, stream / 2);
    const std::string expires = std::to_string(state().profile->getDefaultRegistrationTime());
    const std::string proxy = nextHop();
    detail::setRegistrationFamily(m_pinnedAddress.empty()          ? 0
                                  : m_pinnedAddress.front() == '[' ? AF_INET6
                                                                   : AF_INET);
    m_core.ownRequest(m_nh);
    nua_register(m_nh, NUTAG_URL(m_registrar.c_str()), SIPTAG_EXPIRES_STR(expires.c_str()),
                 TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())), NUTAG_OUTBOUND(detail::kOutboundOptions),
                 TAG_END());
    m_core.letFirstRequestLeave(kFirstRequestWait);
}

void ClientRegistration::removeAll(bool stopWhenDone) {
    m_removing = true;
    m_stopWhenDone = stopWhenDone;
    if (!m_nh)
        return failSoon(nua_r_unregister, 503, "Transport unavailable");
    const std::string proxy = nextHop();
    m_core.ownRequest(m_nh);
    nua_unregister(m_nh, NUTAG_URL(m_registrar.c_str()), SIPTAG_CONTACT_STR("*"), SIPTAG_EXPIRES_STR("0"),
                   TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())),
                   NUTAG_OUTBOUND(detail::kOutboundOptions), TAG_END());
}

void ClientRegistration::stopRegistering() {
    if (m_removing && m_nh && state().running())
        return detach();
    retire();
}

// The registrar's address: the first that answers, among the outbound proxy's or the domain's, the ones
// that failed this registration left out. Over TLS its certificate is checked first: the stack refuses a
// server whose certificate fails its checks without a word (the request ends in 408, 32 s later), the
// check at once, with the reason. When no address answers, the stack is given the name as before.
void ClientRegistration::findRegistrar() {
    const std::string proxy = state().outboundProxy();
    std::weak_ptr<Usage> weak = weak_from_this();
    reach(proxy.empty() ? m_registrar : proxy, m_avoid, [weak](const detail::NextHop& hop) {
        auto usage = std::static_pointer_cast<ClientRegistration>(weak.lock());
        if (!usage || !usage->m_nh)
            return;
        usage->m_registrarFound = true;
        if (!hop.problem.empty())
            return usage->failSoon(nua_r_register, 503, hop.problem.c_str());
        usage->m_pinned = hop.uri;
        usage->m_pinnedAddress = hop.address;
        const std::string next = usage->nextHop();
        nua_set_hparams(usage->m_nh, NUTAG_PROXY(next.empty() ? nullptr : next.c_str()), TAG_END());
        usage->start();
    });
}

std::string ClientRegistration::nextHop() {
    return m_pinned.empty() ? state().outboundProxy() : m_pinned;
}

void ClientRegistration::leaveForNetworkChange() {
    if (detached())
        return removalDone();
    if (retired() || !m_nh)
        return;
    detail::DumState& s = state();
    s.usages.erase(m_nh);
    s.challenged.erase(m_nh);
    m_core.destroyHandle(m_nh);
    m_nh = nullptr;
    s.usages[this] = shared_from_this();
    m_pinned.clear();
    m_pinnedAddress.clear();
    m_avoid.clear();
    // Addresses reached over the old network may not be reached over the new one.
    s.nextHops.clear();
    m_registrarFound = false;
    m_awaitingNetwork = true;
}

void ClientRegistration::rejoinAfterNetworkChange() {
    if (!m_awaitingNetwork || retired())
        return;
    m_awaitingNetwork = false;
    detail::DumState& s = state();
    m_nh = s.newHandle(m_target);
    if (!m_nh)
        return fail(detail::MessageAccess::response(503, "Transport unavailable"));
    s.usages.erase(this);
    s.usages[m_nh] = shared_from_this();
    start();
}

void ClientRegistration::removalDone() {
    retire();
    detail::DumState& s = state();
    if (detail::removalsUnderWay(s) > 0)
        return;
    auto waiting = std::move(s.afterRemovals);
    s.afterRemovals.clear();
    for (const std::weak_ptr<ClientRegistration>& weak : waiting)
        if (auto registration = weak.lock(); registration && !registration->retired())
            registration->issue();
}

// Out of the manager, the usage sees no more of its handle's events; its sofia-sip handle, destroyed with
// it, takes the transaction in progress with it.
void ClientRegistration::end() {
    retire();
}

void ClientRegistration::dispatch(std::unique_ptr<Event>& event) {
    if (event->type != nua_r_register && event->type != nua_r_unregister)
        return;
    if (event->status < 200)
        return;
    // A removal the application no longer sees: its final answer ends it, whatever the answer.
    if (detached())
        return removalDone();
    onFinal(*event);
}

void ClientRegistration::onFinal(Event& event) {
    detail::DumState& s = state();
    ClientRegistrationHandler* handler = s.registrationHandler;
    const SipMessage response = event.message();
    const int status = event.status;

    // A challenge here is one the stack could not answer: no credential, or one the registrar refused.
    if (status == 401 || status == 407)
        return fail(response);
    if (status >= 200 && status < 300) {
        m_myContacts = ownBindings(event);
        if (!m_myContacts.empty())
            s.ownContact = m_myContacts.front().uri();
        if (m_removing) {
            m_removing = false;
            m_registered = false;
            m_myContacts.clear();
            if (handler)
                handler->onRemoved(getHandle(), response);
            if (m_stopWhenDone)
                retire();
        } else if (s.shutdownHandler) {
            // The usage manager is winding down and nobody will remove this binding any more: it leaves
            // again at once, and the shutdown does not wait for a registration that would stay.
            const std::string proxy = nextHop();
            m_core.ownRequest(m_nh);
            nua_unregister(m_nh, NUTAG_URL(m_registrar.c_str()),
                           TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())),
                           NUTAG_OUTBOUND(detail::kOutboundOptions), TAG_END());
            m_removing = true;
            detach();
        } else {
            m_avoid.clear();
            pin(event);
            keepAlive(event);
            if (!m_registered) {
                m_registered = true;
                if (handler)
                    handler->onSuccess(getHandle(), response);
            }
        }
        return;
    }
    // A REGISTER that went unanswered, or could not leave: the handler decides whether it is sent again.
    const bool timedOut = status == 408 || (status == 503 && !event.sip());
    // The registrar that held our binding is gone (unanswered, refused, or it says itself that it cannot
    // serve): the name is looked up again and the next of its addresses that answers takes the binding,
    // without a word to the user. One that moved to another address is found there the same way.
    if ((timedOut || status == 503) && m_registered && !m_pinned.empty() && !m_removing &&
        !state().namesUnreachable(m_registrar)) {
        if (!m_pinnedAddress.empty())
            m_avoid.push_back(m_pinnedAddress);
        s.forgetNextHop(m_pinnedAddress);
        m_pinned.clear();
        m_pinnedAddress.clear();
        m_registrarFound = false;
        // The stack's handle keeps sending to where it registered, whatever next hop it is given then: a
        // new one starts afresh.
        s.usages.erase(m_nh);
        s.challenged.erase(m_nh);
        m_core.destroyHandle(m_nh);
        m_nh = s.newHandle(m_target);
        if (!m_nh)
            return fail(response);
        s.usages[m_nh] = shared_from_this();
        return findRegistrar();
    }
    if (timedOut && handler && !m_removing) {
        const int retryAfter = handler->onRequestRetry(getHandle(), 0, response);
        if (retryAfter >= 0 && m_nh) {
            auto retry = std::make_unique<Event>();
            std::weak_ptr<Usage> weak = weak_from_this();
            retry->call = [weak] {
                if (auto usage = weak.lock(); usage && !usage->retired())
                    static_cast<ClientRegistration&>(*usage).issue();
            };
            m_core.post(std::move(retry), std::chrono::seconds(retryAfter));
            return;
        }
    }
    fail(response);
}

// Over UDP nothing leaves our port for the registrar between refreshes, and a NAT router forgets the
// mapping the registrar reaches us through: a CRLF pair goes there at the profile's interval, from the
// socket the REGISTER left from, while the registration holds. (Over TCP the stack pings the connection.)
void ClientRegistration::keepAlive(const Event& response) {
    detail::DumState& s = state();
    if (!s.keepAlive || !s.core.transport || s.core.transport->tcp)
        return;
    m_flow = flowOf(response, s.core.transport->port);
    if (!m_keepAliveDue)
        armKeepAlive();
}

void ClientRegistration::armKeepAlive() {
    const std::chrono::seconds interval = state().profile->getKeepAliveTimeForDatagram();
    if (interval.count() <= 0 || m_flow.registrarLength == 0)
        return;
    m_keepAliveDue = true;
    auto ping = std::make_unique<Event>();
    std::weak_ptr<Usage> weak = weak_from_this();
    ping->call = [weak] {
        auto usage = std::static_pointer_cast<ClientRegistration>(weak.lock());
        if (!usage)
            return;
        usage->m_keepAliveDue = false;
        if (usage->retired() || !usage->m_registered || usage->m_removing)
            return;
        detail::sendDatagramKeepAlive(usage->m_flow);
        usage->armKeepAlive();
    };
    m_core.post(std::move(ping), interval);
}

// Once registered, the refreshes, the removal and what the stack sends again by itself go to the
// registrar that answered, by its address: the name is not looked up again while the binding holds, so
// that a machine gone offline never hands the stack a name (its resolver spins without a route), and a
// refresh meets the registrar that has the binding.
void ClientRegistration::pin(const Event& response) {
    msg_t* msg = response.msg();
    const su_addrinfo_t* source = msg ? msg_addrinfo(msg) : nullptr;
    const sip_t* sip = response.sip();
    if (!source || !source->ai_addr || !sip || !sip->sip_via || !sip->sip_via->v_protocol)
        return;
    char host[INET6_ADDRSTRLEN] = "";
    int port = 0;
    if (source->ai_addr->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(source->ai_addr);
        inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        port = ntohs(v4->sin_port);
    } else if (source->ai_addr->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(source->ai_addr);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
    }
    if (!*host || port == 0)
        return;
    std::string transport = sip->sip_via->v_protocol;
    transport = transport.substr(transport.rfind('/') + 1);
    for (char& c : transport)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // Over TLS the next hop found keeps the server's name, which the certificate is checked against.
    if (transport == "tls" && !m_pinned.empty())
        return;
    const bool v6 = std::strchr(host, ':') != nullptr;
    const std::string pinned = std::string(transport == "tls" ? "sips:" : "sip:") + (v6 ? "[" : "") + host +
                               (v6 ? "]" : "") + ":" + std::to_string(port) + ";transport=" + transport;
    m_pinnedAddress = (v6 ? "[" : "") + std::string(host) + (v6 ? "]" : "") + ":" + std::to_string(port);
    if (pinned == m_pinned)
        return;
    m_pinned = pinned;
    nua_set_hparams(m_nh, NUTAG_PROXY(m_pinned.c_str()), TAG_END());
}

void ClientRegistration::fail(const SipMessage& response) {
    m_registered = false;
    m_removing = false;
    m_myContacts.clear();
    if (ClientRegistrationHandler* handler = state().registrationHandler)
        handler->onFailure(getHandle(), response);
    retire();
}

}  // namespace sip
