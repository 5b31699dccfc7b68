// SPDX-License-Identifier: MIT
// What a peer may send us and what it may make us hold, in one place. Any thread for the checks; the
// limits are read on the user-interface thread.
//
// Every byte from the network is checked here before the layer hands it to one of sofia-sip's own
// parsers: the 2011 parsers Debian ships have faults that later releases fixed (its SDP parser loops
// for ever, allocating, on a non-token byte among an m= line's formats), so a peer's bytes reach them
// only in a shape the grammar allows. Input that fails a check is treated as absent or malformed;
// the handlers above the layer never see it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sip::guard {

// ---- checks of peer bytes --------------------------------------------------------------------------

// A session description far larger than any offer a text-messaging session needs is not looked at.
constexpr std::size_t kMaxSdpBytes = 16 * 1024;
// URIs and name-addrs longer than this are refused before sofia-sip's URL reader sees them.
constexpr std::size_t kMaxAddressBytes = 1024;

// Whether `body` is a session description by the line grammar of RFC 8866: every line a known type
// letter, "=" and a value of that line's shape (tokens, digits and text where the grammar puts them),
// lines ending in CRLF or LF, "v=" first, no NUL anywhere, at most kMaxSdpBytes. Only such a body
// reaches sofia-sip's SDP parser.
bool isSdpGrammar(std::string_view body);

// Whether `text` may be handed to sofia-sip's URL reader as a URI: not empty, at most
// kMaxAddressBytes, and free of blanks, controls, DEL and angle brackets, which never stand unescaped
// in a SIP URI (a URI holding a bracket would no longer read as itself once put between the brackets
// of a To or From header).
bool isUriText(std::string_view text);

// Whether `text` may be handed to sofia-sip's name-addr reader: at most kMaxAddressBytes, no NUL, CR
// or LF.
bool isNameAddrText(std::string_view text);

// The value of an Expires header as written, saturated at 2^32 - 1 instead of wrapping as sofia-sip's
// reader does; nothing when `text` is not a delta-seconds value.
bool readDeltaSeconds(std::string_view text, std::uint32_t& seconds);

}  // namespace sip::guard
