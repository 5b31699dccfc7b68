// SPDX-License-Identifier: MIT
// Settings as the record writes and reads them: a text and an integer written to the profile store and
// read back, from the store's memory and then from the INI file's text as the next start reads it. A text
// reads back as the local 8-bit encoding keeps it, an integer as itself.
//
// One INI file serves the whole run: QSettings keeps a cache per file name, so a file per input would
// grow the process for as long as it runs.
#include "Require.h"
#include "platform/ProfileStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

const char* const kSection = "Settings";

QString& storePath() {
    static QString path;
    return path;
}

std::unique_ptr<platform::ProfileStore>& store() {
    static std::unique_ptr<platform::ProfileStore> profile;
    return profile;
}

void removeStore() {
    store().reset();
    QFile::remove(storePath());
}

// Makes QSettings read the file's text again at its next sync: it re-reads a file whose size or
// modification time differs from what it last wrote or read, and each input gets a time of its own.
void forgetWhatWasWritten() {
    static qint64 seconds = 0;
    QFile file(storePath());
    FUZZ_REQUIRE(file.open(QIODevice::ReadWrite));
    FUZZ_REQUIRE(file.setFileTime(QDateTime::fromSecsSinceEpoch(1'000'000'000 + ++seconds),
                                  QFileDevice::FileModificationTime));
    file.close();
    QSettings(storePath(), QSettings::IniFormat).sync();
}

std::string asLocal8Bit(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), qsizetype(bytes.size())).toLocal8Bit().toStdString();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    storePath() = QDir::temp().filePath(QStringLiteral("chimely-fuzz-settings-%1.ini").arg(getpid()));
    QFile::remove(storePath());
    store() = std::make_unique<platform::ProfileStore>(
        std::make_unique<QSettings>(storePath(), QSettings::IniFormat));
    std::atexit(removeStore);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const int number = input.ConsumeIntegral<int>();
    const std::string text = input.ConsumeRemainingBytesAsString();
    const std::string expected = asLocal8Bit(text);
    platform::ProfileStore& profile = *store();

    FUZZ_REQUIRE(profile.WriteProfileString(kSection, "DisplayName", text));
    FUZZ_REQUIRE(profile.WriteProfileInt(kSection, "LocalPort", number));
    FUZZ_REQUIRE(profile.GetProfileString(kSection, "DisplayName", "absent") == expected);
    FUZZ_REQUIRE(profile.GetProfileInt(kSection, "LocalPort", ~number) == number);

    forgetWhatWasWritten();
    FUZZ_REQUIRE(profile.GetProfileString(kSection, "DisplayName", "absent") == expected);
    FUZZ_REQUIRE(profile.GetProfileInt(kSection, "LocalPort", ~number) == number);
    // A text that is a decimal integer reads as one.
    const std::string digits = std::to_string(number);
    FUZZ_REQUIRE(profile.WriteProfileString(kSection, "Server", digits));
    forgetWhatWasWritten();
    FUZZ_REQUIRE(profile.GetProfileInt(kSection, "Server", ~number) == number);
    return 0;
}
