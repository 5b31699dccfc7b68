// SPDX-License-Identifier: MIT
// The Preferences dialog on a settings record and a temporary store: what it shows, how the server
// controls follow the mode buttons, the length checks on OK, and what OK and Cancel leave behind.
#include "support/EventLoop.h"

#include "platform/MessageBox.h"
#include "platform/ProfileStore.h"
#include "res/Resource.h"
#include "ui/PreferencesDlg.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        platform::UseProfileFile(m_dir.filePath("chimely.conf"));
        record.m_nProtocol = 1;
        record.m_nOutboundProxy = 0;
        record.m_strDisplayName = "Alice";
        record.m_strSigninName = "alice@example.test";
        record.m_strPassword = "secret";
        record.m_strServer = "proxy.example.test";
    }

    // Runs the dialog modally; `act` runs inside its loop and must end it.
    int run(const std::function<void(CPreferencesDlg&)>& act) {
        CPreferencesDlg dialog(&record);
        QTimer::singleShot(0, &dialog, [&] { act(dialog); });
        return dialog.DoModal();
    }

    static QLineEdit* edit(CPreferencesDlg& dialog, int id) {
        return qobject_cast<QLineEdit*>(dialog.GetDlgItem(id));
    }
    static QRadioButton* radio(CPreferencesDlg& dialog, int id) {
        return qobject_cast<QRadioButton*>(dialog.GetDlgItem(id));
    }
    static bool serverControlsEnabled(CPreferencesDlg& dialog) {
        bool all = true, none = true;
        for (int id : {IDC_UDP, IDC_TCP, IDC_TLS, IDC_SERVER, IDC_SERVER_LABEL, IDC_TRANSPORT_LABEL}) {
            all = all && dialog.GetDlgItem(id)->isEnabled();
            none = none && !dialog.GetDlgItem(id)->isEnabled();
        }
        EXPECT_TRUE(all || none) << "the six server controls are enabled together";
        return all;
    }
    bool storeHas(const char* name) const {
        return QSettings(m_dir.filePath("chimely.conf"), QSettings::IniFormat)
            .contains(QString("Settings/") + name);
    }
    std::string stored(const char* name) const {
        return QSettings(m_dir.filePath("chimely.conf"), QSettings::IniFormat)
            .value(QString("Settings/") + name)
            .toString()
            .toStdString();
    }

    CVar record;
    QTemporaryDir m_dir;
    platform::testing::MessageBoxDouble boxes;
};

TEST_F(PreferencesTest, ShowsTheRecordAndTheServerControlsFollowTheModeButtons) {
    run([&](CPreferencesDlg& dialog) {
        EXPECT_EQ("Alice", edit(dialog, IDC_DISPLAY_NAME)->text().toStdString());
        EXPECT_EQ(QLineEdit::Password, edit(dialog, IDC_PASSWORD)->echoMode());
        EXPECT_TRUE(radio(dialog, IDC_AUTOMATIC_CONFIGURATION)->isChecked());
        EXPECT_TRUE(radio(dialog, IDC_TCP)->isChecked());
        EXPECT_FALSE(serverControlsEnabled(dialog));

        radio(dialog, IDC_CONFIGURE_SETTINGS)->click();
        EXPECT_TRUE(serverControlsEnabled(dialog));
        radio(dialog, IDC_UDP)->click();
        edit(dialog, IDC_SERVER)->setText("sip.example.test");
        radio(dialog, IDC_AUTOMATIC_CONFIGURATION)->click();
        EXPECT_FALSE(serverControlsEnabled(dialog));
        // Disabled, but still what the user chose: stored on OK.
        dialog.OnOkClicked();
    });
    EXPECT_EQ(0, record.m_nOutboundProxy);
    EXPECT_EQ(0, record.m_nProtocol);
    EXPECT_EQ("sip.example.test", record.m_strServer);

    // TLS, the third transport, stores 2 and shows as chosen next time.
    record.m_nOutboundProxy = 1;
    run([&](CPreferencesDlg& dialog) {
        EXPECT_TRUE(radio(dialog, IDC_CONFIGURE_SETTINGS)->isChecked());
        EXPECT_TRUE(serverControlsEnabled(dialog));
        EXPECT_EQ("TLS", radio(dialog, IDC_TLS)->text().toStdString());
        radio(dialog, IDC_TLS)->click();
        EXPECT_FALSE(radio(dialog, IDC_UDP)->isChecked());
        dialog.OnOkClicked();
    });
    EXPECT_EQ(2, record.m_nProtocol);
    EXPECT_EQ("2", stored("Protocol"));
    run([&](CPreferencesDlg& dialog) {
        EXPECT_TRUE(radio(dialog, IDC_TLS)->isChecked());
        EXPECT_FALSE(radio(dialog, IDC_TCP)->isChecked());
        dialog.EndDialog(platform::IDCANCEL);
    });
}

