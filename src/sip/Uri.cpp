// SPDX-License-Identifier: MIT
#include "sip/Uri.h"

#include "sip/ParseException.h"
#include "sip/PeerGuards.h"

#include <sofia-sip/hostdomain.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/su_alloc.h>
#include <sofia-sip/url.h>

#include <cctype>
#include <charconv>

namespace sip {
namespace {

class Home {
public:
    Home() { su_home_init(m_home); }
    ~Home() { su_home_deinit(m_home); }
    su_home_t* get() { return m_home; }

private:
    su_home_t m_home[1] = {SU_HOME_INIT(m_home)};
};

Data unescaped(const char* text) {
    if (!text)
        return Data();
    std::string copy = text;
    url_unescape(copy.data(), copy.c_str());
    return Data(copy.c_str());
}

// Fills `uri`'s parts from a parsed sofia URL; false when it is not a usable SIP URI.
bool take(const url_t* url, Data& scheme, Data& user, Data& host, int& port) {
    if (!url || (url->url_type != url_sip && url->url_type != url_sips))
        return false;
    if (!url->url_host || !*url->url_host || !host_is_valid(url->url_host))
        return false;
    // A SIP URI has no path. sofia-sip reads one after the host all the same and prints the URI back
    // without its "/", which makes the rest part of the host name: another address.
    if (url->url_path)
        return false;
    port = 0;
    if (url->url_port) {
        const char* begin = url->url_port;
        const char* end = begin + std::char_traits<char>::length(begin);
        auto [rest, error] = std::from_chars(begin, end, port);
        if (error != std::errc() || rest != end || port <= 0 || port > 65535)
            return false;
    }
    // Schemes are case-insensitive; the URI text keeps the case it was given.
    scheme = url->url_type == url_sips ? "sips" : "sip";
    user = unescaped(url->url_user);
    host = url->url_host;
    return true;
}

// The display name as a quoted-string; control characters go out as blanks.
Data quoted(const Data& text) {
    std::string out = "\"";
    for (char c : guard::blankControls(text.str())) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return Data(out + "\"");
}

Data unquoted(const char* text) {
    if (!text)
        return Data();
    std::string in = text;
    if (in.size() < 2 || in.front() != '"' || in.back() != '"')
        return Data(in);
    std::string out;
    for (std::size_t i = 1; i + 1 < in.size(); ++i) {
        if (in[i] == '\\' && i + 2 < in.size())
            ++i;
        out += in[i];
    }
    return Data(out);
}

}  // namespace

Uri::Uri(const Data& text) {
    if (!guard::isUriText(text.str()))
        throw ParseException("not a SIP URI: " + text.str());
    Home home;
    url_t* url = url_make(home.get(), text.c_str());
    if (!take(url, m_scheme, m_user, m_host, m_port))
        throw ParseException("not a SIP URI: " + text.str());
    char* printed = url_as_string(home.get(), url);
    m_text = printed ? printed : text;
}

Data Uri::getAor() const {
    std::string aor = m_user.str();
    if (!aor.empty())
        aor += "@";
    aor += m_host.lowercase().str();
    if (m_port)
        aor += ":" + std::to_string(m_port);
    return Data(aor);
}

NameAddr::NameAddr(const Data& text) {
    if (!guard::isNameAddrText(text.str()))
        throw ParseException("not a SIP address: " + text.str());
    Home home;
    sip_to_t* parsed = sip_to_make(home.get(), text.c_str());
    if (!parsed || !parsed->a_url->url_host)
        throw ParseException("not a SIP address: " + text.str());
    char* uriText = url_as_string(home.get(), parsed->a_url);
    m_uri = Uri(Data(uriText ? uriText : ""));
    m_displayName = Data(guard::blankControls(unquoted(parsed->a_display).str()));
}

Data NameAddr::toString() const {
    const std::string address = "<" + m_uri.toString().str() + ">";
    return m_displayName.empty() ? Data(address) : Data(quoted(m_displayName).str() + " " + address);
}

}  // namespace sip
