#include "DbTestSupport.h"

#include "db/uRegFinder.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QTemporaryDir>

namespace b2d {
namespace {

using test::Backend;

// Patient 1: registrations in 2010 and 2012 (the later one dated in the afternoon), written out
// of order, plus one without REGDATUM that never counts. Patient 2 has none; patient 3 has one
// whose registration row is missing.
const char* const kSchema = R"(
CREATE TABLE KLINIK (KLINIKNR INTEGER NOT NULL PRIMARY KEY, KLINIK VARCHAR(60));
CREATE TABLE TRKLINIK (KLINIKNR INTEGER NOT NULL PRIMARY KEY, KLINIK VARCHAR(60));
CREATE TABLE PATREG (LOPNR INTEGER NOT NULL PRIMARY KEY, KLINIK INTEGER, TRKLINIKNR INTEGER);
CREATE TABLE BEHUPPG (LOPNR INTEGER NOT NULL PRIMARY KEY, PATIENTNR INTEGER NOT NULL, BEHNR INTEGER, REGDATUM DATETIME);
INSERT INTO KLINIK VALUES (1, 'Norra kliniken'), (2, 'Södra kliniken'), (3, 'Odaterad');
INSERT INTO TRKLINIK VALUES (1, 'Remittent A');
INSERT INTO PATREG VALUES (10, 1, 1), (11, 2, NULL), (12, 3, 1);
INSERT INTO BEHUPPG VALUES (101, 1, 11, '2012-06-01 15:30:00');
INSERT INTO BEHUPPG VALUES (100, 1, 10, '2010-01-01 00:00:00');
INSERT INTO BEHUPPG VALUES (102, 1, 12, NULL);
INSERT INTO BEHUPPG VALUES (103, 3, 99, '2015-01-01 00:00:00');
)";

class RegFinderTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("praktik.db"));
        test::sqliteScript(file, QString::fromUtf8(kSchema));
        connection.Open(test::connectionStringFor(GetParam(), file));
    }

    QTemporaryDir dir;
    TADOConnection connection;
};

QDateTime at(int y, int m, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, mi, s));
}

TEST_P(RegFinderTest, StandsOnTheRegistrationValidOnThePicturesDay)
{
    struct Case {
        const char* what;
        QDateTime datum;
        const char* klinik;
    };
    const Case cases[] = {
        {"between the two", at(2011, 3, 15, 10), "Norra kliniken"},
        {"the day before the later one", at(2012, 5, 31, 23, 59, 59), "Norra kliniken"},
        {"the later one's day, before its time", at(2012, 6, 1, 9), "Södra kliniken"},
        {"the later one's day, end of day", at(2012, 6, 1, 23, 59, 59), "Södra kliniken"},
        {"open-ended: long after the last", at(2030, 1, 1), "Södra kliniken"},
        {"before every registration: the earliest", at(2009, 5, 5), "Norra kliniken"},
        {"no picture date: the earliest", QDateTime(), "Norra kliniken"},
    };
    TdmRegFinder finder(connection);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(finder.regFind(c.datum, 1));
        EXPECT_EQ(finder.getField(QStringLiteral("KLINIKNAMN")).toString(), QString::fromUtf8(c.klinik));
        EXPECT_EQ(finder.qryReg.RecordCount(), 2) << "rows without REGDATUM take no part";
    }
}

TEST_P(RegFinderTest, PatientWithoutRegistrationsIsNotFound)
{
    TdmRegFinder finder(connection);
    ASSERT_TRUE(finder.regFind(at(2011, 1, 1), 1));
    EXPECT_FALSE(finder.regFind(at(2011, 1, 1), 2));
}

TEST_P(RegFinderTest, GetFieldGivesNullsAndRefusesUnknownFields)
{
    TdmRegFinder finder(connection);
    ASSERT_TRUE(finder.regFind(at(2013, 1, 1), 1));
    EXPECT_EQ(finder.getField(QStringLiteral("TRKLINIKNAMN")).isNull(), true) << "no referring clinic";
    EXPECT_EQ(finder.getField(QStringLiteral("BEHNR")).toInt(), 11);
    ASSERT_TRUE(finder.regFind(at(2011, 1, 1), 1));
    EXPECT_EQ(finder.getField(QStringLiteral("TRKLINIKNAMN")).toString(), QStringLiteral("Remittent A"));
    EXPECT_THROW(finder.getField(QStringLiteral("FINNS_INTE")), DatabaseError);

    ASSERT_TRUE(finder.regFind(at(2016, 1, 1), 3));
    EXPECT_TRUE(finder.getField(QStringLiteral("KLINIKNAMN")).isNull()) << "registration row missing";
}

TEST(RegFinderWithoutRows, GetFieldBeforeAnyLookupIsAnError)
{
    TADOConnection connection;
    TdmRegFinder finder(connection);
    EXPECT_THROW(finder.getField(QStringLiteral("KLINIKNAMN")), DatabaseError);
}

INSTANTIATE_TEST_SUITE_P(Backends, RegFinderTest, ::testing::Values(Backend::Embedded, Backend::Odbc),
                         [](const auto& info) { return std::string(test::backendName(info.param)); });

} // namespace
} // namespace b2d
