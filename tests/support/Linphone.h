// SPDX-License-Identifier: MIT
// linphonec (liblinphone's console client) as another independently written user in a test. It runs on
// 127.0.0.1 from a linphonerc in a temporary HOME: one account registering with digest at the test's
// Kamailio over UDP or TCP, every request sent through Kamailio. With a pipe for its terminal its core
// never starts, so it runs under script(1), which gives it a pty; the test types commands into a FIFO
// that is script's stdin and reads what linphonec printed (the pty's echo of those commands included)
// from a file. Its debug log keeps every SIP message it sent and received. Called from the test's thread.
//
// linphonec takes a machine whose way out has only 127.0.0.1 as its source for one without a network
// and never registers: in a private network, give it test::addRoutableAddress() first.
#pragma once

#include "support/Kamailio.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test {

class ChildProcess;

class Linphone {
public:
    struct Options {
        SipUser user;
        // Kamailio's port on 127.0.0.1: linphonec registers there and sends every request through it.
        int registrarPort = 0;
        bool tcp = false;
    };

    explicit Linphone(Options options);
    ~Linphone();
    Linphone(const Linphone&) = delete;
    Linphone& operator=(const Linphone&) = delete;

    // Starts linphonec and waits until its account is registered, running `meanwhile` between looks (or
    // sleeping); throws with its output and log when it is not.
    void start(std::chrono::milliseconds timeout = std::chrono::seconds(15),
               const std::function<void()>& meanwhile = {});
    // `quit` (it removes its registration first), waiting at most `timeout` for it to end, then SIGTERM
    // and SIGKILL to linphonec and to script by their ids.
    void stop(std::chrono::milliseconds timeout = std::chrono::seconds(5),
              const std::function<void()>& meanwhile = {});
    bool running() const;

    int sipPort() const { return m_sipPort; }
    // Everything it printed so far, without the terminal's control sequences and carriage returns.
    std::string output() const;
    // Its debug log so far, every SIP message included.
    std::string log() const;
    // What it reported as a problem: the error lines of its log, leaving out those about sound devices,
    // which no test machine has.
    std::vector<std::string> failures() const;

    // Types one command line. False when linphonec does not run.
    bool command(const std::string& line);
    // `chat URI text`: sends `text` to `uri` in a MESSAGE.
    bool chat(const std::string& uri, const std::string& text);
    // `friend add "name" URI`: adds a friend and watches its presence.
    bool addFriend(const std::string& name, const std::string& uri);

    // What linphonec shows, looked at now.
    bool registered() const;
    // Whether it printed a received `text` from `from` (a URI, as in its "Message received from" line).
    bool hasText(const std::string& from, const std::string& text) const;
    // The presence it printed last for the friend with `uri` ("Friend <uri> is <status>"), for example
    // "online" or "offline"; "" when it has printed none.
    std::string presence(const std::string& uri) const;

    // Waits until `done` holds or `timeout` passes, running `meanwhile` between looks (the test's own
    // agent has to keep answering), or sleeping when there is none; false on time-out or when linphonec
    // ended.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                   const std::function<void()>& meanwhile = {});

private:
    void writeFiles() const;
    // linphonec itself, script's child: its id, or -1 while it is not there (yet).
    int linphonecPid() const;

    Options m_options;
    std::string m_home;
    int m_sipPort;
    int m_stdin = -1;
    mutable int m_linphonec = -1;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace test
