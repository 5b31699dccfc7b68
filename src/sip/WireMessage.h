// SPDX-License-Identifier: MIT
// A whole SIP request or response read from its bytes by sofia-sip's own message parser, as the stack
// reads what arrives on a socket, and given as the layer's read-only SipMessage view. Any thread.
#pragma once

#include "sip/SipMessage.h"

#include <optional>
#include <string_view>

namespace sip {

// The message in `bytes` (start line, headers, blank line, body), or nothing when sofia-sip finds it
// malformed or incomplete, when it is neither a request nor a response, or when a response's status code
// lies outside 100-699.
std::optional<SipMessage> parseWireMessage(std::string_view bytes);

}  // namespace sip
