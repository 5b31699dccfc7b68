// SPDX-License-Identifier: MIT
#include "support/RawSip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace test {
namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string token() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(getpid()) + "x" + std::to_string(++counter);
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// The length of the first whole message in `buffer`, or 0 while it is not all there.
std::size_t wholeMessage(const std::string& buffer) {
    const auto end = buffer.find("\r\n\r\n");
    if (end == std::string::npos)
        return 0;
    const RawMessage head{buffer.substr(0, end + 4)};
    const std::size_t length = std::strtoul(head.header("Content-Length").c_str(), nullptr, 10);
    return buffer.size() >= end + 4 + length ? end + 4 + length : 0;
}

}  // namespace

std::string RawMessage::startLine() const {
    return text.substr(0, text.find("\r\n"));
}

bool RawMessage::isRequest() const {
    return text.rfind("SIP/2.0 ", 0) != 0;
}

std::string RawMessage::method() const {
    if (isRequest())
        return text.substr(0, text.find(' '));
    const std::string cseq = header("CSeq");
    return cseq.substr(cseq.find(' ') + 1);
}

int RawMessage::status() const {
    return isRequest() ? 0 : std::atoi(text.c_str() + 8);
}

std::string RawMessage::header(const std::string& name) const {
    const std::string wanted = lower(name) + ":";
    const auto headEnd = text.find("\r\n\r\n");
    std::size_t at = text.find("\r\n");
    while (at != std::string::npos && at < headEnd) {
        const std::size_t start = at + 2;
        at = text.find("\r\n", start);
        const std::string line = text.substr(start, at - start);
        if (lower(line.substr(0, wanted.size())) == wanted) {
            std::string value = line.substr(wanted.size());
            value.erase(0, value.find_first_not_of(' '));
            return value;
        }
    }
    return "";
}

std::string RawMessage::body() const {
    const auto end = text.find("\r\n\r\n");
    return end == std::string::npos ? "" : text.substr(end + 4);
}

RawPeer::RawPeer(bool tcp, int agentPort) : m_tcp(tcp), m_agentPort(agentPort) {
    m_fd = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    sockaddr_in local = loopback(0);
    const sockaddr_in agent = loopback(agentPort);
    // A UDP socket stays unconnected: the program may send its own requests from another of its
    // addresses than the one it answers from.
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (tcp && connect(m_fd, reinterpret_cast<const sockaddr*>(&agent), sizeof agent) != 0)) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
        return;
    }
    socklen_t size = sizeof local;
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &size);
    m_localPort = ntohs(local.sin_port);
}

RawPeer::~RawPeer() {
    if (m_fd >= 0)
        close(m_fd);
}

bool RawPeer::send(const std::string& bytes) {
    if (m_fd < 0)
        return false;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const sockaddr_in agent = loopback(m_agentPort);
        const ssize_t n = m_tcp ? ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL)
                                : ::sendto(m_fd, bytes.data(), bytes.size(), 0,
                                           reinterpret_cast<const sockaddr*>(&agent), sizeof agent);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<RawMessage> RawPeer::receive(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (m_tcp) {
            if (const std::size_t length = wholeMessage(m_pending)) {
                RawMessage message{m_pending.substr(0, length)};
                m_pending.erase(0, length);
                return message;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        pollfd readable{m_fd, POLLIN, 0};
        if (m_fd < 0 || left.count() < 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            return std::nullopt;
        char buffer[65536];
        const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (m_tcp)
                return std::nullopt;
            continue;
        }
        if (!m_tcp)
            return RawMessage{std::string(buffer, static_cast<std::size_t>(n))};
        m_pending.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string RawPeer::request(const std::string& method, const std::string& callId, int cseq,
                             const std::string& headers, const std::string& contentType,
                             const std::string& body) const {
    const std::string me = "127.0.0.1:" + std::to_string(m_localPort);
    std::string text = method + " sip:alice@127.0.0.1:" + std::to_string(m_agentPort) + " SIP/2.0\r\n";
    text += "Via: SIP/2.0/" + std::string(transport()) + " " + me + ";branch=z9hG4bK" + token() + ";rport\r\n";
    text += "Max-Forwards: 70\r\n";
    text += "From: <sip:mallory@" + me + ">;tag=" + token() + "\r\n";
    text += "To: <sip:alice@127.0.0.1>\r\n";
    text += "Call-ID: " + callId + "\r\n";
    text += "CSeq: " + std::to_string(cseq) + " " + method + "\r\n";
    text += "Contact: <sip:mallory@" + me + (m_tcp ? ";transport=tcp" : "") + ">\r\n";
    text += headers;
    if (!contentType.empty())
        text += "Content-Type: " + contentType + "\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return text;
}

std::string RawPeer::answer(const RawMessage& request, int status) {
    std::string text = "SIP/2.0 " + std::to_string(status) + (status == 200 ? " OK" : " Error") + "\r\n";
    for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
        text += std::string(name) + ": " + request.header(name) + "\r\n";
    return text + "Content-Length: 0\r\n\r\n";
}

std::string RawPeer::ack(const RawMessage& response) const {
    // A 2xx is acknowledged in the dialog, to its Contact, in a transaction of its own; a failure within
    // the INVITE's transaction: its Request-URI and Via.
    const bool success = response.status() < 300;
    std::string target = response.header("Contact");
    if (const auto open = target.find('<'); open != std::string::npos)
        target = target.substr(open + 1, target.find('>') - open - 1);
    if (!success || target.empty())
        target = "sip:alice@127.0.0.1:" + std::to_string(m_agentPort);
    const std::string cseq = response.header("CSeq");
    std::string text = "ACK " + target + " SIP/2.0\r\n";
    if (success)
        text += "Via: SIP/2.0/" + std::string(transport()) + " 127.0.0.1:" + std::to_string(m_localPort) +
                ";branch=z9hG4bK" + token() + "\r\n";
    else
        text += "Via: " + response.header("Via") + "\r\n";
    text += "Max-Forwards: 70\r\n";
    for (const char* name : {"From", "To", "Call-ID"})
        text += std::string(name) + ": " + response.header(name) + "\r\n";
    text += "CSeq: " + cseq.substr(0, cseq.find(' ')) + " ACK\r\n";
    return text + "Content-Length: 0\r\n\r\n";
}

}  // namespace test
