// SPDX-License-Identifier: MIT
// The registration's flow kept open for NAT routers, against a registrar of the test's own on 127.0.0.1
// that shows every byte it gets: a CRLF pair from the agent's own UDP port at the keep-alive interval,
// pings on the registration's TCP connection (and on no connection a peer opened to us), and a new
// registration at once when the registrar's end of the connection goes away.
//
//   agent                 registrar
//     | REGISTER            |
//     |-------------------->|
//     |       200           |
//     |<--------------------|
//     | CRLF CRLF           |   every interval, on the same flow
//     |-------------------->|
//     ...
//     |   (TCP: closed)     |
//     | REGISTER            |   at once, on a new connection
//     |-------------------->|
#include "support/RawSip.h"
#include "support/Sipp.h"
#include "support/TestAgent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>

using namespace std::chrono_literals;

namespace {

// A registrar on a plain socket that answers every REGISTER with 200 (granting what it asked) and keeps
// what else arrived: the keep-alives, by where they came from.
class PlainRegistrar {
public:
    explicit PlainRegistrar(bool tcp) : m_tcp(tcp) {
        m_socket = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const int one = 1;
        setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            (!tcp || ::listen(m_socket, 8) == 0))
            m_port = ntohs(address.sin_port);
    }
    ~PlainRegistrar() {
        dropConnection();
        ::close(m_socket);
    }
    int port() const { return m_port; }
    std::string uri() const {
        return "sip:127.0.0.1:" + std::to_string(m_port) + (m_tcp ? ";transport=tcp" : "");
    }

