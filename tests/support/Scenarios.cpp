// SPDX-License-Identifier: MIT
#include "support/Scenarios.h"

namespace test {

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string requestScenario(const std::string& method, const std::string& headers, const std::string& body,
                            int expectedStatus) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n"
           "<scenario name=\"" +
           method +
           "\">\n"
           "  <send><![CDATA[\n" +
           method +
           " sip:agent@[remote_ip]:[remote_port] SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
           "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]\n"
           "To: <sip:agent@[remote_ip]:[remote_port]>\n"
           "Call-ID: [call_id]\n"
           "CSeq: 1 " +
           method +
           "\n"
           "Contact: <sip:peer@[local_ip]:[local_port];transport=[transport]>\n"
           "Max-Forwards: 70\n" +
           headers +
           "Content-Length: [len]\n"
           "\n" +
           body +
           "]]></send>\n"
           "  <recv response=\"100\" optional=\"true\"/>\n"
           "  <recv response=\"" +
           std::to_string(expectedStatus) +
           "\"/>\n"
           "</scenario>\n";
}

}  // namespace test
