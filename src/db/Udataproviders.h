#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

namespace b2d {

class Messages;
class Settings;
class StoredLoginCipher;

// The database login in effect.
struct TDBConnection {
    QString Databasename;
    QString ServerName;
    QString Username;
    QString Password;
    QString SQLProcessID;
};

// Lets the user pick a data-provider file; the window shows its chooser, the command line has
// none. Returns a file name without folder.
class DataProviderChooser {
public:
    virtual ~DataProviderChooser() = default;
    virtual QString ChooseDataProvider(const QString& valueName) = 0;
};

// Reads the stored login (first row of VELTARONUSER, columns VTUSERNAME and VTPASSWORD, still
// enciphered) over a temporary connection made from the connection string. Throws on any failure.
using StoredLoginReader = std::function<std::pair<QString, QString>(const QString& connectionString)>;

// The data-provider state of the program: which data-link file, which connection string, which login.
struct DataProviderState {
    QString DataLinksFolder;
    QString DataProviderFile;
    QString CurrentConnectionString;
    TDBConnection login;
};

// The common data-links folder: $B2D_COMMON_FILES, else the user's data folder (on Windows the
// common program-files folder), followed by "System/Ole DB/Data Links/".
QString defaultDataLinksFolder();

// The value of key in section of an INI file (UTF-16 of either byte order with BOM, UTF-8 with
// BOM, or 8-bit), at most 255 characters; empty when the file, section or key is missing.
QString ReadIniValue(const QString& file, const QString& section, const QString& key);

QString GetConnectionStringField(const QString& text, const QString& key, const QString& separator);
void SetConnectionStringField(QString& text, const QString& key, const QString& separator, const QString& value);

// Files matching pattern (wildcards) in folder and its subfolders, as the data-link search has
// always found them: a folder whose first file entry precedes its subfolders is not searched deeper
// once it gave matches. Failures are shown and what was found so far is returned.
QStringList FindFiles(const QString& folder, const QString& pattern, Messages& messages);

// Finds the default data-provider file at start-up and reads its connection string. Returns
// whether a file was found.
bool LoadStartupDataProvider(DataProviderState& state, const Settings& settings, const QString& dataLinksFolder);

// The built-in login used when the stored one cannot be read (B2D_FALLBACK_USER/PASSWORD).
std::pair<QString, QString> fallbackLogin();

struct LoginServices {
    Settings& settings;
    Messages& messages;
    DataProviderChooser* chooser; // may be null: no chooser (command line)
    const StoredLoginCipher& cipher;
    StoredLoginReader readStoredLogin;
};

// Completes CurrentConnectionString with a database login. Returns false after showing a message.
bool PrepareDatabaseLogin(DataProviderState& state, LoginServices& services, const QString& userName,
                          const QString& password);

} // namespace b2d
