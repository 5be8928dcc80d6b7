#pragma once

#include "db/DemoPractice.h"
#include "support/TestSupport.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <map>

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

// The tables a run writes to, each as sorted rows.
struct DatabaseState {
    QStringList patbilder, dicombilder, patanalyser, kunder, besbilder;
    bool operator==(const DatabaseState&) const = default;
};
DatabaseState databaseState(DemoFixture& demo);

// Every file under a store's root, relative to it.
QStringList storeFiles(const QString& root);
// Why a stored object is not whole, or empty when it loads and carries all its pixels.
QString objectProblem(const QString& path);
// The stored objects by picture ("patient.number"): their names are the UID root, patient,
// category, number.
std::map<QString, QString> objectsByPicture(const QString& root);

// What a fresh demo practice holds for the pictures a run with --erase over the whole range
// selects, to tell afterwards whether each picture is untouched or fully converted.
class PictureLedger {
public:
    explicit PictureLedger(DemoFixture& demo);

    const DatabaseState& original() const { return m_original; }
    // Expects every picture to be either untouched (row and references as they were; its object
    // absent or whole) or fully converted (object whole, references moved, row gone), and every
    // object under storeRoot to be whole. Returns the pictures found converted.
    int expectWholePictures(DemoFixture& demo, const QString& storeRoot) const;

private:
    DatabaseState m_original;
    QStringList m_selected;               // "patient|number"
    std::map<QString, int> m_analyses;    // "patient.number" -> analyses of the picture
    std::map<QString, QString> m_status;  // patient -> PATSTATUS
};

} // namespace b2d::test
