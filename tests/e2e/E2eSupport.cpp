#include "E2eSupport.h"

#include "dicom/uDicom.h"

#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlRecord>
#include <QUuid>

#include <functional>
#include <set>
#include <stdexcept>

namespace b2d::test {

DemoFixture::DemoFixture()
    : info(createDemoPractice(dir.filePath("demo"), false))
    , m_connection(QUuid::createUuid().toString())
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", m_connection);
    db.setDatabaseName(info.databaseFile);
    if (!db.open())
        throw std::runtime_error("cannot open the demo database");
}

DemoFixture::~DemoFixture()
{
    QSqlDatabase::database(m_connection).close();
    QSqlDatabase::removeDatabase(m_connection);
}

QVariant DemoFixture::scalar(const QString& sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(sql))
        throw std::runtime_error((sql + ": " + q.lastError().text()).toStdString());
    return q.next() ? q.value(0) : QVariant();
}

void DemoFixture::exec(const QString& sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(sql))
        throw std::runtime_error((sql + ": " + q.lastError().text()).toStdString());
}

QStringList DemoFixture::rows(const QString& sql, bool keepOrder)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(sql))
        throw std::runtime_error((sql + ": " + q.lastError().text()).toStdString());
    QStringList out;
    while (q.next()) {
        QStringList values;
        for (int i = 0; i < q.record().count(); ++i)
            values << (q.value(i).isNull() ? QStringLiteral("NULL") : q.value(i).toString());
        out << values.join('|');
    }
    if (!keepOrder)
        out.sort();
    return out;
}

ProcessResult DemoFixture::run(const QStringList& args, int timeoutMs)
{
    return runProcess(B2D_BINARY, args, timeoutMs, info.folder);
}

