// SPDX-License-Identifier: MIT
// The settings record over a profile store in a temporary INI file: first-run defaults, the recipient
// history as loaded, updated and saved, what Save writes, and how odd stored values read.
#include "app/Var.h"
#include "platform/Kernel.h"
#include "platform/ProfileStore.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.filePath("chimely.conf");
        platform::UseProfileFile(m_path);
    }

    // Replaces the store with this INI text, as a user editing the store by hand would leave it.
    void editStore(const QByteArray& ini) {
        QFile file(m_path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Settings]\n" + ini);
        file.close();
        platform::UseProfileFile(m_path);
    }

    QByteArray storeText() const {
        QFile file(m_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A copy of the store under a name this process has not opened: QSettings keeps what it wrote in a
    // per-file cache, and only a file it has not seen yet is read back from its text.
    QString diskCopy() {
        const QString copy = m_dir.filePath(QStringLiteral("reread-%1.conf").arg(++m_copies));
        if (QFile::exists(m_path)) {
            EXPECT_TRUE(QFile::copy(m_path, copy));
        }
        return copy;
    }

    // The value names the store holds in the section, as a fresh reader of the file sees them.
    QStringList storedNames() {
        QSettings settings(diskCopy(), QSettings::IniFormat);
        settings.beginGroup("Settings");
        QStringList names = settings.childKeys();
        names.sort();
        return names;
    }

    QString stored(const char* name) {
        return QSettings(diskCopy(), QSettings::IniFormat)
            .value(QStringLiteral("Settings/") + name)
            .toString();
    }

    // A record loaded from the store's file as it is now, as at the next start of the program.
    CVar loaded() {
        platform::UseProfileFile(diskCopy());
        CVar var;
        var.Load();
        platform::UseProfileFile(m_path);
        return var;
    }

    QTemporaryDir m_dir;
    QString m_path;
    int m_copies = 0;
};

using Strings = std::vector<std::string>;

Strings recipients(int first, int count) {
    Strings names;
    for (int i = first; i < first + count; ++i)
        names.push_back("user" + std::to_string(i) + "@example.test");
    return names;
}

QByteArray historyIni(const Strings& names) {
    QByteArray ini = "To=" + QByteArray::number(qsizetype(names.size())) + "\n";
    for (std::size_t i = 0; i < names.size(); ++i)
        ini += "To" + QByteArray::number(qsizetype(i)) + "=" + QByteArray::fromStdString(names[i]) + "\n";
    return ini;
}

}  // namespace

TEST_F(SettingsTest, FirstRunGivesDefaultsAndWritesNothing) {
    CVar var;
    var.Load();
    EXPECT_EQ(var.m_nProtocol, 1);
    EXPECT_EQ(var.m_nOutboundProxy, 0);
    EXPECT_EQ(var.m_strDisplayName, "");
    EXPECT_EQ(var.m_strSigninName, "");
    EXPECT_EQ(var.m_strPassword, "");
    EXPECT_EQ(var.m_strServer, "");
    EXPECT_TRUE(var.m_arrTo.empty());
    EXPECT_EQ(var.m_nLocalPort, 5070);
    EXPECT_EQ(var.m_nKeepHistory, 0);

    var.DefaultSigninName();
    const auto login = platform::GetUserName(128);
    ASSERT_TRUE(login.has_value());
    EXPECT_EQ(var.m_strSigninName, *login + "@localhost");

    platform::UseProfileFile(m_path);  // drops the store object, which would write any pending change
    EXPECT_FALSE(QFile::exists(m_path)) << storeText().toStdString();
}

TEST_F(SettingsTest, DefaultSigninNameKeepsAStoredName) {
    editStore("SigninName=alice@example.test\n");
    CVar var = loaded();
    var.DefaultSigninName();
    EXPECT_EQ(var.m_strSigninName, "alice@example.test");
}

TEST_F(SettingsTest, HistoryLoadsAsManyEntriesAsItsCountSays) {
    editStore("To=3\nTo0=alice\nTo2=carol\nTo3=dave\n");
    EXPECT_EQ(loaded().m_arrTo, (Strings{"alice", "", "carol"}));

    editStore("To=1\nTo0=alice\nTo1=bob\n");
    EXPECT_EQ(loaded().m_arrTo, (Strings{"alice"}));

    for (const QByteArray count : {"0", "-1", "-2147483648"}) {
        editStore("To=" + count + "\nTo0=alice\n");
        EXPECT_TRUE(loaded().m_arrTo.empty()) << count.toStdString();
    }

    // A count no program wrote is followed only so far: it cannot make loading exhaust memory.
    editStore("To=2000000000\nTo0=alice\n");
    const CVar huge = loaded();
    EXPECT_EQ(huge.m_arrTo.front(), "alice");
    EXPECT_LE(huge.m_arrTo.size(), 1000u);
}

