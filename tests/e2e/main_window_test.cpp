// SPDX-License-Identifier: MIT
// The main window in its modal loop, as the program runs it (offscreen, message boxes answered by a
// double, the real agent against SIPp on 127.0.0.1): Enter, Escape, the close box and Exit, the recipient
// history in the To box, Preferences with the re-connect question, and Preferences on a first start.
#include "support/Hub.h"
#include "support/Scenarios.h"
#include "support/Sipp.h"

#include "res/Resource.h"
#include "ui/PreferencesDlg.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr int kStillRunning = 42;

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_registrar = std::make_unique<test::Sipp>(
            test::Sipp::Options{.scenario = test::registrarScenario(), .calls = 2});
        m_registrar->start();
    }

    test::Hub::Settings settings(std::vector<std::string> history = {}) const {
        return {.outboundProxy = 1,
                .signin = "alice@example.test",
                .password = "x",
                .server = "127.0.0.1:" + std::to_string(m_registrar->port()),
                .history = std::move(history)};
    }

    // Runs the window's modal loop; `steps` run inside it. The result is EndDialog's, or kStillRunning
    // when the steps left the window running to the end.
    static int runWindow(test::Hub& hub, const std::function<void()>& steps) {
        QTimer::singleShot(0, &hub.dialog(), [&] {
            ASSERT_TRUE(hub.waitUntil([&] { return hub.dialog().GetStatusId() == IDS_CONNECTED; }))
                << hub.status();
            hub.dialog().HideStatus();
            steps();
            if (hub.dialog().isVisible() || hub.dialog().m_bInTray)
                hub.dialog().EndDialog(kStillRunning);
        });
        return hub.dialog().DoModal();
    }

    // Runs the window's modal loop for `period` and counts the Preferences dialogs that open in it, each
    // cancelled as soon as it is seen; `windowUp` tells whether the main window was up when the first one
    // opened.
    static int preferencesOpened(test::Hub& hub, std::chrono::milliseconds period, bool& windowUp) {
        int opened = 0;
        bool ending = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            // The period counts from the first tick of the window's own loop.
            if (!ending) {
                ending = true;
                QTimer::singleShot(period, &hub.dialog(), [&] { hub.dialog().EndDialog(kStillRunning); });
            }
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* preferences = dynamic_cast<CPreferencesDlg*>(window);
                    preferences && preferences->isVisible()) {
                    if (opened++ == 0)
                        windowUp = hub.dialog().isVisible();
                    preferences->EndDialog(platform::IDCANCEL);
                }
        });
        poll.start(20);
        hub.dialog().DoModal();
        return opened;
    }

    static void press(QWidget* widget, int key) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(widget, &event);
    }

    std::unique_ptr<test::Sipp> m_registrar;
};

TEST_F(MainWindowTest, EnterSendsWhenSendIsEnabledAndNeverClosesTheWindow) {
    test::Hub hub(settings());
    const int result = runWindow(hub, [&] {
        hub.dialog().m_cbTo->setEditText("bob@127.0.0.1:1");
        // No text yet: Send is disabled, Enter does nothing at all.
        press(hub.dialog().m_cbTo->lineEdit(), Qt::Key_Return);
        press(hub.dialog().m_edMessage, Qt::Key_Return);
        EXPECT_EQ("", hub.status());
        EXPECT_TRUE(hub.dialog().isVisible());
        hub.dialog().m_edMessage->setPlainText("hello");
        press(hub.dialog().m_cbTo->lineEdit(), Qt::Key_Return);
        EXPECT_EQ("Sending...", hub.status());
        EXPECT_TRUE(hub.dialog().isVisible());
    });
    EXPECT_EQ(kStillRunning, result);
}

TEST_F(MainWindowTest, EscapeHidesTheWindowAndTheProgramGoesOn) {
    test::Hub hub(settings());
    const int result = runWindow(hub, [&] {
        press(&hub.dialog(), Qt::Key_Escape);
        EXPECT_FALSE(hub.dialog().isVisible());
        EXPECT_TRUE(hub.dialog().m_bInTray);
        hub.waitFor(200ms);
        hub.dialog().ShowMainWindow();
        EXPECT_TRUE(hub.dialog().isVisible());
    });
    EXPECT_EQ(kStillRunning, result);
}

