#include "DbTestSupport.h"
#include "support/TestSupport.h"

#include "db/DemoPractice.h"
#include "db/StoredLoginCipher.h"
#include "db/VTComponents.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QSet>
#include <QTemporaryDir>

#include <memory>

namespace b2d {
namespace {

using test::Backend;

// One demo practice for the whole suite: making it draws a 4000 x 3500 picture.
class DemoPracticeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = std::make_unique<QTemporaryDir>();
        info = createDemoPractice(dir->filePath(QStringLiteral("demo")), false);
    }
    static void TearDownTestSuite() { dir.reset(); }

    static std::unique_ptr<QTemporaryDir> dir;
    static DemoPracticeInfo info;
};
std::unique_ptr<QTemporaryDir> DemoPracticeTest::dir;
DemoPracticeInfo DemoPracticeTest::info;

QByteArray treeDigest(const QString& folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries << it.filePath() + u' ' + QString::number(it.fileInfo().size()) + u' ' +
                       it.fileInfo().lastModified().toString(Qt::ISODateWithMs);
    }
    entries.sort();
    return QCryptographicHash::hash(entries.join(u'\n').toUtf8(), QCryptographicHash::Sha256);
}

TEST_F(DemoPracticeTest, MakesDatabaseDataLinkAndStores)
{
    EXPECT_EQ(info.patients, 25);
    EXPECT_GE(info.pictures, 130);
    EXPECT_LE(info.pictures, 180);
    EXPECT_EQ(test::sqliteValue(info.databaseFile, QStringLiteral("SELECT COUNT(*) FROM KUNDER")), QStringLiteral("25"));
    EXPECT_EQ(test::sqliteValue(info.databaseFile, QStringLiteral("SELECT COUNT(*) FROM PATBILDER")),
              QString::number(info.pictures));
    // The practice's login, enciphered as the practice system stores it.
    EXPECT_EQ(test::sqliteValue(info.databaseFile, QStringLiteral("SELECT COUNT(*) FROM VELTARONUSER")), QStringLiteral("1"));
    const StoredLoginCipher cipher(StoredLoginCipher::installationKey());
    EXPECT_EQ(cipher.decipher(test::sqliteValue(info.databaseFile, QStringLiteral("SELECT VTUSERNAME FROM VELTARONUSER"))),
              demoLogin().first);
    EXPECT_EQ(test::sqliteValue(info.databaseFile,
                                QStringLiteral("SELECT COUNT(*) FROM KUNDER WHERE PERSONNR NOT GLOB "
                                               "'[12][0-9][0-9][0-9][01][0-9][0-3][0-9]-[0-9][0-9][0-9][0-9]'")),
              QStringLiteral("0"));
    EXPECT_TRUE(QFileInfo(info.dicomDirFolder).isDir());
    EXPECT_EQ(test::sqliteValue(info.databaseFile, QStringLiteral("SELECT DICOMDIR FROM DICOMDIRS")), info.dicomDirFolder);

    // The data link: UTF-16 little endian with a byte-order mark, as the system writes them.
    const QByteArray udl = test::readAll(info.dataLinkFile);
    ASSERT_TRUE(udl.startsWith("\xFF\xFE"));
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(udl.constData() + 2), (udl.size() - 2) / 2);
    EXPECT_TRUE(text.startsWith(QStringLiteral("[oledb]\r\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\r\nProvider=SQLite;Data Source=") + info.databaseFile + QStringLiteral("\r\n")));
}

