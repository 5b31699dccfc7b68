// SPDX-License-Identifier: MIT
// baresip as a second, independently written user in a test. It runs as a child process on 127.0.0.1
// (or on a NatLab's provider address, in the lab's wan namespace) from a configuration in a temporary
// directory: one account (registering with digest through the test's Kamailio, or not registering at
// all), manual answer, and a list of contacts, some of whose presence it watches. The test tells it what
// to do over its ctrl_tcp socket and reads what it did from its output. Called from the test's thread.
//
// baresip will not start where there is no default route: run it inside test::enterPrivateNetwork().
#pragma once

#include "support/Kamailio.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test {

class ChildProcess;

class Baresip {
public:
    struct Contact {
        std::string name;
        std::string uri;
        bool watchPresence = false;
    };
    struct Options {
        SipUser user;
        // The registrar to register at and send everything through (Kamailio::uri); empty: no
        // registration, and requests reach baresip directly at sipUri().
        std::string outboundProxy;
        bool tcp = false;
        std::vector<Contact> contacts;
        // A command it runs under (NatLab::inWan()), and the address it listens on for SIP and for
        // commands; the test program must reach that address.
        std::vector<std::string> prefix;
        std::string address = "127.0.0.1";
    };
    struct Reply {
        bool ok = false;
        std::string data;
    };

    explicit Baresip(Options options);
    ~Baresip();
    Baresip(const Baresip&) = delete;
    Baresip& operator=(const Baresip&) = delete;

    // Starts baresip and waits until it takes commands; throws with its output when it does not.
    void start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGTERM twice (it stays while subscriptions are pending), then SIGKILL.
    void stop();
    bool running() const;
    // Its process id while it runs, -1 otherwise (for reading its memory and processor time).
    int pid() const;

    int sipPort() const { return m_sipPort; }
    // Where baresip takes requests directly: sip:user@address:port, with the transport.
    std::string sipUri() const;
    // Everything it printed so far, without colours.
    std::string output() const;

    // Runs a ctrl_tcp command; the reply has ok false when baresip refused it or did not answer.
    Reply command(const std::string& name, const std::string& params = "");
    // Sends `text` in a MESSAGE to the current contact.
    bool message(const std::string& text);
    // Makes the contact with `uri` the current one, going through the list with contact_next.
    bool selectContact(const std::string& uri);

    // What baresip shows, looked at now.
    bool registered() const;
    // Whether it printed a received `text` from `from` (a URI, as in its line `sip:a@b: "text"`).
    bool hasText(const std::string& from, const std::string& text) const;
    // The presence it shows for the contact with `uri` ("Online", "Offline", "Unknown"), "" if none.
    std::string presence(const std::string& uri);

    // Each waits until what it names holds or `timeout` passes, running `meanwhile` between looks (the
    // test's own agent has to keep answering), or sleeping when there is none; false on time-out.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                   const std::function<void()>& meanwhile = {});
    bool waitForRegistration(std::chrono::milliseconds timeout, const std::function<void()>& meanwhile = {});
    bool waitForText(const std::string& from, const std::string& text, std::chrono::milliseconds timeout,
                     const std::function<void()>& meanwhile = {});
    bool waitForPresence(const std::string& uri, const std::string& status, std::chrono::milliseconds timeout,
                         const std::function<void()>& meanwhile = {});

private:
    void writeFiles() const;

    Options m_options;
    std::string m_dir;
    int m_sipPort;
    int m_controlPort;
    int m_stdin = -1;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace test
