#include "DbTestSupport.h"

#include "db/VTComponents.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QTemporaryDir>

namespace b2d {
namespace {

using test::Backend;

const char* const schema = R"(
CREATE TABLE KUNDER (PATIENTNR INTEGER PRIMARY KEY, PERSONNR VARCHAR(13), EFTERNAMN VARCHAR(40),
  F_RNAMN VARCHAR(40), FODELSEDAG DATETIME, PATSTATUS INTEGER);
INSERT INTO KUNDER VALUES (1, '19500101-1234', 'Andersson', 'Anna', '1950-01-01 00:00:00', NULL);
INSERT INTO KUNDER VALUES (2, '19620315-4321', 'Berg', 'Bo', NULL, 7);
INSERT INTO KUNDER VALUES (3, '19771224-0000', 'Carlsson', 'Cilla', '1977-12-24 00:00:00', NULL);
CREATE TABLE PATBILDER (PATIENTNR INTEGER NOT NULL, LOPNR INTEGER NOT NULL, DATUM DATETIME,
  BILDNAMN VARCHAR(255), KATEGORI INTEGER, PRIMARY KEY (PATIENTNR, LOPNR));
INSERT INTO PATBILDER VALUES (1, 1, '2011-03-15 10:30:00', 'a1.jpg', 10);
INSERT INTO PATBILDER VALUES (1, 2, '2011-03-15 10:31:00', 'a2.jpg', 11);
INSERT INTO PATBILDER VALUES (2, 1, '2012-06-01 00:00:00', 'b1.png', 10);
INSERT INTO PATBILDER VALUES (3, 1, '2013-01-02 00:00:00', 'c1.tif', 10);
INSERT INTO PATBILDER VALUES (3, 2, '2013-01-02 00:00:00', 'c2.tif', 10);
INSERT INTO PATBILDER VALUES (3, 3, '2014-01-02 00:00:00', 'c3.tif', 12);
CREATE TABLE BESBILDER (PATIENTNR INTEGER, LOPNR INTEGER, BILD1 VARCHAR(255), BILD2 VARCHAR(255), BILD3 VARCHAR(255));
INSERT INTO BESBILDER VALUES (1234, 1, 'scan_1234_17.jpg', 'scan_1234_170.jpg', NULL);
INSERT INTO BESBILDER VALUES (1234, 2, 'SCAN_1234_17.JPG', 'x1234-17.jpg', 'other.jpg');
CREATE TABLE DICOMSOPCLASSES (SOPCLASSNAME VARCHAR(64), SOPCLASSUID VARCHAR(64));
INSERT INTO DICOMSOPCLASSES VALUES ('Secondary Capture Image Storage', '1.2.840.10008.5.1.4.1.1.7');
INSERT INTO DICOMSOPCLASSES VALUES ('VL Photographic Image Storage', '1.2.840.10008.5.1.4.1.1.77.1.4');
CREATE TABLE BILDSERIEHUVUDKAT (LOPNR INTEGER PRIMARY KEY, BILDSERIE INTEGER, BILDKAT INTEGER, BILDFLIK INTEGER,
  MODALITY VARCHAR(16), SOPCLASS VARCHAR(64), STUDYDESCRIPTION VARCHAR(64), ANTAL INTEGER);
INSERT INTO BILDSERIEHUVUDKAT VALUES (1, 5, 10, NULL, 'XC', 'vl photographic image storage', 'Foto', 0);
INSERT INTO BILDSERIEHUVUDKAT VALUES (2, 5, 11, 3, 'OT', 'SECONDARY CAPTURE IMAGE STORAGE', NULL, 524289);
INSERT INTO BILDSERIEHUVUDKAT VALUES (3, 6, 12, NULL, NULL, 'Secondary Capture Image Storage', NULL, 0);
CREATE TABLE BILDSERIEUNDERKAT (LOPNR INTEGER PRIMARY KEY, BILDHUVUDKAT INTEGER, BILDKAT INTEGER);
INSERT INTO BILDSERIEUNDERKAT VALUES (1, 1, 12);
INSERT INTO BILDSERIEUNDERKAT VALUES (2, 1, 13);
INSERT INTO BILDSERIEUNDERKAT VALUES (3, 1, 10);
CREATE TABLE PATBILDKATEGORI (KATNR INTEGER PRIMARY KEY, KATEGORI VARCHAR(40), DELETED CHAR(1));
INSERT INTO PATBILDKATEGORI VALUES (10, 'Foto', 'F');
INSERT INTO PATBILDKATEGORI VALUES (12, 'Röntgen', 'F');
INSERT INTO PATBILDKATEGORI VALUES (13, 'Extraoral', 'F');
)";

class VTComponentsTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        file = dir.filePath(QStringLiteral("praktik.db"));
        test::sqliteScript(file, QString::fromUtf8(schema));
        connection.Open(test::connectionStringFor(GetParam(), file));
    }

    QString value(const QString& sql) const { return test::sqliteValue(file, sql); }

    std::unique_ptr<TVTAdoQuery> open(const QStringList& sql, TLockType lock = TLockType::ltReadOnly)
    {
        auto q = std::make_unique<TVTAdoQuery>();
        q->setConnection(&connection);
        q->setLockType(lock);
        q->setSQL(sql);
        q->Open();
        return q;
    }

    QTemporaryDir dir;
    QString file;
    TADOConnection connection;
};

