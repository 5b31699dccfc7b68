// SPDX-License-Identifier: MIT
// Server subscriptions: the answer to a SUBSCRIBE, the NOTIFYs with the application's document, and the
// final NOTIFY. The stack answers refreshes itself, with the last document.
//
//   subscriber           agent
//     | SUBSCRIBE          |
//     |------------------->|   onNewSubscription
//     |       202          |
//     |<-------------------|
//     | NOTIFY (document)  |
//     |<-------------------|
//     |       200          |
//     |------------------->|
//     ...
//     | NOTIFY terminated  |   end()
//     |<-------------------|
//     |       200          |   onTerminated
//     |------------------->|
#include "sip/DialogUsageManager.h"
#include "sip/DumState.h"
#include "sip/PeerGuards.h"

#include <algorithm>

namespace sip {

using detail::Event;

namespace {

const char* reasonText(ServerSubscriptionHandler::TerminateReason reason) {
    switch (reason) {
        case ServerSubscriptionHandler::Deactivated:
            return "deactivated";
        case ServerSubscriptionHandler::Probation:
            return "probation";
        case ServerSubscriptionHandler::Rejected:
            return "rejected";
        case ServerSubscriptionHandler::Timeout:
            return "timeout";
        case ServerSubscriptionHandler::GiveUp:
            return "giveup";
        case ServerSubscriptionHandler::NoResource:
            return "noresource";
    }
    return "deactivated";
}

bool endsSubscription(const Event& event) {
    const tagi_t* tag = tl_find(event.tags(), nutag_substate);
    return tag && static_cast<int>(tag->t_value) == nua_substate_terminated;
}

}  // namespace

ServerSubscription::ServerSubscription(DialogUsageManager& dum, nua_handle_s* nh,
                                       std::unique_ptr<Event> subscribe, ServerSubscriptionHandler& handler,
                                       Data eventType)
    : Usage(dum, nh),
      m_subscribe(std::move(subscribe)),
      m_handler(handler),
      m_eventType(std::move(eventType)) {}

ServerSubscription::~ServerSubscription() = default;

ServerSubscriptionHandle ServerSubscription::getHandle() {
    return ServerSubscriptionHandle(std::static_pointer_cast<ServerSubscription>(shared_from_this()));
}

std::shared_ptr<SipMessage> ServerSubscription::accept(int statusCode) {
    const char* phrase = sip_status_phrase(statusCode);
    auto response = std::make_shared<SipMessage>(detail::MessageAccess::response(statusCode, phrase));
    std::weak_ptr<Usage> weak = weak_from_this();
    detail::MessageAccess::setSend(*response, [weak, statusCode, phrase] {
        auto usage = std::static_pointer_cast<ServerSubscription>(weak.lock());
        if (!usage || !usage->m_subscribe)
            return;
        const sip_t* subscribe = usage->m_subscribe->sip();
        const std::uint32_t asked = subscribe && subscribe->sip_expires
                                        ? guard::deltaSeconds(subscribe->sip_expires->ex_delta)
                                        : usage->m_handler.getDefaultExpires();
        // The stack holds the subscription for what the 202 says, which may only shorten what was asked.
        const std::uint32_t expires = std::min(asked, guard::kMaxSubscriptionExpires);
        const std::string expiresText = std::to_string(expires);
        nua_respond(usage->m_nh, statusCode, phrase ? phrase : "",
                    NUTAG_WITH_SAVED(usage->m_subscribe->saved), SIPTAG_EXPIRES_STR(expiresText.c_str()),
                    TAG_END());
        usage->m_subscribe.reset();
        if (statusCode >= 300)
            usage->finish();
    });
    return response;
}

std::shared_ptr<SipMessage> ServerSubscription::reject(int statusCode) {
    return accept(statusCode);
}

std::shared_ptr<SipMessage> ServerSubscription::update(const Contents* document) {
    m_document = document ? document->clone() : nullptr;
    auto notify =
        std::make_shared<SipMessage>(detail::MessageAccess::request("NOTIFY", NameAddr(), document));
    std::weak_ptr<Usage> weak = weak_from_this();
    detail::MessageAccess::setSend(*notify, [weak] {
        if (auto usage = std::static_pointer_cast<ServerSubscription>(weak.lock()); usage && !usage->m_ending)
            usage->notify(false, nullptr);
    });
    return notify;
}

void ServerSubscription::send(std::shared_ptr<SipMessage> message) {
    m_dum.send(std::move(message));
}

void ServerSubscription::end(ServerSubscriptionHandler::TerminateReason reason, const Contents* document) {
    if (m_ending || m_finished)
        return;
    m_ending = true;
    m_document = document ? document->clone() : nullptr;
    if (!m_nh)
        return finish();
    notify(true, reasonText(reason));
}

void ServerSubscription::notify(bool final, const char* reason) {
    if (!m_nh)
        return;
    const std::string substate = final ? std::string("terminated;reason=") + reason : std::string();
    const detail::Body body(m_document.get());
    // Without a document of its own, the stack would send the last one again.
    const auto* none = reinterpret_cast<const sip_payload_t*>(SIP_NONE);
    const auto* noType = reinterpret_cast<const sip_content_type_t*>(SIP_NONE);
    // Ours, never the wildcard of a removal sent just before (the stack would take that for our Contact).
    const std::string contact =
        state().ownContact.empty() ? std::string() : "<" + state().ownContact.toString().str() + ">";
    m_core.ownRequest(m_nh);
    nua_notify(m_nh, NUTAG_SUBSTATE(final ? nua_substate_terminated : nua_substate_active),
               TAG_IF(!contact.empty(), SIPTAG_CONTACT_STR(contact.c_str())),
               TAG_IF(final, SIPTAG_SUBSCRIPTION_STATE_STR(substate.c_str())),
               TAG_IF(body.type(), SIPTAG_CONTENT_TYPE_STR(body.type())),
               TAG_IF(body.type(), SIPTAG_PAYLOAD(body.payload())),
               TAG_IF(!body.type(), SIPTAG_PAYLOAD(none)), TAG_IF(!body.type(), SIPTAG_CONTENT_TYPE(noType)),
               TAG_END());
}

void ServerSubscription::finish() {
    if (m_finished)
        return;
    m_finished = true;
    m_handler.onTerminated(getHandle());
    retire();
}

void ServerSubscription::dispatch(std::unique_ptr<Event>& event) {
    switch (event->type) {
        case nua_r_notify:
            if (event->status < 200)
                return;
            if (event->status >= 300)
                m_handler.onError(getHandle(), event->message());
            if (m_ending || endsSubscription(*event) || event->status == 481 || event->status >= 300)
                finish();
            return;
        case nua_i_subscribe:
            if (endsSubscription(*event))
                return finish();
            m_handler.onRefresh(getHandle(), event->message());
            return;
        default:
            return;
    }
}

}  // namespace sip
