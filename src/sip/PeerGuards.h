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
#include <string>
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

// Whether `code` is a SIP status code (RFC 3261 gives three digits, the first 1 to 6). sofia-sip's parser
// reads any number below 2^31 from a status line.
constexpr bool isStatusCode(int code) {
    return code >= 100 && code <= 699;
}

// `text` with every control character (C0 and DEL) made a blank. A display name carries them from a
// peer's quoted-pair or a hand-edited setting; in a header we send, a CR or LF would end the header.
std::string blankControls(std::string_view text);

// An Expires value as sofia-sip read it (an unsigned long), in the 32 bits the layer passes on: beyond
// 2^32 - 1 it saturates instead of wrapping, so that a huge Expires never reads as 0.
constexpr std::uint32_t deltaSeconds(unsigned long value) {
    return value > 0xffffffffUL ? 0xffffffffU : static_cast<std::uint32_t>(value);
}

// ---- what peers may make the program hold ------------------------------------------------------------

// Presence subscriptions held at once; a user has a handful of watchers. Later ones get 503. Each held
// subscription costs the stack about 17 kB, and the flood that fills the cap about 9 kB a request for the
// 32 s its transactions live: 500 keep a flood of 10,000 below the memory bound.
constexpr std::size_t kMaxSubscriptions = 500;
// The longest a subscription is granted (RFC 6665 lets the notifier shorten what was asked): a day,
// which leaves the usual 3600 and the default 1800 as they are.
constexpr std::uint32_t kMaxSubscriptionExpires = 86400;
// Message sessions peers have opened and not ended, each waiting for its one MESSAGE. Later ones get 503.
constexpr std::size_t kMaxIncomingSessions = 100;
// An accepted session that has carried no MESSAGE this long is ended with BYE.
constexpr std::chrono::seconds kSessionMessageWait{64};
// Bytes of received texts held at once, waiting texts among them, for as long as anyone keeps them. A
// MESSAGE that would go past it gets 503: a text is answered 200 only when it can also be shown.
constexpr std::size_t kHeldTextBytes = 16u << 20;
// What one held text costs besides its body: its title, its place in the queue, the view of it.
constexpr std::size_t kHeldTextOverhead = 512;
// The Retry-After of every 503 the limits give.
constexpr std::uint32_t kRetryAfterSeconds = 60;
// Requests arriving this fast make a flood. The stack then keeps each answered request over UDP this long
// instead of 32 s (at about 10 kB each, 2,000 texts a second held 32 s would take 650 MB), until it has been
// quiet for a while. A peer's repeat of a text after that is told apart by the texts answered lately.
constexpr unsigned kFloodRequestsPerSecond = 100;
constexpr std::chrono::milliseconds kFloodTransactionLife{500};
constexpr std::chrono::seconds kQuietAfterFlood{5};

// TCP connections peers opened to us, held at once: beyond it, accepting one closes the oldest. The
// agent's own traffic needs the registrar's connection (which is ours, not counted) and a few peers'.
constexpr std::size_t kMaxInboundConnections = 256;
// A connection nobody uses for this long is closed (not one a registration or transaction holds).
constexpr std::chrono::seconds kConnectionIdle{60};
// A message that has begun to arrive and is not complete this long after its last bytes is dropped
// with its connection.
constexpr std::chrono::seconds kIncompleteMessage{16};

// What the kernel holds for the UDP socket while the stack's thread is busy: its default (208 kB, charged at
// about 2.3 kB a datagram) is some 90 requests, under 50 ms of a flood at 2,000 a second, and a peer that
// lost its request to a full buffer waits out its retransmission interval (T1, 500 ms). 1 MB covers a pause
// four times as long; the system's maximum (net.core.rmem_max) may cap it, and it is memory only while
// datagrams wait.
constexpr unsigned kUdpReceiveBuffer = 1024 * 1024;

}  // namespace sip::guard