TEST_P(VTComponentsTest, WalksTheResultWithOneBasedRecordNumbers)
{
    auto q = open({QStringLiteral("SELECT PATIENTNR, EFTERNAMN FROM KUNDER"), QStringLiteral("ORDER BY PATIENTNR")});
    EXPECT_TRUE(connection.isSqlite());
    ASSERT_EQ(q->RecordCount(), 3);
    EXPECT_EQ(q->RecNo(), 1);
    EXPECT_TRUE(q->Bof());
    EXPECT_FALSE(q->Eof());
    q->Next();
    q->Next();
    EXPECT_EQ(q->RecNo(), 3);
    EXPECT_FALSE(q->Eof());
    q->Next();
    EXPECT_TRUE(q->Eof());
    EXPECT_EQ(q->RecNo(), 3);
    EXPECT_EQ(q->FieldByName(QStringLiteral("efternamn")).toString(), QStringLiteral("Carlsson"));
    q->Prior();
    EXPECT_EQ(q->RecNo(), 2);
    EXPECT_FALSE(q->Eof());
    q->First();
    EXPECT_TRUE(q->Bof());
    EXPECT_EQ(q->FieldByName(QStringLiteral("PATIENTNR")).toInt(), 1);
    q->Last();
    EXPECT_TRUE(q->Eof());
    EXPECT_EQ(q->RecNo(), 3);
    q->setRecNo(2);
    EXPECT_FALSE(q->Eof());
    EXPECT_FALSE(q->Bof());
    EXPECT_EQ(q->FieldByName(QStringLiteral("EFTERNAMN")).toString(), QStringLiteral("Berg"));
    q->MoveBy(-5);
    EXPECT_EQ(q->RecNo(), 1);
    EXPECT_TRUE(q->Bof());
    EXPECT_THROW(q->setRecNo(4), DatabaseError);

    // Walking the way the run does: until Eof.
    QStringList names;
    for (q->First(); !q->Eof(); q->Next())
        names << q->FieldByName(QStringLiteral("EFTERNAMN")).toString();
    EXPECT_EQ(names, (QStringList{"Andersson", "Berg", "Carlsson"}));
}

TEST_P(VTComponentsTest, EmptyResultHasNullFieldsAndIsAtBothEnds)
{
    auto q = open({QStringLiteral("SELECT * FROM KUNDER WHERE PATIENTNR = 99")});
    EXPECT_TRUE(q->IsEmpty());
    EXPECT_TRUE(q->Eof());
    EXPECT_TRUE(q->Bof());
    EXPECT_EQ(q->RecNo(), 0);
    EXPECT_TRUE(q->FieldByName(QStringLiteral("PERSONNR")).isNull());
    q->Next();
    EXPECT_TRUE(q->Eof());
}

