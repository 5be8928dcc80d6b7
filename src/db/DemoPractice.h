#pragma once

#include <QString>

#include <stdexcept>
#include <utility>

namespace b2d {

// The demo practice could not be made; the text says why, in the user's language.
class DemoPracticeError : public std::runtime_error {
public:
    explicit DemoPracticeError(const QString& text) : std::runtime_error(text.toStdString()), m_text(text) {}
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

struct DemoPracticeInfo {
    QString folder;           // absolute
    QString databaseFile;     // folder + "/praktik.db"
    QString dataLinkFile;     // folder + "/praktik.udl", UTF-16 with BOM
    QString connectionString; // "Provider=SQLite;Data Source=" + databaseFile
    QString dicomDirFolder;   // the DICOM-directory store, folder + "/DicomDir/"
    int patients = 0;
    int pictures = 0;
};

// Makes a demo practice in dir: a SQLite practice database with patients, registrations,
// pictures in every format the program reads (one of them over 40 MB of pixels), picture
// series with DICOM settings, a DICOM-directory store inside dir and a DICOM-server store on
// 127.0.0.1:11112, and a data-link file that points at the database. The content is the same
// on every run. dir may be missing or empty; otherwise DemoPracticeError, and nothing changes,
// unless force: then the demo's own files in dir are replaced and anything else is left alone.
// Everything is made beside dir first and moved in at the end, so a failure leaves dir as it was.
DemoPracticeInfo createDemoPractice(const QString& dir, bool force);

// The login the demo practice stores (enciphered) in VELTARONUSER.
inline std::pair<QString, QString> demoLogin() { return {QStringLiteral("praktikdemo"), QStringLiteral("bildarkiv")}; }

// The practice schema for SQLite and for SQL Server, as SQL scripts.
QString practiceSchemaSqlite();
QString practiceSchemaSqlServer();

} // namespace b2d