    // Takes in what arrived (a bounded amount a call), answering each REGISTER.
    void serve() {
        if (m_tcp) {
            if (const int accepted = ::accept4(m_socket, nullptr, nullptr, SOCK_NONBLOCK); accepted >= 0) {
                dropConnection();
                m_connection = accepted;
                ++connections;
            }
            char buffer[4096];
            for (int i = 0; m_connection >= 0 && i < 50; ++i) {
                const ssize_t size = ::recv(m_connection, buffer, sizeof buffer, 0);
                if (size <= 0)
                    break;
                m_stream.append(buffer, static_cast<std::size_t>(size));
            }
            takeStream();
            return;
        }
        for (int i = 0; i < 50; ++i) {
            char buffer[8192];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t size =
                ::recvfrom(m_socket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (size <= 0)
                return;
            const std::string text(buffer, static_cast<std::size_t>(size));
            const int source = ntohs(from.sin_port);
            if (text == "\r\n\r\n")
                pings.push_back(source);
            else if (text.rfind("REGISTER ", 0) == 0)
                take(test::RawMessage{text}, source, &from);
        }
    }
    // The registrar's end of the TCP connection goes away.
    void dropConnection() {
        if (m_connection >= 0)
            ::close(m_connection);
        m_connection = -1;
        m_stream.clear();
    }

    std::vector<int> registerSources;  // the UDP port, or the connection's number, each REGISTER came on
    std::vector<int> pings;            // the same, for each CRLF pair
    std::vector<std::string> expires;  // each REGISTER's Expires
    int connections = 0;

private:
    void take(const test::RawMessage& request, int source, const sockaddr_in* to) {
        registerSources.push_back(source);
        expires.push_back(request.header("Expires"));
        std::string answer = test::RawPeer::answer(request, 200);
        const std::string contact = request.header("Contact");
        if (!contact.empty() && request.header("Expires") != "0")
            answer.insert(answer.find("Content-Length"), "Contact: " + contact + ";expires=60\r\n");
        if (to)
            ::sendto(m_socket, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(to), sizeof *to);
        else
            ::send(m_connection, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    // Messages and pings off the connection's stream, as a SIP peer reads them.
    void takeStream() {
        for (;;) {
            std::size_t blanks = 0;
            while (blanks < m_stream.size() && (m_stream[blanks] == '\r' || m_stream[blanks] == '\n'))
                ++blanks;
            if (blanks >= 4 && blanks == m_stream.size()) {
                for (std::size_t i = 0; i + 4 <= blanks; i += 4)
                    pings.push_back(connections);
                m_stream.clear();
                return;
            }
            m_stream.erase(0, blanks);
            const auto end = m_stream.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            const test::RawMessage head{m_stream.substr(0, end + 4)};
            const std::string length = head.header("Content-Length");
            const std::size_t total = end + 4 + (length.empty() ? 0 : std::stoul(length));
            if (m_stream.size() < total)
                return;
            const test::RawMessage message{m_stream.substr(0, total)};
            m_stream.erase(0, total);
            if (message.method() == "REGISTER" && message.isRequest())
                take(message, connections, nullptr);
        }
    }

    bool m_tcp;
    int m_socket = -1;
    int m_port = 0;
    int m_connection = -1;
    std::string m_stream;
};

std::unique_ptr<test::TestAgent> registeredAgent(PlainRegistrar& registrar, sip::TransportType transport) {
    auto agent = std::make_unique<test::TestAgent>(transport);
    agent->setIdentity("sip:alice@example.test", "secret");
    agent->setOutboundProxy(registrar.uri());
    agent->profile->setKeepAliveTimeForDatagram(1s);
    agent->profile->setKeepAliveTimeForStream(1s);
    agent->dum.send(agent->dum.makeRegistration(agent->aor));
    EXPECT_TRUE(agent->pumpUntil(
        [&] {
            registrar.serve();
            return agent->count("registration.onSuccess") == 1;
        },
        5s));
    return agent;
}

void serveFor(test::TestAgent& agent, PlainRegistrar& registrar, std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    agent.pumpUntil(
        [&] {
            registrar.serve();
            return std::chrono::steady_clock::now() >= end;
        },
        duration + 1s);
}

TEST(KeepAlive, UdpRegistrationSendsCrlfFromItsOwnPortUntilItIsRemoved) {
    PlainRegistrar registrar(false);
    auto agent = registeredAgent(registrar, sip::UDP);
    serveFor(*agent, registrar, 3500ms);
    ASSERT_GE(registrar.pings.size(), 2u);
    EXPECT_LE(registrar.pings.size(), 5u);
    for (int source : registrar.pings)
        EXPECT_EQ(registrar.registerSources.front(), source) << "the mapping to keep is the REGISTER's";

    agent->registration->removeAll(true);
    serveFor(*agent, registrar, 300ms);
    ASSERT_EQ((std::vector<std::string>{"1800", "0"}), registrar.expires);
    const std::size_t pingsAtRemoval = registrar.pings.size();
    serveFor(*agent, registrar, 2500ms);
    EXPECT_EQ(pingsAtRemoval, registrar.pings.size());
}

TEST(KeepAlive, TcpRegistrationConnectionIsPingedAndReplacedAtOnceWhenItCloses) {
    PlainRegistrar registrar(true);
    auto agent = registeredAgent(registrar, sip::TCP);
    // A connection a peer opened to us stays unpinged, and is closed when idle, as before.
    test::RawPeer peer(true, agent->port);
    ASSERT_TRUE(peer.connected());
    serveFor(*agent, registrar, 3500ms);
    EXPECT_GE(registrar.pings.size(), 2u);
    EXPECT_FALSE(peer.receive(10ms)) << "the peer's connection was pinged";

    registrar.dropConnection();
    const auto dropped = std::chrono::steady_clock::now();
    ASSERT_TRUE(agent->pumpUntil(
        [&] {
            registrar.serve();
            return registrar.registerSources.size() == 2;
        },
        5s));
    EXPECT_LT(std::chrono::steady_clock::now() - dropped, 2500ms);
    EXPECT_EQ(2, registrar.registerSources.back()) << "not on a connection of its own";
    EXPECT_EQ(1u, agent->count("registration.")) << "the user sees nothing of it";
}

}  // namespace
