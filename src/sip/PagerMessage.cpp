// SPDX-License-Identifier: MIT
// Pager messages: a MESSAGE outside any dialog, sent (ClientPagerMessage) or received
// (ServerPagerMessage).
//
//   agent               peer
//     | MESSAGE           |
//     |------------------>|
//     |      200          |   onSuccess (any final failure: onFailure, with the contents back)
//     |<------------------|
#include "sip/DialogUsageManager.h"
#include "sip/DumState.h"

namespace sip {

using detail::Event;

// ---- ClientPagerMessage ------------------------------------------------------------------------------

ClientPagerMessage::ClientPagerMessage(DialogUsageManager& dum, nua_handle_s* nh, const NameAddr& target)
    : Usage(dum, nh),
      m_stackWait(std::make_unique<detail::StackWait>()),
      m_target(dum.state().secured(target.uri().toString().str())) {}

ClientPagerMessage::~ClientPagerMessage() = default;

ClientPagerMessageHandle ClientPagerMessage::getHandle() {
    return ClientPagerMessageHandle(std::static_pointer_cast<ClientPagerMessage>(shared_from_this()));
}

void ClientPagerMessage::page(std::unique_ptr<Contents> contents, EncryptionLevel) {
    if (!contents)
        return;
    m_pages.push_back(std::move(contents));
    if (!m_inProgress)
        sendNext();
}

void ClientPagerMessage::end() {
    retire();
}

void ClientPagerMessage::sendNext() {
    if (m_pages.empty() || retired())
        return;
    m_inProgress = true;
    if (!m_nh)
        return failSoon(nua_r_message, 503, "Transport unavailable");
    if (state().namesUnreachable(m_target))
        return failSoon(nua_r_message, 503, detail::kNoNameServer);
    if (m_hop)
        return issue();
    const std::string proxy = state().outboundProxy();
    std::weak_ptr<Usage> weak = weak_from_this();
    const std::string server = proxy.empty() ? m_target : proxy;
    // A server given by its address needs no choosing: the MESSAGE goes there as it was given.
    const bool byName = !detail::serverOfUri(server).literal;
    reach(server, {}, [weak, byName](const detail::NextHop& hop) {
        auto usage = std::static_pointer_cast<ClientPagerMessage>(weak.lock());
        if (!usage || usage->m_pages.empty())
            return;
        if (!hop.problem.empty())
            return usage->failSoon(nua_r_message, 503, hop.problem.c_str());
        usage->m_hop = hop;
        if (!byName)
            usage->m_hop->uri.clear();
        usage->issue();
    });
}

void ClientPagerMessage::issue() {
    const detail::Body body(m_pages.front().get());
    const std::string proxy = m_hop && !m_hop->uri.empty() ? m_hop->uri : state().outboundProxy();
    m_core.ownRequest(m_nh);
    nua_message(m_nh, NUTAG_URL(m_target.c_str()), SIPTAG_CONTENT_TYPE_STR(body.type()),
                SIPTAG_PAYLOAD(body.payload()), TAG_IF(!proxy.empty(), NUTAG_PROXY(proxy.c_str())),
                TAG_END());
}

void ClientPagerMessage::dispatch(std::unique_ptr<Event>& event) {
    if (event->type != nua_r_message || event->status < 200 || m_stackWait->swallow(event->status))
        return;
    detail::DumState& s = state();
    // A challenge the stack could not answer: it keeps the MESSAGE waiting for other credentials, and the
    // next page of this usage would wait behind it.
    if (event->status == 401 || event->status == 407)
        m_stackWait->end(m_nh);
    // The server's address did not answer, or refused: the next text looks for it again.
    if (m_hop && (event->status == 408 || (event->status == 503 && !event->sip()))) {
        s.forgetNextHop(m_hop->address);
        m_hop.reset();
    }
    m_inProgress = false;
    const SipMessage status = event->message();
    std::unique_ptr<Contents> contents = std::move(m_pages.front());
    m_pages.pop_front();
    ClientPagerMessageHandler* handler = s.clientPagerHandler;
    if (event->status < 300) {
        if (handler)
            handler->onSuccess(getHandle(), status);
    } else if (handler) {
        handler->onFailure(getHandle(), status, std::move(contents));
    }
    if (!retired() && !m_inProgress)
        sendNext();
}

// ---- ServerPagerMessage ------------------------------------------------------------------------------

ServerPagerMessage::ServerPagerMessage(DialogUsageManager& dum, nua_handle_s* nh,
                                       std::unique_ptr<Event> request)
    : Usage(dum, nh), m_request(std::move(request)) {}

ServerPagerMessage::~ServerPagerMessage() = default;

ServerPagerMessageHandle ServerPagerMessage::getHandle() {
    return ServerPagerMessageHandle(std::static_pointer_cast<ServerPagerMessage>(shared_from_this()));
}

std::shared_ptr<SipMessage> ServerPagerMessage::accept(int statusCode) {
    return response(statusCode);
}

std::shared_ptr<SipMessage> ServerPagerMessage::reject(int statusCode) {
    return response(statusCode);
}

// The stack's thread has answered the text already, 200 (ReceivedTexts.cpp): sending the response the
// handler made only ends the usage.
std::shared_ptr<SipMessage> ServerPagerMessage::response(int statusCode) {
    const char* phrase = sip_status_phrase(statusCode);
    auto message = std::make_shared<SipMessage>(detail::MessageAccess::response(statusCode, phrase));
    std::weak_ptr<Usage> weak = weak_from_this();
    detail::MessageAccess::setSend(*message, [weak] {
        auto usage = std::static_pointer_cast<ServerPagerMessage>(weak.lock());
        if (!usage || !usage->m_request)
            return;
        usage->m_request.reset();
        usage->retire();
    });
    return message;
}

void ServerPagerMessage::send(std::shared_ptr<SipMessage> response) {
    m_dum.send(std::move(response));
}

void ServerPagerMessage::dispatch(std::unique_ptr<Event>&) {}

}  // namespace sip
