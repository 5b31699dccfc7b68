// SPDX-License-Identifier: MIT
// ParseException: a text given to the layer as a SIP address did not parse. The one exception that
// crosses the layer's boundary.
#pragma once

#include <stdexcept>
#include <string>

namespace sip {

class ParseException : public std::runtime_error {
public:
    explicit ParseException(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace sip
