#include "db/ConnectionString.h"
#include "db/DatabaseError.h"

#include <gtest/gtest.h>

namespace b2d {
namespace {

struct TranslationCase {
    const char* connectionString;
    const char* qtDriver;
    const char* databaseName;
};

class TranslateConnectionString : public ::testing::TestWithParam<TranslationCase> {
protected:
    void SetUp() override { setSqlServerOdbcDriver(QStringLiteral("FreeTDS")); }
    void TearDown() override { setSqlServerOdbcDriver(QString()); }
};

TEST_P(TranslateConnectionString, GivesDriverAndDatabase)
{
    const auto& c = GetParam();
    const DriverConnection d = translateConnectionString(QString::fromUtf8(c.connectionString));
    EXPECT_EQ(d.qtDriver, QString::fromUtf8(c.qtDriver));
    EXPECT_EQ(d.databaseName, QString::fromUtf8(c.databaseName));
}

INSTANTIATE_TEST_SUITE_P(
    Providers, TranslateConnectionString,
    ::testing::Values(
        TranslationCase{"Provider=SQLite;Data Source=/data/praktik.db", "QSQLITE", "/data/praktik.db"},
        TranslationCase{"provider=sqlite; Data Source = C:\\Praktik\\db.sqlite ;", "QSQLITE", "C:\\Praktik\\db.sqlite"},
        TranslationCase{"Provider=SQLOLEDB.1;Password=pw;Persist Security Info=True;User ID=vt;"
                        "Initial Catalog=TASVIK;Data Source=SRV01",
                        "QODBC", "DRIVER={FreeTDS};SERVER=SRV01;DATABASE=TASVIK;UID=vt;PWD=pw"},
        TranslationCase{"Provider=SQLNCLI11;Integrated Security=SSPI;Persist Security Info=False;"
                        "Initial Catalog=TASVIK;Data Source=SRV01\\SQLEXPRESS",
                        "QODBC", "DRIVER={FreeTDS};SERVER=SRV01\\SQLEXPRESS;DATABASE=TASVIK;Trusted_Connection=Yes"},
        TranslationCase{"Provider=MSOLEDBSQL19;Data Source=10.0.0.5,1433;Initial Catalog=T;User ID=u;Password=a;b",
                        "QODBC", "DRIVER={FreeTDS};SERVER=10.0.0.5;PORT=1433;DATABASE=T;UID=u;PWD=a"},
        TranslationCase{"Provider=SQLOLEDB;Data Source=S;User ID=u;Password=\"se;cret\"", "QODBC",
                        "DRIVER={FreeTDS};SERVER=S;UID=u;PWD={se;cret}"},
        TranslationCase{"Provider=MSDASQL.1;Persist Security Info=False;Data Source=Praktik;User ID=u;Password=p",
                        "QODBC", "DSN=Praktik;UID=u;PWD=p"},
        TranslationCase{"Provider=MSDASQL;Extended Properties=\"DRIVER={SQLite3};Database=/x/y.db\"", "QODBC",
                        "DRIVER={SQLite3};Database=/x/y.db"},
        TranslationCase{"Provider=MSDASQL;DRIVER={SQLite3};Database=/x/y.db", "QODBC",
                        "DRIVER={SQLite3};Database=/x/y.db"}));

TEST(TranslateConnectionStringErrors, NameTheProblem)
{
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x.mdb", "Unknown database provider \"Microsoft.Jet.OLEDB.4.0\""},
        {"Data Source=SRV01;Initial Catalog=T", "The connection string names no provider"},
        {"", "The connection string names no provider"},
        {"Provider=SQLite", "The connection string names no database file (Data Source)"},
    };
    for (const auto& c : cases) {
        try {
            translateConnectionString(QString::fromUtf8(c.text));
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const DatabaseError& e) {
            EXPECT_EQ(e.text(), QString::fromUtf8(c.expected)) << c.text;
        }
    }
}

TEST(SqlServerOdbcDriver, IsConfigurable)
{
    setSqlServerOdbcDriver(QStringLiteral("ODBC Driver 18 for SQL Server"));
    const DriverConnection d = translateConnectionString(QStringLiteral("Provider=SQLOLEDB;Data Source=S,1500;User ID=u;Password=p"));
    // Only FreeTDS wants the port apart.
    EXPECT_EQ(d.databaseName, QStringLiteral("DRIVER={ODBC Driver 18 for SQL Server};SERVER=S,1500;UID=u;PWD=p"));
    setSqlServerOdbcDriver(QString());
}

} // namespace
} // namespace b2d
