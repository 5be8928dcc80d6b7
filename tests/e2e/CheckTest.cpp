#include "E2eSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace b2d;
using namespace b2d::test;

namespace {

QStringList checkArgs(const DemoFixture& demo, QStringList extra = {})
{
    return QStringList{"check", "--udl", demo.info.dataLinkFile, "--series", "Dicomkatalog"} + extra;
}

QStringList outputLines(const ProcessResult& r)
{
    return QString::fromUtf8(r.out).split('\n');
}

// The missing items of a printed report: the lines between the reason and the next empty line.
QStringList missingLines(const ProcessResult& r)
{
    const QStringList lines = outputLines(r);
    const qsizetype reason = lines.indexOf(QString::fromUtf8("Modality/SOPClass kan ej sättas för alla bilder eftersom:"));
    if (reason < 0)
        return {};
    QStringList missing;
    for (qsizetype i = reason + 2; i < lines.size() && !lines[i].isEmpty(); ++i)
        missing << lines[i];
    return missing;
}

QStringList u8(std::initializer_list<const char*> lines)
{
    QStringList list;
    for (const char* l : lines)
        list << QString::fromUtf8(l);
    return list;
}

// The demo with category 16 ("Övrigt", no settings) as the only gap: no picture outside a tab
// and no panorama under the status tab.
void onlyOvrigtMissing(DemoFixture& demo)
{
    demo.exec("DELETE FROM PATBILDER WHERE BILDFLIK IS NULL");
    demo.exec("DELETE FROM PATBILDER WHERE KATEGORI = 13 AND BILDFLIK = 3");
}

} // namespace

TEST(Check, ReportsTheDemoPracticeInEveryLineFormat)
{
    DemoFixture demo;
    // Right after connecting the selection holds pictures outside a tab too; they are checked
    // as tab 0, which only category 11 ("Extraorala foton") and tab mode cannot match.
    ASSERT_GT(demo.count("SELECT COUNT(*) FROM PATBILDER WHERE BILDFLIK IS NULL AND KATEGORI = 11"), 0);
    ASSERT_GE(demo.count("SELECT COUNT(*) FROM PATBILDER WHERE KATEGORI = 16 AND PATIENTNR < 1099"), 2);

    struct Case {
        QStringList flags;
        QStringList missing;
    };
    const Case cases[] = {
        {{},
         u8({R"(Kategori "Extraorala foton" saknas)", R"(Kategori "Panoramaröntgen" saknas)",
             R"(Kategori "Övrigt" saknas)"})},
        {{"--show-numbers"},
         u8({R"(Kategori "Extraorala foton" (11) saknas)", R"(Kategori "Panoramaröntgen" (13) saknas)",
             R"(Kategori "Övrigt" (16) saknas)"})},
        {{"--per-tab"},
         u8({R"(Flik "", Kategori "Extraorala foton" saknas)", R"(Flik "Dokument", Kategori "Övrigt" saknas)",
             R"(Flik "Status", Kategori "Panoramaröntgen" saknas)"})},
        {{"--per-tab", "--show-numbers"},
         u8({R"(Flik "" (0), Kategori "Extraorala foton" (11) saknas)", R"(Flik "Dokument" (4), Kategori "Övrigt" (16) saknas)",
             R"(Flik "Status" (3), Kategori "Panoramaröntgen" (13) saknas)"})},
        {{"--method", "bildflik"},
         u8({R"(Kategori "Bitewing" (17) saknas)", R"(Kategori "Dokument" (15) saknas)",
             R"(Kategori "Extraorala foton" (11) saknas)", R"(Kategori "Panoramaröntgen" (13) saknas)"})},
        {{"--method", "bildflik", "--per-tab"},
         u8({R"(Flik "" (0), Kategori "Bitewing" (17) saknas)", R"(Flik "" (0), Kategori "Dokument" (15) saknas)",
             R"(Flik "" (0), Kategori "Extraorala foton" (11) saknas)", R"(Flik "Status" (3), Kategori "Dokument" (15) saknas)",
             R"(Flik "Status" (3), Kategori "Panoramaröntgen" (13) saknas)"})},
    };
    for (const Case& c : cases) {
        const ProcessResult r = demo.run(checkArgs(demo, c.flags));
        EXPECT_EQ(r.exitCode, 1) << c.flags.join(' ').toStdString() << r.err.toStdString();
        EXPECT_EQ(missingLines(r), c.missing) << c.flags.join(' ').toStdString();
    }

    // The last report, in the FAILED file; the SUCCEED file is left empty.
    const QStringList failed = demo.logLines("FAILED_LOGG.TXT");
    ASSERT_EQ(failed.size(), 13);
    EXPECT_TRUE(failed[0].startsWith("Kontroll startad ")) << failed[0];
    EXPECT_EQ(failed.mid(1, 5), (QStringList{QString(53, '-'), "Patient nr 1001 till 1025", "",
                                             "Modality/SOPClass kan ej sättas för alla bilder eftersom:", ""}));
    EXPECT_EQ(failed.mid(6, 5), cases[std::size(cases) - 1].missing);
    EXPECT_EQ(failed.mid(11), (QStringList{"", "**** KLART ****"}));
    EXPECT_TRUE(demo.logLines("SUCCEED_LOGG.TXT").isEmpty());
    const ProcessResult last = demo.run(checkArgs(demo));
    EXPECT_TRUE(last.err.contains("OBS! Tänk på att endast den bildserie som är markerad kontrolleras!"));
    EXPECT_TRUE(last.err.contains("Klar !"));
}