TEST_F(DemoPracticeTest, PicturesCoverEveryFormatAndExistExceptTheMissingOne)
{
    TADOConnection c;
    c.Open(info.connectionString);
    TVTAdoQuery q;
    q.setConnection(&c);
    q.setSQL({QStringLiteral("SELECT K.BILDKATDIR, B.BILDNAMN FROM PATBILDER B JOIN PATBILDKATALOG K ON B.BILDKATALOG = K.BILDKATALOG")});
    q.Open();
    QSet<QString> extensions;
    QStringList missing;
    QString big;
    for (; !q.Eof(); q.Next()) {
        const QString path = q.FieldByName(QStringLiteral("BILDKATDIR")).toString() + q.FieldByName(QStringLiteral("BILDNAMN")).toString();
        if (!QFileInfo::exists(path))
            missing << QFileInfo(path).fileName();
        extensions.insert(u'.' + QFileInfo(path).suffix().toLower());
        if (path.contains(QStringLiteral("stor")))
            big = path;
    }
    EXPECT_EQ(missing, QStringList{QStringLiteral("borttagen_1011_%1.jpg").arg(missing.isEmpty() ? 0 : missing[0].section(u'_', 2).section(u'.', 0, 0).toInt())});
    for (const char* ext : {".bmp", ".jpg", ".jpeg", ".tmb", ".gif", ".png", ".tif", ".tiff", ".wmf", ".tga", ".pcx",
                            ".pcd", ".jp2", ".j2k"})
        EXPECT_TRUE(extensions.contains(QString::fromLatin1(ext))) << ext;

    ASSERT_FALSE(big.isEmpty());
    const QSize size = QImageReader(big).size();
    EXPECT_GT(qint64(size.width()) * size.height() * 3, 40'000'000);
}

// The program's SQL texts, exactly as it runs them, on the demo database.
struct Statement {
    const char* name;
    QStringList sql;
    QVariantMap parameters;
    int minimumRows;
};

class DemoStatementsTest : public DemoPracticeTest, public ::testing::WithParamInterface<Backend> {};

