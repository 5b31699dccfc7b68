// SPDX-License-Identifier: MIT
// The presence document as text. Every value is written so that the document stays well-formed XML in
// UTF-8 whatever bytes the value holds: the sign-in name behind the entity is whatever the user typed.
#include "sip/Pidf.h"

#include <string_view>

namespace sip {
namespace {

constexpr std::string_view kReplacement = "\xef\xbf\xbd";  // U+FFFD

// The length of the UTF-8 sequence of a character XML allows at the start of `text`, or 0 when the bytes
// there are not one: a stray or missing continuation byte, an overlong form, a surrogate, a code point
// beyond U+10FFFF, or U+FFFE or U+FFFF, which XML 1.0 excludes.
std::size_t xmlCharLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, code = lead & 0x1f, least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, code = lead & 0x0f, least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3f);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) || code == 0xfffe ||
        code == 0xffff)
        return 0;
    return length;
}

// `text` as XML character data or as an attribute value between double quotes. The markup characters
// become entity references; tab, LF and CR become character references, since a reader would otherwise
// turn them into blanks in an attribute and CR LF into LF in text; any other control character and any
// byte that does not start a valid character become U+FFFD, as XML cannot carry them at all.
std::string escaped(const Data& data) {
    const std::string_view text = data.str();
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) >= 0x80) {
            const std::size_t length = xmlCharLength(text.substr(i));
            if (length == 0) {
                out += kReplacement;
                ++i;
            } else {
                out += text.substr(i, length);
                i += length;
            }
            continue;
        }
        ++i;
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20)
                    out += kReplacement;
                else
                    out += c;
        }
    }
    return out;
}

}  // namespace

const Mime& Pidf::getStaticType() {
    static const Mime type("application", "pidf+xml");
    return type;
}

void Pidf::setSimpleStatus(bool online, const Data& note, const Data& contact) {
    m_online = online;
    m_note = note;
    m_contact = contact;
}

Data Pidf::getBodyData() const {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n";
    xml += "<presence xmlns=\"urn:ietf:params:xml:ns:pidf\" entity=\"" + escaped(m_entity) + "\">\r\n";
    xml += "  <tuple id=\"" + escaped(m_id) + "\">\r\n";
    xml += std::string("    <status><basic>") + (m_online ? "open" : "closed") + "</basic></status>\r\n";
    if (!m_contact.empty())
        xml += "    <contact>" + escaped(m_contact) + "</contact>\r\n";
    if (!m_note.empty())
        xml += "    <note>" + escaped(m_note) + "</note>\r\n";
    xml += "  </tuple>\r\n";
    xml += "</presence>\r\n";
    return Data(xml);
}

}  // namespace sip
