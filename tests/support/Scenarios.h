// SPDX-License-Identifier: MIT
// SIPp scenarios written from the tests, for exchanges short enough to read next to their checks.
#pragma once

#include <string>

namespace test {

// A client scenario: one request outside any dialog, addressed to the agent's `user` (an empty one: to no
// user, only the agent's address), and the one final response it expects. `headers` are extra header lines (each ending in "\n"); a body gets its
// Content-Length.
std::string requestScenario(const std::string& method, const std::string& headers, const std::string& body,
                            int expectedStatus, const std::string& user = "alice");

// A 200 to the request just received (a NOTIFY, say), within a scenario.
std::string okReply();

// A watcher: SUBSCRIBE for presence to the agent's `user` (with `expires`, or without Expires when empty),
// the 202, the first NOTIFY and, when `waitsForTheEnd`, the final NOTIFY.
std::string watcherScenario(const std::string& expires, bool waitsForTheEnd, const std::string& user = "alice");

// A registrar that accepts two REGISTERs (the registration, then its removal) without a challenge.
std::string registrarScenario();

// Peers of the agent's sends. One that takes the message session: the INVITE (answered with an offer of its
// own), one MESSAGE in it, the BYE. One without message sessions: 488 to the INVITE, and `pagerStatus` to the
// MESSAGE that follows (the INVITE and the MESSAGE are calls of their own: two calls a text).
std::string sessionPeerScenario();
std::string pagerPeerScenario(const std::string& pagerStatus);

// Escapes text for an XML attribute or character data in a scenario.
std::string xmlEscape(const std::string& text);

}  // namespace test
