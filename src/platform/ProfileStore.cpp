// SPDX-License-Identifier: MIT
// QSettings behind the profile operations. Texts are the program's single-byte strings, taken and
// given in the local 8-bit encoding; integers are written as integers.
#include "platform/ProfileStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

QString key(const char* section, const char* entry) {
    return QString::fromLatin1(section) + QLatin1Char('/') + QString::fromLatin1(entry);
}

// Never destroyed, like the shell (QtShell::Instance): a QSettings must not go in a static destructor.
// ReleaseAppProfile lets it go before the application object does.
std::unique_ptr<ProfileStore>& current() {
    static auto* const store = new std::unique_ptr<ProfileStore>;
    return *store;
}

QString executableBaseName() {
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? QStringLiteral("chimely") : QFileInfo(path).baseName();
}

// The file holds the password in plain text: only its owner may read it, or list its folder. QSettings
// writes a new copy and renames it over the old one; the copy takes the old file's permissions, so a file
// made private before the first write stays private. Made so on every write, for a file an older
// version, or the user, left open to others.
void makePrivate(const QString& fileName) {
    const QFileInfo info(fileName);
    if (fileName.isEmpty() || !info.isAbsolute())
        return;
    const QByteArray folder = QFile::encodeName(info.absolutePath());
    const QByteArray file = QFile::encodeName(info.absoluteFilePath());
    QDir().mkpath(info.absolutePath());
    chmod(folder.constData(), S_IRWXU);
    const int fd = open(file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        fchmod(fd, S_IRUSR | S_IWUSR);
        close(fd);
    }
}

}  // namespace

ProfileStore::ProfileStore(std::unique_ptr<QSettings> settings) : m_settings(std::move(settings)) {
    m_settings->setFallbacksEnabled(false);
}

ProfileStore::~ProfileStore() = default;

int ProfileStore::GetProfileInt(const char* section, const char* entry, int defaultValue) const {
    const QVariant value = m_settings->value(key(section, entry));
    if (!value.isValid())
        return defaultValue;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok, 10);
    return ok ? number : defaultValue;
}

std::string ProfileStore::GetProfileString(const char* section, const char* entry,
                                           const std::string& defaultValue) const {
    const QVariant value = m_settings->value(key(section, entry));
    if (!value.isValid())
        return defaultValue;
    return value.toString().toLocal8Bit().toStdString();
}

bool ProfileStore::WriteProfileInt(const char* section, const char* entry, int value) {
    m_settings->setValue(key(section, entry), value);
    makePrivate(m_settings->fileName());
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

bool ProfileStore::WriteProfileString(const char* section, const char* entry, const std::string& value) {
    m_settings->setValue(key(section, entry), QString::fromLocal8Bit(value.data(), qsizetype(value.size())));
    makePrivate(m_settings->fileName());
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

QString ProfileStore::fileName() const {
    return m_settings->fileName();
}

ProfileStore& AppProfile() {
    auto& store = current();
    if (!store)
        SetRegistryKey(QStringLiteral("Vantorell"));
    return *store;
}

void SetRegistryKey(const QString& company) {
    current() = std::make_unique<ProfileStore>(std::make_unique<QSettings>(
        QSettings::NativeFormat, QSettings::UserScope, company, executableBaseName()));
}

std::string AppDataFile(const char* file) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                           QStringLiteral("/Vantorell/") + executableBaseName();
    return (folder + QLatin1Char('/') + QString::fromLatin1(file)).toStdString();
}

void ReleaseAppProfile() {
    current().reset();
}

void UseProfileFile(const QString& path) {
    current() = std::make_unique<ProfileStore>(std::make_unique<QSettings>(path, QSettings::IniFormat));
}

}  // namespace platform
