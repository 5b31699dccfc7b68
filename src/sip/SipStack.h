// SPDX-License-Identifier: MIT
// SipStack and StackThread: the SIP stack with its one transport, and the thread it runs in. Created,
// run, stopped and joined on the user-interface thread; the stack itself works in its own thread, where it
// also answers received texts from what the usage manager last published, and meets the user-interface
// thread through its event queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace sip {

namespace detail {
class StackCore;
}

enum TransportType { UDP, TCP, TLS };
enum IpVersion { V4, V6 };

class SipStack {
public:
    SipStack();
    ~SipStack();
    SipStack(const SipStack&) = delete;
    SipStack& operator=(const SipStack&) = delete;

    // Called on the user-interface thread as soon as the stack has queued an event, so the application
    // can pump at once rather than at its next timer tick. It must not pump from inside the call.
    void setWakeHandler(std::function<void()> wake);

    // Called on the user-interface thread, from the usage manager's process(), when the machine's network
    // changed (an address or the default route came or went) and the stack has opened its transports
    // again: what waits for the network may try now.
    void setNetworkHandler(std::function<void()> changed);

    // How long a request waits for its final answer before the stack ends it with 408 (64 times the
    // retransmission interval, 32 s, unless set). Takes effect when the stack's thread starts.
    void setTransactionTimeout(std::chrono::milliseconds timeout);
    // How long a connection a peer opened may stay quiet before it is closed (60 s unless set). Takes
    // effect when the stack's thread starts.
    void setConnectionIdle(std::chrono::milliseconds idle);

    // The stack's thread runs and its transport is open.
    bool isRunning() const;
    // Why the transport could not be opened; empty when it could.
    const std::string& transportError() const;

    detail::StackCore& core() { return *m_core; }

private:
    std::unique_ptr<detail::StackCore> m_core;
};

class StackThread {
public:
    explicit StackThread(SipStack& stack) : m_stack(stack) {}

    // Opens the transport given to the usage manager and starts the stack's thread. When the transport
    // cannot be opened, the stack stays stopped (SipStack::transportError says why) and every request
    // the application makes fails at once without anything being sent.
    void run();
    // Asks the stack to stop; join() waits at most `wait` for it. A stack that has not finished by then
    // keeps its resources: the process is ending.
    void shutdown();
    void join(std::chrono::milliseconds wait = std::chrono::milliseconds{3000});

private:
    SipStack& m_stack;
};

}  // namespace sip
