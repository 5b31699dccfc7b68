// SPDX-License-Identifier: MIT
// The per-user profile store: the four read and write operations the settings record is written against,
// kept in QSettings (the registry on Windows, an INI file on Linux). User-interface thread only.
#pragma once

#include <QString>

#include <memory>
#include <string>

class QSettings;

namespace platform {

class ProfileStore {
public:
    explicit ProfileStore(std::unique_ptr<QSettings> settings);
    ~ProfileStore();

    // A value that is missing, or that is not a decimal integer, reads as the default.
    int GetProfileInt(const char* section, const char* entry, int defaultValue) const;
    std::string GetProfileString(const char* section, const char* entry,
                                 const std::string& defaultValue) const;
    // Both return whether the value reached the store.
    bool WriteProfileInt(const char* section, const char* entry, int value);
    bool WriteProfileString(const char* section, const char* entry, const std::string& value);

    QString fileName() const;

private:
    std::unique_ptr<QSettings> m_settings;
};

// The store every profile read and write of the program goes to.
ProfileStore& AppProfile();

// Points the program's store at the current user's store for this maker: organisation `company`,
// application name the base name of the executable, no fall-back to organisation-wide values.
void SetRegistryKey(const QString& company);

// Lets the store go (every write has reached it already); the next use makes it again. The program calls
// it before its application object goes.
void ReleaseAppProfile();

// A file of the program's own in the user's data folder, as the settings are named: organisation
// "Vantorell", application the executable's base name ($XDG_DATA_HOME/Vantorell/chimely/<file>, by default
// under ~/.local/share).
std::string AppDataFile(const char* file);

// Points the program's store at an INI file (tests).
void UseProfileFile(const QString& path);

}  // namespace platform
