#include "DbTestSupport.h"

#include <QFileInfo>

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace b2d::test {

namespace {

struct Db {
    sqlite3* db = nullptr;
    explicit Db(const QString& file)
    {
        if (sqlite3_open_v2(file.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK)
            throw std::runtime_error("cannot open " + file.toStdString());
    }
    ~Db() { sqlite3_close(db); }
};

} // namespace

void sqliteScript(const QString& file, const QString& script)
{
    Db d(file);
    char* error = nullptr;
    if (sqlite3_exec(d.db, script.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

QString sqliteValue(const QString& file, const QString& sql)
{
    Db d(file);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(d.db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(d.db));
    QString result;
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL)
        result = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    return result;
}

QString connectionStringFor(Backend backend, const QString& file)
{
    if (backend == Backend::Embedded)
        return QStringLiteral("Provider=SQLite;Data Source=") + file;
    // The driver by its file, so that no registration in odbcinst.ini is needed.
    QString driver = QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so");
    if (!QFileInfo::exists(driver))
        driver = QStringLiteral("SQLite3");
    return QStringLiteral("Provider=MSDASQL.1;Persist Security Info=False;Extended Properties=\"DRIVER=") + driver +
           QStringLiteral(";Database=") + file + QStringLiteral("\"");
}

const char* backendName(Backend backend)
{
    return backend == Backend::Embedded ? "Embedded" : "Odbc";
}

} // namespace b2d::test
