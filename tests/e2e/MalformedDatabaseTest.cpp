#include "E2eSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <functional>
#include <iostream>

using namespace b2d;
using namespace b2d::test;

namespace {

// A few patients, enough for pictures that must go on converting beside the damaged one.
const QString fromNr = QStringLiteral("1010");
const QString toNr = QStringLiteral("1012");

QStringList runArgs(const DemoFixture& demo)
{
    return {"run", "--udl", demo.info.dataLinkFile, "--series", "Dicomkatalog", "--yes", "--erase",
            "--from", fromNr, "--to", toNr};
}

QStringList checkArgs(const DemoFixture& demo)
{
    return {"check", "--udl", demo.info.dataLinkFile, "--series", "Dicomkatalog", "--from", fromNr, "--to", toNr};
}

int dicomFileCount(const QString& root)
{
    int n = 0;
    // Hidden too: a patient ID of dots and letters makes a folder whose name starts with a dot.
    for (QDirIterator it(root, {"*.dcm"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();
         it.next())
        ++n;
    return n;
}

// The file name of a log line's picture: "... Bild: PATH (N byte)..." or "... Bild: PATH - ...".
QString pictureOf(const QString& line)
{
    const qsizetype from = line.indexOf(QStringLiteral(", Bild: "));
    if (from < 0)
        return line;
    qsizetype to = line.indexOf(QStringLiteral(" ("), from);
    const qsizetype dash = line.indexOf(QStringLiteral(" - "), from);
    if (to < 0 || (dash >= 0 && dash < to))
        to = dash;
    return QFileInfo(line.mid(from + 8, to < 0 ? -1 : to - from - 8)).fileName();
}

QSet<QString> succeeded(const DemoFixture& demo)
{
    QSet<QString> names;
    for (const QString& line : demo.logLines("SUCCEED_LOGG.TXT"))
        if (line.startsWith(QStringLiteral("Patientnr: ")))
            names.insert(pictureOf(line));
    return names;
}

QStringList failedLines(const DemoFixture& demo)
{
    return demo.logLines("FAILED_LOGG.TXT").filter(QRegularExpression(QStringLiteral("^(FAILED - |Ohanterat fel)")));
}

QSet<QString> failedPictures(const QStringList& lines)
{
    QSet<QString> names;
    for (const QString& line : lines)
        names.insert(pictureOf(line));
    return names;
}

struct Outcomes {
    QSet<QString> ok;     // pictures that convert, by file name
    QSet<QString> failed; // pictures with a FAILED line
};

// The pictures of the untouched demo in the range.
const Outcomes& baseline()
{
    static const Outcomes outcomes = [] {
        DemoFixture demo;
        const ProcessResult r = demo.run(runArgs(demo));
        if (r.exitCode != 0 && r.exitCode != 1)
            throw std::runtime_error("the untouched demo does not run: " + r.err.toStdString());
        return Outcomes{succeeded(demo), failedPictures(failedLines(demo))};
    }();
    return outcomes;
}

// SQLite keeps NOT NULL in the table's definition; a copy without it takes the NULLs.
void dropNotNull(DemoFixture& demo, const QString& table)
{
    QString sql = demo.scalar("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = '" + table + "'").toString();
    sql.replace(QStringLiteral("NOT NULL"), QString());
    sql.replace(QRegularExpression(QStringLiteral("CREATE TABLE\\s+") + table), QStringLiteral("CREATE TABLE ") + table + "_X");
    demo.exec(sql);
    demo.exec("INSERT INTO " + table + "_X SELECT * FROM " + table);
    demo.exec("DROP TABLE " + table);
    demo.exec("ALTER TABLE " + table + "_X RENAME TO " + table);
}

// The damaged picture: an extraoral photo under tab 1 (category 11, which has no
// sub-categories and a second setting under tab 5 that must not stand in).
struct Picture {
    int patient = 0;
    int lopnr = 0;
    QString folder; // BILDKATDIR
    QString name;   // BILDNAMN
};

Picture damagedPicture(DemoFixture& demo)
{
    Picture p;
    const QStringList row = demo.rows("SELECT B.PATIENTNR, B.LOPNR, K.BILDKATDIR, B.BILDNAMN FROM PATBILDER B "
                                      "JOIN PATBILDKATALOG K ON K.BILDKATALOG = B.BILDKATALOG WHERE B.PATIENTNR BETWEEN "
                                      + fromNr + " AND " + toNr
                                      + " AND B.KATEGORI = 11 AND B.BILDFLIK = 1 ORDER BY B.PATIENTNR, B.LOPNR LIMIT 1");
    if (row.isEmpty())
        throw std::runtime_error("the range has no extraoral photo under tab 1");
    const QStringList f = row[0].split('|');
    p.patient = f[0].toInt();
    p.lopnr = f[1].toInt();
    p.folder = f[2];
    p.name = f[3];
    return p;
}

QString expand(QString sql, const Picture& p)
{
    return sql.replace("%P", QString::number(p.patient)).replace("%L", QString::number(p.lopnr));
}

enum class Outcome {
    Fails,    // each affected picture ends in a FAILED line with the text
    Skipped,  // the affected pictures are not selected: no line, rows untouched
    Converts, // the affected pictures convert as before
};

struct Case {
    const char* name;
    std::function<void(DemoFixture&, const Picture&)> damage;
    // WHERE clause over PATBILDER (before the damage) naming the pictures the damage reaches.
    const char* affected;
    Outcome outcome;
    const char* text = nullptr; // in the FAILED lines (Fails)
    bool check = false; // the check reads the damaged data too
};

std::function<void(DemoFixture&, const Picture&)> sql(std::initializer_list<const char*> statements,
                                                     QStringList notNullTables = {})
{
    QStringList list;
    for (const char* s : statements)
        list << QString::fromUtf8(s);
    return [list, notNullTables](DemoFixture& demo, const Picture& p) {
        for (const QString& table : notNullTables)
            dropNotNull(demo, table);
        for (const QString& s : list)
            demo.exec(expand(s, p));
    };
}

// Gives the damaged picture's file another name, in the database and on disk.
std::function<void(DemoFixture&, const Picture&)> rename(std::function<QString(const Picture&)> newName)
{
    return [newName](DemoFixture& demo, const Picture& p) {
        const QString name = newName(p);
        const QString target = QDir::cleanPath(QDir(p.folder).filePath(name));
        const QString source = QDir::cleanPath(QDir(p.folder).filePath(p.name));
        QDir().mkpath(QDir(p.folder).filePath(QFileInfo(name).path()));
        if (target != source && !QFile::rename(source, target))
            throw std::runtime_error("cannot rename the picture to " + target.toStdString());
        QString quotedName = name;
        quotedName.replace("'", "''");
        demo.exec("UPDATE PATBILDER SET BILDNAMN = '" + quotedName + "' WHERE PATIENTNR = " + QString::number(p.patient)
                  + " AND LOPNR = " + QString::number(p.lopnr));
    };
}

const QString longText = QString(10000, u'x');

const char* const thePicture = "PATIENTNR = %P AND LOPNR = %L";
const char* const thePatient = "PATIENTNR = %P";
const char* const everyPicture = "1 = 1";

const Case cases[] = {
    // The picture row.
    {"DATUM NULL", sql({"UPDATE PATBILDER SET DATUM = NULL WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Fails, "Bilden saknar giltigt datum (PATBILDER.DATUM)"},
    {"BILDNAMN NULL", sql({"UPDATE PATBILDER SET BILDNAMN = NULL WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Fails, "är tom eller kan inte laddas!"},
    {"BILDFLIK NULL", sql({"UPDATE PATBILDER SET BILDFLIK = NULL WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Skipped, nullptr, true},
    {"KATEGORI NULL", sql({"UPDATE PATBILDER SET KATEGORI = NULL WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Fails, "Modality/SOPClass not found (Kategori: , Bildflik: 1)", true},
    {"PATIENTNR NULL",
     sql({"UPDATE PATBILDER SET PATIENTNR = NULL WHERE PATIENTNR = %P AND LOPNR = %L"}, {"PATBILDER"}), thePicture,
     Outcome::Skipped, nullptr, true},
    {"PATIENTNR 'abc'", sql({"UPDATE PATBILDER SET PATIENTNR = 'abc' WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Skipped, nullptr, true},
    {"KATEGORI 'abc'", sql({"UPDATE PATBILDER SET KATEGORI = 'abc' WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Fails, "Modality/SOPClass not found", true},
    {"BILDFLIK 'x'", sql({"UPDATE PATBILDER SET BILDFLIK = 'x' WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Fails, "Modality/SOPClass not found", true},
    {"DATUM 'igår'", sql({"UPDATE PATBILDER SET DATUM = 'igår' WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Fails, "Bilden saknar giltigt datum (PATBILDER.DATUM)"},
    {"LOPNR NULL", sql({"UPDATE PATBILDER SET LOPNR = NULL WHERE PATIENTNR = %P AND LOPNR = %L"}, {"PATBILDER"}),
     thePicture, Outcome::Fails, "LOPNR i PATBILDER är inget heltal: \"\""},
    {"LOPNR 'abc'", sql({"UPDATE PATBILDER SET LOPNR = 'abc' WHERE PATIENTNR = %P AND LOPNR = %L"}), thePicture,
     Outcome::Fails, "LOPNR i PATBILDER är inget heltal: \"abc\""},
    {"BILDKATALOG NULL", sql({"UPDATE PATBILDER SET BILDKATALOG = NULL WHERE PATIENTNR = %P AND LOPNR = %L"}),
     thePicture, Outcome::Fails, "är tom eller kan inte laddas!"},
    {"10 000-character BILDNAMN",
     [](DemoFixture& demo, const Picture& p) {
         demo.exec(expand("UPDATE PATBILDER SET BILDNAMN = '" + longText + ".jpg' WHERE PATIENTNR = %P AND LOPNR = %L", p));
     },
     thePicture, Outcome::Fails, "är tom eller kan inte laddas!"},

    // The patient.
    {"patient row missing", sql({"DELETE FROM KUNDER WHERE PATIENTNR = %P"}), thePatient, Outcome::Skipped, nullptr, true},
    {"EFTERNAMN NULL", sql({"UPDATE KUNDER SET EFTERNAMN = NULL WHERE PATIENTNR = %P"}), thePatient, Outcome::Converts},
    {"F_RNAMN NULL", sql({"UPDATE KUNDER SET F_RNAMN = NULL WHERE PATIENTNR = %P"}), thePatient, Outcome::Converts},
    {"PERSONNR NULL", sql({"UPDATE KUNDER SET PERSONNR = NULL WHERE PATIENTNR = %P"}), thePatient, Outcome::Fails,
     "Patient-ID saknas."},
    {"FODELSEDAG NULL", sql({"UPDATE KUNDER SET FODELSEDAG = NULL WHERE PATIENTNR = %P"}), thePatient, Outcome::Converts},
    {"FODELSEDAG 'okänd'", sql({"UPDATE KUNDER SET FODELSEDAG = 'okänd' WHERE PATIENTNR = %P"}), thePatient,
     Outcome::Converts},
    {"KON NULL", sql({"UPDATE KUNDER SET KON = NULL WHERE PATIENTNR = %P"}), thePatient, Outcome::Converts},
    {"10 000-character EFTERNAMN",
     [](DemoFixture& demo, const Picture& p) {
         demo.exec(expand("UPDATE KUNDER SET EFTERNAMN = '" + longText + "' WHERE PATIENTNR = %P", p));
     },
     thePatient, Outcome::Fails, "is longer than 64 characters (VR PN)"},
    // The store strips the ID to "....x", a folder inside the store.
    {"PERSONNR with a path", sql({"UPDATE KUNDER SET PERSONNR = '../../x' WHERE PATIENTNR = %P"}), thePatient,
     Outcome::Converts},

    // The category and its settings.
    {"category row missing", sql({"DELETE FROM PATBILDKATEGORI WHERE KATNR = 11"}), "KATEGORI = 11", Outcome::Fails,
     "Modality/SOPClass not found (Kategori: , Bildflik: ", true},
    {"MODALITY NULL", sql({"UPDATE BILDSERIEHUVUDKAT SET MODALITY = NULL WHERE BILDKAT = 11 AND BILDFLIK = 1"}),
     "KATEGORI = 11 AND BILDFLIK = 1", Outcome::Fails, "Modality/SOPClass not found (Kategori: Extraorala foton, Bildflik: 1)",
     true},
    {"SOPCLASS NULL", sql({"UPDATE BILDSERIEHUVUDKAT SET SOPCLASS = NULL WHERE BILDKAT = 11 AND BILDFLIK = 1"}),
     "KATEGORI = 11 AND BILDFLIK = 1", Outcome::Fails, "Modality/SOPClass not found (Kategori: Extraorala foton, Bildflik: 1)",
     true},
    {"category name NULL", sql({"UPDATE PATBILDKATEGORI SET KATEGORI = NULL WHERE KATNR = 11"}),
     "KATEGORI = 11", Outcome::Converts},
    {"SOPCLASSUID NULL",
     sql({"UPDATE DICOMSOPCLASSES SET SOPCLASSUID = NULL WHERE SOPCLASSNAME = 'VL Photographic Image Storage'"}),
     "KATEGORI IN (10, 14) OR (KATEGORI = 11 AND BILDFLIK = 1)", Outcome::Fails, "Modality/SOPClass not found", true},
    {"ANTAL NULL", sql({"UPDATE BILDSERIEHUVUDKAT SET ANTAL = NULL"}), "KATEGORI = 11 AND BILDFLIK = 1",
     Outcome::Converts, nullptr, true},
    {"ANTAL 'grå'", sql({"UPDATE BILDSERIEHUVUDKAT SET ANTAL = 'grå'"}), "KATEGORI = 11 AND BILDFLIK = 1",
     Outcome::Converts, nullptr, true},
    {"BILDKAT NULL",
     sql({"UPDATE BILDSERIEHUVUDKAT SET BILDKAT = NULL WHERE BILDKAT = 11 AND BILDFLIK = 1"}, {"BILDSERIEHUVUDKAT"}),
     "KATEGORI = 11 AND BILDFLIK = 1", Outcome::Fails, "Modality/SOPClass not found (Kategori: Extraorala foton, Bildflik: 1)",
     true},
    {"BILDKATDIR NULL",
     sql({"UPDATE PATBILDKATALOG SET BILDKATDIR = NULL WHERE BILDKATALOG = (SELECT BILDKATALOG FROM PATBILDER "
          "WHERE PATIENTNR = %P AND LOPNR = %L)"}),
     "BILDKATALOG = (SELECT BILDKATALOG FROM PATBILDER WHERE PATIENTNR = %P AND LOPNR = %L)", Outcome::Fails,
     "är tom eller kan inte laddas!"},

    // The store and the standard tags.
    {"DICOMDIR NULL", sql({"UPDATE DICOMDIRS SET DICOMDIR = NULL"}), everyPicture, Outcome::Fails,
     "Ingen DICOM-katalog är angiven för arkivet."},
    // The station name's row (0008,1010).
    {"GROUPID NULL", sql({"UPDATE DICOMTAGS SET GROUPID = NULL WHERE GROUPID = 8 AND ITEMID = 4112"}, {"DICOMTAGS"}),
     everyPicture, Outcome::Fails, "Ogiltig standardtagg i DICOMTAGS: grupp -1, element 4112"},
    {"ITEMID NULL", sql({"UPDATE DICOMTAGS SET ITEMID = NULL WHERE GROUPID = 8 AND ITEMID = 4112"}, {"DICOMTAGS"}),
     everyPicture, Outcome::Fails, "Ogiltig standardtagg i DICOMTAGS: grupp 8, element -1"},
    {"GROUPID 'zz'", sql({"UPDATE DICOMTAGS SET GROUPID = 'zz' WHERE GROUPID = 8 AND ITEMID = 4112"}), everyPicture,
     Outcome::Fails, "Ogiltig standardtagg i DICOMTAGS: grupp -1, element 4112"},
    {"GROUPID 0", sql({"UPDATE DICOMTAGS SET GROUPID = 0 WHERE GROUPID = 8 AND ITEMID = 4112"}), everyPicture,
     Outcome::Fails, "Ogiltig standardtagg i DICOMTAGS: grupp 0, element 4112"},
    {"DEFVALUE NULL", sql({"UPDATE DICOMTAGS SET DEFVALUE = NULL"}), everyPicture, Outcome::Converts},
    {"10 000-character DEFVALUE",
     [](DemoFixture& demo, const Picture&) {
         demo.exec("UPDATE DICOMTAGS SET DEFVALUE = '" + longText + "' WHERE GROUPID = 8 AND ITEMID = 4112");
     },
     everyPicture, Outcome::Fails, "Element (0008,1010) is longer than 16 characters (VR SH): 10000 characters"},

    // The resolution.
    {"PATIENTIDTYPE NULL", sql({"UPDATE DICOMDIRS SET PATIENTIDTYPE = NULL"}), everyPicture, Outcome::Converts},
    {"RESOLUTION NULL", sql({"UPDATE PATBILDEREXTRA SET RESOLUTION = NULL, ZOOM = NULL"}), everyPicture,
     Outcome::Converts},
    {"RESOLUTION 'x'", sql({"UPDATE PATBILDEREXTRA SET RESOLUTION = 'x', ZOOM = 'y'"}), everyPicture, Outcome::Converts},
    {"HORRES NULL", sql({"UPDATE PATANALYSER SET HORRES = NULL"}), everyPicture, Outcome::Converts},
    {"ZOOM NULL", sql({"UPDATE PATANALYSER SET ZOOM = NULL"}), everyPicture, Outcome::Converts},
    {"HORRES 'x'", sql({"UPDATE PATANALYSER SET HORRES = 'x', ZOOM = 'y'"}), everyPicture, Outcome::Converts},

    // Picture paths.
    {"file name with spaces", rename([](const Picture& p) { return "bild med mellanslag " + p.name; }), thePicture,
     Outcome::Converts},
    {"file name with Swedish letters", rename([](const Picture& p) { return QString::fromUtf8("Åsa Öström ärende ") + p.name; }),
     thePicture, Outcome::Converts},
    {"file name with quotes", rename([](const Picture& p) { return "it's \"citat\" " + p.name; }), thePicture,
     Outcome::Converts},
    {"path with ..", rename([](const Picture& p) { return "../" + QDir(p.folder).dirName() + "/annan/../" + p.name; }),
     thePicture, Outcome::Converts},
    {"a directory instead of a file",
     [](DemoFixture& demo, const Picture& p) {
         QDir(p.folder).mkdir("mapp.jpg");
         demo.exec(expand("UPDATE PATBILDER SET BILDNAMN = 'mapp.jpg' WHERE PATIENTNR = %P AND LOPNR = %L", p));
     },
     thePicture, Outcome::Fails, "är tom eller kan inte laddas!"},
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class MalformedDatabase : public testing::TestWithParam<Case> {};

} // namespace

TEST_P(MalformedDatabase, EndsInAClearLineAndLosesNothing)
{
    const Case& c = GetParam();
    const Outcomes& before = baseline();
    DemoFixture demo;
    const Picture picture = damagedPicture(demo);
    ASSERT_TRUE(before.ok.contains(picture.name)) << picture.name.toStdString();
    const QString where = expand(QString::fromUtf8(c.affected), picture);
    QSet<QString> affected;
    for (const QString& name : demo.rows("SELECT BILDNAMN FROM PATBILDER WHERE PATIENTNR BETWEEN " + fromNr + " AND "
                                         + toNr + " AND (" + where + ")"))
        if (before.ok.contains(name))
            affected.insert(name);
    ASSERT_FALSE(affected.isEmpty());
    const int rowsBefore = demo.count("SELECT COUNT(*) FROM PATBILDER");

    c.damage(demo, picture);

    if (c.check) {
        const ProcessResult r = demo.run(checkArgs(demo));
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 1) << "check: " << r.exitCode << " " << r.err.toStdString();
    }

    const ProcessResult r = demo.run(runArgs(demo));
    ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1 || r.exitCode == 2)
        << "crashed or hung: " << r.exitCode << " " << r.err.toStdString();
    const QSet<QString> ok = succeeded(demo);
    const QStringList failed = failedLines(demo);
    for (const QString& line : failed)
        if (!before.failed.contains(pictureOf(line)))
            std::cout << "    " << line.left(300).toStdString() << "\n";

    // The other pictures of the range convert as before; the damaged ones end as the case says.
    QSet<QString> expectedOk = before.ok;
    QSet<QString> expectedFailed = before.failed;
    if (c.outcome != Outcome::Converts)
        expectedOk -= affected;
    if (c.outcome == Outcome::Fails)
        expectedFailed += affected;
    // A picture renamed on purpose converts under its new name; a path's file name stays.
    if (c.outcome == Outcome::Converts)
        for (const QString& name : ok)
            if (!expectedOk.contains(name) && name.endsWith(picture.name) && expectedOk.remove(picture.name))
                expectedOk.insert(name);
    EXPECT_EQ(ok, expectedOk);
    if (c.outcome == Outcome::Fails) {
        // A damaged file name shows in the line as it stands in the database.
        const QSet<QString> got = failedPictures(failed);
        EXPECT_EQ(got.size(), expectedFailed.size());
        EXPECT_TRUE(got.contains(before.failed));
        int clear = 0;
        for (const QString& line : failed)
            if (!before.failed.contains(pictureOf(line)) && line.contains(QString::fromUtf8(c.text)))
                ++clear;
        EXPECT_EQ(clear, affected.size()) << "no clear FAILED line with \"" << c.text << "\"";
    } else {
        EXPECT_EQ(failedPictures(failed), expectedFailed);
    }
    EXPECT_EQ(r.exitCode, failed.isEmpty() ? 0 : 1) << r.err.toStdString();
    // Every success is one stored object and one deleted row; nothing else moved.
    EXPECT_EQ(dicomFileCount(demo.info.dicomDirFolder), ok.size());
    EXPECT_EQ(demo.count("SELECT COUNT(*) FROM PATBILDER"), rowsBefore - ok.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedDatabase, testing::ValuesIn(cases), [](const auto& info) {
    QString name = QString::fromUtf8(info.param.name);
    QString id;
    for (QChar ch : name)
        if (ch.isLetterOrNumber() && ch.unicode() < 128)
            id += ch;
    return QString("%1_%2").arg(info.index).arg(id).toStdString();
});
