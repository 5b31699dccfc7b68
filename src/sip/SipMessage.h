// SPDX-License-Identifier: MIT
// SipMessage: a read-only view of a request or response the layer received, or of a request or response
// the layer has prepared for the application to send (DialogUsageManager::send and the usages' send).
// A failure the stack made up itself (a timeout, an unreachable server) is a response with no headers.
// User-interface thread.
#pragma once

#include "sip/Contents.h"
#include "sip/Uri.h"

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace sip {

namespace detail {
class MessageAccess;
}

class SipMessage {
public:
    bool isRequest() const { return m_request; }
    bool isResponse() const { return !m_request; }

    // The request's method, or for a response the method of its CSeq.
    const Data& method() const { return m_method; }
    const Data& requestUri() const { return m_requestUri; }
    int statusCode() const { return m_statusCode; }
    // As received, unchanged.
    const Data& reasonPhrase() const { return m_reasonPhrase; }

    const NameAddr& from() const { return m_from; }
    const NameAddr& to() const { return m_to; }
    const std::vector<NameAddr>& contacts() const { return m_contacts; }
    const Data& callId() const { return m_callId; }
    // -1 when the message has no Expires header.
    int expires() const { return m_expires; }
    const Data& event() const { return m_event; }

    const Mime& contentType() const { return m_contentType; }
    const Data& body() const { return m_body; }
    // The body as contents of its type: PlainContents, SdpContents (when it is one) or the bytes as
    // received; nothing when there is no body.
    const Contents* getContents() const { return m_contents.get(); }
    // The same, to keep: a received text's contents count against the layer's budget of held texts for as
    // long as anyone keeps them, so a text is answered 200 only while there is room to show it.
    const std::shared_ptr<const Contents>& sharedContents() const { return m_contents; }

    // The value of the first header of that name (case-insensitive), empty when there is none.
    Data header(std::string_view name) const;
    // The whole message as text, as it went or came over the wire.
    const Data& text() const { return m_text; }

private:
    friend class detail::MessageAccess;

    bool m_request = false;
    Data m_method;
    Data m_requestUri;
    int m_statusCode = 0;
    Data m_reasonPhrase;
    NameAddr m_from;
    NameAddr m_to;
    std::vector<NameAddr> m_contacts;
    Data m_callId;
    int m_expires = -1;
    Data m_event;
    Mime m_contentType;
    Data m_body;
    std::shared_ptr<const Contents> m_contents;
    Data m_text;
    std::function<void()> m_send;
};

}  // namespace sip
