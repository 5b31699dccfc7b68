// SPDX-License-Identifier: MIT
// Invite sessions, both sides. Media negotiation is the application's: the offer it gives goes out as
// it is, and a received offer reaches it untouched.
//
//   agent                peer
//     | INVITE (offer)     |
//     |------------------->|
//     |       200          |   onNewSession, onAnswer, onConnected
//     |<-------------------|
//     | ACK, MESSAGE       |
//     |------------------->|
//     |       200          |   onMessageSuccess
//     |<-------------------|
//     | BYE                |
//     |------------------->|   onTerminated once the BYE is answered
#include "sip/DialogUsageManager.h"
#include "sip/DumState.h"
#include "sip/PeerGuards.h"

namespace sip {

using detail::Event;

namespace {

int callState(const Event& event) {
    const tagi_t* tag = tl_find(event.tags(), nutag_callstate);
    return tag ? static_cast<int>(tag->t_value) : -1;
}

void respond(nua_handle_t* nh, const Event& request, int statusCode, const Contents* contents) {
    const detail::Body body(contents);
    const char* phrase = sip_status_phrase(statusCode);
    nua_respond(nh, statusCode, phrase ? phrase : "", NUTAG_WITH_SAVED(request.saved),
                TAG_IF(body.type(), SIPTAG_CONTENT_TYPE_STR(body.type())),
                TAG_IF(body.type(), SIPTAG_PAYLOAD(body.payload())), TAG_END());
}

}  // namespace

// ---- InviteSession -----------------------------------------------------------------------------------

InviteSession::InviteSession(DialogUsageManager& dum, nua_handle_s* nh) : Usage(dum, nh) {}

InviteSession::~InviteSession() = default;

InviteSessionHandle InviteSession::getSessionHandle() {
    return InviteSessionHandle(std::static_pointer_cast<InviteSession>(shared_from_this()));
}

InviteSessionHandler& InviteSession::handler() {
    return *state().inviteHandler;
}

void InviteSession::message(const Contents& contents) {
    if (!m_nh || !m_connected || m_ending)
        return;
    const detail::Body body(&contents);
    m_core.ownRequest(m_nh);
    nua_message(m_nh, SIPTAG_CONTENT_TYPE_STR(body.type()), SIPTAG_PAYLOAD(body.payload()), TAG_END());
}

void InviteSession::acceptNIT(int statusCode, const Contents* contents) {
    if (!m_pendingNit)
        return;
    // A text is answered in the stack's thread already (ReceivedTexts.cpp).
    if (!m_pendingNit->answered)
        respond(m_nh, *m_pendingNit, statusCode, contents);
    m_pendingNit.reset();
}

void InviteSession::rejectNIT(int statusCode) {
    acceptNIT(statusCode, nullptr);
}

void InviteSession::end() {
    if (m_ending || m_terminated || !m_nh)
        return;
    m_ending = true;
    if (m_connected) {
        m_core.ownRequest(m_nh);
        nua_bye(m_nh, TAG_END());
    } else if (auto* server = dynamic_cast<ServerInviteSession*>(this)) {
        server->reject(480);
    } else {
        m_core.ownRequest(m_nh);
        nua_cancel(m_nh, TAG_END());
    }
}

void InviteSession::terminated(InviteSessionHandler::TerminatedReason reason, const SipMessage* message) {
    if (m_terminated)
        return;
    m_terminated = true;
    m_connected = false;
    handler().onTerminated(getSessionHandle(), reason, message);
    retire();
}

bool InviteSession::dispatchCommon(std::unique_ptr<Event>& event) {
    detail::DumState& s = state();
    switch (event->type) {
        case nua_i_message: {
            // Answered in the stack's thread (ReceivedTexts.cpp): only a text it took comes here.
            if (event->answered != 200)
                return true;
            SipMessage request = event->message();
            detail::MessageAccess::charge(request, std::move(event->charge));
            m_pendingNit = std::move(event);
            handler().onMessage(getSessionHandle(), request);
            return true;
        }
        case nua_i_info: {
            if (!detail::bodyAcceptable(s, m_nh, *event, INFO))
                return true;
            const SipMessage request = event->message();
            m_pendingNit = std::move(event);
            handler().onInfo(getSessionHandle(), request);
            return true;
        }
        case nua_r_message:
            if (event->status < 200)
                return true;
            if (event->status < 300)
                handler().onMessageSuccess(getSessionHandle(), event->message());
            else
                handler().onMessageFailure(getSessionHandle(), event->message());
            return true;
        case nua_r_info:
            if (event->status < 200)
                return true;
            if (event->status < 300)
                handler().onInfoSuccess(getSessionHandle(), event->message());
            else
                handler().onInfoFailure(getSessionHandle(), event->message());
            return true;
        case nua_i_invite:
        case nua_i_update: {
            // A new offer inside a session that has one already: the application negotiates nothing more.
            const SipMessage request = event->message();
            nua_respond(m_nh, SIP_488_NOT_ACCEPTABLE, NUTAG_WITH_SAVED(event->saved), TAG_END());
            handler().onIllegalNegotiation(getSessionHandle(), request);
            return true;
        }
        case nua_i_state:
            if (callState(*event) == nua_callstate_terminated && (m_connected || m_ending)) {
                const auto reason =
                    m_ending ? InviteSessionHandler::LocalBye : InviteSessionHandler::RemoteBye;
                terminated(reason, nullptr);
            }
            return true;
        default:
            return false;
    }
}

// ---- ClientInviteSession -----------------------------------------------------------------------------

ClientInviteSession::ClientInviteSession(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target,
                                         Data offer)
    : InviteSession(dum, nh),
      m_target(dum.state().secured(target.uri().toString().str())),
      m_offer(std::move(offer)) {}

ClientInviteSessionHandle ClientInviteSession::getHandle() {
    return ClientInviteSessionHandle(std::static_pointer_cast<ClientInviteSession>(shared_from_this()));
}

void ClientInviteSession::start() {
    if (!m_nh)
        return failSoon(nua_r_invite, 503, "Transport unavailable");
    if (state().namesUnreachable(m_target))
        return failSoon(nua_r_invite, 503, detail::kNoNameServer);
    const std::string proxy = state().outboundProxy();
    std::weak_ptr<Usage> weak = weak_from_this();
    const std::string server = proxy.empty() ? m_target : proxy;
    // A server given by its address needs no choosing: the INVITE's Route stays as it was given.
    const bool byName = !detail::serverOfUri(server).literal;
    reach(server, {}, [weak, byName](const detail::NextHop& hop) {
        auto usage = std::static_pointer_cast<ClientInviteSession>(weak.lock());
        if (!usage || usage->m_ending)
            return;
        if (!hop.problem.empty())
            return usage->failSoon(nua_r_invite, 503, hop.problem.c_str());
        usage->m_hop = byName ? hop.uri : std::string();
        usage->issue();
    });
}

void ClientInviteSession::issue() {
    const detail::Body offer("application/sdp", m_offer);
    // The outbound proxy is only this INVITE's pre-loaded Route (RFC 3261 8.1.2). Set as the handle's
    // proxy it would take every later request of the dialog too, the stack's own ACK among them, whatever
    // the dialog's route set says. Once the 2xx has set the dialog up, the stack sends the ACK, the MESSAGE
    // and the BYE along that route set (the Record-Route of the 2xx, reversed), or straight to the peer's
    // Contact when it is empty (12.2.1.1). The server's address that answered (Usage::reach) stands in for
    // its name; without an outbound proxy it is the loose route to the target's own server.
    const std::string route = m_hop.empty() ? state().outboundRoute() : "<" + m_hop + ";lr>";
    m_core.ownRequest(m_nh);
    nua_invite(m_nh, NUTAG_URL(m_target.c_str()), SIPTAG_CONTENT_TYPE_STR(offer.type()),
               SIPTAG_PAYLOAD(offer.payload()), TAG_IF(!route.empty(), SIPTAG_ROUTE_STR(route.c_str())),
               TAG_END());
}

void ClientInviteSession::dispatch(std::unique_ptr<Event>& event) {
    if (event->type == nua_r_invite)
        return onInviteResponse(*event);
    dispatchCommon(event);
}

void ClientInviteSession::onInviteResponse(Event& event) {
    if (m_terminated)
        return;
    const SipMessage response = event.message();
    const sip_t* sip = event.sip();
    if (event.status < 200) {
        if (!m_newSessionReported && sip && sip->sip_to && sip->sip_to->a_tag) {
            m_newSessionReported = true;
            handler().onNewSession(getHandle(), InviteSessionHandler::None, response);
        }
        handler().onProvisional(getHandle(), response);
        return;
    }
    if (event.status < 300) {
        m_connected = true;
        const auto* answer = dynamic_cast<const SdpContents*>(response.getContents());
        if (!m_newSessionReported) {
            m_newSessionReported = true;
            handler().onNewSession(
                getHandle(), answer ? InviteSessionHandler::Answer : InviteSessionHandler::None, response);
        }
        if (answer && !m_terminated)
            handler().onAnswer(getSessionHandle(), response, *answer);
        if (!m_terminated && !m_ending)
            handler().onConnected(getHandle(), response);
        return;
    }
    if (m_ending)
        return terminated(InviteSessionHandler::LocalCancel, &response);
    m_failed = true;
    handler().onFailure(getHandle(), response);
    terminated(event.status == 408 ? InviteSessionHandler::Timeout : InviteSessionHandler::Rejected,
               &response);
}

// ---- ServerInviteSession -----------------------------------------------------------------------------

ServerInviteSession::ServerInviteSession(DialogUsageManager& dum, nua_handle_s* nh,
                                         std::unique_ptr<Event> invite)
    : InviteSession(dum, nh), m_invite(std::move(invite)) {}

ServerInviteSessionHandle ServerInviteSession::getHandle() {
    return ServerInviteSessionHandle(std::static_pointer_cast<ServerInviteSession>(shared_from_this()));
}

void ServerInviteSession::provideAnswer(const Contents& answer) {
    m_answer = answer.clone();
}

void ServerInviteSession::accept(int statusCode) {
    if (m_answered || !m_invite)
        return;
    m_answered = true;
    respond(m_nh, *m_invite, statusCode, m_answer.get());
    m_connected = true;
    // A session that never carries its MESSAGE would be held for as long as the peer likes.
    auto wait = std::make_unique<Event>();
    std::weak_ptr<Usage> weak = weak_from_this();
    wait->call = [weak] {
        auto usage = weak.lock();
        if (!usage || usage->retired())
            return;
        auto& session = static_cast<ServerInviteSession&>(*usage);
        if (!session.m_ending && !session.m_terminated)
            session.end();
    };
    m_core.post(std::move(wait), guard::kSessionMessageWait);
}

void ServerInviteSession::reject(int statusCode) {
    if (m_answered || !m_invite)
        return;
    m_answered = true;
    m_ending = true;
    respond(m_nh, *m_invite, statusCode, nullptr);
    m_invite.reset();
}

void ServerInviteSession::dispatch(std::unique_ptr<Event>& event) {
    switch (event->type) {
        case nua_i_ack:
            handler().onConnected(getSessionHandle(), event->message());
            return;
        case nua_i_cancel:
            m_ending = true;
            return;
        case nua_i_state:
            if (callState(*event) == nua_callstate_terminated && !m_connected) {
                if (m_invite)
                    m_invite.reset();
                const auto reason =
                    m_answered ? InviteSessionHandler::Rejected : InviteSessionHandler::RemoteCancel;
                return terminated(reason, nullptr);
            }
            break;
        default:
            break;
    }
    dispatchCommon(event);
}

}  // namespace sip
