// SPDX-License-Identifier: MIT
// A SIPp peer for tests: runs one scenario as a child process on 127.0.0.1, bounded in time, and reads
// back every message it sent and received.
#pragma once

#include "support/ChildProcess.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace test {

// One message from SIPp's trace, as SIPp saw it.
struct TracedMessage {
    bool sent = false;  // by SIPp
    double time = 0;    // seconds since the epoch, microsecond resolution
    std::string text;

    std::string startLine() const;
    bool isRequest(const std::string& method) const;
    int status() const;
    // The first value of the header (case-insensitive name), "" when absent.
    std::string header(const std::string& name) const;
    std::vector<std::string> headers(const std::string& name) const;
    std::string body() const;
};

// A port that is free for both UDP and TCP on 127.0.0.1 right now.
int freePort();

// Whether a socket of `type` (SOCK_DGRAM, SOCK_STREAM) could be bound to `port` on every address now.
bool bindable(int type, int port);
// Waits up to `timeout` for a program to bind `port` for UDP (its SIP port); whether one did.
bool waitForUdpPort(int port, std::chrono::milliseconds timeout);

class Sipp {
public:
    struct Options {
        std::string scenario;  // a file name under tests/sip/scenarios, or XML text
        int port = 0;          // SIPp's own port (0: a free one)
        bool tcp = false;
        std::string remote;                       // host:port to send to, for a client scenario
        int calls = 1;                            // -m
        std::map<std::string, std::string> keys;  // -key name value
        std::vector<std::string> extra;
    };

    explicit Sipp(Options options);
    ~Sipp();
    Sipp(const Sipp&) = delete;
    Sipp& operator=(const Sipp&) = delete;

    // Starts SIPp and waits until its socket is up.
    void start();
    // Waits for SIPp to end by itself; false when it was still running after `timeout`.
    bool wait(std::chrono::milliseconds timeout);
    // Ends SIPp if it still runs.
    void stop();
    // 0 when every call of the scenario succeeded.
    int exitCode() const { return m_process.exitCode(); }
    int port() const { return m_options.port; }
    std::vector<TracedMessage> messages() const;
    // The requests SIPp received (of `method`, or all), each once: retransmissions are left out.
    std::vector<TracedMessage> requests(const std::string& method = "") const;
    // The responses SIPp received with `status`.
    std::vector<TracedMessage> responses(int status) const;
    // The methods of the requests SIPp received, in order, each request once.
    std::vector<std::string> methods() const;
    // What SIPp reported about failed calls, for test output.
    std::string errors() const;

private:
    Options m_options;
    std::string m_dir;
    ChildProcess m_process;
};

}  // namespace test
