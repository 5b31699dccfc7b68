// SPDX-License-Identifier: MIT
// sofia-sip's msg parser over a buffer, then the same view the stack's events give (MessageAccess).
#include "sip/WireMessage.h"

#include "sip/PeerGuards.h"
#include "sip/StackCore.h"

#include <sofia-sip/msg.h>
#include <sofia-sip/sip_util.h>

namespace sip {
namespace {

struct MessageRef {
    explicit MessageRef(msg_t* msg) : msg(msg) {}
    MessageRef(const MessageRef&) = delete;
    MessageRef& operator=(const MessageRef&) = delete;
    ~MessageRef() {
        if (msg)
            msg_destroy(msg);
    }
    msg_t* msg;
};

}  // namespace

std::optional<SipMessage> parseWireMessage(std::string_view bytes) {
    if (bytes.empty())
        return std::nullopt;
    MessageRef message(msg_make(sip_default_mclass(), 0, bytes.data(), static_cast<ssize_t>(bytes.size())));
    if (!message.msg || msg_has_error(message.msg))
        return std::nullopt;
    const sip_t* sip = sip_object(message.msg);
    // The stack drops what fails sofia's sanity check (no Via, From, To, Call-ID or CSeq) before any
    // event; the view is only made of what would have reached one.
    if (!sip || (!sip->sip_request && !sip->sip_status) || sip_sanity_check(sip) < 0)
        return std::nullopt;
    if (sip->sip_status && !guard::isStatusCode(sip->sip_status->st_status))
        return std::nullopt;
    return detail::MessageAccess::fromMsg(message.msg, 0, nullptr);
}

}  // namespace sip
