// SPDX-License-Identifier: MIT
// The status panel of the real main window (offscreen, settings in a temporary store, the fake shell in
// place of the desktop's, the agent never set up): its three modes, the Send button, the Ok button, timer
// 26, the tray image and tooltip that follow the connection, the focus on a failure, and the window
// after a sent message. Waits are bounded runs of the event loop with wide margins.
#include "support/EventLoop.h"
#include "support/TestAgent.h"

#include "platform/FakeShell.h"
#include "platform/ProfileStore.h"
#include "res/Resource.h"
#include "ui/ChimelyDlg.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

using namespace std::chrono_literals;

namespace {

using test::runFor;
using test::runUntil;

// An agent that keeps the response refusing its pager message.
class Sender : public test::TestAgent {
public:
    using TestAgent::onFailure;
    using TestAgent::TestAgent;
    void onFailure(sip::ClientPagerMessageHandle handle, const sip::SipMessage& response,
                   std::unique_ptr<sip::Contents> contents) override {
        refusal = response;
        TestAgent::onFailure(handle, response, std::move(contents));
    }
    std::optional<sip::SipMessage> refusal;
};

// A real refusal off the wire ("404 Not Found", "503 Service Unavailable"): an agent on 127.0.0.1 sends
// itself a text that it refuses, as for a user it is not (404) or as it winds down (503).
std::optional<sip::SipMessage> refusal(int status) {
    Sender agent(sip::UDP);
    agent.setIdentity("sip:alice@127.0.0.1", "secret");
    if (status == 503)
        agent.dum.shutdown(&agent);
    const std::string user = status == 404 ? "bob" : "alice";
    agent.dum.makePagerMessage(sip::NameAddr(sip::Uri(sip::Data("sip:" + user + "@" + agent.address()))))
        ->page(std::make_unique<sip::PlainContents>(sip::Data("anyone there?")));
    agent.pumpUntil([&] { return agent.refusal.has_value(); }, 10s);
    return agent.refusal;
}

std::optional<sip::SipMessage> notFoundResponse() {
    return refusal(404);
}

class StatusPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        platform::UseProfileFile(m_dir.filePath("chimely.conf"));
        dialog = std::make_unique<CChimelyDlg>();
        dialog->show();
        send = qobject_cast<QPushButton*>(dialog->GetDlgItem(IDC_SEND));
        ASSERT_NE(nullptr, send);
    }
    void TearDown() override { dialog.reset(); }

    // As the window's initialisation creates the icon.
    bool createTrayIcon() {
        return dialog->m_trayIcon.Create(dialog.get(), IDR_TRAY_MENU, kMainDialogCaption,
                                         &dialog->m_hIconDisconnected, WM_TRAYNOTIFY, 0, true);
    }
    HICON trayImage() const { return shell.icons.at({dialog->GetSafeHwnd(), IDR_TRAY_MENU}).record.hIcon; }
    std::string trayTip() const {
        return shell.icons.at({dialog->GetSafeHwnd(), IDR_TRAY_MENU}).record.szTip;
    }
    // How often the shell was asked to change the icon's image.
    std::size_t imageChanges() const {
        return std::count_if(shell.records.begin(), shell.records.end(), [](const auto& record) {
            return record.first == platform::NIM_MODIFY && (record.second.uFlags & platform::NIF_ICON);
        });
    }

    bool statusShown() const { return dialog->m_edStatus->isVisible(); }
    bool okShown() const { return dialog->m_btnOk->isVisible(); }
    QString statusText() const { return dialog->m_edStatus->text(); }
    // Whether the compose controls are usable: To, Message and their labels all enabled, or all disabled.
    bool composeEnabled() const {
        int enabled = 0;
        for (int id : {IDC_TO, IDC_MESSAGE, IDC_TO_LABEL, IDC_MESSAGE_LABEL})
            enabled += dialog->GetDlgItem(id)->isEnabled();
        EXPECT_TRUE(enabled == 0 || enabled == 4) << enabled << " of the compose controls enabled";
        return enabled == 4;
    }
    bool focusInTo() const {
        QWidget* focus = dialog->focusWidget();
        return focus && (focus == dialog->m_cbTo || focus == dialog->m_cbTo->lineEdit());
    }

    platform::FakeShell shell;
    platform::ScopedShell installed{shell};
    QTemporaryDir m_dir;
    std::unique_ptr<CChimelyDlg> dialog;
    QPushButton* send = nullptr;
};

