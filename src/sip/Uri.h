// SPDX-License-Identifier: MIT
// Uri and NameAddr: SIP addresses as values. Parsing a text that is not a sip: or sips: URI with a host
// throws ParseException. Any thread.
#pragma once

#include "sip/Data.h"

namespace sip {

class Uri {
public:
    Uri() = default;
    explicit Uri(const Data& text);

    const Data& scheme() const { return m_scheme; }
    const Data& user() const { return m_user; }
    const Data& host() const { return m_host; }
    // 0 when the URI carries no port.
    int port() const { return m_port; }
    bool empty() const { return m_host.empty(); }

    // The address of record: user, "@", the host in lower case, and ":" port only when there is one.
    Data getAor() const;
    // The URI as text, parameters included.
    const Data& toString() const { return m_text; }

    friend bool operator==(const Uri& a, const Uri& b) { return a.m_text == b.m_text; }

private:
    Data m_text;
    Data m_scheme;
    Data m_user;
    Data m_host;
    int m_port = 0;
};

class NameAddr {
public:
    NameAddr() = default;
    // Either a bare URI or a name-addr such as "Front desk" <sip:desk@example.test>.
    explicit NameAddr(const Data& text);
    explicit NameAddr(Uri uri) : m_uri(std::move(uri)) {}

    Uri& uri() { return m_uri; }
    const Uri& uri() const { return m_uri; }
    Data& displayName() { return m_displayName; }
    const Data& displayName() const { return m_displayName; }

    // "Display name" <uri>, or <uri> without a display name; the name quoted and escaped, its control
    // characters blanked (a display name read from text never holds any).
    Data toString() const;

private:
    Uri m_uri;
    Data m_displayName;
};

}  // namespace sip
