// SPDX-License-Identifier: MIT
// SIPp scenarios written from the tests, for exchanges short enough to read next to their checks.
#pragma once

#include <string>

namespace test {

// A client scenario: one request outside any dialog, addressed to the agent, and the one final response
// it expects. `headers` are extra header lines (each ending in "\n"); a body gets its Content-Length.
std::string requestScenario(const std::string& method, const std::string& headers, const std::string& body,
                            int expectedStatus);

// Escapes text for an XML attribute or character data in a scenario.
std::string xmlEscape(const std::string& text);

}  // namespace test
