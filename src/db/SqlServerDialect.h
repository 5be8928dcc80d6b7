#pragma once

#include <QString>

struct sqlite3;

namespace b2d {

// The practice database speaks SQL Server's dialect, and every SQL text of this program is
// written for it. On SQLite three shims make those texts run unchanged; nothing else is
// rewritten.

// SQL Server's LIKE: % any text, _ any one character, [set], [a-z], [^set]; letter case is
// ignored (the practice database's default collation is case-insensitive). escape, when not
// null, makes the next pattern character literal.
bool sqlServerLike(const QString& text, const QString& pattern, QChar escape = QChar());

// SQL Server compares text case-insensitively and ignores trailing blanks; <0, 0, >0.
int sqlServerCompare(QStringView a, QStringView b);

// "(SELECT ... UNION SELECT ...) ORDER BY ..." is valid on SQL Server but not on SQLite: such a
// statement loses its outer parentheses. Any other text is returned as it is.
QString unwrapParenthesisedCompound(const QString& sql);

// Registers the collation DATABASE_DEFAULT and SQL Server's LIKE (two and three arguments) on
// one SQLite connection. Returns an SQLite result code.
int registerSqlServerShims(sqlite3* db);

// Makes every SQLite connection this process opens from now on get the shims, including those
// opened inside the SQLite ODBC driver. Safe to call more than once.
void registerSqlServerShimsForNewConnections();

} // namespace b2d