TEST_P(VTComponentsTest, FieldsCarryTypesAndNulls)
{
    auto q = open({QStringLiteral("SELECT * FROM KUNDER ORDER BY PATIENTNR")});
    const QVariant birth = q->FieldByName(QStringLiteral("FODELSEDAG"));
    ASSERT_EQ(birth.typeId(), QMetaType::QDateTime);
    EXPECT_EQ(birth.toDateTime(), QDateTime(QDate(1950, 1, 1), QTime(0, 0)));
    EXPECT_TRUE(q->FieldByName(QStringLiteral("PATSTATUS")).isNull());
    q->Next();
    EXPECT_TRUE(q->FieldByName(QStringLiteral("FODELSEDAG")).isNull());
    EXPECT_EQ(q->FieldByName(QStringLiteral("PATSTATUS")).toInt(), 7);
    try {
        q->FieldByName(QStringLiteral("NOSUCHFIELD"));
        ADD_FAILURE() << "no error for a missing field";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Field 'NOSUCHFIELD' not found"));
    }
    auto pictures = open({QStringLiteral("SELECT DATUM FROM PATBILDER WHERE PATIENTNR = 1 AND LOPNR = 2")});
    EXPECT_EQ(pictures->FieldByName(QStringLiteral("DATUM")).toDateTime(),
              QDateTime(QDate(2011, 3, 15), QTime(10, 31)));
}

TEST_P(VTComponentsTest, LocatesByOneOrMoreFields)
{
    auto q = open({QStringLiteral("SELECT * FROM PATBILDER ORDER BY PATIENTNR, LOPNR")});
    EXPECT_TRUE(q->Locate(QStringList{"PATIENTNR", "LOPNR"}, QVariantList{3, 2}));
    EXPECT_EQ(q->RecNo(), 5);
    EXPECT_TRUE(q->Locate(QStringLiteral("BILDNAMN"), QStringLiteral("B1.PNG"), loCaseInsensitive));
    EXPECT_EQ(q->RecNo(), 3);
    EXPECT_FALSE(q->Locate(QStringLiteral("BILDNAMN"), QStringLiteral("B1.PNG")));
    EXPECT_EQ(q->RecNo(), 3) << "a failed locate keeps the position";
    EXPECT_TRUE(q->Locate(QStringLiteral("BILDNAMN"), QStringLiteral("c"), loPartialKey));
    EXPECT_EQ(q->RecNo(), 4);
}

TEST_P(VTComponentsTest, NamedParametersTakeOneValuePerName)
{
    auto q = std::make_unique<TVTAdoQuery>();
    q->setConnection(&connection);
    q->setSQL({QStringLiteral("SELECT COUNT(*) AS ANTAL FROM PATBILDER"),
               QStringLiteral("WHERE (PATIENTNR = :PATIENTNR) AND (LOPNR <= :PATIENTNR) AND BILDNAMN <> ':NOPARAM'")});
    ASSERT_EQ(q->Parameters().size(), 1);
    q->ParamByName(QStringLiteral("PATIENTNR")).Value = 3;
    q->Open();
    EXPECT_EQ(q->FieldByName(QStringLiteral("ANTAL")).toInt(), 3);
    EXPECT_THROW(q->ParamByName(QStringLiteral("LOPNR")), DatabaseError);

    // Changing the SQL closes the query.
    q->SQLAdd(QStringLiteral("AND 1 = 1"));
    EXPECT_FALSE(q->Active());
    q->setSQL({QStringLiteral("SELECT * FROM KUNDER")});
    EXPECT_FALSE(q->Active());
    EXPECT_TRUE(q->Parameters().isEmpty());
}

TEST_P(VTComponentsTest, ExecSqlReturnsRowsAffectedAndErrorsCarryTheDriverText)
{
    EXPECT_EQ(connection.Execute(QStringLiteral("UPDATE PATBILDER SET KATEGORI = 20 WHERE PATIENTNR = 3")), 3);
    EXPECT_EQ(connection.Execute(QStringLiteral("DELETE FROM PATBILDER WHERE PATIENTNR = 99")), 0);
    try {
        connection.Execute(QStringLiteral("UPDATE NOSUCHTABLE SET A = 1"));
        ADD_FAILURE() << "no error for a missing table";
    } catch (const DatabaseError& e) {
        EXPECT_TRUE(e.text().contains(QStringLiteral("no such table: NOSUCHTABLE"))) << e.text().toStdString();
    }
    EXPECT_THROW(open({QStringLiteral("SELECT NOSUCHCOLUMN FROM KUNDER")}), DatabaseError);
}