TEST_F(SettingsTest, ReusedRecipientMovesToTheNewestEndAsNowTyped) {
    editStore(
        historyIni({"alice@example.test", "bob@example.test", "Carol@Example.test", "dave@example.test"}));
    CVar var = loaded();
    var.UpdateHistory("carol@EXAMPLE.test");
    const Strings expected{"alice@example.test", "bob@example.test", "dave@example.test",
                           "carol@EXAMPLE.test"};
    EXPECT_EQ(var.m_arrTo, expected);
    EXPECT_EQ(loaded().m_arrTo, expected);
    EXPECT_EQ(stored("To"), "4");
    EXPECT_EQ(stored("To3"), "carol@EXAMPLE.test");
}

TEST_F(SettingsTest, NewRecipientOnAFullHistoryDropsTheOldest) {
    editStore(historyIni(recipients(0, 10)));
    CVar var = loaded();
    var.UpdateHistory("new@example.test");

    Strings expected = recipients(1, 9);
    expected.push_back("new@example.test");
    EXPECT_EQ(var.m_arrTo, expected);
    EXPECT_EQ(stored("To"), "10");
    EXPECT_EQ(stored("To0"), "user1@example.test");
    EXPECT_EQ(stored("To8"), "user9@example.test");
    EXPECT_EQ(stored("To9"), "new@example.test");
    EXPECT_EQ(loaded().m_arrTo, expected);
}

TEST_F(SettingsTest, OverlongEditedHistoryDropsItsOldestPerNewRecipientWithoutGrowing) {
    editStore(historyIni(recipients(0, 12)));
    CVar var = loaded();
    var.UpdateHistory("a@example.test");
    var.UpdateHistory("b@example.test");

    Strings expected = recipients(2, 10);
    expected.push_back("a@example.test");
    expected.push_back("b@example.test");
    EXPECT_EQ(var.m_arrTo, expected);
    EXPECT_EQ(loaded().m_arrTo, expected);
}

TEST_F(SettingsTest, EmptyRecipientIsRememberedOnce) {
    CVar var = loaded();
    for (const char* to : {"alice", "", ""})
        var.UpdateHistory(to);
    EXPECT_EQ(loaded().m_arrTo, (Strings{"alice", ""}));
}

TEST_F(SettingsTest, UpdateHistoryWritesTheStoreItself) {
    // Nothing else is written before the send that follows, so a send that fails cannot lose it.
    {
        CVar var = loaded();
        var.UpdateHistory("alice@example.test");
    }
    EXPECT_EQ(storedNames(), (QStringList{"To", "To0"}));
    EXPECT_EQ(loaded().m_arrTo, (Strings{"alice@example.test"}));
}

TEST_F(SettingsTest, SaveWritesThePreferencesOnly) {
    CVar var = loaded();
    var.m_nProtocol = 7;
    var.m_nOutboundProxy = 1;
    var.m_strDisplayName = "Alice Example";
    var.m_strSigninName = "alice@example.test";
    var.m_strPassword = "pa ss;word=\"1\"";
    var.m_strServer = "proxy.example.test";
    var.m_arrTo = {"bob@example.test"};
    var.m_nLocalPort = 6000;
    var.m_nKeepHistory = 1;
    var.Save();

    EXPECT_EQ(storedNames(), (QStringList{"DisplayName", "KeepHistory", "OutboundProxy", "Password",
                                          "Protocol", "Server", "SigninName"}));
    EXPECT_TRUE(storeText().contains("\nProtocol=7\n")) << storeText().toStdString();
    EXPECT_TRUE(storeText().contains("\nOutboundProxy=1\n")) << storeText().toStdString();
    EXPECT_EQ(stored("Password"), "pa ss;word=\"1\"");

    const CVar again = loaded();
    EXPECT_EQ(again.m_nProtocol, 7);
    EXPECT_EQ(again.m_nOutboundProxy, 1);
    EXPECT_EQ(again.m_strSigninName, "alice@example.test");
    EXPECT_EQ(again.m_strServer, "proxy.example.test");
    EXPECT_TRUE(again.m_arrTo.empty());
    EXPECT_EQ(again.m_nLocalPort, 5070);
    EXPECT_EQ(again.m_nKeepHistory, 1);
}

