#include "db/Udataproviders.h"

#include "common/Messages.h"
#include "common/Settings.h"
#include "db/StoredLoginCipher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

namespace b2d {

namespace {

bool fileExists(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

QString decodeIniBytes(const QByteArray& bytes)
{
    if (bytes.startsWith("\xFF\xFE"))
        return QStringDecoder(QStringDecoder::Utf16LE).decode(bytes.mid(2));
    if (bytes.startsWith("\xFE\xFF"))
        return QStringDecoder(QStringDecoder::Utf16BE).decode(bytes.mid(2));
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes.mid(3));
    return QString::fromLatin1(bytes); // 8-bit files are in the Windows code page
}

bool asksForIntegratedSecurity(const QString& connectionString)
{
    return connectionString.toUpper().contains(QLatin1String("INTEGRATED SECURITY=SSPI"));
}

} // namespace

QString defaultDataLinksFolder()
{
    QString common = qEnvironmentVariable("B2D_COMMON_FILES");
    if (common.isEmpty())
        common = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!common.endsWith('/'))
        common += '/';
    return common + QStringLiteral("System/Ole DB/Data Links/");
}

QString ReadIniValue(const QString& file, const QString& section, const QString& key)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QString text = decodeIniBytes(f.read(1 << 20));
    bool inSection = false;
    for (QString line : text.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('[')) {
            const qsizetype close = line.indexOf(']');
            inSection = close > 0 && line.mid(1, close - 1).trimmed().compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inSection || line.startsWith(';'))
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0 || line.left(eq).trimmed().compare(key, Qt::CaseInsensitive) != 0)
            continue;
        QString value = line.mid(eq + 1).trimmed();
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value.left(255);
    }
    return {};
}

QString GetConnectionStringField(const QString& text, const QString& key, const QString& separator)
{
    const qsizetype at = text.indexOf(key);
    if (at < 0)
        return {};
    const qsizetype start = at + key.size();
    const qsizetype end = text.indexOf(separator, start);
    return end < 0 ? text.mid(start) : text.mid(start, end - start);
}

void SetConnectionStringField(QString& text, const QString& key, const QString& separator, const QString& value)
{
    const qsizetype at = text.indexOf(key);
    if (at < 0) {
        if (!value.isEmpty())
            text += ";" + key + value;
        return;
    }
    const qsizetype end = text.indexOf(separator, at + key.size());
    text = text.left(at) + key + value + (end < 0 ? QString() : text.mid(end));
}

namespace {

bool findFilesIn(const QString& folder, const QString& pattern, QStringList& found)
{
    QDir dir(folder);
    const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
                                                    | QDir::System, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        if (entry.isDir()) {
            findFilesIn(entry.filePath(), pattern, found);
            continue;
        }
        const QStringList matches = dir.entryList({pattern}, QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
        for (const QString& name : matches)
            found << dir.filePath(name);
        if (!matches.isEmpty())
            return true;
    }
    return false;
}

} // namespace

QStringList FindFiles(const QString& folder, const QString& pattern, Messages& messages)
{
    QStringList found;
    try {
        findFilesIn(folder, pattern, found);
    } catch (const std::exception& e) {
        messages.ShowErrorMessage(QStringLiteral("Det gick inte att skanna efter filer!\r\r") + QString::fromUtf8(e.what()));
    }
    return found;
}

bool LoadStartupDataProvider(DataProviderState& state, const Settings& settings, const QString& dataLinksFolder)
{
    state.DataLinksFolder = dataLinksFolder;
    state.CurrentConnectionString.clear();
    const QString setting = settings.ReadSetting(QStringLiteral("DataProvider"), QStringLiteral("DefaultDataProvider"));
    state.DataProviderFile = setting;
    if (!fileExists(state.DataProviderFile))
        state.DataProviderFile = state.DataLinksFolder + setting;
    if (!fileExists(state.DataProviderFile))
        return false;
    state.CurrentConnectionString = "Provider=" + ReadIniValue(state.DataProviderFile, "oledb", "Provider");
    return true;
}

