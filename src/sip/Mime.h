// SPDX-License-Identifier: MIT
// Mime: a body type (type "/" subtype), compared without regard to letter case. Any thread.
#pragma once

#include "sip/Data.h"

namespace sip {

class Mime {
public:
    Mime() = default;
    Mime(Data type, Data subType) : m_type(std::move(type)), m_subType(std::move(subType)) {}

    // Reads "type/subtype", ignoring parameters and surrounding blanks; an empty Mime when malformed.
    static Mime parse(const Data& text);

    const Data& type() const { return m_type; }
    const Data& subType() const { return m_subType; }
    bool empty() const { return m_type.empty(); }
    Data toString() const { return empty() ? Data() : Data(m_type.str() + "/" + m_subType.str()); }

    friend bool operator==(const Mime& a, const Mime& b) {
        return a.m_type.lowercase() == b.m_type.lowercase() &&
               a.m_subType.lowercase() == b.m_subType.lowercase();
    }

private:
    Data m_type;
    Data m_subType;
};

}  // namespace sip
