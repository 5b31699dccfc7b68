// SPDX-License-Identifier: MIT
// twinkle (twinkle-console) as another independently written user in a test. It runs as a child process
// on 127.0.0.1 with a temporary HOME that holds its whole configuration: one user profile registering
// with digest at the test's Kamailio over UDP or TCP, and a buddy list whose presence it watches. The
// test types its commands into a FIFO that is its stdin and reads what it printed from a file; what it
// shows about presence goes only into its own log ($HOME/.twinkle/twinkle.log), which also holds every
// SIP message it sent and received. Called from the test's thread.
#pragma once

#include "support/Kamailio.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test {

class ChildProcess;

class Twinkle {
public:
    struct Buddy {
        std::string name;
        std::string uri;
        bool watchPresence = true;
    };
    struct Options {
        SipUser user;
        // Kamailio's port on 127.0.0.1: twinkle registers there and sends every request through it.
        int registrarPort = 0;
        bool tcp = false;
        std::vector<Buddy> buddies;
    };

    explicit Twinkle(Options options);
    ~Twinkle();
    Twinkle(const Twinkle&) = delete;
    Twinkle& operator=(const Twinkle&) = delete;

    // Starts twinkle and waits until its registration succeeded, running `meanwhile` between looks (or
    // sleeping); throws with its output when it does not.
    void start(std::chrono::milliseconds timeout = std::chrono::seconds(10),
               const std::function<void()>& meanwhile = {});
    // `quit` (it removes its registration and its presence subscriptions first), waiting at most
    // `timeout` for it to end, then SIGTERM and SIGKILL by its id.
    void stop(std::chrono::milliseconds timeout = std::chrono::seconds(5),
              const std::function<void()>& meanwhile = {});
    bool running() const;

    int sipPort() const { return m_sipPort; }
    // Everything it printed so far.
    std::string output() const;
    // Its log so far: its own notes and every SIP message, each entry headed by a "+++ " line.
    std::string log() const;
    // What it printed as a problem: the "Critical:", "Warning:" and "... failed" lines of its output,
    // leaving out those about the sound devices that no test machine has.
    std::vector<std::string> failures() const;

    // Types one command line. False when twinkle does not run.
    bool command(const std::string& line);
    // `message URI "text"`: sends `text` to `uri` in a MESSAGE. Quotes and line breaks cannot be typed.
    bool message(const std::string& uri, const std::string& text);

    // What twinkle shows, looked at now.
    bool registered() const;
    // Whether it printed a received `text` from `from` (a URI, as in its "From:" line).
    bool hasText(const std::string& from, const std::string& text) const;
    // The presence it shows for the buddy with `uri`, from its log: "online", "offline", "unknown" (a
    // subscription that ended or failed), "" when it has shown none yet.
    std::string presence(const std::string& uri) const;

    // Waits until `done` holds or `timeout` passes, running `meanwhile` between looks (the test's own
    // agent has to keep answering), or sleeping when there is none; false on time-out or when twinkle
    // ended.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                   const std::function<void()>& meanwhile = {});

private:
    void writeFiles() const;
    std::string profile() const { return m_options.user.user; }

    Options m_options;
    std::string m_home;
    int m_sipPort;
    int m_stdin = -1;
    std::unique_ptr<ChildProcess> m_process;
};

}  // namespace test
