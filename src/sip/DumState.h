// SPDX-License-Identifier: MIT
// Private to the SIP layer: the usage manager's state, shared with the usages. User-interface thread only.
#pragma once

#include "sip/Digest.h"
#include "sip/Handlers.h"
#include "sip/MasterProfile.h"
#include "sip/StackCore.h"
#include "sip/Targets.h"
#include "sip/Usages.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sip::detail {

// What the stack's outbound support does for registrations: it moves the Contact to the public address an
// answer shows when we are behind a NAT ("natify", on by default), but sends no OPTIONS keep-alive through
// the registrar (the layer keeps the flow alive itself, KeepAlive.cpp) and no probe of our own Contact.
inline constexpr const char* kOutboundOptions = "no-options-keepalive no-validate";

// The reason phrase of a request that could not go because no name server can be reached.
inline constexpr const char* kNoNameServer = "No route to the name server";

// A body as sofia-sip's tags take it: its type, or null when there is none, and its bytes.
class Body {
public:
    explicit Body(const Contents* contents);
    Body(std::string type, const Data& bytes);
    ~Body();
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;

    const char* type() const { return m_type.empty() ? nullptr : m_type.c_str(); }
    const sip_payload_t* payload() const { return m_payload; }

private:
    su_home_t m_home[1] = {SU_HOME_INIT(m_home)};
    std::string m_type;
    sip_payload_t* m_payload = nullptr;
};

struct DumState {
    explicit DumState(StackCore& core) : core(core) {}

    StackCore& core;
    std::shared_ptr<MasterProfile> profile;
    // What publishTexts() last published from.
    struct {
        const MasterProfile* profile = nullptr;
        std::uint64_t revision = 0;
        std::string ownContactUser;
        bool pagerHandler = false;
        bool shuttingDown = false;
    } published;
    bool authManager = false;
    bool keepAlive = false;

    ClientRegistrationHandler* registrationHandler = nullptr;
    ServerPagerMessageHandler* serverPagerHandler = nullptr;
    ClientPagerMessageHandler* clientPagerHandler = nullptr;
    InviteSessionHandler* inviteHandler = nullptr;
    std::map<std::string, ServerSubscriptionHandler*> subscriptionHandlers;
    std::map<std::string, ClientPublicationHandler*> publicationHandlers;

    // Live usages by their sofia-sip handle (a usage whose stack is not running has none: keyed by itself).
    std::map<const void*, std::shared_ptr<Usage>> usages;
    // Usages taken out, kept until no call in progress can still be using them.
    std::vector<std::shared_ptr<Usage>> retired;

    // The Contact our registration last bound; empty before any. Requests of a dialog name it themselves,
    // since a wildcard removal, whose "*" the stack would take for our Contact, may be under way.
    Uri ownContact;

    // Attempts in a row, after a change of the network, at opening the transports again that failed.
    int failedReopenings = 0;

    // Registrations waiting for the removals under way to end before they are sent.
    std::vector<std::weak_ptr<ClientRegistration>> afterRemovals;

    DumShutdownHandler* shutdownHandler = nullptr;
    bool shutdownDelivered = false;

    // The servers reached so far (Usage::reach), by server and transport ("udp example.test:0"): the
    // address that answered, checked over TLS. A request that could not reach it forgets it.
    std::map<std::string, NextHop> nextHops;
    // Forgets every server reached at `address`.
    void forgetNextHop(const std::string& address);

    bool running() const { return core.running() && !core.stopped(); }
    Wire wire() const {
        return !core.transport       ? Wire::Udp
               : core.transport->tls ? Wire::Tls
               : core.transport->tcp ? Wire::Tcp
                                     : Wire::Udp;
    }
    // A handle for a request outside any dialog, from the default From to `to`; null when the stack
    // does not run. `kind` is StackCore::sessionMarker() for a message session's.
    nua_handle_t* newHandle(const NameAddr& to, nua_hmagic_t* kind = StackCore::marker());
    // Publishes what received texts are answered by (ReceivedTexts.cpp) when it changed since last time.
    void publishTexts();
    // Where the library's own authentication client is in use (ReplacedFunctions.h): answers a challenge
    // to a handle's request the way that client takes credentials, once a handle; the stack then sends the
    // request again. Whether it did.
    bool answerChallenge(const Event& challenge);
    // Handles whose challenge answerChallenge() answered.
    std::set<const void*> challenged;
    // Where requests outside a dialog go (for NUTAG_PROXY), or "" when there is no outbound proxy.
    std::string outboundProxy() const;
    // `uri` as a request goes to it: over TLS a sip: URI becomes the sips: URI of the same resource (RFC 3261
    // 19.1, RFC 5630), which the stack sends only over TLS, to port 5061 by default.
    std::string secured(const std::string& uri) const;
    // Whether a request to `target` (a URI) would need a name looked up (the outbound proxy's, or else the
    // target's host) while no name server can be reached; it must then fail without reaching the stack,
    // whose resolver spins without a route to its server.
    bool namesUnreachable(const std::string& target) const;
    // The outbound proxy as the one Route of a request that starts a dialog (a Route header's value, a
    // loose route), or "" when there is no outbound proxy. The dialog's later requests follow their own
    // route set, never this.
    std::string outboundRoute() const;
};

// How many live usages are of kind T.
template <class T>
std::size_t countUsages(const DumState& state) {
    std::size_t count = 0;
    for (const auto& entry : state.usages)
        count += dynamic_cast<const T*>(entry.second.get()) != nullptr;
    return count;
}

// Whether the request names in its Request-URI a user who is none of ours (RFC 3261 8.2.2.1): neither the
// user we sign in as (the profile's default From) nor the one our Contact names. A Request-URI without a
// user names nobody else. Any thread.
bool forSomebodyElse(const MasterProfile& profile, const Uri& ownContact, const sip_t* request);
bool forSomebodyElse(const DumState& state, const sip_t* request);

// Whether a name server of the machine's can be reached now (NetworkWatch.cpp). Any thread.
bool nameServerReachable();

// Wildcard removals the application let go of that still wait for their final answer.
std::size_t removalsUnderWay(const DumState& state);

// Answers a request that one of the limits on what peers may make us hold refuses: 503 with
// Retry-After, so the peer knows it was not taken and when to try again.
void refuse(nua_handle_t* nh, const Event& request);

// The Accept header's value for the body types `method` supports.
std::string acceptFor(const MasterProfile& profile, MethodType method);

// Whether the request has no body, or one of a type the profile lists for the method. Any thread.
bool bodyTaken(const MasterProfile& profile, MethodType method, const sip_t* request);

// Whether the request's body may be handed on: a body type the profile does not list for the method is
// answered 415 with an Accept of what it lists.
bool bodyAcceptable(const DumState& state, nua_handle_t* nh, const Event& event, MethodType method);
// Whether a body of a type the profile takes is also acceptable for what it wraps (message/cpim).
bool wrappedTypeAcceptable(const MasterProfile& profile, MethodType method, const Mime& type,
                           const Data& body);

}  // namespace sip::detail