// A stored value no button stands for selects none of the group; a non-zero mode still enables the server
// controls; OK without a choice stores -1.
TEST_F(PreferencesTest, ValuesOtherThanZeroOrOneSelectNeitherButton) {
    record.m_nOutboundProxy = 7;
    record.m_nProtocol = 3;
    const int result = run([&](CPreferencesDlg& dialog) {
        for (int id : {IDC_AUTOMATIC_CONFIGURATION, IDC_CONFIGURE_SETTINGS, IDC_UDP, IDC_TCP, IDC_TLS})
            EXPECT_FALSE(radio(dialog, id)->isChecked()) << id;
        EXPECT_TRUE(serverControlsEnabled(dialog));
        dialog.OnOkClicked();
    });
    EXPECT_EQ(platform::IDOK, result);
    EXPECT_EQ(-1, record.m_nOutboundProxy);
    EXPECT_EQ(-1, record.m_nProtocol);
    EXPECT_EQ("-1", stored("OutboundProxy"));
}

// Too long a text is reported with its limit; the dialog stays open with the focus on that field, and
// neither the record nor the store has changed. A server name of exactly 64 characters is accepted.
TEST_F(PreferencesTest, LengthsAreCheckedBeforeAnythingIsCopied) {
    bool stayedOpen = false;
    run([&](CPreferencesDlg& dialog) {
        edit(dialog, IDC_SIGNIN_NAME)->setText("bob@example.test");
        edit(dialog, IDC_DISPLAY_NAME)->setText(QString(33, 'x'));
        dialog.OnOkClicked();
        stayedOpen = dialog.isVisible();
        EXPECT_EQ(edit(dialog, IDC_DISPLAY_NAME), dialog.focusWidget());
        EXPECT_EQ("alice@example.test", record.m_strSigninName);
        EXPECT_FALSE(storeHas("SigninName"));

        edit(dialog, IDC_DISPLAY_NAME)->setText(QString(32, 'x'));
        radio(dialog, IDC_CONFIGURE_SETTINGS)->click();
        edit(dialog, IDC_SERVER)->setText(QString(65, 's'));
        dialog.OnOkClicked();
        EXPECT_EQ(edit(dialog, IDC_SERVER), dialog.focusWidget());
        edit(dialog, IDC_SERVER)->setText(QString(64, 's'));
        dialog.OnOkClicked();
    });
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(2u, boxes.calls.size());
    EXPECT_EQ("Enter no more than 32 characters.", boxes.calls[0].text);
    EXPECT_EQ(platform::MB_ICONEXCLAMATION, boxes.calls[0].style & 0xF0);
    EXPECT_EQ("Enter no more than 64 characters.", boxes.calls[1].text);
    EXPECT_EQ(std::string(64, 's'), record.m_strServer);
    EXPECT_EQ("bob@example.test", stored("SigninName"));
}

TEST_F(PreferencesTest, OkWritesAllSixValuesAndCancelLeavesEverythingAsItWas) {
    const int ok = run([&](CPreferencesDlg& dialog) {
        edit(dialog, IDC_PASSWORD)->setText("new:secret");
        dialog.OnOkClicked();
    });
    EXPECT_EQ(platform::IDOK, ok);
    for (const char* name : {"Protocol", "OutboundProxy", "DisplayName", "SigninName", "Password", "Server"})
        EXPECT_TRUE(storeHas(name)) << name;
    EXPECT_EQ("new:secret", stored("Password"));
    EXPECT_FALSE(storeHas("LocalPort"));

    const CVar before = record;
    const int cancel = run([&](CPreferencesDlg& dialog) {
        edit(dialog, IDC_DISPLAY_NAME)->setText("Mallory");
        radio(dialog, IDC_CONFIGURE_SETTINGS)->click();
        dialog.SendMessage(platform::WM_COMMAND, platform::IDCANCEL);
    });
    EXPECT_EQ(platform::IDCANCEL, cancel);
    EXPECT_EQ(before.m_strDisplayName, record.m_strDisplayName);
    EXPECT_EQ(before.m_nOutboundProxy, record.m_nOutboundProxy);
    EXPECT_EQ("Alice", stored("DisplayName"));
}

// The history's check box is stored with the other values; turning it off asks whether to delete what was
// kept, and the answer is the dialog's to hand on. Turning it on asks nothing.
TEST_F(PreferencesTest, KeepHistoryIsStoredWithTheRestAndTurningItOffAsksAboutTheKeptTexts) {
    auto keep = [](CPreferencesDlg& dialog) {
        return qobject_cast<QCheckBox*>(dialog.GetDlgItem(IDC_KEEP_HISTORY));
    };
    bool shownOff = false;
    run([&](CPreferencesDlg& dialog) {
        shownOff = !keep(dialog)->isChecked();
        keep(dialog)->click();
        dialog.OnOkClicked();
    });
    EXPECT_TRUE(shownOff);
    EXPECT_EQ("1", stored("KeepHistory"));
    EXPECT_TRUE(boxes.calls.empty());

    for (int answer : {platform::IDNO, platform::IDYES}) {
        boxes.setAnswer([answer](const platform::testing::MessageBoxCall&) { return answer; });
        bool shownOn = false, deletes = false;
        run([&](CPreferencesDlg& dialog) {
            shownOn = keep(dialog)->isChecked();
            keep(dialog)->click();
            dialog.OnOkClicked();
            deletes = dialog.DeleteHistory();
        });
        EXPECT_TRUE(shownOn);
        EXPECT_EQ(answer == platform::IDYES, deletes);
        EXPECT_EQ("0", stored("KeepHistory"));
        ASSERT_FALSE(boxes.calls.empty());
        EXPECT_EQ("Delete the history of texts kept so far?", boxes.calls.back().text);
        record.m_nKeepHistory = 1;
    }
}

}  // namespace