TEST_F(StatusPanelTest, EachModeShowsAndLocksWhatItShould) {
    EXPECT_EQ(-1, dialog->GetStatusId());

    // Status without Ok: a text from the string table, remembered by its id.
    dialog->m_edMessage->setPlainText(QStringLiteral("draft"));
    dialog->ShowStatusId(IDS_DISCONNECTED);
    EXPECT_TRUE(statusShown());
    EXPECT_EQ(QStringLiteral("Disconnected"), statusText());
    EXPECT_FALSE(okShown());
    EXPECT_FALSE(composeEnabled());
    EXPECT_FALSE(send->isEnabled());
    EXPECT_EQ(IDS_DISCONNECTED, dialog->GetStatusId());

    // A status replaces the one on show at once.
    dialog->ShowStatusId(IDS_CONNECTING);
    EXPECT_EQ(QStringLiteral("Connecting..."), statusText());
    EXPECT_EQ(IDS_CONNECTING, dialog->GetStatusId());

    // Status with Ok: a text of no id.
    dialog->ShowStatus("Forbidden (403)", true);
    EXPECT_TRUE(statusShown());
    EXPECT_TRUE(okShown());
    EXPECT_EQ(QStringLiteral("Forbidden (403)"), statusText());
    EXPECT_FALSE(composeEnabled());
    EXPECT_FALSE(send->isEnabled());
    EXPECT_EQ(-1, dialog->GetStatusId());

    // Compose.
    dialog->HideStatus();
    EXPECT_FALSE(statusShown());
    EXPECT_FALSE(okShown());
    EXPECT_TRUE(composeEnabled());
    EXPECT_TRUE(send->isEnabled());
    EXPECT_EQ(-1, dialog->GetStatusId());
    EXPECT_TRUE(focusInTo());
}

TEST_F(StatusPanelTest, SendIsEnabledExactlyWhenTheMessageHasText) {
    dialog->HideStatus();
    EXPECT_FALSE(send->isEnabled());
    dialog->m_edMessage->insertPlainText(QStringLiteral("a"));
    EXPECT_TRUE(send->isEnabled());
    EXPECT_EQ(QStringLiteral("Send"), send->text());
    dialog->m_edMessage->textCursor().deletePreviousChar();
    EXPECT_TRUE(dialog->m_edMessage->toPlainText().isEmpty());
    EXPECT_FALSE(send->isEnabled());
    dialog->m_edMessage->insertPlainText(QStringLiteral(" "));
    EXPECT_TRUE(send->isEnabled());
}

TEST_F(StatusPanelTest, RefusalShowsReasonAndCodeAndStaysUntilOk) {
    const std::optional<sip::SipMessage> notFound = notFoundResponse();
    ASSERT_TRUE(notFound.has_value()) << "no 404 from the agent on 127.0.0.1";
    ASSERT_EQ(404, notFound->statusCode());

    dialog->HideStatus();
    dialog->m_edMessage->setPlainText(QStringLiteral("hello"));
    dialog->OnMessageFailed(*notFound);
    EXPECT_EQ(QStringLiteral("Not Found (404)"), statusText());
    EXPECT_TRUE(okShown());
    EXPECT_EQ(-1, dialog->GetStatusId());

    runFor(500);
    EXPECT_TRUE(statusShown());
    EXPECT_TRUE(okShown());

    dialog->m_btnOk->click();
    EXPECT_FALSE(statusShown());
    EXPECT_FALSE(okShown());
    EXPECT_TRUE(composeEnabled());
    // The text is kept for another try.
    EXPECT_EQ(QStringLiteral("hello"), dialog->m_edMessage->toPlainText());
    EXPECT_TRUE(send->isEnabled());

    // The same response without Ok.
    dialog->ShowResponseStatus(*notFound, false);
    EXPECT_EQ(QStringLiteral("Not Found (404)"), statusText());
    EXPECT_FALSE(okShown());
}

TEST_F(StatusPanelTest, EarlierTimerHidesALaterStatusEvenWithOk) {
    dialog->ShowStatusId(IDS_CONNECTED);
    dialog->StartStatusTimer(400);
    dialog->ShowStatus("Request Timeout (408)", true);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(runUntil([&] { return !statusShown(); }, 5000));
    EXPECT_GE(clock.elapsed(), 300);
    EXPECT_FALSE(okShown());
    EXPECT_TRUE(composeEnabled());
    EXPECT_FALSE(dialog->IsTimerActive(kStatusTimerId));
}

