#pragma once

#include <QString>
#include <QTemporaryDir>

namespace b2d::test {

// Runs an SQL script on a SQLite file (created when missing) with SQLite's own API, apart
// from the layer under test. Throws std::runtime_error with SQLite's message.
void sqliteScript(const QString& file, const QString& script);

// One value of a single-row, single-column statement, read with SQLite's own API.
QString sqliteValue(const QString& file, const QString& sql);

// The two ways the layer reaches a SQLite file: the embedded driver, and ODBC through the
// SQLite ODBC driver with a DSN-less connection string.
enum class Backend { Embedded, Odbc };
QString connectionStringFor(Backend backend, const QString& file);
const char* backendName(Backend backend);

} // namespace b2d::test