TEST_P(DemoStatementsTest, EveryStatementRunsAsItStands)
{
    const QString picturesQuery =
        QStringLiteral("SELECT B.LOPNR, B.DATUM, B.BILDNAMN, B.PATIENTNR, K.BILDKATDIR, B.BILDFLIK FROM PATBILDER B LEFT JOIN PATBILDKATALOG K ON (B.BILDKATALOG = K.BILDKATALOG) ") +
        QStringLiteral("WHERE ((SELECT COUNT(*) FROM KUNDER WHERE PATIENTNR = B.PATIENTNR)>0) ") +
        QStringLiteral("GROUP BY B.PATIENTNR, B.BILDNAMN, K.BILDKATDIR, B.LOPNR, B.DATUM, B.BILDFLIK ") +
        QStringLiteral("ORDER BY B.PATIENTNR, DATUM,  LOPNR ");
    const QString runQuery =
        QStringLiteral("SELECT B.LOPNR, B.DATUM, B.BILDNAMN, B.PATIENTNR, K.BILDKATDIR, B.BILDFLIK FROM PATBILDER B LEFT JOIN PATBILDKATALOG K ON (B.BILDKATALOG = K.BILDKATALOG) ") +
        QStringLiteral("WHERE ((SELECT COUNT(*) FROM KUNDER WHERE PATIENTNR = B.PATIENTNR)>0) ") +
        QStringLiteral("AND (B.PATIENTNR >= ") + QStringLiteral("1001") + QStringLiteral(") AND (B.PATIENTNR <= ") +
        QStringLiteral("1025") + QStringLiteral(") ") + QStringLiteral("AND (B.BILDFLIK IS NOT NULL) ") +
        QStringLiteral("GROUP BY B.PATIENTNR, B.LOPNR, B.BILDNAMN, K.BILDKATDIR, B.DATUM, B.BILDFLIK ") +
        QStringLiteral("ORDER BY B.PATIENTNR, DATUM, LOPNR ");
    const QVariantMap picture{{QStringLiteral("PATIENTNR"), 1001}, {QStringLiteral("LOPNR"), 1}};
    const std::vector<Statement> statements = {
        {"qryBildserier",
         {"SELECT B.LOPNR AS ID, B.NAMN, B.BILDFORMAT, B.DICOMSERVER, D.LOPNR, D.PATIENTIDTYPE, D.SERVERNAMN FROM BILDSERIER B",
          "RIGHT JOIN DICOMSERVERS D ON B.DICOMSERVER = D.LOPNR", "WHERE B.DICOMSERVER IS NOT NULL", "UNION",
          "SELECT B.LOPNR AS ID, B.NAMN, B.BILDFORMAT, B.DICOMSERVER, R.LOPNR, R.PATIENTIDTYPE, R.SERVERNAMN FROM BILDSERIER B",
          "RIGHT JOIN DICOMDIRS R ON B.DICOMSERVER = R.LOPNR", "WHERE B.DICOMSERVER IS NOT NULL"},
         {},
         2},
        {"qryBildseriehuvudkat",
         {"SELECT H.*, D.SOPCLASSUID FROM BILDSERIEHUVUDKAT H",
          "LEFT JOIN DICOMSOPCLASSES D ON (H.SOPCLASS COLLATE DATABASE_DEFAULT  = D.SOPCLASSNAME COLLATE DATABASE_DEFAULT )",
          "WHERE (MODALITY IS NOT NULL)", "AND (SOPCLASS IS NOT NULL)", "AND H.BILDSERIE =:ID"},
         {{"ID", 1}},
         7},
        {"qryBildserieunderkat",
         {"SELECT U.BILDKAT, H.MODALITY, H.SOPCLASS, H.ANTAL, H.STUDYDESCRIPTION, H.BILDFLIK, D.SOPCLASSUID FROM BILDSERIEUNDERKAT U",
          "JOIN BILDSERIEHUVUDKAT H ON U.BILDHUVUDKAT = H.LOPNR",
          "JOIN DICOMSOPCLASSES D ON (H.SOPCLASS COLLATE DATABASE_DEFAULT  = D.SOPCLASSNAME COLLATE DATABASE_DEFAULT )",
          "WHERE (MODALITY IS NOT NULL) AND (SOPCLASS IS NOT NULL)", "AND H.BILDSERIE =:ID"},
         {{"ID", 2}},
         2},
        {"qryDicomtags", {"SELECT * FROM DICOMTAGS", "WHERE STANDARDTAG = 'T'"}, {}, 12},
        {"qryPatbilder (connect)", {picturesQuery}, {}, 100},
        {"qryPatbilder (run)", {runQuery}, {}, 100},
        {"qryKategorier",
         {"SELECT KG.KATNR, KG.KATEGORI", "FROM PATBILDER B", "LEFT JOIN PATBILDKATEGORI KG ON (B.KATEGORI = KG.KATNR)",
          "WHERE (B.PATIENTNR = :PATIENTNR) AND (B.LOPNR = :LOPNR) AND (KG.DELETED <> 'T')"},
         picture,
         1},
        {"qryKunder", {"SELECT * FROM KUNDER ", "WHERE (PATIENTNR = :PATIENTNR)"}, picture, 1},
        {"qryImageComments",
         {"(SELECT KATEGORI, 'HUVUDKAT' AS TYP FROM PATBILDKATEGORI", "WHERE KATNR = :BILDKAT1", "UNION",
          "SELECT DISTINCT K.KATEGORI, 'UNDERKAT' AS TYP FROM BILDSERIEHUVUDKAT HK",
          "JOIN BILDSERIEUNDERKAT UK ON HK.LOPNR=UK.BILDHUVUDKAT", "JOIN PATBILDKATEGORI K ON UK.BILDKAT=K.KATNR ",
          "WHERE HK.BILDKAT = :BILDKAT2)", "ORDER BY TYP, KATEGORI"},
         {{"BILDKAT1", 10}, {"BILDKAT2", 10}},
         2},
        {"qryFlikar", {"select * from fieldcounters where tablename = 'arkivflikar' order by counter"}, {}, 5},
        {"qryPatanalyser", {"SELECT * FROM PATANALYSER", "WHERE (PATIENTNR = :PATIENTNR)", "AND (LOPNR = :LOPNR)"}, picture, 0},
        {"qryPatbilderextra", {"SELECT * FROM PATBILDEREXTRA", "WHERE (PATIENTNR = :PATIENTNR)", "AND (LOPNR = :LOPNR)"}, picture, 0},
        {"qryReg",
         {"SELECT B.*, P.*, T.KLINIK AS TRKLINIKNAMN, K.KLINIK AS KLINIKNAMN", "FROM BEHUPPG B",
          "LEFT JOIN PATREG P ON B.BEHNR=P.LOPNR", "LEFT JOIN TRKLINIK T ON P.TRKLINIKNR=T.KLINIKNR",
          "LEFT JOIN KLINIK K ON P.KLINIK=K.KLINIKNR", "WHERE REGDATUM IS NOT NULL", "AND PATIENTNR=:PATIENTNR",
          "ORDER BY REGDATUM"},
         picture,
         1},
        {"isReferenced (analyses)", {"SELECT COUNT(*) AS ANTAL FROM PATANALYSER WHERE PATIENTNR=1001 AND BILDNR= 1"}, {}, 1},
        {"isReferenced (status)", {"SELECT COUNT(*) AS ANTAL FROM KUNDER WHERE PATIENTNR=1001 AND PATSTATUS= 1"}, {}, 1},
        {"KolmUpdate (min)", {"SELECT MIN(LOPNR) AS RESULT FROM DICOMBILDER WHERE (PATIENTNR = 1002)"}, {}, 1},
        {"KolmUpdate (find)",
         {"SELECT * FROM DICOMBILDER WHERE (PATIENTNR = 1002) AND (SOPINSTANCEUID = '1.2.826.0.1.3680043.10.1134.1002.10.99')"},
         {},
         1},
        {"LoadImageHandlers (servers)", {"SELECT * FROM DICOMSERVERS ORDER BY SORTIX, LOPNR"}, {}, 2},
        {"LoadImageHandlers (directories)", {"SELECT * FROM DICOMDIRS ORDER BY SORTIX, LOPNR"}, {}, 1},
        {"PrepareDatabaseLogin", {"SELECT * FROM VELTARONUSER"}, {}, 0},
    };

    TADOConnection c;
    c.Open(test::connectionStringFor(GetParam(), info.databaseFile));
    for (const Statement& s : statements) {
        SCOPED_TRACE(s.name);
        TVTAdoQuery q;
        q.setConnection(&c);
        q.setSQL(s.sql);
        for (TParameter& p : q.Parameters())
            p.Value = s.parameters.value(p.Name);
        ASSERT_NO_THROW(q.Open());
        EXPECT_GE(q.RecordCount(), s.minimumRows);
    }

    // The columns the image-handler loader reads.
    TVTAdoQuery servers;
    servers.setConnection(&c);
    servers.setSQL({QStringLiteral("SELECT * FROM DICOMSERVERS ORDER BY SORTIX, LOPNR")});
    servers.Open();
    for (const char* column : {"SERVERNAMN", "LOPNR", "AUTOCONNECT", "INCLUDEINMOVE", "DOSTORE", "FARG", "REMOTEAE",
                               "SERVERADDRESS", "SERVERPORT", "GETONLYTHUMBS", "IFMAXMOVE", "IFNOTHUMBGETIMAGE",
                               "MAXMOVEITEMS", "TAG_QUERYLEVEL", "GETOBJEKTAS", "LOCALPORT", "PATIENTIDTYPE"})
        EXPECT_TRUE(servers.FindField(QString::fromLatin1(column))) << column;
    EXPECT_EQ(servers.FieldByName(QStringLiteral("SERVERADDRESS")).toString(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(servers.FieldByName(QStringLiteral("SERVERPORT")).toInt(), 11112);
    TVTAdoQuery dirs;
    dirs.setConnection(&c);
    dirs.setSQL({QStringLiteral("SELECT * FROM DICOMDIRS ORDER BY SORTIX, LOPNR")});
    dirs.Open();
    for (const char* column : {"SERVERNAMN", "LOPNR", "FARG", "AUTOCONNECT", "DICOMDIR", "GETONLYTHUMBS",
                               "IFNOTHUMBGETIMAGE", "INCLUDEINBILDGRUPPERING", "INCLUDEINMOVE", "DOSTORE",
                               "PATIENTIDSUBDIRS", "SUBDIRSSTYLE", "PATIENTIDTYPE"})
        EXPECT_TRUE(dirs.FindField(QString::fromLatin1(column))) << column;

    // The reference update's statements, inside a transaction that is rolled back.
    c.BeginTrans();
    EXPECT_EQ(c.Execute(QStringLiteral("UPDATE BESBILDER SET BILD1='1.2.3' WHERE PATIENTNR = 1002 AND BILD1 LIKE '%1002[_]1.%'")), 1);
    EXPECT_EQ(c.Execute(QStringLiteral("UPDATE BESBILDER SET BILD3='1.2.3' WHERE PATIENTNR = 1002 AND BILD3 LIKE '%1002[_]1.%'")), 0);
    EXPECT_GE(c.Execute(QStringLiteral("UPDATE PATANALYSER SET BILDNR= -2 WHERE (PATIENTNR= 1001) AND (BILDNR= 1)")), 0);
    EXPECT_GE(c.Execute(QStringLiteral("UPDATE KUNDER SET PATSTATUS= -2 WHERE (PATIENTNR= 1001) AND (PATSTATUS= 1)")), 0);
    EXPECT_EQ(c.Execute(QStringLiteral("DELETE FROM PATBILDER WHERE (PATIENTNR= 1001) AND (LOPNR= 1)")), 1);
    c.RollbackTrans();
    EXPECT_EQ(test::sqliteValue(info.databaseFile, QStringLiteral("SELECT COUNT(*) FROM PATBILDER WHERE PATIENTNR = 1001 AND LOPNR = 1")),
              QStringLiteral("1"));
}

INSTANTIATE_TEST_SUITE_P(Backends, DemoStatementsTest, ::testing::Values(Backend::Embedded, Backend::Odbc),
                         [](const auto& p) { return std::string(test::backendName(p.param)); });

TEST(CreateDemoPractice, RefusesAnExistingFolderUnlessForced)
{
    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("praktik"));
    createDemoPractice(folder, false);
    test::writeAll(folder + QStringLiteral("/anteckningar.txt"), "egna filer");
    const QByteArray before = treeDigest(root.path());
    try {
        createDemoPractice(folder, false);
        ADD_FAILURE() << "an existing demo was overwritten";
    } catch (const DemoPracticeError& e) {
        EXPECT_TRUE(e.text().contains(QStringLiteral("finns redan"))) << e.what();
        EXPECT_TRUE(e.text().contains(QStringLiteral("--force"))) << e.what();
    }
    EXPECT_EQ(treeDigest(root.path()), before) << "a refused run changed something";

    // Forced: the demo is made again, and files that are not the demo's stay.
    test::sqliteScript(folder + QStringLiteral("/praktik.db"), QStringLiteral("DELETE FROM KUNDER"));
    const DemoPracticeInfo again = createDemoPractice(folder, true);
    EXPECT_EQ(test::sqliteValue(again.databaseFile, QStringLiteral("SELECT COUNT(*) FROM KUNDER")), QStringLiteral("25"));
    EXPECT_EQ(test::readAll(folder + QStringLiteral("/anteckningar.txt")), QByteArray("egna filer"));
    EXPECT_EQ(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("praktik")}) << "no work folder is left behind";

    test::writeAll(root.filePath(QStringLiteral("fil")), "x");
    EXPECT_THROW(createDemoPractice(root.filePath(QStringLiteral("fil")), true), DemoPracticeError);
}

TEST(PracticeSchema, SqlServerScriptHasTheSameTables)
{
    const QString sqlite = practiceSchemaSqlite();
    const QString server = practiceSchemaSqlServer();
    for (const char* table : {"PATBILDER", "PATBILDKATALOG", "PATBILDKATEGORI", "PATBILDEREXTRA", "PATANALYSER", "KUNDER",
                              "BILDSERIER", "BILDSERIEHUVUDKAT", "BILDSERIEUNDERKAT", "DICOMSERVERS", "DICOMDIRS",
                              "DICOMSOPCLASSES", "DICOMTAGS", "FIELDCOUNTERS", "BEHUPPG", "PATREG", "KLINIK", "TRKLINIK",
                              "VELTARONUSER", "DICOMBILDER", "BESBILDER"}) {
        const QString create = QStringLiteral("CREATE TABLE %1 (").arg(QLatin1String(table));
        EXPECT_TRUE(sqlite.contains(create)) << table;
        EXPECT_TRUE(server.contains(create)) << table;
    }
}

} // namespace
} // namespace b2d
