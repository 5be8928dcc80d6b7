#pragma once

#include <QString>

#include <memory>

namespace b2d {

// One branch of the settings store (the current user's or the machine's). A key path is
// "SOFTWARE/Veltaron/" + prefix + section; a value is text.
class SettingsBranch {
public:
    virtual ~SettingsBranch() = default;
    // The stored text, or empty when the key or value is missing or unreadable.
    virtual QString read(const QString& keyPath, const QString& valueName) const = 0;
    // Stores the value; on failure returns false and puts the system's reason into error.
    virtual bool write(const QString& keyPath, const QString& valueName, const QString& value,
                       QString& error) = 0;
};

// A branch kept as one INI file, root + "/Veltaron/bild2dicom.ini". The folders and the file
// are created with the process's normal permissions (never world-writable).
class IniSettingsBranch : public SettingsBranch {
public:
    explicit IniSettingsBranch(QString root) : m_root(std::move(root)) {}
    QString fileName() const;
    QString read(const QString& keyPath, const QString& valueName) const override;
    bool write(const QString& keyPath, const QString& valueName, const QString& value,
               QString& error) override;

private:
    QString m_root;
};

// The working folder at start-up (current directory, as stored on disk, ending in a separator)
// and the settings key prefix derived from it. Throws std::runtime_error("Unable to get Current
// path") when there is no current directory.
QString currentWorkFolder();
// Drops the trailing separator, turns blanks and separators into "_", removes colons and
// appends one "/": "/opt/A B/" gives "_opt_A_B/", "C:\Program Files\Conv\" gives
// "C_Program_Files_Conv/".
QString settingsKeyPrefixFor(const QString& workFolder);

// Per-installation settings: read from the user branch, then the machine branch; written to both.
class Settings {
public:
    // Both branches are INI files: the user's under $B2D_USER_SETTINGS_ROOT, else the XDG config
    // home; the machine's under $B2D_MACHINE_SETTINGS_ROOT, else /etc/xdg. On Windows the two
    // registry roots.
    static std::unique_ptr<Settings> createDefault(const QString& workFolder);

    Settings(QString workFolder, std::unique_ptr<SettingsBranch> user, std::unique_ptr<SettingsBranch> machine);

    const QString& WorkFolder() const { return m_workFolder; }
    const QString& SettingsKeyPrefix() const { return m_prefix; }

    // The stored value (untrimmed), or "ERROR" when neither branch holds a non-blank value.
    QString ReadSetting(const QString& section, const QString& valueName) const;
    // Writes to both branches; when only the machine branch fails, its reason is recorded in the
    // user branch under SOFTWARE/Veltaron/ERROR_WRITING_TO_LOCAL_MACHINE, value "ErrorMsg".
    void WriteSetting(const QString& section, const QString& valueName, const QString& value);

    // The reason of the last failed write to a branch; empty when there was none.
    const QString& lastError() const { return m_lastError; }

    static constexpr int MaxValueLength = 511;

private:
    QString keyPath(const QString& section) const;

    QString m_workFolder;
    QString m_prefix;
    std::unique_ptr<SettingsBranch> m_user;
    std::unique_ptr<SettingsBranch> m_machine;
    QString m_lastError;
};

} // namespace b2d