TEST_F(SettingsTest, SaveHistoryLeavesItemsBeyondTheCount) {
    editStore(historyIni({"a", "b", "c", "d"}));
    CVar var = loaded();
    var.m_arrTo = {"x", "y"};
    var.SaveHistory();
    EXPECT_EQ(stored("To"), "2");
    EXPECT_EQ(stored("To0"), "x");
    EXPECT_EQ(stored("To2"), "c");
    EXPECT_EQ(stored("To3"), "d");
    EXPECT_EQ(loaded().m_arrTo, (Strings{"x", "y"}));
}

// The private certificate authorities for TLS are read like LocalPort, and Save leaves them as they are.
TEST_F(SettingsTest, CaCertificatesAreReadButNeverWritten) {
    editStore("CaCertificates=/home/alice/My CAs/office.pem\nProtocol=2\n");
    CVar var = loaded();
    EXPECT_EQ(var.m_strCaCertificates, "/home/alice/My CAs/office.pem");
    EXPECT_EQ(var.m_nProtocol, 2);
    var.m_strCaCertificates = "/elsewhere";
    var.Save();
    EXPECT_EQ(loaded().m_strCaCertificates, "/home/alice/My CAs/office.pem");
}

TEST_F(SettingsTest, StoredIntegersReadAsDecimalOrElseTheDefault) {
    editStore("Protocol=7\nOutboundProxy=1\nLocalPort=5080\n");
    CVar var = loaded();
    EXPECT_EQ(var.m_nProtocol, 7);
    EXPECT_EQ(var.m_nOutboundProxy, 1);
    EXPECT_EQ(var.m_nLocalPort, 5080);

    editStore("Protocol=0\nLocalPort= 5090 \n");
    var = loaded();
    EXPECT_EQ(var.m_nProtocol, 0);
    EXPECT_EQ(var.m_nLocalPort, 5090);

    editStore("Protocol=0x10\nOutboundProxy=abc\nLocalPort=50x\nTo=two\nTo0=alice\n");
    var = loaded();
    EXPECT_EQ(var.m_nProtocol, 1);
    EXPECT_EQ(var.m_nOutboundProxy, 0);
    EXPECT_EQ(var.m_nLocalPort, 5070);
    EXPECT_TRUE(var.m_arrTo.empty());
}

TEST_F(SettingsTest, TextsRoundTripWhateverTheyHold) {
    // Non-ASCII texts are UTF-8, the local 8-bit encoding of a Qt 6 program here.
    const Strings texts{"Smith, John",
                        "a,b,",
                        "  padded  ",
                        "#not;a comment",
                        "back\\slash \"quoted\"",
                        "=x",
                        "@Invalid()",
                        "[Settings]",
                        "line\nbreak",
                        "Zo\xC3\xAB \xE2\x82\xAC",
                        ""};
    CVar var = loaded();
    for (const std::string& text : texts) {
        var.m_strDisplayName = text;
        var.m_strPassword = text;
        var.Save();
        var.UpdateHistory(text);
        const CVar again = loaded();
        EXPECT_EQ(again.m_strDisplayName, text);
        EXPECT_EQ(again.m_strPassword, text);
        EXPECT_EQ(again.m_arrTo.back(), text);
    }
}

// The file holds the password: whatever writes it, and whatever modes it and its folder had, only the
// user may read it afterwards.
TEST_F(SettingsTest, WrittenFileAndItsFolderAreTheUsersAlone) {
    const mode_t umaskBefore = umask(022);
    const QString folder = m_dir.filePath(QStringLiteral("Vantorell"));
    const QString path = folder + QStringLiteral("/chimely.conf");
    auto modeOf = [](const QString& name) {
        struct stat info {};
        return stat(QFile::encodeName(name).constData(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };

    // A first write makes both.
    platform::UseProfileFile(path);
    CVar var;
    var.m_strPassword = "secret";
    var.Save();
    EXPECT_EQ(0600u, modeOf(path));
    EXPECT_EQ(0700u, modeOf(folder));

    // A file and folder left open to others are closed by the next write of either kind.
    ASSERT_EQ(0, chmod(QFile::encodeName(path).constData(), 0644));
    ASSERT_EQ(0, chmod(QFile::encodeName(folder).constData(), 0755));
    var.UpdateHistory("bob@example.test");
    EXPECT_EQ(0600u, modeOf(path));
    EXPECT_EQ(0700u, modeOf(folder));
    ASSERT_EQ(0, chmod(QFile::encodeName(path).constData(), 0666));
    EXPECT_TRUE(platform::AppProfile().WriteProfileInt("Settings", "LocalPort", 5070));
    EXPECT_EQ(0600u, modeOf(path));
    EXPECT_EQ("secret", QSettings(path, QSettings::IniFormat).value("Settings/Password").toString().toStdString());

    platform::UseProfileFile(m_path);
    umask(umaskBefore);
}