TEST_F(StatusPanelTest, OnlyConnectedAndDisconnectedSwitchTheTrayImage) {
    // Before the icon is added the image is not even offered to the shell.
    dialog->ShowStatusId(IDS_CONNECTED);
    EXPECT_TRUE(shell.Calls("Shell_NotifyIcon").empty());

    ASSERT_TRUE(createTrayIcon());
    EXPECT_EQ(&dialog->m_hIconDisconnected, trayImage());
    dialog->ShowStatusId(IDS_CONNECTING);
    EXPECT_EQ(&dialog->m_hIconDisconnected, trayImage());
    dialog->ShowStatusId(IDS_CONNECTED);
    EXPECT_EQ(&dialog->m_hIconConnected, trayImage());

    // A later registration failure, an invalid address, sending and sent leave it connected.
    dialog->ShowStatus("Service Unavailable (503)", true);
    for (int id : {IDS_INVALID_SIGNIN, IDS_INVALID_SERVER, IDS_SENDING, IDS_MESSAGE_SENT, IDS_DISCONNECTING})
        dialog->ShowStatusId(id);
    EXPECT_EQ(&dialog->m_hIconConnected, trayImage());

    dialog->ShowStatusId(IDS_DISCONNECTED);
    EXPECT_EQ(&dialog->m_hIconDisconnected, trayImage());
    EXPECT_EQ(2u, imageChanges());
}

// A sign-in that fails leaves the program not connected, whatever "Connected" showed before: the tray's
// image and tooltip say so, while the panel shows the response as any response, with no status id.
TEST_F(StatusPanelTest, RegistrationFailureShowsNotConnectedInTheTray) {
    const std::optional<sip::SipMessage> unavailable = refusal(503);
    ASSERT_TRUE(unavailable.has_value()) << "no 503 from the agent on 127.0.0.1";
    ASSERT_TRUE(createTrayIcon());
    dialog->m_aor = sip::NameAddr(sip::Uri(sip::Data("sip:alice@Example.TEST")));

    dialog->ShowStatusId(IDS_CONNECTED);
    EXPECT_EQ(&dialog->m_hIconConnected, trayImage());
    EXPECT_EQ("Vantorell Chimely 1.1\nConnected as alice@example.test", trayTip());

    dialog->onFailure(sip::ClientRegistrationHandle(), *unavailable);
    EXPECT_EQ(QStringLiteral("Service Unavailable (503)"), statusText());
    EXPECT_FALSE(okShown());
    EXPECT_EQ(-1, dialog->GetStatusId());
    EXPECT_TRUE(dialog->IsTimerActive(kReconnectTimerId));
    EXPECT_EQ(&dialog->m_hIconDisconnected, trayImage());
    EXPECT_EQ("Vantorell Chimely 1.1\nNot connected: Service Unavailable (503)", trayTip());

    // A failure of a send is no news about the connection.
    dialog->ShowStatusId(IDS_CONNECTED);
    dialog->OnMessageFailed(*unavailable);
    EXPECT_EQ(&dialog->m_hIconConnected, trayImage());
    EXPECT_EQ("Vantorell Chimely 1.1\nConnected as alice@example.test", trayTip());

    dialog->ShowStatusId(IDS_DISCONNECTED);
    EXPECT_EQ("Vantorell Chimely 1.1\nNot connected", trayTip());

    // Over TLS the tooltip says the link is encrypted.
    dialog->m_transport = sip::TLS;
    dialog->ShowStatusId(IDS_CONNECTED);
    EXPECT_EQ("Vantorell Chimely 1.1\nConnected as alice@example.test (TLS)", trayTip());
}