// The close box asks whether to exit; No keeps the program running, Yes ends it after the registration
// was removed.
TEST_F(MainWindowTest, CloseBoxAsksTheExitQuestionAndYesEndsAfterUnregistering) {
    test::Hub hub(settings());
    int answer = platform::IDNO;
    hub.boxes.setAnswer([&](const auto&) { return answer; });
    const int result = runWindow(hub, [&] {
        hub.dialog().close();
        ASSERT_TRUE(hub.waitUntil([&] { return hub.boxes.calls.size() == 1; }, 2s));
        EXPECT_EQ(LoadResourceString(IDS_EXIT_QUESTION), hub.boxes.calls[0].text);
        EXPECT_EQ("Vantorell Chimely", hub.boxes.calls[0].caption);
        EXPECT_TRUE(hub.dialog().isVisible());
        answer = platform::IDYES;
        hub.dialog().SendMessage(platform::WM_SYSCOMMAND, platform::SC_CLOSE);
        hub.waitUntil([&] { return !hub.dialog().isVisible(); }, 2s);
    });
    EXPECT_EQ(platform::IDCANCEL, result);
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (m_registrar->requests("REGISTER").size() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    const auto sent = m_registrar->requests("REGISTER");
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ("*", sent[1].header("Contact"));
}

TEST_F(MainWindowTest, NewRecipientReplacesTheOldestAndAKnownOneInAnotherCaseChangesNothing) {
    std::vector<std::string> history;
    for (char c = 'a'; c < 'a' + 10; ++c)
        history.push_back(std::string(1, c) + "user");
    test::Hub hub(settings(history));
    runWindow(hub, [&] {
        QComboBox* to = hub.dialog().m_cbTo;
        ASSERT_EQ(10, to->count());
        hub.send("zed", "hi");
        EXPECT_EQ(10, to->count());
        EXPECT_EQ(-1, to->findText("auser"));
        EXPECT_EQ("zed", to->itemText(9).toStdString());
        EXPECT_EQ("zed", to->currentText().toStdString());
        EXPECT_EQ("buser", hub.dialog().m_arrTo.front());
        EXPECT_EQ("zed", hub.dialog().m_arrTo.back());

        hub.dialog().HideStatus();
        hub.send("CUSER", "hi");
        EXPECT_EQ(10, to->count());
        EXPECT_NE(-1, to->findText("cuser", Qt::MatchCaseSensitive));
        EXPECT_EQ(-1, to->findText("CUSER", Qt::MatchCaseSensitive));
        EXPECT_EQ("CUSER", hub.dialog().m_arrTo.back());
    });
}

// With no account stored the program still signs in with the made-up default, and the Preferences dialog
// opens once, over the window that is up by then. Not so when started minimised, nor once a sign-in name
// is stored.
TEST_F(MainWindowTest, FirstStartOpensPreferencesOnceOverTheWindow) {
    {
        test::Hub::Settings first = settings();
        first.signin.clear();
        test::Hub hub(first);
        bool windowUp = false;
        EXPECT_EQ(1, preferencesOpened(hub, 1500ms, windowUp));
        EXPECT_TRUE(windowUp);
        EXPECT_TRUE(hub.boxes.calls.empty());
        const auto sent = m_registrar->requests("REGISTER");
        ASSERT_GE(sent.size(), 1u);
        EXPECT_NE(std::string::npos,
                  sent[0].header("From").find(std::string("@") + kDefaultSigninDomain + ">"))
            << sent[0].header("From");
    }
    {
        test::Hub::Settings minimised = settings();
        minimised.signin.clear();
        minimised.startHidden = true;
        test::Hub hub(minimised);
        bool windowUp = false;
        EXPECT_EQ(0, preferencesOpened(hub, 1000ms, windowUp));
        EXPECT_FALSE(hub.dialog().isVisible());
    }
    test::Hub hub(settings());
    bool windowUp = false;
    EXPECT_EQ(0, preferencesOpened(hub, 1000ms, windowUp));
}

// Confirming Preferences always asks to re-connect; Yes signs out and in again with the new values.
TEST_F(MainWindowTest, PreferencesOkAsksToReconnectAndYesRegistersTheNewValues) {
    test::Hub hub(settings());
    int answer = platform::IDNO;
    hub.boxes.setAnswer([&](const auto&) { return answer; });
    auto confirmPreferences = [&](const std::string& signin) {
        QTimer::singleShot(50, [signin] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* preferences = dynamic_cast<CPreferencesDlg*>(window);
                    preferences && preferences->isVisible()) {
                    if (!signin.empty())
                        qobject_cast<QLineEdit*>(preferences->GetDlgItem(IDC_SIGNIN_NAME))
                            ->setText(QString::fromStdString(signin));
                    preferences->OnOkClicked();
                }
        });
        hub.dialog().SendMessage(platform::WM_COMMAND, ID_TRAY_PREFERENCES);
    };
    runWindow(hub, [&] {
        confirmPreferences("");
        ASSERT_EQ(1u, hub.boxes.calls.size());
        EXPECT_EQ(LoadResourceString(IDS_RECONNECT_QUESTION), hub.boxes.calls[0].text);
        EXPECT_EQ(platform::MB_YESNO | platform::MB_ICONQUESTION, hub.boxes.calls[0].style);

        answer = platform::IDYES;
        confirmPreferences("bob@example.test");
        EXPECT_EQ(2u, hub.boxes.calls.size());
        ASSERT_TRUE(hub.waitUntil([&] { return hub.dialog().GetStatusId() == IDS_CONNECTED; }, 5s));
    });
    const auto sent = m_registrar->requests("REGISTER");
    ASSERT_GE(sent.size(), 3u);
    EXPECT_NE(std::string::npos, sent[0].header("From").find("sip:alice@example.test"));
    EXPECT_EQ("*", sent[1].header("Contact"));
    EXPECT_NE(std::string::npos, sent[2].header("From").find("sip:bob@example.test"));
    EXPECT_EQ("bob@example.test", hub.dialog().m_strSigninName);
}

}  // namespace
