// SPDX-License-Identifier: MIT
// DialogUsageManager: what the agent is written against. It holds the profile, the handlers and the
// usages, makes the requests the agent asks for, hands every event of the stack to the right handler
// from process(), and answers by itself what no handler is for (415, 489, 405, the default expiry of a
// subscription). User-interface thread only.
#pragma once

#include "sip/Handlers.h"
#include "sip/MasterProfile.h"
#include "sip/SipStack.h"
#include "sip/Usages.h"

#include <memory>

namespace sip {

namespace detail {
struct DumState;
}

class DialogUsageManager {
public:
    explicit DialogUsageManager(SipStack& stack);
    ~DialogUsageManager();
    DialogUsageManager(const DialogUsageManager&) = delete;
    DialogUsageManager& operator=(const DialogUsageManager&) = delete;

    void setMasterProfile(const std::shared_ptr<MasterProfile>& profile);
    const std::shared_ptr<MasterProfile>& getMasterProfile() const;

    // One transport on all local IPv4 addresses; it opens when the stack's thread runs, and
    // SipStack::transportError then says why when it could not. False when one was added already.
    bool addTransport(TransportType type, int port, IpVersion version = V4, const Data& ipInterface = Data(),
                      const Data& sipDomainName = Data(), const Data& privateKeyPassPhrase = Data());
    // TLS: certificate authorities to trust besides the system's, a PEM file or a hashed directory. Call
    // after addTransport; false when no TLS transport was added.
    bool addCertificateAuthorities(const Data& pemFileOrDirectory);

    void setClientAuthManager(std::unique_ptr<ClientAuthManager> manager);
    void setKeepAliveManager(std::unique_ptr<KeepAliveManager> manager);

    void setClientRegistrationHandler(ClientRegistrationHandler* handler);
    void setServerPagerMessageHandler(ServerPagerMessageHandler* handler);
    void setClientPagerMessageHandler(ClientPagerMessageHandler* handler);
    void addServerSubscriptionHandler(const Data& eventType, ServerSubscriptionHandler* handler);
    void setInviteSessionHandler(InviteSessionHandler* handler);
    void addClientPublicationHandler(const Data& eventType, ClientPublicationHandler* handler);

    // A REGISTER for `target` from the profile's default From, for the profile's registration time;
    // it goes when given to send().
    std::shared_ptr<SipMessage> makeRegistration(const NameAddr& target);
    // An INVITE to `target` carrying `offer`; it goes when given to send().
    std::shared_ptr<SipMessage> makeInviteSession(const NameAddr& target, const SdpContents& offer);
    ClientPagerMessageHandle makePagerMessage(const NameAddr& target);
    // Every registration usage in place: signed in, or still waiting for the answer to its REGISTER.
    std::vector<ClientRegistrationHandle> getClientRegistrations() const;
    void send(std::shared_ptr<SipMessage> message);

    // Calls the functor once for every server subscription.
    void applyToAllServerSubscriptions(ServerSubscriptionFunctor* functor);

    // Handles one queued event of the stack; false when there was none.
    bool process();

    // Starts winding down: new requests are refused from now on, and once every usage has ended and
    // the stack has shut down, `handler` hears of it from process().
    void shutdown(DumShutdownHandler* handler);

    detail::DumState& state() { return *m_state; }

private:
    void adopt(std::unique_ptr<detail::Event> event);
    void checkShutdown();

    std::unique_ptr<detail::DumState> m_state;
};

}  // namespace sip
