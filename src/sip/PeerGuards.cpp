// SPDX-License-Identifier: MIT
// The checks peer bytes pass before a sofia-sip parser sees them. Pure functions over bytes.
#include "sip/PeerGuards.h"

#include <string>

namespace sip::guard {
namespace {

// RFC 8866 token-char: ALPHA / DIGIT / "!" / "#" / "$" / "%" / "&" / "'" / "*" / "+" / "-" / "." /
// "^" / "_" / "`" / "{" / "|" / "}" / "~".
bool isTokenChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '.':
        case '^':
        case '_':
        case '`':
        case '{':
        case '|':
        case '}':
        case '~':
            return true;
        default:
            return false;
    }
}

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Reads one field of a line, up to the next blank or the end.
class Fields {
public:
    explicit Fields(std::string_view value) : m_rest(value) {}

    // The next field; empty at the end, or where two blanks meet (the grammar has one SP between
    // fields).
    std::string_view next() {
        const std::size_t end = m_rest.find(' ');
        std::string_view field = m_rest.substr(0, end);
        m_rest = end == std::string_view::npos ? std::string_view() : m_rest.substr(end + 1);
        m_afterBlank = end != std::string_view::npos;
        return field;
    }
    bool atEnd() const { return m_rest.empty() && !m_afterBlank; }

private:
    std::string_view m_rest;
    bool m_afterBlank = false;
};

bool isToken(std::string_view text) {
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (!isTokenChar(c))
            return false;
    return true;
}

// Digits that fit the 64-bit values sofia-sip reads them into.
bool isNumber(std::string_view text) {
    if (text.empty() || text.size() > 20)
        return false;
    for (unsigned char c : text)
        if (!isDigit(c))
            return false;
    return true;
}

// non-ws-string = 1*(VCHAR / %x80-FF).
bool isNonBlank(std::string_view text) {
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f)
            return false;
    return true;
}

// An address as o= and c= carry it: visible ASCII only (host names, IPv4 and IPv6 literals, "/ttl").
bool isAddress(std::string_view text) {
    if (text.empty())
        return false;
    for (unsigned char c : text)
        if (c <= ' ' || c >= 0x7f)
            return false;
    return true;
}

// proto = token *("/" token)
bool isProto(std::string_view text) {
    if (text.empty() || text.front() == '/' || text.back() == '/')
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '/' ? text[i - 1] == '/' : !isTokenChar(c))
            return false;
    }
    return true;
}

// port ["/" integer]
bool isPort(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return isNumber(text);
    return isNumber(text.substr(0, slash)) && isNumber(text.substr(slash + 1));
}

// typed-time = 1*DIGIT [fixed-len-time-unit], with an optional "-" where a zone offset allows one.
bool isTypedTime(std::string_view text, bool signedOffset) {
    if (signedOffset && !text.empty() && text.front() == '-')
        text.remove_prefix(1);
    if (!text.empty() &&
        (text.back() == 'd' || text.back() == 'h' || text.back() == 'm' || text.back() == 's'))
        text.remove_suffix(1);
    return isNumber(text);
}

bool checkOrigin(std::string_view value) {
    Fields fields(value);
    return isNonBlank(fields.next()) && isNumber(fields.next()) && isNumber(fields.next()) &&
           isToken(fields.next()) && isToken(fields.next()) && isAddress(fields.next()) && fields.atEnd();
}

bool checkConnection(std::string_view value) {
    Fields fields(value);
    return isToken(fields.next()) && isToken(fields.next()) && isAddress(fields.next()) && fields.atEnd();
}

bool checkBandwidth(std::string_view value) {
    const std::size_t colon = value.find(':');
    return colon != std::string_view::npos && isToken(value.substr(0, colon)) &&
           isNumber(value.substr(colon + 1));
}

bool checkTime(std::string_view value) {
    Fields fields(value);
    return isNumber(fields.next()) && isNumber(fields.next()) && fields.atEnd();
}

bool checkRepeat(std::string_view value) {
    Fields fields(value);
    int count = 0;
    while (!fields.atEnd()) {
        if (!isTypedTime(fields.next(), false))
            return false;
        ++count;
    }
    return count >= 3;
}

bool checkZone(std::string_view value) {
    Fields fields(value);
    int count = 0;
    while (!fields.atEnd()) {
        if (!isNumber(fields.next()) || fields.atEnd() || !isTypedTime(fields.next(), true))
            return false;
        ++count;
    }
    return count >= 1;
}

// attribute = attribute-name [":" attribute-value]; the value is text.
bool checkAttribute(std::string_view value) {
    return isToken(value.substr(0, value.find(':')));
}

// A format: a token as the grammar has it, or an address of record, which is what a message session's
// offer carries (token runs joined by single "@" or ":"). sofia-sip's reader takes one byte that is not
// a token's as a separator, but loops for ever where such a byte starts a format or follows another.
bool isFormat(std::string_view text) {
    if (text.empty() || !isTokenChar(static_cast<unsigned char>(text.front())))
        return false;
    bool afterJoin = false;
    for (unsigned char c : text) {
        if (isTokenChar(c)) {
            afterJoin = false;
        } else if ((c == '@' || c == ':') && !afterJoin) {
            afterJoin = true;
        } else {
            return false;
        }
    }
    return !afterJoin;
}

// media SP port ["/" integer] SP proto 1*(SP fmt)
bool checkMedia(std::string_view value) {
    Fields fields(value);
    if (!isToken(fields.next()) || !isPort(fields.next()) || !isProto(fields.next()))
        return false;
    int formats = 0;
    while (!fields.atEnd()) {
        if (!isFormat(fields.next()))
            return false;
        ++formats;
    }
    return formats >= 1;
}

bool checkLine(char type, std::string_view value) {
    switch (type) {
        case 'v':
            return isNumber(value);
        case 'o':
            return checkOrigin(value);
        case 's':
        case 'i':
        case 'u':
        case 'e':
        case 'p':
        case 'k':
            return true;  // text: any byte but NUL, CR and LF, which the caller has ruled out
        case 'c':
            return checkConnection(value);
        case 'b':
            return checkBandwidth(value);
        case 't':
            return checkTime(value);
        case 'r':
            return checkRepeat(value);
        case 'z':
            return checkZone(value);
        case 'a':
            return checkAttribute(value);
        case 'm':
            return checkMedia(value);
        default:
            return false;
    }
}

}  // namespace

bool isSdpGrammar(std::string_view body) {
    if (body.empty() || body.size() > kMaxSdpBytes)
        return false;
    bool first = true;
    while (!body.empty()) {
        const std::size_t end = body.find('\n');
        std::string_view line = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty()) {
            // Only the end of the body may be blank.
            if (body.find_first_not_of("\r\n") != std::string_view::npos)
                return false;
            break;
        }
        for (char c : line)
            if (c == '\0' || c == '\r')
                return false;
        if (line.size() < 2 || line[1] != '=' || (first && line[0] != 'v'))
            return false;
        if (!checkLine(line[0], line.substr(2)))
            return false;
        first = false;
    }
    return !first;
}

bool isUriText(std::string_view text) {
    if (text.empty() || text.size() > kMaxAddressBytes)
        return false;
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f || c == '<' || c == '>')
            return false;
    return true;
}

bool isNameAddrText(std::string_view text) {
    if (text.empty() || text.size() > kMaxAddressBytes)
        return false;
    for (char c : text)
        if (c == '\0' || c == '\r' || c == '\n')
            return false;
    return true;
}

std::string blankControls(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f)
            c = ' ';
    return out;
}

}  // namespace sip::guard