TEST_P(VTComponentsTest, RollbackLeavesTheDatabaseAsItWas)
{
    EXPECT_FALSE(connection.InTransaction());
    connection.BeginTrans();
    EXPECT_TRUE(connection.InTransaction());
    EXPECT_THROW(connection.BeginTrans(), DatabaseError);
    connection.Execute(QStringLiteral("UPDATE KUNDER SET PATSTATUS = 5 WHERE PATIENTNR = 1"));
    // A failing statement in the middle: the caller rolls back and nothing is half-written.
    EXPECT_THROW(connection.Execute(QStringLiteral("UPDATE KUNDER SET NOSUCHCOLUMN = 1")), DatabaseError);
    connection.RollbackTrans();
    EXPECT_FALSE(connection.InTransaction());
    EXPECT_EQ(value(QStringLiteral("SELECT PATSTATUS FROM KUNDER WHERE PATIENTNR = 1")), QString());

    connection.BeginTrans();
    connection.Execute(QStringLiteral("UPDATE KUNDER SET PATSTATUS = 6 WHERE PATIENTNR = 1"));
    connection.CommitTrans();
    EXPECT_EQ(value(QStringLiteral("SELECT PATSTATUS FROM KUNDER WHERE PATIENTNR = 1")), QStringLiteral("6"));
    EXPECT_THROW(connection.CommitTrans(), DatabaseError);
    EXPECT_THROW(connection.RollbackTrans(), DatabaseError);
}

TEST_P(VTComponentsTest, DetailFollowsTheMastersCurrentRow)
{
    auto master = open({QStringLiteral("SELECT * FROM KUNDER ORDER BY PATIENTNR")});
    TDataSource source;
    source.setDataSet(master.get());
    TVTAdoQuery detail;
    detail.setConnection(&connection);
    detail.setSQL({QStringLiteral("SELECT * FROM PATBILDER"), QStringLiteral("WHERE (PATIENTNR = :PATIENTNR)"),
                   QStringLiteral("ORDER BY LOPNR")});
    detail.setDataSource(&source);
    detail.Open();
    EXPECT_EQ(detail.RecordCount(), 2);
    master->Next();
    EXPECT_EQ(detail.RecordCount(), 1);
    EXPECT_EQ(detail.FieldByName(QStringLiteral("BILDNAMN")).toString(), QStringLiteral("b1.png"));
    master->Locate(QStringLiteral("PATIENTNR"), 3);
    EXPECT_EQ(detail.RecordCount(), 3);

    // A closed detail stays closed while the master moves.
    detail.Close();
    master->First();
    EXPECT_FALSE(detail.Active());
    detail.Open();
    EXPECT_EQ(detail.RecordCount(), 2);

    // A closed master leaves the detail open and empty; re-opening the master fills it again.
    master->Close();
    EXPECT_TRUE(detail.Active());
    EXPECT_TRUE(detail.IsEmpty());
    master->Open();
    EXPECT_EQ(detail.RecordCount(), 2);
}

TEST_P(VTComponentsTest, ReadOnlyRefusesEditsAndOptimisticPostsThem)
{
    auto readOnly = open({QStringLiteral("SELECT * FROM KUNDER WHERE PATIENTNR = 1")});
    try {
        readOnly->Edit();
        ADD_FAILURE() << "a read-only query was edited";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Cannot modify a read-only dataset"));
    }
    EXPECT_THROW(readOnly->Insert(), DatabaseError);

    auto q = open({QStringLiteral("SELECT * FROM KUNDER WHERE PATIENTNR >= 2 ORDER BY PATIENTNR")},
                  TLockType::ltOptimistic);
    q->Edit();
    q->setFieldValue(QStringLiteral("EFTERNAMN"), QStringLiteral("Bergström"));
    q->Post();
    EXPECT_EQ(value(QStringLiteral("SELECT EFTERNAMN FROM KUNDER WHERE PATIENTNR = 2")), QStringLiteral("Bergström"));
    EXPECT_EQ(q->FieldByName(QStringLiteral("EFTERNAMN")).toString(), QStringLiteral("Bergström"));

    q->Insert();
    q->setFieldValue(QStringLiteral("PATIENTNR"), 4);
    q->setFieldValue(QStringLiteral("EFTERNAMN"), QStringLiteral("Dahl"));
    q->Post();
    EXPECT_EQ(q->RecordCount(), 3);
    EXPECT_EQ(q->FieldByName(QStringLiteral("PATIENTNR")).toInt(), 4);
    EXPECT_EQ(value(QStringLiteral("SELECT EFTERNAMN FROM KUNDER WHERE PATIENTNR = 4")), QStringLiteral("Dahl"));

    q->Delete();
    EXPECT_EQ(q->RecordCount(), 2);
    EXPECT_EQ(value(QStringLiteral("SELECT COUNT(*) FROM KUNDER WHERE PATIENTNR = 4")), QStringLiteral("0"));

    // Someone else changed the row since it was read: the update finds nothing and says so.
    q->First();
    test::sqliteScript(file, QStringLiteral("UPDATE KUNDER SET EFTERNAMN = 'Annan' WHERE PATIENTNR = 2"));
    q->Edit();
    q->setFieldValue(QStringLiteral("EFTERNAMN"), QStringLiteral("Mitt"));
    try {
        q->Post();
        ADD_FAILURE() << "a changed row was overwritten";
    } catch (const DatabaseError& e) {
        EXPECT_TRUE(e.text().startsWith(QStringLiteral("Row cannot be located for updating.")));
    }
    q->Cancel();
    EXPECT_EQ(value(QStringLiteral("SELECT EFTERNAMN FROM KUNDER WHERE PATIENTNR = 2")), QStringLiteral("Annan"));
}

