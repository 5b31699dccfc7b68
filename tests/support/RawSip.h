// SPDX-License-Identifier: MIT
// A SIP peer of a few hundred lines for hostile tests: it sends whatever bytes a test builds, over UDP or
// one TCP connection from 127.0.0.1, and reads back what arrives, split into messages by Content-Length.
// It understands only what the tests need: start lines, header values, bodies.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace test {

struct RawMessage {
    std::string text;

    std::string startLine() const;
    bool isRequest() const;
    std::string method() const;  // of a request, or the CSeq's method of a response
    int status() const;          // 0 for a request
    // The first value of the header (case-insensitive, compact forms not understood), "" when absent.
    std::string header(const std::string& name) const;
    std::string body() const;
};

class RawPeer {
public:
    // A socket on 127.0.0.1 that talks to the agent at `agentPort`.
    RawPeer(bool tcp, int agentPort);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool tcp() const { return m_tcp; }
    bool connected() const { return m_fd >= 0; }
    int localPort() const { return m_localPort; }
    // The transport parameter of this peer's Via.
    const char* transport() const { return m_tcp ? "TCP" : "UDP"; }

    bool send(const std::string& bytes);
    // The next whole message, waiting at most `wait`.
    std::optional<RawMessage> receive(std::chrono::milliseconds wait);

    // A request from this peer outside any dialog: fresh branch, From tag and the given Call-ID.
    std::string request(const std::string& method, const std::string& callId, int cseq,
                        const std::string& headers = "", const std::string& contentType = "",
                        const std::string& body = "") const;
    // The 200 (or `status`) answering a request the agent sent.
    static std::string answer(const RawMessage& request, int status = 200);
    // The ACK of a final response to an INVITE this peer sent.
    std::string ack(const RawMessage& response) const;

private:
    bool m_tcp;
    int m_fd = -1;
    int m_agentPort;
    int m_localPort = 0;
    std::string m_pending;
};

}  // namespace test
