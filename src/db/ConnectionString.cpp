#include "db/ConnectionString.h"

#include "db/DatabaseError.h"

namespace b2d {

namespace {

QString& configuredDriver()
{
    static QString name;
    return name;
}

QString field(const QList<QPair<QString, QString>>& fields, const QString& key)
{
    for (const auto& [k, v] : fields) {
        if (k.compare(key, Qt::CaseInsensitive) == 0)
            return v;
    }
    return {};
}

// An ODBC value that holds a separator, a brace or outer blanks must be braced.
QString odbcValue(const QString& value)
{
    if (value.startsWith(u'{') && value.endsWith(u'}'))
        return value;
    if (!value.contains(u';') && !value.contains(u'{') && !value.contains(u'}') &&
        value.trimmed() == value)
        return value;
    QString v = value;
    v.replace(QStringLiteral("}"), QStringLiteral("}}"));
    return u'{' + v + u'}';
}

void add(QString& odbc, const QString& key, const QString& value)
{
    if (!odbc.isEmpty() && !odbc.endsWith(u';'))
        odbc += u';';
    odbc += key + u'=' + odbcValue(value);
}

bool integratedSecurity(const QList<QPair<QString, QString>>& fields)
{
    const QString v = field(fields, QStringLiteral("Integrated Security")).trimmed();
    return v.compare(QStringLiteral("SSPI"), Qt::CaseInsensitive) == 0 ||
           v.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0 ||
           v.compare(QStringLiteral("Yes"), Qt::CaseInsensitive) == 0;
}

QString sqlServerOdbc(const QList<QPair<QString, QString>>& fields)
{
    const QString driver = sqlServerOdbcDriver();
    QString odbc = QStringLiteral("DRIVER={") + driver + u'}';
    QString server = field(fields, QStringLiteral("Data Source")).trimmed();
    // "host,port" is SQL Server's way of naming a port; FreeTDS wants it as its own key.
    QString port;
    const bool freeTds = driver.contains(QStringLiteral("FreeTDS"), Qt::CaseInsensitive);
    if (freeTds && server.contains(u',')) {
        port = server.section(u',', 1).trimmed();
        server = server.section(u',', 0, 0).trimmed();
    }
    add(odbc, QStringLiteral("SERVER"), server);
    if (!port.isEmpty())
        add(odbc, QStringLiteral("PORT"), port);
    const QString catalog = field(fields, QStringLiteral("Initial Catalog"));
    if (!catalog.isEmpty())
        add(odbc, QStringLiteral("DATABASE"), catalog);
    if (integratedSecurity(fields)) {
        add(odbc, QStringLiteral("Trusted_Connection"), QStringLiteral("Yes"));
    } else {
        add(odbc, QStringLiteral("UID"), field(fields, QStringLiteral("User ID")));
        add(odbc, QStringLiteral("PWD"), field(fields, QStringLiteral("Password")));
    }
    return odbc;
}

QString odbcDataSource(const QList<QPair<QString, QString>>& fields)
{
    QString odbc = field(fields, QStringLiteral("Extended Properties"));
    const bool extended = !odbc.isEmpty();
    for (const auto& [key, value] : fields) {
        const QString k = key.trimmed();
        auto is = [&](const char* name) { return k.compare(QLatin1String(name), Qt::CaseInsensitive) == 0; };
        if (is("Provider") || is("Persist Security Info") || is("Extended Properties"))
            continue;
        if (is("Data Source")) {
            if (!extended)
                add(odbc, QStringLiteral("DSN"), value);
        } else if (is("User ID")) {
            add(odbc, QStringLiteral("UID"), value);
        } else if (is("Password")) {
            add(odbc, QStringLiteral("PWD"), value);
        } else if (is("Initial Catalog")) {
            add(odbc, QStringLiteral("DATABASE"), value);
        } else if (is("Integrated Security")) {
            if (integratedSecurity(fields))
                add(odbc, QStringLiteral("Trusted_Connection"), QStringLiteral("Yes"));
        } else if (!extended) {
            // Anything else (DRIVER, DATABASE, ...) is already an ODBC key.
            add(odbc, k, value);
        }
    }
    return odbc;
}

} // namespace

QList<QPair<QString, QString>> parseConnectionString(const QString& text)
{
    QList<QPair<QString, QString>> fields;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        const qsizetype eq = text.indexOf(u'=', i);
        const qsizetype semi = text.indexOf(u';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            // A field without "=" carries nothing.
            if (semi < 0)
                break;
            i = semi + 1;
            continue;
        }
        const QString key = text.mid(i, eq - i).trimmed();
        qsizetype j = eq + 1;
        while (j < n && text.at(j) == u' ')
            ++j;
        QString value;
        if (j < n && (text.at(j) == u'"' || text.at(j) == u'\'' || text.at(j) == u'{')) {
            const QChar close = text.at(j) == u'{' ? QChar(u'}') : text.at(j);
            qsizetype k = j + 1;
            while (k < n) {
                if (text.at(k) == close) {
                    if (k + 1 < n && text.at(k + 1) == close) {
                        value += close;
                        k += 2;
                        continue;
                    }
                    break;
                }
                value += text.at(k++);
            }
            // A brace is part of an ODBC value ("DRIVER={SQLite3}") and stays.
            if (close == u'}')
                value = u'{' + value + u'}';
            const qsizetype after = text.indexOf(u';', k);
            i = after < 0 ? n : after + 1;
        } else {
            const qsizetype end = semi < 0 ? n : semi;
            value = text.mid(j, end - j).trimmed();
            i = end + 1;
        }
        if (!key.isEmpty())
            fields.append({key, value});
    }
    return fields;
}

DriverConnection translateConnectionString(const QString& connectionString)
{
    const auto fields = parseConnectionString(connectionString);
    const QString provider = field(fields, QStringLiteral("Provider")).trimmed();
    if (provider.isEmpty())
        throw DatabaseError(QStringLiteral("The connection string names no provider"));
    // "SQLOLEDB.1", "MSDASQL.1": the version after the dot does not matter here.
    const QString name = provider.section(u'.', 0, 0).toUpper();

    if (name == QLatin1String("SQLITE")) {
        const QString file = field(fields, QStringLiteral("Data Source"));
        if (file.isEmpty())
            throw DatabaseError(QStringLiteral("The connection string names no database file (Data Source)"));
        return {QStringLiteral("QSQLITE"), file};
    }
    if (name == QLatin1String("SQLOLEDB") || name.startsWith(QLatin1String("SQLNCLI")) ||
        name.startsWith(QLatin1String("MSOLEDBSQL")))
        return {QStringLiteral("QODBC"), sqlServerOdbc(fields)};
    if (name == QLatin1String("MSDASQL")) {
        const QString odbc = odbcDataSource(fields);
        if (odbc.isEmpty())
            throw DatabaseError(QStringLiteral("The connection string names no ODBC data source"));
        return {QStringLiteral("QODBC"), odbc};
    }
    throw DatabaseError(QStringLiteral("Unknown database provider \"%1\"").arg(provider));
}

QString sqlServerOdbcDriver()
{
    if (!configuredDriver().isEmpty())
        return configuredDriver();
    const QString fromEnv = qEnvironmentVariable("B2D_SQLSERVER_ODBC_DRIVER");
    if (!fromEnv.isEmpty())
        return fromEnv;
#ifdef Q_OS_WIN
    return QStringLiteral("SQL Server");
#else
    return QStringLiteral("FreeTDS");
#endif
}

void setSqlServerOdbcDriver(const QString& driverName)
{
    configuredDriver() = driverName;
}

} // namespace b2d
