#include "E2eSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <set>

using namespace b2d;
using namespace b2d::test;

namespace {

QStringList runArgs(const DemoFixture& demo, QStringList extra = {})
{
    return QStringList{"run", "--udl", demo.info.dataLinkFile, "--series", "Dicomkatalog", "--yes"} + extra;
}

int countLines(const QStringList& lines, const QString& prefix)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(prefix); }));
}

} // namespace

TEST(CommandLineRun, ConvertsTheDemoPracticeAndMovesItsReferences)
{
    DemoFixture demo;
    const int selected = demo.count("SELECT COUNT(*) FROM PATBILDER B WHERE BILDFLIK IS NOT NULL AND "
                                    "EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)");
    // A referenced picture: its analysis must end up pointing at the new object.
    const QVariant analysed = demo.scalar("SELECT PATIENTNR || '.' || BILDNR FROM PATANALYSER A WHERE EXISTS "
                                          "(SELECT 1 FROM PATBILDER B WHERE B.PATIENTNR = A.PATIENTNR AND "
                                          "B.LOPNR = A.BILDNR AND B.BILDFLIK IS NOT NULL AND B.KATEGORI <> 16)");
    ASSERT_FALSE(analysed.isNull());

    const ProcessResult r = demo.run(runArgs(demo));
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString(); // the demo has pictures that fail on purpose
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    const QStringList failed = demo.logLines("FAILED_LOGG.TXT");
    ASSERT_GE(ok.size(), 2);
    EXPECT_TRUE(ok[0].startsWith("Konvertering startad ")) << ok[0];
    EXPECT_EQ(ok[1], QString(106, '-'));
    EXPECT_EQ(ok[ok.size() - 2], "**** KLART ****"); // the date and time follow
    const int successes = countLines(ok, "Patientnr: ");
    const int failures = countLines(failed, "FAILED - Patientnr: ");
    EXPECT_EQ(successes + failures, selected);
    EXPECT_TRUE(r.out.contains(QStringLiteral("SUCCEED: %1  FAILED: %2").arg(successes).arg(failures).toUtf8()));
    EXPECT_GT(countLines(failed, "FAILED - Patientnr: 10"), 0);
    EXPECT_TRUE(failed.filter("Modality/SOPClass not found (Kategori: Övrigt").size() > 0);
    EXPECT_EQ(failed.filter("intraoral-stor_1003").filter("Bilden är för stor").size(), 1);

    // Every success is a file in the store, named by its UID in the patient's folder.
    const QStringList files = dicomFiles(demo.info.dicomDirFolder);
    EXPECT_EQ(files.size(), successes);

    // The register's clinics on each picture's date reach the objects through the standard tags
    // (%KLINIK%, %REMKLINIK%), although the objects are made on other threads than the one
    // that reads the register.
    std::set<QString> institutions, referrers;
    for (const QString& file : files) {
        DcmFileFormat object;
        ASSERT_TRUE(object.loadFile(QFile::encodeName(file).constData()).good()) << file.toStdString();
        OFString charset, institution, referrer;
        object.getDataset()->findAndGetOFString(DCM_SpecificCharacterSet, charset);
        object.getDataset()->findAndGetOFString(DCM_InstitutionName, institution);
        object.getDataset()->findAndGetOFString(DCM_ReferringPhysicianName, referrer);
        const auto text = [&](const OFString& v) {
            return charset == "ISO_IR 192" ? QString::fromUtf8(v.c_str()) : QString::fromLatin1(v.c_str());
        };
        institutions.insert(text(institution));
        referrers.insert(text(referrer));
    }
    const auto names = [&](const char* table) {
        std::set<QString> out{QStringLiteral("Ingen klinik vald")};
        for (const QString& name : demo.rows(QStringLiteral("SELECT KLINIK FROM %1").arg(QLatin1String(table))))
            out.insert(name);
        return out;
    };
    EXPECT_GT(institutions.size(), 1u);
    EXPECT_GT(referrers.size(), 1u);
    for (const QString& name : institutions)
        EXPECT_TRUE(names("KLINIK").count(name)) << name.toStdString();
    for (const QString& name : referrers)
        EXPECT_TRUE(names("TRKLINIK").count(name)) << name.toStdString();

    const QStringList parts = analysed.toString().split('.');
    const int moved = demo.count("SELECT COUNT(*) FROM PATANALYSER WHERE PATIENTNR = " + parts[0] + " AND BILDNR = " + parts[1]);
    EXPECT_EQ(moved, 0) << "the analysis still points at the old picture";
    const QVariant uid = demo.scalar("SELECT D.SOPINSTANCEUID FROM DICOMBILDER D JOIN PATANALYSER A ON "
                                     "A.PATIENTNR = D.PATIENTNR AND A.BILDNR = D.LOPNR WHERE D.PATIENTNR = " + parts[0]);
    ASSERT_FALSE(uid.isNull());
    EXPECT_EQ(files.filter(uid.toString() + ".dcm").size(), 1);
    // Without --erase no picture row goes.
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM PATBILDER B WHERE BILDFLIK IS NOT NULL AND "
                         "EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)"),
              selected);

    // Running the range again converts to the same UIDs, replaces the files and reuses the rows.
    const int dicomRows = demo.count("SELECT COUNT(*) FROM DICOMBILDER");
    const ProcessResult again = demo.run(runArgs(demo));
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(dicomFiles(demo.info.dicomDirFolder), files);
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM DICOMBILDER"), dicomRows);
}