// With a failure and its Ok button up, the focus is on Ok and Ok is the default button: Enter and Space
// acknowledge, and never press another button (Home, which opens a web page) that the focus fell to
// when the compose controls were disabled. Afterwards Send is the default button again.
TEST_F(StatusPanelTest, EnterAndSpaceOnTheFailurePanelPressOk) {
    const std::optional<sip::SipMessage> notFound = notFoundResponse();
    ASSERT_TRUE(notFound.has_value()) << "no 404 from the agent on 127.0.0.1";
    auto* home = qobject_cast<QPushButton*>(dialog->GetDlgItem(IDC_HOME));
    ASSERT_NE(nullptr, home);
    // Home is counted, not run.
    home->disconnect();
    int homePresses = 0;
    QObject::connect(home, &QPushButton::clicked, [&] { ++homePresses; });

    for (bool enter : {true, false}) {
        dialog->HideStatus();
        dialog->m_edMessage->setPlainText(QStringLiteral("hello"));
        ASSERT_TRUE(focusInTo());
        dialog->ShowStatusId(IDS_SENDING);
        dialog->OnMessageFailed(*notFound);
        ASSERT_TRUE(okShown());
        EXPECT_EQ(dialog->m_btnOk, dialog->focusWidget());
        EXPECT_TRUE(dialog->m_btnOk->isDefault());
        EXPECT_FALSE(send->isDefault());

        QWidget* focus = dialog->focusWidget();
        ASSERT_NE(nullptr, focus);
        const int key = enter ? Qt::Key_Return : Qt::Key_Space;
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, enter ? "\r" : " ");
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, enter ? "\r" : " ");
        QCoreApplication::sendEvent(focus, &press);
        QCoreApplication::sendEvent(focus, &release);
        EXPECT_FALSE(statusShown()) << (enter ? "Enter" : "Space");
        EXPECT_TRUE(composeEnabled());
        EXPECT_TRUE(send->isDefault());
        EXPECT_FALSE(dialog->m_btnOk->isDefault());
    }
    // A status without Ok leaves nothing for Enter to press.
    dialog->ShowStatusId(IDS_CONNECTING);
    ASSERT_NE(nullptr, dialog->focusWidget());
    EXPECT_NE(home, dialog->focusWidget());
    QKeyEvent enterOnStatus(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    QCoreApplication::sendEvent(dialog->focusWidget(), &enterOnStatus);
    EXPECT_EQ(0, homePresses);
    EXPECT_EQ(QStringLiteral("Connecting..."), statusText());

    // Enter in the Message edit sends again.
    dialog->HideStatus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
    int sends = 0;
    QObject::connect(send, &QPushButton::clicked, [&] { ++sends; });
    send->disconnect(dialog.get());
    QCoreApplication::sendEvent(dialog->m_edMessage, &enter);
    EXPECT_EQ(1, sends);
}

TEST_F(StatusPanelTest, AfterASentMessageThePanelGoesThreeSecondsLaterAndComposeIsReady) {
    dialog->HideStatus();
    dialog->m_edMessage->setPlainText(QStringLiteral("see you at noon"));
    dialog->ShowStatusId(IDS_SENDING);
    QElapsedTimer clock;
    clock.start();
    dialog->OnMessageSent();
    EXPECT_TRUE(dialog->m_edMessage->toPlainText().isEmpty());
    EXPECT_EQ(QStringLiteral("Message has been sent"), statusText());
    EXPECT_EQ(IDS_MESSAGE_SENT, dialog->GetStatusId());
    EXPECT_FALSE(send->isEnabled());

    runFor(2000);
    EXPECT_TRUE(statusShown());
    ASSERT_TRUE(runUntil([&] { return !statusShown(); }, 6000));
    EXPECT_GE(clock.elapsed(), 2900);
    EXPECT_EQ(-1, dialog->GetStatusId());
    EXPECT_TRUE(composeEnabled());
    EXPECT_TRUE(focusInTo());
    EXPECT_FALSE(send->isEnabled());
}

// The window's images are read before it is shown, the tray's in every size when the tray icon is made.
TEST_F(StatusPanelTest, WindowAndTrayImagesComeFromTheProgramsIcons) {
    EXPECT_FALSE(dialog->m_hIcon.pixmap(16, 16).isNull());
    dialog->CreateTrayIcon();
    EXPECT_EQ(&dialog->m_hIconDisconnected, trayImage());
    for (const QIcon* icon : {&dialog->m_hIconConnected, &dialog->m_hIconDisconnected})
        for (int size : kIconSizes)
            EXPECT_EQ(QSize(size, size), icon->pixmap(size, size).size()) << size;
    EXPECT_NE(dialog->m_hIconConnected.pixmap(16, 16).toImage(),
              dialog->m_hIconDisconnected.pixmap(16, 16).toImage());
    EXPECT_FALSE(dialog->windowIcon().isNull());
}

}  // namespace
