#include "E2eSupport.h"

#include "dicom/DicomTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QDir>
#include <QDirIterator>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <iostream>
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

// A store's objects in a form two runs that did the same work agree on: each file's place, and
// for an object its identity, patient, series and pixels (not its instance number, which counts
// the pictures of the day a run met).
QStringList storeDump(const QString& root)
{
    QStringList dump;
    for (const QString& file : storeFiles(root)) {
        if (!file.endsWith(".dcm")) {
            dump << file;
            continue;
        }
        DcmFileFormat object;
        if (object.loadFile(QFile::encodeName(root + "/" + file).constData()).bad()) {
            dump << file + " does not load";
            continue;
        }
        DcmDataset* ds = object.getDataset();
        QStringList values{file};
        for (const DcmTagKey& tag : {DCM_SOPClassUID, DCM_SOPInstanceUID, DCM_PatientID, DCM_PatientName,
                                     DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_Modality, DCM_Rows, DCM_Columns}) {
            OFString value;
            ds->findAndGetOFStringArray(tag, value);
            values << QString::fromLatin1(value.c_str());
        }
        const Uint8* pixels = nullptr;
        unsigned long length = 0;
        ds->findAndGetUint8Array(DCM_PixelData, pixels, &length);
        values << QString::fromLatin1(QCryptographicHash::hash(QByteArrayView(pixels, qsizetype(length)),
                                                               QCryptographicHash::Sha1).toHex());
        dump << values.join('|');
    }
    return dump;
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

TEST(KillSafety, ThirtyKillsAtRandomMomentsLeaveEveryPictureWholeAndTheRerunsEndAsOneRun)
{
    const QStringList flags = {"--erase"};

    // One uninterrupted run on a fresh demo: the end state to reach, how long a run takes to
    // start converting and how long it lasts.
    DemoFixture reference;
    const DatabaseState referenceBefore = databaseState(reference);
    QElapsedTimer clock;
    clock.start();
    qint64 startUp = -1;
    QProcess straight;
    straight.setWorkingDirectory(reference.info.folder);
    straight.start(B2D_BINARY, runArgs(reference, "Dicomkatalog", flags));
    ASSERT_TRUE(straight.waitForStarted());
    while (!straight.waitForFinished(2)) {
        if (startUp < 0 && !storeFiles(reference.info.dicomDirFolder).isEmpty())
            startUp = clock.elapsed();
    }
    qint64 duration = clock.elapsed();
    ASSERT_EQ(straight.exitCode(), 1) << straight.readAllStandardError().toStdString();
    ASSERT_GT(startUp, 0);
    const DatabaseState wanted = databaseState(reference);
    const QStringList wantedStore = storeDump(reference.info.dicomDirFolder);
    const int convertible = countPrefix(reference.logLines("SUCCEED_LOGG.TXT"), "Patientnr: ");
    ASSERT_GT(convertible, 20);
    ASSERT_EQ(wantedStore.size(), convertible);

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    // Each round kills one demo's runs again and again, then lets a run finish. A round ends
    // early when a run finishes before its moment: the next one starts on a fresh demo, with
    // moments a little earlier, as this machine is now faster than when it was timed.
    constexpr int WantedKills = 30, KillsPerRound = 10;
    int kills = 0, rounds = 0, killsMidRun = 0;
    for (int round = 0; round < 15 && kills < WantedKills; ++round) {
        DemoFixture demo;
        ++rounds;
        ASSERT_EQ(databaseState(demo), referenceBefore) << "the demo practice is not the same on every run";
        const PictureLedger ledger(demo);
        const auto selectedNow = [&demo] {
            return demo.count("SELECT COUNT(*) FROM PATBILDER B WHERE B.BILDFLIK IS NOT NULL AND "
                              "EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)");
        };
        const int selected = selectedNow();
        for (int k = 0; k < KillsPerRound && kills < WantedKills; ++k) {
            // The moment falls anywhere in what is left of the run: its start-up, then the
            // uninterrupted run's converting time in the share of its pictures still to convert.
            const int before = selectedNow();
            const int left = convertible - (selected - before);
            const qint64 window = startUp + (duration - startUp) * std::max(left, 1) / convertible;
            const int moment = int(std::uniform_int_distribution<qint64>(0, window)(random));
            QProcess p;
            p.setWorkingDirectory(demo.info.folder);
            p.start(B2D_BINARY, runArgs(demo, "Dicomkatalog", flags));
            ASSERT_TRUE(p.waitForStarted());
            if (p.waitForFinished(moment)) {
                duration = std::max(startUp + 1, duration * 3 / 4);
                break; // the run ended before the moment came
            }
            p.kill(); // SIGKILL
            ASSERT_TRUE(p.waitForFinished(10000));
            ++kills;
            SCOPED_TRACE(QStringLiteral("kill %1 after %2 ms").arg(kills).arg(moment).toStdString());
            ledger.expectWholePictures(demo, demo.info.dicomDirFolder);
            if (HasFailure())
                return;
            const int after = selectedNow();
            killsMidRun += after < before && after > selected - convertible;
        }
        // Running again finishes the rest and ends where one uninterrupted run ends.
        const ProcessResult rest = demo.run(runArgs(demo, "Dicomkatalog", flags));
        EXPECT_EQ(rest.exitCode, 1) << rest.err.toStdString();
        EXPECT_EQ(databaseState(demo), wanted);
        EXPECT_EQ(storeDump(demo.info.dicomDirFolder), wantedStore);
        if (HasFailure())
            return;
    }
    EXPECT_EQ(kills, WantedKills) << "the runs ended too soon to be killed often enough";
    std::cout << "[ NOTE     ] " << kills << " kills in " << rounds << " rounds, " << killsMidRun
              << " of them after the run had converted a picture and before it had converted all\n";
    // Many moments fall while pictures are being converted, not only at start-up.
    EXPECT_GE(killsMidRun, WantedKills / 5);
}
