#include "DbTestSupport.h"

#include "common/Messages.h"
#include "db/SharedQuery.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace b2d {
namespace {

using test::Backend;

class SharedQueryTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        file = dir.filePath(QStringLiteral("praktik.db"));
        test::sqliteScript(file, QStringLiteral(
                                     "CREATE TABLE DICOMSERVERS (LOPNR INTEGER PRIMARY KEY, SERVERNAMN VARCHAR(40), SORTIX INTEGER);"
                                     "INSERT INTO DICOMSERVERS VALUES (2, 'PACS', 1);"
                                     "INSERT INTO DICOMSERVERS VALUES (1, 'Arkiv', 2);"));
        connection.Open(test::connectionStringFor(GetParam(), file));
        sharedQuery.setConnection(&connection);
    }

    QTemporaryDir dir;
    QString file;
    TADOConnection connection;
    TVTAdoQuery sharedQuery;
    ScriptedMessages messages;
};

TEST_P(SharedQueryTest, OpensOnTheFirstRowInsideOneTransaction)
{
    ASSERT_FALSE(connection.InTransaction());
    auto first = RunQuery(sharedQuery, QStringLiteral("SELECT * FROM DICOMSERVERS ORDER BY SORTIX, LOPNR"), false, messages);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->Active());
    EXPECT_EQ(first->RecNo(), 1);
    EXPECT_EQ(first->FieldByName(QStringLiteral("SERVERNAMN")).toString(), QStringLiteral("PACS"));
    EXPECT_TRUE(connection.InTransaction());
    EXPECT_FALSE(sharedQuery.Active()) << "the shared query itself is not opened";

    auto second = RunQuery(sharedQuery, QStringLiteral("SELECT COUNT(*) AS ANTAL FROM DICOMSERVERS"), false, messages);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->FieldByName(QStringLiteral("ANTAL")).toInt(), 2);
    EXPECT_TRUE(connection.InTransaction());
    EXPECT_TRUE(messages.shown.empty());
    connection.RollbackTrans();
}

TEST_P(SharedQueryTest, ReportsAFailureAndReturnsNothing)
{
    const QString sql = QStringLiteral("SELECT * FROM DICOMDIRS ORDER BY SORTIX, LOPNR");
    EXPECT_FALSE(RunQuery(sharedQuery, sql, false, messages));
    ASSERT_EQ(messages.shown.size(), 1u);
    const QString prefix = QStringLiteral("Det gick inte att utföra SQL-frågan: ") + sql + QStringLiteral("!\r\r");
    const QString& text = messages.shown[0].text;
    EXPECT_TRUE(text.startsWith(prefix)) << text.toStdString();
    EXPECT_TRUE(text.mid(prefix.size()).contains(QStringLiteral("no such table: DICOMDIRS"))) << text.toStdString();
}

TEST_P(SharedQueryTest, EditableOnlyWhenAsked)
{
    const QString sql = QStringLiteral("SELECT * FROM DICOMSERVERS ORDER BY SORTIX, LOPNR");
    auto readOnly = RunQuery(sharedQuery, sql, false, messages);
    ASSERT_TRUE(readOnly);
    EXPECT_THROW(readOnly->Edit(), DatabaseError);

    auto editable = RunQuery(sharedQuery, sql, true, messages);
    ASSERT_TRUE(editable);
    editable->Edit();
    editable->setFieldValue(QStringLiteral("SERVERNAMN"), QStringLiteral("PACS2"));
    editable->Post();
    connection.CommitTrans();
    EXPECT_EQ(test::sqliteValue(file, QStringLiteral("SELECT SERVERNAMN FROM DICOMSERVERS WHERE LOPNR = 2")),
              QStringLiteral("PACS2"));
}

INSTANTIATE_TEST_SUITE_P(Backends, SharedQueryTest, ::testing::Values(Backend::Embedded, Backend::Odbc),
                         [](const auto& info) { return std::string(test::backendName(info.param)); });

TEST(RunQueryWithoutConnection, ReportsAndReturnsNothing)
{
    TVTAdoQuery shared;
    ScriptedMessages messages;
    EXPECT_FALSE(RunQuery(shared, QStringLiteral("SELECT 1"), false, messages));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, QStringLiteral("Det gick inte att utföra SQL-frågan: SELECT 1!\r\rThe shared query has no connection"));
}

} // namespace
} // namespace b2d