TEST(Check, ReportsExactlyTheCategoryWithoutSettings)
{
    DemoFixture demo;
    onlyOvrigtMissing(demo);
    // Its pictures under two tabs: Status (3) and, renamed, Foto (5).
    demo.exec("UPDATE PATBILDER SET BILDFLIK = CASE WHEN LOPNR % 2 = 0 THEN 3 ELSE 5 END WHERE KATEGORI = 16");
    demo.exec("UPDATE FIELDCOUNTERS SET FIELDNAME = 'Skanning' WHERE TABLENAME = 'arkivflikar' AND COUNTER = 1");
    demo.exec("UPDATE FIELDCOUNTERS SET FIELDNAME = 'Foto' WHERE TABLENAME = 'arkivflikar' AND COUNTER = 5");
    ASSERT_EQ(demo.count("SELECT COUNT(DISTINCT BILDFLIK) FROM PATBILDER WHERE KATEGORI = 16"), 2);

    struct Case {
        QStringList flags;
        QStringList missing;
    };
    const Case cases[] = {
        {{}, u8({R"(Kategori "Övrigt" saknas)"})},
        {{"--show-numbers"}, u8({R"(Kategori "Övrigt" (16) saknas)"})},
        {{"--per-tab"}, u8({R"(Flik "Foto", Kategori "Övrigt" saknas)", R"(Flik "Status", Kategori "Övrigt" saknas)"})},
        {{"--per-tab", "--show-numbers"},
         u8({R"(Flik "Foto" (5), Kategori "Övrigt" (16) saknas)", R"(Flik "Status" (3), Kategori "Övrigt" (16) saknas)"})},
    };
    for (const Case& c : cases) {
        const ProcessResult r = demo.run(checkArgs(demo, c.flags));
        EXPECT_EQ(r.exitCode, 1) << c.flags.join(' ').toStdString() << r.err.toStdString();
        EXPECT_EQ(missingLines(r), c.missing) << c.flags.join(' ').toStdString();
    }

    // With "Detalj. log" one line per picture, naming the patient and the file.
    QStringList perPicture, perPictureTab;
    const int pictures = demo.count("SELECT COUNT(*) FROM PATBILDER WHERE KATEGORI = 16 AND PATIENTNR < 1099");
    for (int i = 0; i < pictures; ++i) {
        const QString offset = QString::number(i);
        const QString identity = demo.scalar("SELECT 'Patient:' || K.PERSONNR || ', ' || K.F_RNAMN || ' ' || K.EFTERNAMN "
                                             "FROM PATBILDER B JOIN KUNDER K ON K.PATIENTNR = B.PATIENTNR "
                                             "WHERE B.KATEGORI = 16 ORDER BY B.PATIENTNR, B.LOPNR LIMIT 1 OFFSET " + offset)
                                     .toString();
        const QString file = demo.scalar("SELECT C.BILDKATDIR || B.BILDNAMN FROM PATBILDER B JOIN PATBILDKATALOG C "
                                         "ON C.BILDKATALOG = B.BILDKATALOG JOIN KUNDER K ON K.PATIENTNR = B.PATIENTNR "
                                         "WHERE B.KATEGORI = 16 ORDER BY B.PATIENTNR, B.LOPNR LIMIT 1 OFFSET " + offset)
                                 .toString();
        const int tab = demo.scalar("SELECT B.BILDFLIK FROM PATBILDER B JOIN KUNDER K ON K.PATIENTNR = B.PATIENTNR "
                                    "WHERE B.KATEGORI = 16 ORDER BY B.PATIENTNR, B.LOPNR LIMIT 1 OFFSET " + offset)
                            .toInt();
        perPicture << identity + QString::fromUtf8(R"(,  Kategori "Övrigt" saknas, Bild: )") + file;
        perPictureTab << identity + ",  Flik \"" + (tab == 3 ? "Status" : "Foto") + "\" (" + QString::number(tab)
                             + QString::fromUtf8(R"(),  Kategori "Övrigt" (16) saknas, Bild: )") + file;
    }
    std::sort(perPicture.begin(), perPicture.end());
    std::sort(perPictureTab.begin(), perPictureTab.end());
    EXPECT_EQ(missingLines(demo.run(checkArgs(demo, {"--detail-log"}))), perPicture);
    EXPECT_EQ(missingLines(demo.run(checkArgs(demo, {"--detail-log", "--per-tab", "--show-numbers"}))), perPictureTab);

    // By tab, the Foto tab (5) has settings and the Status tab (3) has none.
    const ProcessResult byTab = demo.run(checkArgs(demo, {"--method", "bildflik", "--per-tab"}));
    EXPECT_TRUE(missingLines(byTab).contains(QString::fromUtf8(R"(Flik "Status" (3), Kategori "Övrigt" (16) saknas)")));
    EXPECT_TRUE(missingLines(byTab).filter("Flik \"Foto\"").isEmpty());
}