QStringList DemoFixture::logLines(const char* name) const
{
    const QString text = QString::fromLatin1(readAll(info.folder + "/" + name));
    QStringList lines = text.split("\r\n");
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList dicomFiles(const QString& root)
{
    QStringList files;
    QDirIterator it(root, {"*.dcm"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

DatabaseState databaseState(DemoFixture& demo)
{
    return {demo.rows("SELECT PATIENTNR, LOPNR FROM PATBILDER"),
            demo.rows("SELECT PATIENTNR, LOPNR, SOPINSTANCEUID FROM DICOMBILDER"),
            demo.rows("SELECT PATIENTNR, LOPNR, BILDNR FROM PATANALYSER"),
            demo.rows("SELECT PATIENTNR, PATSTATUS FROM KUNDER"),
            demo.rows("SELECT PATIENTNR, LOPNR, BILD1, BILD2, BILD3 FROM BESBILDER")};
}

QStringList storeFiles(const QString& root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

QString objectProblem(const QString& path)
{
    DcmFileFormat file;
    const OFCondition loaded = file.loadFile(QFile::encodeName(path).constData());
    if (loaded.bad())
        return QStringLiteral("does not load: ") + loaded.text();
    DcmDataset* ds = file.getDataset();
    Uint16 rowsValue = 0, columns = 0, samples = 0;
    const Uint8* pixels = nullptr;
    unsigned long length = 0;
    if (ds->findAndGetUint16(DCM_Rows, rowsValue).bad() || ds->findAndGetUint16(DCM_Columns, columns).bad()
        || ds->findAndGetUint16(DCM_SamplesPerPixel, samples).bad()
        || ds->findAndGetUint8Array(DCM_PixelData, pixels, &length).bad())
        return QStringLiteral("lacks its image module");
    const unsigned long expected = (unsigned long)rowsValue * columns * samples;
    if (length < expected)
        return QStringLiteral("has %1 of %2 pixel bytes").arg(length).arg(expected);
    return {};
}

std::map<QString, QString> objectsByPicture(const QString& root)
{
    std::map<QString, QString> objects;
    const QString prefix = UidRoot();
    for (const QString& file : storeFiles(root)) {
        const QString name = QFileInfo(file).fileName();
        if (!name.startsWith(prefix) || !name.endsWith(".dcm"))
            continue;
        const QStringList parts = name.mid(prefix.size()).chopped(4).split('.');
        if (parts.size() == 3)
            objects[parts[0] + "." + parts[2]] = root + "/" + file;
    }
    return objects;
}

namespace {

// How many finding-picture fields (BILD1 to BILD3) of a patient's BESBILDER rows match.
int findingsOf(const QStringList& besbilder, const QString& patient, const std::function<bool(const QString&)>& match)
{
    int n = 0;
    for (const QString& row : besbilder) {
        const QStringList c = row.split('|');
        if (c[0] == patient)
            n += int(std::count_if(c.begin() + 2, c.end(), match));
    }
    return n;
}

} // namespace

PictureLedger::PictureLedger(DemoFixture& demo)
    : m_original(databaseState(demo))
    , m_selected(demo.rows("SELECT B.PATIENTNR, B.LOPNR FROM PATBILDER B WHERE B.BILDFLIK IS NOT NULL "
                           "AND EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)"))
{
    for (const QString& row : m_original.patanalyser) {
        const QStringList c = row.split('|');
        ++m_analyses[c[0] + "." + c[2]];
    }
    for (const QString& row : m_original.kunder)
        m_status[row.section('|', 0, 0)] = row.section('|', 1, 1);
}

int PictureLedger::expectWholePictures(DemoFixture& demo, const QString& storeRoot) const
{
    const DatabaseState now = databaseState(demo);
    const std::set<QString> present(now.patbilder.begin(), now.patbilder.end());
    const std::map<QString, QString> objects = objectsByPicture(storeRoot);
    for (const QString& file : storeFiles(storeRoot)) {
        if (file.endsWith(".dcm")) {
            EXPECT_EQ(objectProblem(storeRoot + "/" + file), QString()) << file;
        }
    }
    for (const QString& row : m_original.patbilder) {
        if (!m_selected.contains(row)) {
            EXPECT_EQ(present.count(row), 1u) << "a picture outside the selection went: " << row;
        }
    }
    int converted = 0;
    for (const QString& row : m_selected) {
        const QString p = row.section('|', 0, 0), l = row.section('|', 1, 1), picture = p + "." + l;
        const auto object = objects.find(picture);
        const QString uid = object == objects.end() ? QString() : QFileInfo(object->second).completeBaseName();
        const QString nameMark = p + "_" + l + ".";
        const auto namesPicture = [&](const QString& f) { return f.contains(nameMark); };
        const int analysed = m_analyses.count(picture) ? m_analyses.at(picture) : 0;
        const int stillAnalysed = int(now.patanalyser.filter(QRegularExpression("^" + p + "\\|[-0-9]+\\|" + l + "$")).size());
        const QString nowStatus = now.kunder.filter(QRegularExpression("^" + p + "\\|")).value(0).section('|', 1, 1);
        const int findings = findingsOf(m_original.besbilder, p, namesPicture);
        const bool ownStatus = m_status.count(p) && m_status.at(p) == l;
        if (present.count(row)) {
            // Untouched: every reference still names the picture.
            EXPECT_EQ(stillAnalysed, analysed) << picture;
            if (ownStatus) {
                EXPECT_EQ(nowStatus, l) << picture;
            }
            EXPECT_EQ(findingsOf(now.besbilder, p, namesPicture), findings) << picture;
            continue;
        }
        // Converted: the object is there and every reference moved to it.
        ++converted;
        if (object == objects.end()) {
            ADD_FAILURE() << "picture " << picture << " deleted without its object";
            continue;
        }
        EXPECT_EQ(stillAnalysed, 0) << picture;
        EXPECT_EQ(findingsOf(now.besbilder, p, namesPicture), 0) << picture;
        EXPECT_EQ(findingsOf(now.besbilder, p, [&](const QString& f) { return f == uid; }), findings) << picture;
        if (analysed > 0 || ownStatus) {
            const QStringList dicomRow =
                now.dicombilder.filter(QRegularExpression("\\|" + QRegularExpression::escape(uid) + "$"));
            if (dicomRow.size() != 1) {
                ADD_FAILURE() << picture << " has " << dicomRow.size() << " DICOMBILDER rows";
                continue;
            }
            const QString n = dicomRow.front().section('|', 1, 1);
            if (analysed > 0) {
                EXPECT_EQ(int(now.patanalyser.filter(QRegularExpression("^" + p + "\\|[-0-9]+\\|" + n + "$")).size()),
                          analysed)
                    << picture;
            }
            if (ownStatus) {
                EXPECT_EQ(nowStatus, n) << picture;
            }
        }
    }
    return converted;
}

} // namespace b2d::test
