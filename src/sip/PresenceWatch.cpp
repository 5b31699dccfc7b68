// SPDX-License-Identifier: MIT
#include "sip/PresenceWatch.h"

#include "sip/DialogUsageManager.h"
#include "sip/DumState.h"

#include <regex>

namespace sip {

using detail::Event;

PresenceWatch::PresenceWatch(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target,
                             Handlers handlers)
    : Usage(dum, nh), m_target(target.uri().toString().str()), m_handlers(std::move(handlers)) {}

PresenceWatch::~PresenceWatch() = default;

std::shared_ptr<PresenceWatch> PresenceWatch::start(DialogUsageManager& dum, const NameAddr& target,
                                                    Handlers handlers, std::uint32_t expires) {
    detail::DumState& s = dum.state();
    nua_handle_t* nh = s.newHandle(target);
    std::shared_ptr<PresenceWatch> watch(new PresenceWatch(dum, nh, target, std::move(handlers)));
    s.usages[nh ? static_cast<const void*>(nh) : static_cast<const void*>(watch.get())] = watch;
    if (!nh) {
        watch->failSoon(nua_r_subscribe, 503, "Transport unavailable");
        return watch;
    }
    // The subscription is a dialog: the outbound proxy is its first request's Route, and its later
    // requests follow the dialog's own route set.
    const std::string route = s.outboundRoute();
    s.core.ownRequest(nh);
    nua_subscribe(nh, NUTAG_URL(watch->m_target.c_str()), SIPTAG_EVENT_STR("presence"),
                  SIPTAG_ACCEPT_STR("application/pidf+xml"),
                  SIPTAG_EXPIRES_STR(std::to_string(expires).c_str()),
                  TAG_IF(!route.empty(), SIPTAG_ROUTE_STR(route.c_str())), TAG_END());
    return watch;
}

void PresenceWatch::end() {
    if (retired() || m_ending)
        return;
    m_ending = true;
    if (!m_nh)
        return finish();
    m_core.ownRequest(m_nh);
    nua_unsubscribe(m_nh, TAG_END());
}

void PresenceWatch::finish() {
    if (retired())
        return;
    retire();
    if (m_handlers.ended)
        m_handlers.ended();
}

std::string PresenceWatch::basicStatus(const std::string& document) {
    // <basic>open</basic>, with or without a namespace prefix.
    static const std::regex basic(R"(<(?:[A-Za-z_][\w.-]*:)?basic\s*>\s*([^<\s]*)\s*</)");
    std::smatch found;
    return std::regex_search(document, found, basic) ? found[1].str() : std::string();
}

void PresenceWatch::dispatch(std::unique_ptr<Event>& event) {
    if (event->type == nua_r_subscribe) {
        if (event->status < 200)
            return;
        if (m_handlers.answered)
            m_handlers.answered(event->status, event->phrase);
        if (event->status >= 300)
            finish();
        return;
    }
    if (event->type == nua_r_unsubscribe) {
        if (event->status >= 200)
            finish();
        return;
    }
    if (event->type != nua_i_notify)
        return;
    const sip_t* sip = event->sip();
    std::string state = "active";
    if (sip && sip->sip_subscription_state && sip->sip_subscription_state->ss_substate)
        state = sip->sip_subscription_state->ss_substate;
    if (sip && sip->sip_payload && sip->sip_payload->pl_data)
        m_basic = basicStatus(std::string(sip->sip_payload->pl_data, sip->sip_payload->pl_len));
    else
        m_basic.clear();
    if (m_handlers.notified)
        m_handlers.notified(m_basic, state);
    if (state == "terminated")
        finish();
}

}  // namespace sip
