#pragma once

#include "db/DemoPractice.h"
#include "support/TestSupport.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

namespace b2d::test {

// A demo practice made for one test, with direct SQL access to its database.
class DemoFixture {
public:
    DemoFixture();
    ~DemoFixture();

    QTemporaryDir dir;
    DemoPracticeInfo info;

    // The first column of the first row of sql, or null.
    QVariant scalar(const QString& sql);
    int count(const QString& sql) { return scalar(sql).toInt(); }
    void exec(const QString& sql);
    // Every row of sql, its columns joined with '|' (null as NULL), sorted.
    // Each row as its values joined by "|" (NULL for null), sorted unless keepOrder is set.
    QStringList rows(const QString& sql, bool keepOrder = false);
    // Runs the program with args in the demo folder (logs land there).
    ProcessResult run(const QStringList& args, int timeoutMs = 300000);
    QStringList logLines(const char* name) const; // SUCCEED_LOGG.TXT or FAILED_LOGG.TXT

private:
    QString m_connection;
};

// The .dcm files below root, sorted.
QStringList dicomFiles(const QString& root);

} // namespace b2d::test