// The SQL Server texts of the program, run as they stand.
TEST_P(VTComponentsTest, CollateDatabaseDefaultJoinsIgnoringCase)
{
    auto q = std::make_unique<TVTAdoQuery>();
    q->setConnection(&connection);
    q->setSQL({QStringLiteral("SELECT H.*, D.SOPCLASSUID FROM BILDSERIEHUVUDKAT H"),
               QStringLiteral("LEFT JOIN DICOMSOPCLASSES D ON (H.SOPCLASS COLLATE DATABASE_DEFAULT  = "
                              "D.SOPCLASSNAME COLLATE DATABASE_DEFAULT )"),
               QStringLiteral("WHERE (MODALITY IS NOT NULL)"), QStringLiteral("AND (SOPCLASS IS NOT NULL)"),
               QStringLiteral("AND H.BILDSERIE =:ID")});
    q->ParamByName(QStringLiteral("ID")).Value = 5;
    q->Open();
    ASSERT_EQ(q->RecordCount(), 2);
    EXPECT_TRUE(q->Locate(QStringLiteral("BILDKAT"), 10));
    EXPECT_EQ(q->FieldByName(QStringLiteral("SOPCLASSUID")).toString(), QStringLiteral("1.2.840.10008.5.1.4.1.1.77.1.4"));
    EXPECT_TRUE(q->Locate(QStringLiteral("BILDKAT"), 11));
    EXPECT_EQ(q->FieldByName(QStringLiteral("SOPCLASSUID")).toString(), QStringLiteral("1.2.840.10008.5.1.4.1.1.7"));
}

TEST_P(VTComponentsTest, LikeWithBracketedUnderscoreMovesOnlyThatPicture)
{
    const QString uid = QStringLiteral("1.2.826.0.1.3680043.10.1134.1234.10.17");
    const QString pattern = QStringLiteral("%1234[_]17.%");
    EXPECT_EQ(connection.Execute(QStringLiteral("UPDATE BESBILDER SET BILD1='") + uid +
                                 QStringLiteral("' WHERE PATIENTNR = 1234 AND BILD1 LIKE '") + pattern + u'\''),
              2);
    EXPECT_EQ(connection.Execute(QStringLiteral("UPDATE BESBILDER SET BILD2='") + uid +
                                 QStringLiteral("' WHERE PATIENTNR = 1234 AND BILD2 LIKE '") + pattern + u'\''),
              0);
    EXPECT_EQ(value(QStringLiteral("SELECT COUNT(*) FROM BESBILDER WHERE BILD1 = '") + uid + u'\''), QStringLiteral("2"));
    EXPECT_EQ(value(QStringLiteral("SELECT BILD2 FROM BESBILDER WHERE LOPNR = 1")), QStringLiteral("scan_1234_170.jpg"));
    EXPECT_EQ(value(QStringLiteral("SELECT BILD2 FROM BESBILDER WHERE LOPNR = 2")), QStringLiteral("x1234-17.jpg"));
}