std::pair<QString, QString> fallbackLogin()
{
    return {QStringLiteral(B2D_FALLBACK_USER), QStringLiteral(B2D_FALLBACK_PASSWORD)};
}

bool PrepareDatabaseLogin(DataProviderState& state, LoginServices& services, const QString& userName,
                          const QString& password)
{
    try {
        QString& cs = state.CurrentConnectionString;
        if (!cs.toUpper().contains(QLatin1String("PROVIDER="))) {
            if (!fileExists(state.DataProviderFile) && fileExists(state.DataLinksFolder + state.DataProviderFile))
                state.DataProviderFile = state.DataLinksFolder + state.DataProviderFile;
            if (!fileExists(state.DataProviderFile)) {
                const QStringList found = FindFiles(state.DataLinksFolder, QStringLiteral("*.udl"), services.messages);
                if (found.size() == 1) {
                    state.DataProviderFile = found.front();
                    services.settings.WriteSetting("DataProvider", "DefaultDataProvider", state.DataProviderFile);
                }
            }
            if (!fileExists(state.DataProviderFile)) {
                services.messages.ShowMessageText(
                    QStringLiteral("Kunde inte hitta den angivna DataProvider-filen \"%1\"!\r"
                                   "Kontrollera att filen finns i den aktuella katalogen och försök igen!\r\r"
                                   "Välj databasanslutning i nästa dialog")
                        .arg(state.DataProviderFile));
                if (!services.chooser)
                    throw std::runtime_error(
                        QStringLiteral("Ingen DataProvider-fil: %1").arg(state.DataProviderFile).toStdString());
                state.DataProviderFile =
                    state.DataLinksFolder + services.chooser->ChooseDataProvider(QStringLiteral("DefaultDataProvider"));
            }
            cs = "Provider=" + ReadIniValue(state.DataProviderFile, "oledb", "Provider");
        }

        TDBConnection& login = state.login;
        login.Databasename = GetConnectionStringField(cs, "Initial Catalog=", ";");
        login.ServerName = GetConnectionStringField(cs, "Data Source=", ";");
        login.Username = GetConnectionStringField(cs, "User ID=", ";");
        login.Password = GetConnectionStringField(cs, "Password=", ";");

        const bool integrated = asksForIntegratedSecurity(cs);
        if ((login.Username.trimmed().isEmpty() || login.Password.trimmed().isEmpty()) && !integrated) {
            try {
                const QString provider = "Provider=" + GetConnectionStringField(cs, "Provider=", ";");
                const QString target = ";Initial Catalog=" + login.Databasename + ";Data Source=" + login.ServerName;
                std::pair<QString, QString> stored;
                try {
                    stored = services.readStoredLogin(provider + ";Integrated Security=SSPI;Persist Security Info=False"
                                                      + target);
                } catch (const std::exception&) {
                    stored = services.readStoredLogin(provider + ";Password=" + password
                                                      + ";Persist Security Info=True;User ID=" + userName + target);
                }
                login.Username = services.cipher.decipher(stored.first);
                login.Password = services.cipher.decipher(stored.second);
            } catch (const std::exception&) {
                std::tie(login.Username, login.Password) = fallbackLogin();
            }
        }

        if (!integrated) {
            SetConnectionStringField(cs, "Persist Security Info=", ";", "True");
            SetConnectionStringField(cs, "Initial Catalog=", ";", login.Databasename);
            SetConnectionStringField(cs, "Data Source=", ";", login.ServerName);
            SetConnectionStringField(cs, "User ID=", ";", login.Username);
            SetConnectionStringField(cs, "Password=", ";", login.Password);
        }
        return true;
    } catch (const std::exception& e) {
        services.messages.ShowErrorMessage(
            QStringLiteral("Det gick inte att hämta användarnamn och lösenord till databasen!\r\r") + QString::fromUtf8(e.what()));
        return false;
    }
}

} // namespace b2d
