#include "E2eSupport.h"

#include "dicom/DicomTestSupport.h"
#include "dicom/uDicom.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <functional>
#include <map>
#include <random>
#include <set>

using namespace b2d;
using namespace b2d::test;

namespace {

QStringList runArgs(const DemoFixture& demo, const QString& series, QStringList extra = {})
{
    return QStringList{"run", "--udl", demo.info.dataLinkFile, "--series", series, "--yes"} + extra;
}

int countPrefix(const QStringList& lines, const QString& prefix)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(prefix); }));
}

// The tables a run writes to.
struct DatabaseState {
    QStringList patbilder, dicombilder, patanalyser, kunder, besbilder;
    bool operator==(const DatabaseState&) const = default;
};

DatabaseState databaseState(DemoFixture& demo)
{
    return {demo.rows("SELECT PATIENTNR, LOPNR FROM PATBILDER"),
            demo.rows("SELECT PATIENTNR, LOPNR, SOPINSTANCEUID FROM DICOMBILDER"),
            demo.rows("SELECT PATIENTNR, LOPNR, BILDNR FROM PATANALYSER"),
            demo.rows("SELECT PATIENTNR, PATSTATUS FROM KUNDER"),
            demo.rows("SELECT PATIENTNR, LOPNR, BILD1, BILD2, BILD3 FROM BESBILDER")};
}

