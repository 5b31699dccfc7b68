// SPDX-License-Identifier: MIT
// The main window object as the program runs it, for tests: its settings in a temporary store, message
// boxes replaced by a double, initialised as the program initialises it, and shut down at the end.
#pragma once

#include "platform/MessageBox.h"
#include "ui/ChimelyDlg.h"

#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test {

class Hub {
public:
    struct Settings {
        int protocol = 0;
        int outboundProxy = 0;
        std::string displayName;
        std::string signin;
        std::string password;
        std::string server;
        std::vector<std::string> history;
        // TLS: the certificate authorities trusted besides the system's (CaCertificates); not stored when
        // empty.
        std::string caCertificates;
        // As a program started minimised: the window stays in the notification area.
        bool startHidden = false;
        // KeepHistory, and the history's file (in the hub's own folder unless given).
        bool keepHistory = false;
        std::string historyFile;
    };

    // An empty sign-in name is left out of the store, as on a first start. `transactionTimeout` shortens how
    // long a request waits for its answer (the stack's own is 32 s).
    explicit Hub(const Settings& settings, ChimelyDelays delays = {},
                 std::chrono::milliseconds transactionTimeout = std::chrono::milliseconds(4000));
    ~Hub();

    // How long connections peers open may stay quiet (the stack's own bound unless set); before start().
    void setConnectionIdle(std::chrono::milliseconds idle);
    // The window's initialisation: status, tray, timer 25, the agent, the first sign-in.
    void start();
    // The end of the window: the agent's shutdown.
    void stop();
    // Runs the event loop until `done` holds, at most `timeout`; returns whether it held.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void waitFor(std::chrono::milliseconds duration);

    CChimelyDlg& dialog();
    // The status panel's text while it is shown, "" when it is hidden.
    std::string status() const;
    // Types into the window and presses Send.
    void send(const std::string& to, const std::string& text);
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }
    // The conversations the history keeps, as the store reads them.
    std::vector<history::Conversation> keptConversations();

    int port;
    platform::testing::MessageBoxDouble boxes;

private:
    class Window;
    QTemporaryDir m_dir;
    std::unique_ptr<Window> m_window;
    bool m_started = false;
    bool m_stopped = false;
};

}  // namespace test
