// SPDX-License-Identifier: MIT
// Client registration: the REGISTER, its digest answer, the stack's silent refreshes, the retry asked of
// the handler after a 408, and the removal of every binding by a wildcard Contact.
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
#include "sip/DialogUsageManager.h"
#include "sip/DumState.h"

#include <strings.h>

#include <cstring>

namespace sip {

using detail::Event;

namespace {

constexpr const char* kOutboundOptions = "no-natify no-options-keepalive no-validate";

const char* portOrDefault(const char* port) {
    return port && *port ? port : "5060";
}

// The registrar lists the bindings of every device of the address of record. Ours carry the address our
// transport puts in both Contact and Via: the top Via of the response.
std::vector<NameAddr> ownBindings(const Event& event) {
    std::vector<NameAddr> own;
    const sip_t* response = event.sip();
    if (!response || !response->sip_via)
        return own;
    const sip_via_t* via = response->sip_via;
    const SipMessage view = event.message();
    std::size_t index = 0;
    for (const sip_contact_t* bound = response->sip_contact; bound; bound = bound->m_next) {
        if (bound->m_url->url_type == url_any)
            continue;
        const url_t* url = bound->m_url;
        if (url->url_host && strcasecmp(url->url_host, via->v_host) == 0 &&
            std::strcmp(portOrDefault(url->url_port), portOrDefault(via->v_port)) == 0 &&
            index < view.contacts().size())
            own.push_back(view.contacts()[index]);
        ++index;
    }
    return own;
}

std::string registrarOf(const Uri& aor) {
    std::string uri = aor.scheme().str() + ":" + aor.host().str();
    if (aor.port())
        uri += ":" + std::to_string(aor.port());
    return uri;
}

}  // namespace

ClientRegistration::ClientRegistration(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target)
    : Usage(dum, nh),
      m_challenges(std::make_unique<detail::Challenges>()),
      m_registrar(registrarOf(target.uri())) {}

ClientRegistration::~ClientRegistration() = default;

ClientRegistrationHandle ClientRegistration::getHandle() {
    return ClientRegistrationHandle(std::static_pointer_cast<ClientRegistration>(shared_from_this()));
}

void ClientRegistration::start() {
    if (!m_nh)
        return failSoon(nua_r_register, 503, "Transport unavailable");
    issue();
}

void ClientRegistration::issue() {
    const std::string expires = std::to_string(state().profile->getDefaultRegistrationTime());
    const std::string proxy = state().outboundProxy();
    const detail::RetryTags retry(m_challenges->last());
    nua_register(m_nh, NUTAG_URL(m_registrar.c_str()), SIPTAG_EXPIRES_STR(expires.c_str()),
                 TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())), NUTAG_OUTBOUND(kOutboundOptions),
                 TAG_NEXT(retry.get()));
}

void ClientRegistration::removeAll(bool stopWhenDone) {
    m_removing = true;
    m_stopWhenDone = stopWhenDone;
    if (!m_nh)
        return failSoon(nua_r_unregister, 503, "Transport unavailable");
    const std::string proxy = state().outboundProxy();
    nua_unregister(m_nh, NUTAG_URL(m_registrar.c_str()), SIPTAG_CONTACT_STR("*"), SIPTAG_EXPIRES_STR("0"),
                   TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())), NUTAG_OUTBOUND(kOutboundOptions),
                   TAG_END());
}

void ClientRegistration::stopRegistering() {
    retire();
}

// Out of the manager, the usage sees no more of its handle's events; its sofia-sip handle, destroyed with
// it, takes the transaction in progress with it.
void ClientRegistration::end() {
    retire();
}

void ClientRegistration::dispatch(std::unique_ptr<Event>& event) {
    if (event->type != nua_r_register && event->type != nua_r_unregister)
        return;
    if (event->status < 200 || m_challenges->swallow(event->status))
        return;
    onFinal(*event);
}

void ClientRegistration::onFinal(Event& event) {
    detail::DumState& s = state();
    ClientRegistrationHandler* handler = s.registrationHandler;
    const SipMessage response = event.message();
    const int status = event.status;

    if (status == 401 || status == 407) {
        if (m_challenges->answer(event.sip(), m_registrar, *s.profile, s.authManager)) {
            m_challenges->endStackWait(m_nh);
            issue();
            return;
        }
        return fail(response);
    }
    if (status >= 200 && status < 300) {
        m_challenges->succeeded();
        m_myContacts = ownBindings(event);
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
            const std::string proxy = s.outboundProxy();
            nua_unregister(m_nh, NUTAG_URL(m_registrar.c_str()),
                           TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())),
                           NUTAG_OUTBOUND(kOutboundOptions), TAG_END());
            retire();
        } else if (!m_registered) {
            m_registered = true;
            if (handler)
                handler->onSuccess(getHandle(), response);
        }
        return;
    }
    // A REGISTER that went unanswered, or could not leave: the handler decides whether it is sent again.
    const bool timedOut = status == 408 || (status == 503 && !event.sip());
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

void ClientRegistration::fail(const SipMessage& response) {
    m_registered = false;
    m_removing = false;
    m_myContacts.clear();
    if (ClientRegistrationHandler* handler = state().registrationHandler)
        handler->onFailure(getHandle(), response);
    retire();
}

}  // namespace sip