TEST(CommandLineRun, ShrinksEraseAndRangeOptions)
{
    DemoFixture demo;
    const int pictures1003 = demo.count("SELECT COUNT(*) FROM PATBILDER WHERE PATIENTNR = 1003 AND BILDFLIK IS NOT NULL");
    const ProcessResult r =
        demo.run(runArgs(demo, {"--from", "1003", "--to", "1003", "--shrink", "Lanczos3", "--erase", "--detail-log"}));
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString() << r.out.toStdString();
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    EXPECT_TRUE(ok[0].endsWith(", Pat.nr: 1003 - 1003")) << ok[0];
    const QStringList big = ok.filter("intraoral-stor_1003");
    ASSERT_EQ(big.size(), 1);
    EXPECT_TRUE(big[0].endsWith(" byte), resized")) << big[0];
    const QString personnr = demo.scalar("SELECT PERSONNR FROM KUNDER WHERE PATIENTNR = 1003").toString();
    EXPECT_TRUE(big[0].startsWith("Patientnr: 1003, " + personnr + ", ")) << big[0];
    EXPECT_EQ(countLines(ok, "Deleted picture: 1003."), pictures1003);
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM PATBILDER WHERE PATIENTNR = 1003 AND BILDFLIK IS NOT NULL"), 0);
    EXPECT_GT(demo.count("SELECT COUNT(*) FROM PATBILDER WHERE PATIENTNR = 1004"), 0);
}

TEST(CommandLineRun, UsageAndSetUpErrorsExitWithTwo)
{
    DemoFixture demo;
    struct Case {
        QStringList args;
        const char* message;
    };
    const Case cases[] = {
        {{"run", "--series", "x"}, "run needs --udl FILE and --series"},
        {{"run", "--udl", "/nonexistent/x.udl", "--series", "1"}, "/nonexistent/x.udl does not exist"},
        {runArgs(demo, {"--method", "flik"}), "--method is kategori or bildflik"},
        {runArgs(demo, {"--shrink", "Gauss"}), "unknown filter Gauss"},
        {runArgs(demo, {"--max-mb", "x"}), "--max-mb takes"},
        {{"run", "--udl", demo.info.dataLinkFile, "--series", "Finns inte"}, "no picture series Finns inte"},
        // An error before the first picture is no success.
        {runArgs(demo, {"--log-dir", demo.info.folder + "/saknas"}), "Kan inte skapa loggfilen"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = demo.run(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args.join(' ');
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
}

TEST(CommandLineRun, CtrlCFinishesThePictureAndClosesTheLogs)
{
    DemoFixture demo;
    QProcess p;
    p.setWorkingDirectory(demo.info.folder);
    p.start(B2D_BINARY, runArgs(demo, {"--shrink", "Mitchell"}));
    ASSERT_TRUE(p.waitForStarted());
    // Wait until the run has written some pictures, then interrupt.
    for (int i = 0; i < 200 && dicomFiles(demo.info.dicomDirFolder).size() < 3; ++i)
        QThread::msleep(20);
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(120000));
    EXPECT_EQ(p.exitCode(), 130) << p.readAllStandardError().toStdString();
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    ASSERT_GE(ok.size(), 2);
    EXPECT_EQ(ok[ok.size() - 2], "**** KONVERTERING AVBRUTEN ****");
    const int successes = countLines(ok, "Patientnr: ");
    EXPECT_LT(successes, 100);
    EXPECT_EQ(dicomFiles(demo.info.dicomDirFolder).size(), successes);
}
