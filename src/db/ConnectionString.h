#pragma once

#include <QString>
#include <QList>
#include <QPair>

namespace b2d {

// The practice database is described by an OLE DB connection string (from a data-link file).
// It is kept as text everywhere and translated to a Qt SQL driver only when a connection opens.
struct DriverConnection {
    QString qtDriver;     // "QSQLITE" or "QODBC"
    QString databaseName; // the database file for QSQLITE, an ODBC connection string for QODBC
};

// Fields of a connection string in order, keys as written; values unquoted. Semicolons inside
// "..." , '...' or {...} do not separate fields.
QList<QPair<QString, QString>> parseConnectionString(const QString& connectionString);

// Provider=SQLite;Data Source=FILE opens the embedded database. SQLOLEDB, SQLNCLI* and
// MSOLEDBSQL* (any version suffix) become an ODBC connection to SQL Server through the driver
// sqlServerOdbcDriver(); MSDASQL an ODBC data source (its Extended Properties, else a DSN from
// Data Source). Throws DatabaseError for a missing or unknown provider.
DriverConnection translateConnectionString(const QString& connectionString);

// The ODBC driver used for SQL Server: set here, else the environment variable
// B2D_SQLSERVER_ODBC_DRIVER, else "FreeTDS" (Linux) or "SQL Server" (Windows).
QString sqlServerOdbcDriver();
void setSqlServerOdbcDriver(const QString& driverName);

} // namespace b2d
