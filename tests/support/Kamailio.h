// SPDX-License-Identifier: MIT
// Kamailio as the registrar and proxy of a test: digest authentication against a plaintext user table,
// bindings in memory, and requests for its users relayed to where they registered. It runs as a child
// process on a free UDP and TCP port of 127.0.0.1 (or of a NatLab's provider address, in the lab's wan
// namespace), from a configuration written into a temporary directory, and keeps its log there for the
// test's failure output. Called from the test's thread.
//
// The users' domain (say example.test) need not resolve: both the agent and baresip send everything to
// Kamailio as their outbound proxy, and Kamailio takes every domain of its users as its own.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace test {

class ChildProcess;

struct SipUser {
    std::string user;
    std::string domain;
    std::string password;

    std::string aor() const { return user + "@" + domain; }
    std::string uri() const { return "sip:" + aor(); }
};

class Kamailio {
public:
    // What a test may change of the registrar's behaviour.
    struct Options {
        // How long a digest nonce stays good, in seconds (Kamailio's own default, 300, when 0).
        int nonceExpire = 0;
        // Whether each nonce's nc must grow from one request to the next (a replayed answer is refused).
        bool nonceCount = false;
        // The shortest and the longest registration granted, in seconds (Kamailio's own defaults, 60 and
        // none, when negative and 0).
        int minExpires = -1;
        int maxExpires = 0;
        // A command it runs under (NatLab::inWan()), and the address it listens on; the test program
        // must reach that address, where it asks whether Kamailio is up.
        std::vector<std::string> prefix;
        std::string address = "127.0.0.1";
        // More addresses it listens on, on the same ports (IPv6 ones without brackets).
        std::vector<std::string> alsoAddresses;
        // Help for clients behind a NAT, as a provider gives it (see kConfig): answers and later requests
        // go to where a client's requests came from rather than to its Via and Contact. Without it a
        // client is reached only at the Contact it registered.
        bool natHelp = false;
        // Whether a REGISTER must answer a digest challenge; without, any REGISTER binds at once.
        bool challenges = true;
        // Whether a REGISTER replaces every other binding of its user, as for one client that moves:
        // clients signed in one after another as the same user each get all of the user's requests.
        bool oneBindingPerUser = false;
        // TLS besides UDP and TCP, on a port of its own (tlsPort()), with this certificate and key (PEM
        // files); off when empty. Clients' certificates are not asked for.
        std::string tlsCertificate;
        std::string tlsKey;
        // Certificates (and their keys) for the clients that ask for a name (SNI), as a front end serving
        // several domains has them; the one above for those that ask for none or another.
        struct Named {
            std::string name;
            std::string certificate;
            std::string key;
        };
        std::vector<Named> tlsByName;
    };

    // On `port` of the address (UDP and TCP), or on a free one when it is 0.
    explicit Kamailio(std::vector<SipUser> users, int port = 0);
    Kamailio(std::vector<SipUser> users, Options options, int port = 0);
    ~Kamailio();
    Kamailio(const Kamailio&) = delete;
    Kamailio& operator=(const Kamailio&) = delete;

    // Starts Kamailio and waits until it answers; throws with its log when it does not within `timeout`.
    void start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGTERM, then SIGKILL to its process group when it has not ended within two seconds.
    void stop();
    bool running() const;

    int port() const { return m_port; }
    // The TLS port; 0 without TLS.
    int tlsPort() const { return m_tlsPort; }
    // The URI that sends requests to Kamailio over the transport, for an outbound proxy.
    std::string uri(bool tcp) const;
    // Everything Kamailio logged so far: what it routed where, and its own errors.
    std::string log() const;
    // The requests of `method` that `user` sent (the From user) and that reached Kamailio, each once
    // however often it was sent: the line the log has for each, with its Call-ID, CSeq, transport ("over
    // tls"), Contacts ("contact <sip:...>") and Subscription-State.
    std::vector<std::string> seen(const std::string& user, const std::string& method) const;
    // The responses with `status` to a `method` that `user` answered (the To user) and that Kamailio
    // relayed, each once.
    std::vector<std::string> seenReplies(const std::string& user, int status,
                                         const std::string& method) const;
    // The digest answers `user` sent (the From user), one for each request however often it was sent,
    // in order: the Authorization or Proxy-Authorization header's value.
    std::vector<std::string> answers(const std::string& user) const;
    // The Contact URIs bound now to `aor` (user@domain) in the registrar's table, from its control
    // socket; empty when there are none.
    std::vector<std::string> bindings(const std::string& aor) const;

private:
    void writeFiles() const;
    bool answersOptions() const;

    std::vector<SipUser> m_users;
    Options m_options;
    std::string m_dir;
    int m_port;
    int m_tlsPort = 0;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace test