TEST(Check, NothingMissingGoesToSucceedAndExitsZero)
{
    DemoFixture demo;
    onlyOvrigtMissing(demo);
    demo.exec("INSERT INTO BILDSERIEHUVUDKAT (LOPNR, BILDSERIE, BILDKAT, BILDFLIK, MODALITY, SOPCLASS, STUDYDESCRIPTION, "
              "ANTAL) VALUES (900, 1, 16, NULL, 'OT', 'Secondary Capture Image Storage', 'Övrigt', 0)");
    const ProcessResult r = demo.run(checkArgs(demo, {"--from", "1005", "--to", "1010"}));
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList ok = demo.logLines("SUCCEED_LOGG.TXT");
    ASSERT_EQ(ok.size(), 7);
    EXPECT_TRUE(ok[0].startsWith("Kontroll startad "));
    EXPECT_EQ(ok.mid(1), (QStringList{QString(53, '-'), "Patient nr 1005 till 1010", "",
                                      "Modality/SOPClass kan sättas för alla bilder.", "", "**** KLART ****"}));
    EXPECT_TRUE(demo.logLines("FAILED_LOGG.TXT").isEmpty());
    EXPECT_TRUE(outputLines(r).contains("Modality/SOPClass kan sättas för alla bilder."));
}

TEST(Check, OnlyThePicturesFirstCategoryRowIsLookedUp)
{
    DemoFixture demo;
    onlyOvrigtMissing(demo);
    // A practice database without a key on PATBILDER can hold a picture twice; its second row
    // names a category with settings, which the check does not try.
    demo.exec("CREATE TABLE PATBILDER2 (PATIENTNR INTEGER NOT NULL, LOPNR INTEGER NOT NULL, DATUM DATETIME, "
              "BILDNAMN VARCHAR(255), BILDKATALOG INTEGER, KATEGORI INTEGER, BILDFLIK INTEGER)");
    demo.exec("INSERT INTO PATBILDER2 SELECT PATIENTNR, LOPNR, DATUM, BILDNAMN, BILDKATALOG, KATEGORI, BILDFLIK "
              "FROM PATBILDER ORDER BY PATIENTNR, LOPNR");
    demo.exec("DROP TABLE PATBILDER");
    demo.exec("ALTER TABLE PATBILDER2 RENAME TO PATBILDER");
    demo.exec("INSERT INTO PATBILDER SELECT PATIENTNR, LOPNR, DATUM, BILDNAMN, BILDKATALOG, 10, BILDFLIK "
              "FROM PATBILDER WHERE KATEGORI = 16");
    const QString patient = demo.scalar("SELECT MIN(PATIENTNR) FROM PATBILDER WHERE KATEGORI = 16").toString();

    const ProcessResult r = demo.run(checkArgs(demo, {"--from", patient, "--to", patient}));
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    EXPECT_EQ(missingLines(r), u8({R"(Kategori "Övrigt" saknas)"}));
}

TEST(Check, UsageErrorsExitWithTwo)
{
    DemoFixture demo;
    struct Case {
        QStringList args;
        const char* message;
    };
    const Case cases[] = {
        {{"check", "--series", "x"}, "check needs --udl FILE and --series"},
        {{"check", "--udl", "/nonexistent/x.udl", "--series", "1"}, "/nonexistent/x.udl does not exist"},
        {checkArgs(demo, {"--method", "flik"}), "--method is kategori or bildflik"},
        {checkArgs(demo, {"--erase"}), "unknown option --erase"},
        {{"check", "--udl", demo.info.dataLinkFile, "--series", "Finns inte"}, "no picture series Finns inte"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = demo.run(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
}
