// SPDX-License-Identifier: MIT
#include "sip/Pidf.h"

namespace sip {
namespace {

std::string escaped(const Data& text) {
    std::string out;
    for (char c : text.str()) {
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
            default:
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
