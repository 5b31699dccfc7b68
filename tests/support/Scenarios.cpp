// SPDX-License-Identifier: MIT
#include "support/Scenarios.h"

namespace test {
namespace {

std::string peerReply(const std::string& status, const std::string& extra = "",
                      const std::string& body = "") {
    return "  <send><![CDATA[\nSIP/2.0 " + status +
           "\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]b[call_number]\n"
           "[last_Call-ID:]\n[last_CSeq:]\n" +
           extra + "Content-Length: [len]\n\n" + body + "]]></send>\n";
}

std::string peerScenario(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"peer\">\n" + body +
           "</scenario>\n";
}

}  // namespace

std::string sessionPeerScenario() {
    const std::string sdp =
        "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=message 5060 sip bob@127.0.0.1\r\n";
    return peerScenario("  <recv request=\"INVITE\"/>\n" +
                        peerReply("200 OK",
                                  "Contact: <sip:bob@[local_ip]:[local_port];transport=[transport]>\n"
                                  "Content-Type: application/sdp\n",
                                  sdp) +
                        "  <recv request=\"ACK\"/>\n  <recv request=\"MESSAGE\"/>\n" + peerReply("200 OK") +
                        "  <recv request=\"BYE\"/>\n" + peerReply("200 OK"));
}

std::string pagerPeerScenario(const std::string& pagerStatus) {
    return peerScenario(
        "  <recv request=\"INVITE\" optional=\"true\" next=\"invite\"/>\n"
        "  <recv request=\"MESSAGE\"/>\n" +
        peerReply(pagerStatus) +
        "  <nop next=\"end\"/>\n"
        "  <label id=\"invite\"/>\n" +
        peerReply("488 Not Acceptable Here") + "  <recv request=\"ACK\"/>\n  <label id=\"end\"/>\n");
}

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

std::string okReply() {
    return "  <send><![CDATA[\nSIP/2.0 200 OK\n"
           "[last_Via:]\n[last_From:]\n[last_To:]\n[last_Call-ID:]\n[last_CSeq:]\nContent-Length: "
           "0\n\n]]></send>\n";
}

std::string registrarScenario() {
    const std::string ok =
        "  <send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:];tag=[pid]r[call_number]\n"
        "[last_Call-ID:]\n[last_CSeq:]\n[last_Contact:];expires=1800\nContent-Length: 0\n\n]]></send>\n";
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"registrar\">\n"
           "  <recv request=\"REGISTER\"/>\n" +
           ok + "  <recv request=\"REGISTER\"/>\n" + ok + "</scenario>\n";
}

std::string watcherScenario(const std::string& expires, bool waitsForTheEnd, const std::string& user) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n<scenario name=\"watcher\">\n"
        "  <send><![CDATA[\nSUBSCRIBE sip:" + user + "@[remote_ip]:[remote_port] SIP/2.0\n"
        "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
        "From: <sip:watcher@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]\n"
        "To: <sip:" + user + "@[remote_ip]:[remote_port]>\nCall-ID: [call_id]\nCSeq: 1 SUBSCRIBE\n"
        "Contact: <sip:watcher@[local_ip]:[local_port];transport=[transport]>\nMax-Forwards: 70\n"
        "Event: presence\nAccept: application/pidf+xml\n" +
        (expires.empty() ? std::string() : "Expires: " + expires + "\n") +
        "Content-Length: 0\n\n]]></send>\n"
        "  <recv response=\"202\"/>\n"
        "  <recv request=\"NOTIFY\"/>\n" +
        okReply();
    if (waitsForTheEnd)
        xml += "  <recv request=\"NOTIFY\"/>\n" + okReply();
    return xml + "</scenario>\n";
}

std::string requestScenario(const std::string& method, const std::string& headers, const std::string& body,
                            int expectedStatus, const std::string& user) {
    return "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n"
           "<scenario name=\"" +
           method +
           "\">\n"
           "  <send><![CDATA[\n" +
           method +
           " sip:" + (user.empty() ? "" : user + "@") + "[remote_ip]:[remote_port] SIP/2.0\n"
           "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
           "From: \"Peer\" <sip:peer@[local_ip]:[local_port]>;tag=[pid]SIPpTag00[call_number]\n"
           "To: <sip:" + (user.empty() ? "" : user + "@") + "[remote_ip]:[remote_port]>\n"
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