TEST_P(VTComponentsTest, ParenthesisedCompoundQueryRuns)
{
    auto q = std::make_unique<TVTAdoQuery>();
    q->setConnection(&connection);
    q->setSQL({QStringLiteral("(SELECT KATEGORI, 'HUVUDKAT' AS TYP FROM PATBILDKATEGORI"),
               QStringLiteral("WHERE KATNR = :BILDKAT1"), QStringLiteral("UNION"),
               QStringLiteral("SELECT DISTINCT K.KATEGORI, 'UNDERKAT' AS TYP FROM BILDSERIEHUVUDKAT HK"),
               QStringLiteral("JOIN BILDSERIEUNDERKAT UK ON HK.LOPNR=UK.BILDHUVUDKAT"),
               QStringLiteral("JOIN PATBILDKATEGORI K ON UK.BILDKAT=K.KATNR "), QStringLiteral("WHERE HK.BILDKAT = :BILDKAT2)"),
               QStringLiteral("ORDER BY TYP, KATEGORI")});
    q->ParamByName(QStringLiteral("BILDKAT1")).Value = 10;
    q->ParamByName(QStringLiteral("BILDKAT2")).Value = 10;
    q->Open();
    QStringList rows;
    for (; !q->Eof(); q->Next())
        rows << q->FieldByName(QStringLiteral("TYP")).toString() + u':' + q->FieldByName(QStringLiteral("KATEGORI")).toString();
    EXPECT_EQ(rows, (QStringList{"HUVUDKAT:Foto", "UNDERKAT:Extraoral", "UNDERKAT:Foto", "UNDERKAT:Röntgen"}));
}

TEST_P(VTComponentsTest, ClosingTheConnectionClosesItsQueries)
{
    auto q = open({QStringLiteral("SELECT * FROM KUNDER")});
    TDataSource source;
    source.setDataSet(q.get());
    TVTAdoQuery detail;
    detail.setConnection(&connection);
    detail.setSQL({QStringLiteral("SELECT * FROM PATBILDER WHERE PATIENTNR = :PATIENTNR")});
    detail.setDataSource(&source);
    detail.Open();
    connection.BeginTrans();
    connection.Execute(QStringLiteral("DELETE FROM KUNDER"));
    connection.Close();
    EXPECT_FALSE(q->Active());
    EXPECT_FALSE(detail.Active());
    EXPECT_FALSE(connection.InTransaction());
    EXPECT_EQ(value(QStringLiteral("SELECT COUNT(*) FROM KUNDER")), QStringLiteral("3"));
    try {
        q->Open();
        ADD_FAILURE() << "opened on a closed connection";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("The database connection is not open"));
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, VTComponentsTest, ::testing::Values(Backend::Embedded, Backend::Odbc),
                         [](const auto& info) { return std::string(test::backendName(info.param)); });

TEST(TADOConnectionOpen, OdbcDriverByItsRegisteredName)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("praktik.db"));
    test::sqliteScript(file, QStringLiteral("CREATE TABLE KUNDER (PATIENTNR INTEGER); INSERT INTO KUNDER VALUES (42);"));
    TADOConnection c;
    c.Open(QStringLiteral("Provider=MSDASQL;DRIVER={SQLite3};Database=") + file);
    EXPECT_TRUE(c.isSqlite());
    EXPECT_FALSE(c.isNativeSqlite());
    TVTAdoQuery q;
    q.setConnection(&c);
    q.setSQL({QStringLiteral("SELECT PATIENTNR FROM KUNDER")});
    q.Open();
    EXPECT_EQ(q.FieldByName(QStringLiteral("PATIENTNR")).toInt(), 42);
}

TEST(TADOConnectionOpen, FailsClearlyWithoutTouchingAnything)
{
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("nothing.db"));
    TADOConnection c;
    try {
        c.Open(QStringLiteral("Provider=SQLite;Data Source=") + missing);
        ADD_FAILURE() << "opened a missing file";
    } catch (const DatabaseError& e) {
        EXPECT_TRUE(e.text().contains(QStringLiteral("does not exist")));
    }
    EXPECT_FALSE(QFile::exists(missing)) << "a missing database must not be created";
    EXPECT_FALSE(c.Connected());
    try {
        c.Open(QStringLiteral("Provider=Microsoft.ACE.OLEDB.12.0;Data Source=x.accdb"));
        ADD_FAILURE() << "opened with an unknown provider";
    } catch (const DatabaseError& e) {
        EXPECT_EQ(e.text(), QStringLiteral("Unknown database provider \"Microsoft.ACE.OLEDB.12.0\""));
    }
    // An ODBC driver that does not exist: the driver manager's own text.
    EXPECT_THROW(c.Open(QStringLiteral("Provider=MSDASQL;DRIVER={No Such Driver};Database=x")), DatabaseError);
    EXPECT_FALSE(c.Connected());
}

} // namespace
} // namespace b2d
