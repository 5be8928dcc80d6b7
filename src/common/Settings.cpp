#include "common/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace b2d {

namespace {

// Settings keys are kept below the maker's name, as on Windows.
const QString makerKey = QStringLiteral("SOFTWARE/Veltaron/");

QString envOr(const char* name, const QString& fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

} // namespace

QString IniSettingsBranch::fileName() const
{
    return m_root + QStringLiteral("/Veltaron/bild2dicom.ini");
}

QString IniSettingsBranch::read(const QString& keyPath, const QString& valueName) const
{
    if (!QFileInfo(fileName()).isFile())
        return {};
    QSettings ini(fileName(), QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return {};
    const QVariant v = ini.value(keyPath + "/" + valueName);
    // A hand-edited value with commas comes back as a list; keep it as the text it was.
    if (v.typeId() == QMetaType::QStringList)
        return v.toStringList().join(QStringLiteral(", "));
    return v.toString();
}

bool IniSettingsBranch::write(const QString& keyPath, const QString& valueName, const QString& value,
                              QString& error)
{
    const QString file = fileName();
    std::error_code ec;
    std::filesystem::create_directories(QFileInfo(file).absolutePath().toStdString(), ec);
    if (ec) {
        error = QString::fromLocal8Bit(ec.message().c_str());
        return false;
    }
    // Open the file once ourselves: QSettings does not tell why it could not write.
    {
        QFile probe(file);
        if (!probe.open(QIODevice::ReadWrite)) {
            error = probe.errorString();
            return false;
        }
    }
    QSettings ini(file, QSettings::IniFormat);
    ini.setValue(keyPath + "/" + valueName, value);
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        error = QStringLiteral("Cannot write %1").arg(file);
        return false;
    }
    return true;
}

#ifdef Q_OS_WIN
namespace {
// A registry root (HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE) through Qt's native settings.
class RegistrySettingsBranch : public SettingsBranch {
public:
    explicit RegistrySettingsBranch(QString root) : m_root(std::move(root)) {}
    QString read(const QString& keyPath, const QString& valueName) const override
    {
        QSettings reg(m_root + "\\" + QString(keyPath).replace('/', '\\'), QSettings::NativeFormat);
        return reg.value(valueName).toString();
    }
    bool write(const QString& keyPath, const QString& valueName, const QString& value, QString& error) override
    {
        QSettings reg(m_root + "\\" + QString(keyPath).replace('/', '\\'), QSettings::NativeFormat);
        reg.setValue(valueName, value);
        reg.sync();
        if (reg.status() != QSettings::NoError) {
            error = QStringLiteral("Access denied: %1\\%2").arg(m_root, keyPath);
            return false;
        }
        return true;
    }

private:
    QString m_root;
};
} // namespace
#endif

QString currentWorkFolder()
{
    const QString path = QDir::current().canonicalPath();
    if (path.isEmpty())
        throw std::runtime_error("Unable to get Current path");
    return path.endsWith('/') ? path : path + '/';
}

QString settingsKeyPrefixFor(const QString& workFolder)
{
    QString prefix = workFolder;
    if (prefix.endsWith('/') || prefix.endsWith('\\'))
        prefix.chop(1);
    prefix.replace(' ', '_');
    prefix.replace('\\', '_');
    prefix.replace('/', '_');
    prefix.remove(':');
    return prefix + '/';
}

std::unique_ptr<Settings> Settings::createDefault(const QString& workFolder)
{
#ifdef Q_OS_WIN
    return std::make_unique<Settings>(workFolder, std::make_unique<RegistrySettingsBranch>("HKEY_CURRENT_USER"),
                                      std::make_unique<RegistrySettingsBranch>("HKEY_LOCAL_MACHINE"));
#else
    const QString userRoot = envOr("B2D_USER_SETTINGS_ROOT",
                                   QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    const QString machineRoot = envOr("B2D_MACHINE_SETTINGS_ROOT", QStringLiteral("/etc/xdg"));
    return std::make_unique<Settings>(workFolder, std::make_unique<IniSettingsBranch>(userRoot),
                                      std::make_unique<IniSettingsBranch>(machineRoot));
#endif
}

Settings::Settings(QString workFolder, std::unique_ptr<SettingsBranch> user, std::unique_ptr<SettingsBranch> machine)
    : m_workFolder(std::move(workFolder))
    , m_prefix(settingsKeyPrefixFor(m_workFolder))
    , m_user(std::move(user))
    , m_machine(std::move(machine))
{
}

QString Settings::keyPath(const QString& section) const
{
    return makerKey + m_prefix + section;
}

QString Settings::ReadSetting(const QString& section, const QString& valueName) const
{
    auto readBranch = [&](const SettingsBranch& branch) {
        QString v = branch.read(keyPath(section), valueName);
        // A value that does not fit the 511-character read buffer reads as missing.
        if (v.size() > MaxValueLength)
            return QString();
        const qsizetype nul = v.indexOf(QChar(0));
        return nul >= 0 ? v.left(nul) : v;
    };
    QString value = readBranch(*m_user);
    if (value.trimmed().isEmpty())
        value = readBranch(*m_machine);
    if (value.trimmed().isEmpty())
        return QStringLiteral("ERROR");
    return value;
}

void Settings::WriteSetting(const QString& section, const QString& valueName, const QString& value)
{
    QString userError;
    const bool userOk = m_user->write(keyPath(section), valueName, value, userError);
    if (!userOk)
        m_lastError = userError;
    QString machineError;
    const bool machineOk = m_machine->write(keyPath(section), valueName, value, machineError);
    if (!machineOk) {
        m_lastError = machineError;
        if (userOk) {
            QString ignored;
            m_user->write(makerKey + QStringLiteral("ERROR_WRITING_TO_LOCAL_MACHINE"), QStringLiteral("ErrorMsg"),
                          machineError, ignored);
        }
    }
}

} // namespace b2d
