// SPDX-License-Identifier: MIT
#include "support/Hub.h"

#include "support/Sipp.h"

#include "platform/ProfileStore.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <thread>

namespace test {

// The window with its initialisation and destruction steps reachable from the test.
class Hub::Window : public CChimelyDlg {
public:
    using CChimelyDlg::CChimelyDlg;
    using CChimelyDlg::OnDestroy;
    using CChimelyDlg::OnInitDialog;
};

Hub::Hub(const Settings& settings, ChimelyDelays delays, std::chrono::milliseconds transactionTimeout)
    : port(freePort()) {
    platform::UseProfileFile(m_dir.filePath("chimely.conf"));
    platform::ProfileStore& store = platform::AppProfile();
    store.WriteProfileInt("Settings", "Protocol", settings.protocol);
    store.WriteProfileInt("Settings", "OutboundProxy", settings.outboundProxy);
    store.WriteProfileString("Settings", "DisplayName", settings.displayName);
    if (!settings.signin.empty())
        store.WriteProfileString("Settings", "SigninName", settings.signin);
    store.WriteProfileString("Settings", "Password", settings.password);
    store.WriteProfileString("Settings", "Server", settings.server);
    store.WriteProfileInt("Settings", "LocalPort", port);
    if (!settings.caCertificates.empty())
        store.WriteProfileString("Settings", "CaCertificates", settings.caCertificates);
    for (std::size_t i = 0; i < settings.history.size(); ++i)
        store.WriteProfileString("Settings", ("To" + std::to_string(i)).c_str(), settings.history[i]);
    store.WriteProfileInt("Settings", "To", static_cast<int>(settings.history.size()));
    store.WriteProfileInt("Settings", "KeepHistory", settings.keepHistory ? 1 : 0);
    m_window = std::make_unique<Window>(settings.startHidden, nullptr, delays);
    m_window->m_strHistoryFile =
        settings.historyFile.empty() ? m_dir.filePath("data/history.db").toStdString() : settings.historyFile;
    m_window->m_stack.setTransactionTimeout(transactionTimeout);
}

Hub::~Hub() {
    stop();
}

void Hub::setConnectionIdle(std::chrono::milliseconds idle) {
    m_window->m_stack.setConnectionIdle(idle);
}

void Hub::start() {
    m_window->OnInitDialog();
    m_started = true;
}

void Hub::stop() {
    if (!m_started || m_stopped)
        return;
    m_stopped = true;
    m_window->OnDestroy();
}

bool Hub::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Hub::waitFor(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

std::vector<history::Conversation> Hub::keptConversations() {
    std::vector<history::Conversation> list;
    bool read = false;
    if (!m_window->m_history)
        return list;
    m_window->m_history->conversations([&](std::vector<history::Conversation> answer) {
        list = std::move(answer);
        read = true;
    });
    waitUntil([&] { return read; });
    return list;
}

CChimelyDlg& Hub::dialog() {
    return *m_window;
}

std::string Hub::status() const {
    return m_window->m_edStatus->isVisibleTo(m_window.get()) ? m_window->m_edStatus->text().toStdString()
                                                             : "";
}

void Hub::send(const std::string& to, const std::string& text) {
    m_window->m_cbTo->setEditText(QString::fromStdString(to));
    m_window->m_edMessage->setPlainText(QString::fromStdString(text));
    m_window->OnSend();
}

}  // namespace test