// Every file under a store's root, relative to it.
QStringList storeFiles(const QString& root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

// Why a stored object is not whole, or empty when it loads and carries all its pixels.
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

// The picture a stored object came from: its name is the UID root, patient, category, number.
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

TEST(PeersRun, ConvertsIntoTheDicomServerStore)
{
    DemoFixture demo;
    PeerProcess orthanc;
    orthanc.startOrthanc(QStringLiteral("B2DTESTPACS"));
    demo.exec(QStringLiteral("UPDATE DICOMSERVERS SET SERVERPORT = %1, REMOTEAE = 'B2DTESTPACS' WHERE LOPNR = 1")
                  .arg(orthanc.port()));

    const ProcessResult r = demo.run(runArgs(demo, "PACS"));
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString(); // the demo's failing pictures fail here too
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    const int successes = countPrefix(ok, "Patientnr: ");
    ASSERT_GT(successes, 20);
    EXPECT_TRUE(r.out.contains(QStringLiteral("SUCCEED: %1 ").arg(successes).toUtf8())) << r.out.toStdString();

    // Every success arrived, once, under the UID the database now refers to.
    const QJsonArray instances = QJsonDocument::fromJson(orthanc.httpGet("/instances?expand")).array();
    EXPECT_EQ(instances.size(), successes);
    std::set<QString> received;
    for (const QJsonValue& v : instances)
        received.insert(v.toObject()["MainDicomTags"].toObject()["SOPInstanceUID"].toString());
    EXPECT_EQ(int(received.size()), successes);
    const QStringList made = demo.rows("SELECT SOPINSTANCEUID FROM DICOMBILDER WHERE LOPNR < -1 OR PATIENTNR <> 1002");
    ASSERT_FALSE(made.isEmpty());
    for (const QString& uid : made)
        EXPECT_EQ(received.count(uid), 1u) << uid;
    // Nothing was written into the directory store.
    EXPECT_TRUE(storeFiles(demo.info.dicomDirFolder).isEmpty());
}

TEST(PeersRun, NothingListeningFailsEveryPictureAndChangesNothing)
{
    DemoFixture demo;
    const int port = freeTcpPort();
    demo.exec(QStringLiteral("UPDATE DICOMSERVERS SET SERVERPORT = %1 WHERE LOPNR = 1").arg(port));
    const DatabaseState before = databaseState(demo);

    const ProcessResult r = demo.run(runArgs(demo, "PACS", {"--erase"}));
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    const QStringList failed = demo.logLines("FAILED_LOGG.TXT");
    EXPECT_EQ(countPrefix(ok, "Patientnr: "), 0);
    EXPECT_EQ(countPrefix(ok, "Deleted picture: "), 0);
    const QStringList storeFailures = failed.filter("Det gick inte att spara DICOM-objektet: ");
    ASSERT_GT(storeFailures.size(), 20);
    for (const QString& line : storeFailures) {
        EXPECT_TRUE(line.startsWith("FAILED - Patientnr: ")) << line;
        // The cause names the peer that did not answer.
        EXPECT_TRUE(line.contains(QStringLiteral("PACS at 127.0.0.1:%1: association failed").arg(port))) << line;
    }
    EXPECT_EQ(databaseState(demo), before);
}

TEST(KillSafety, AKilledRunLeavesEveryPictureWholeAndTheRerunFinishesIt)
{
    const QStringList flags = {"--erase"};

    // One uninterrupted run on a fresh demo: the end state to reach.
    DemoFixture reference;
    const DatabaseState referenceBefore = databaseState(reference);
    const ProcessResult straight = reference.run(runArgs(reference, "Dicomkatalog", flags));
    ASSERT_EQ(straight.exitCode, 1) << straight.err.toStdString();
    const DatabaseState wanted = databaseState(reference);
    const QStringList wantedFiles = storeFiles(reference.info.dicomDirFolder);
    ASSERT_GT(wantedFiles.size(), 20);

    DemoFixture demo;
    const DatabaseState original = databaseState(demo);
    ASSERT_EQ(original, referenceBefore) << "the demo practice is not the same on every run";
    const QStringList selected = demo.rows("SELECT B.PATIENTNR, B.LOPNR FROM PATBILDER B WHERE B.BILDFLIK IS NOT NULL "
                                           "AND EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)");
    std::map<QString, int> analyses; // "p.l" -> analyses of the picture
    for (const QString& row : original.patanalyser) {
        const QStringList c = row.split('|');
        ++analyses[c[0] + "." + c[2]];
    }
    std::map<QString, QString> status; // patient -> PATSTATUS
    for (const QString& row : original.kunder)
        status[row.section('|', 0, 0)] = row.section('|', 1, 1);

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    int kills = 0;
    for (int attempt = 0; attempt < 8 && kills < 4; ++attempt) {
        const int filesBefore = int(storeFiles(demo.info.dicomDirFolder).size());
        QProcess p;
        p.setWorkingDirectory(demo.info.folder);
        p.start(B2D_BINARY, runArgs(demo, "Dicomkatalog", flags));
        ASSERT_TRUE(p.waitForStarted());
        // At least one new object, then a moment anywhere in the following pictures.
        QElapsedTimer waited;
        waited.start();
        while (p.state() == QProcess::Running && int(storeFiles(demo.info.dicomDirFolder).size()) <= filesBefore
               && waited.elapsed() < 60000)
            QThread::msleep(2);
        QThread::msleep(std::uniform_int_distribution<unsigned>(0, 400)(random));
        if (p.state() != QProcess::Running) {
            p.waitForFinished();
            break; // the run ended before the moment came
        }
        p.kill(); // SIGKILL
        ASSERT_TRUE(p.waitForFinished(10000));
        ++kills;

        // Every picture is untouched or fully converted; no object is cut short.
        const DatabaseState now = databaseState(demo);
        const std::set<QString> present(now.patbilder.begin(), now.patbilder.end());
        const std::map<QString, QString> objects = objectsByPicture(demo.info.dicomDirFolder);
        for (const QString& file : storeFiles(demo.info.dicomDirFolder)) {
            EXPECT_EQ(objectProblem(demo.info.dicomDirFolder + "/" + file), QString()) << file.toStdString();
        }
        for (const QString& row : original.patbilder) {
            if (!selected.contains(row)) {
                EXPECT_EQ(present.count(row), 1u) << "a picture outside the selection went: " << row;
            }
        }
        for (const QString& row : selected) {
            const QString p_ = row.section('|', 0, 0), l = row.section('|', 1, 1), picture = p_ + "." + l;
            const auto object = objects.find(picture);
            const QString uid = object == objects.end() ? QString() : QFileInfo(object->second).completeBaseName();
            const QString nameMark = p_ + "_" + l + ".";
            const int analysed = analyses.count(picture) ? analyses.at(picture) : 0;
            const int stillAnalysed = int(now.patanalyser.filter(QRegularExpression("^" + p_ + "\\|[-0-9]+\\|" + l + "$")).size());
            const QString nowStatus = now.kunder.filter(QRegularExpression("^" + p_ + "\\|")).value(0).section('|', 1, 1);
            const int findings = findingsOf(original.besbilder, p_, [&](const QString& f) { return f.contains(nameMark); });
            if (present.count(row)) {
                // Untouched: every reference still names the picture.
                EXPECT_EQ(stillAnalysed, analysed) << picture;
                if (status[p_] == l) {
                    EXPECT_EQ(nowStatus, l) << picture;
                }
                EXPECT_EQ(findingsOf(now.besbilder, p_, [&](const QString& f) { return f.contains(nameMark); }), findings)
                    << picture;
                continue;
            }
            // Converted: the object is there and every reference moved to it.
            ASSERT_NE(object, objects.end()) << "picture " << picture << " deleted without its object";
            EXPECT_EQ(stillAnalysed, 0) << picture;
            EXPECT_EQ(findingsOf(now.besbilder, p_, [&](const QString& f) { return f.contains(nameMark); }), 0) << picture;
            EXPECT_EQ(findingsOf(now.besbilder, p_, [&](const QString& f) { return f == uid; }), findings) << picture;
            if (analysed > 0 || status[p_] == l) {
                const QStringList dicomRow =
                    now.dicombilder.filter(QRegularExpression("\\|" + QRegularExpression::escape(uid) + "$"));
                ASSERT_EQ(dicomRow.size(), 1) << picture;
                const QString n = dicomRow.front().section('|', 1, 1);
                if (analysed > 0) {
                    EXPECT_EQ(int(now.patanalyser.filter(QRegularExpression("^" + p_ + "\\|[-0-9]+\\|" + n + "$")).size()),
                              analysed)
                        << picture;
                }
                if (status[p_] == l) {
                    EXPECT_EQ(nowStatus, n) << picture;
                }
            }
        }
        if (HasFatalFailure() || HasFailure())
            return;
    }
    EXPECT_GE(kills, 3) << "the run ended too soon to be killed often enough";

    // Running again finishes the rest and ends where one uninterrupted run ends.
    const ProcessResult rest = demo.run(runArgs(demo, "Dicomkatalog", flags));
    EXPECT_EQ(rest.exitCode, 1) << rest.err.toStdString();
    EXPECT_EQ(databaseState(demo), wanted);
    EXPECT_EQ(storeFiles(demo.info.dicomDirFolder), wantedFiles);
}
