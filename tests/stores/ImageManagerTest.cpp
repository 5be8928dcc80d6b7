#include "stores/ImageManager.h"

#include "common/Messages.h"
#include "common/Settings.h"
#include "db/VTComponents.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using namespace b2d;

namespace {

const char* ServerColumns =
    "SERVERNAMN VARCHAR(50), LOPNR INTEGER, SORTIX INTEGER, AUTOCONNECT CHAR(1), INCLUDEINMOVE CHAR(1), "
    "DOSTORE CHAR(1), FARG INTEGER, REMOTEAE VARCHAR(16), SERVERADDRESS VARCHAR(100), SERVERPORT INTEGER, "
    "GETONLYTHUMBS CHAR(1), IFMAXMOVE CHAR(1), IFNOTHUMBGETIMAGE CHAR(1), MAXMOVEITEMS INTEGER, "
    "TAG_QUERYLEVEL VARCHAR(20), GETOBJEKTAS VARCHAR(20)";
const char* DirColumns =
    "SERVERNAMN VARCHAR(50), LOPNR INTEGER, SORTIX INTEGER, FARG INTEGER, AUTOCONNECT CHAR(1), DICOMDIR VARCHAR(200), "
    "GETONLYTHUMBS CHAR(1), IFNOTHUMBGETIMAGE CHAR(1), INCLUDEINBILDGRUPPERING CHAR(1), INCLUDEINMOVE CHAR(1), "
    "DOSTORE CHAR(1)";

// A practice database with the two store tables, the shared query on it and the settings.
class ImageManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        // An empty file is an empty SQLite database.
        QFile(m_dir.filePath(QStringLiteral("practice.db"))).open(QIODevice::WriteOnly);
        m_connection.Open(QStringLiteral("Provider=SQLite;Data Source=") + m_dir.filePath(QStringLiteral("practice.db")));
        m_shared.setConnection(&m_connection);
        m_settings = std::make_unique<Settings>(m_dir.path() + QStringLiteral("/"),
                                                std::make_unique<IniSettingsBranch>(m_dir.filePath(QStringLiteral("user"))),
                                                std::make_unique<IniSettingsBranch>(m_dir.filePath(QStringLiteral("machine"))));
    }

    void createTables(const QString& serverExtra = QStringLiteral(", LOCALPORT INTEGER, PATIENTIDTYPE VARCHAR(5)"),
                      const QString& dirExtra = QStringLiteral(", PATIENTIDSUBDIRS CHAR(1), PATIENTIDTYPE VARCHAR(5)"))
    {
        exec(QStringLiteral("CREATE TABLE DICOMSERVERS (") + QLatin1String(ServerColumns) + serverExtra + u')');
        exec(QStringLiteral("CREATE TABLE DICOMDIRS (") + QLatin1String(DirColumns) + dirExtra + u')');
    }

    void exec(const QString& sql)
    {
        m_connection.Execute(sql);
        if (m_connection.InTransaction())
            m_connection.CommitTrans();
    }

    void addServer(const QString& name, int number, int sortIx, const QString& t, const QString& idType = QStringLiteral("0"))
    {
        exec(QStringLiteral("INSERT INTO DICOMSERVERS (SERVERNAMN, LOPNR, SORTIX, AUTOCONNECT, INCLUDEINMOVE, DOSTORE, "
                            "REMOTEAE, SERVERADDRESS, SERVERPORT, PATIENTIDTYPE) VALUES ('%1', %2, %3, 'F', 'F', '%4', "
                            "'PACS%2', 'host%2.example', %5, '%6')")
                 .arg(name).arg(number).arg(sortIx).arg(t).arg(10400 + number).arg(idType));
    }

    void addDir(const QString& name, int number, const QString& folder, const QString& idType = QStringLiteral("0"))
    {
        exec(QStringLiteral("INSERT INTO DICOMDIRS (SERVERNAMN, LOPNR, SORTIX, AUTOCONNECT, DICOMDIR, DOSTORE, "
                            "PATIENTIDTYPE) VALUES ('%1', %2, 1, 'T', '%3', 'F', '%4')")
                 .arg(name).arg(number).arg(folder, idType));
    }

    void load() { LoadImageHandlers(m_handlers, m_shared, *m_settings, m_messages); }

    QStringList shownTexts() const
    {
        QStringList texts;
        for (const auto& shown : m_messages.shown)
            texts << shown.text;
        return texts;
    }

    QTemporaryDir m_dir;
    TADOConnection m_connection;
    TVTAdoQuery m_shared;
    std::unique_ptr<Settings> m_settings;
    ScriptedMessages m_messages;
    ImageMultiHandler m_handlers;
};

} // namespace

TEST_F(ImageManagerTest, LoadsServersBeforeDirectoriesWithTheirFields)
{
    createTables();
    addServer(QStringLiteral("Pacs B"), 2, 2, QStringLiteral("T"), QStringLiteral("6"));
    addServer(QStringLiteral("Pacs A"), 7, 1, QStringLiteral("T"), QStringLiteral("x"));
    addDir(QStringLiteral("Arkiv"), 3, QStringLiteral("D:\\Dicom"), QStringLiteral("6"));
    addDir(QStringLiteral("Linuxarkiv"), 4, QStringLiteral("/srv/dicom/"));
    m_settings->WriteSetting(QStringLiteral("DICOMSettings"), QStringLiteral("DICOMLocalAE-Pacs A"), QStringLiteral("CONV_A"));
    m_settings->WriteSetting(QStringLiteral("DICOMSettings"), QStringLiteral("DICOMLocalAE"), QStringLiteral("CONVERTER"));
    load();
    EXPECT_TRUE(m_messages.shown.empty()) << shownTexts().join(u'\n').toStdString();
    ASSERT_EQ(m_handlers.Count(), 4);

    auto* a = dynamic_cast<DicomHandler*>(m_handlers.Handler(0)); // SORTIX 1 first
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->servernamn, QStringLiteral("Pacs A"));
    EXPECT_EQ(a->uniktnr, 7);
    EXPECT_EQ(a->localAe, QStringLiteral("CONV_A"));
    EXPECT_EQ(a->remoteAe, QStringLiteral("PACS7"));
    EXPECT_EQ(a->peer, QStringLiteral("host7.example"));
    EXPECT_EQ(a->port, 10407);
    EXPECT_EQ(a->PatientIdType, pidMedBindestreck); // "x" is not a number

    auto* b = dynamic_cast<DicomHandler*>(m_handlers.Handler(1));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->localAe, QStringLiteral("CONVERTER"));
    EXPECT_EQ(b->PatientIdType, pidUtanBindestreck); // 6 less 5

    auto* archive = dynamic_cast<DicomDirHandler*>(m_handlers.Handler(2));
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(archive->servernamn, QStringLiteral("Arkiv"));
    EXPECT_EQ(archive->uniktnr, 3);
    EXPECT_EQ(archive->dicomdirkatalog, QStringLiteral("D:\\Dicom\\"));
    EXPECT_EQ(archive->PatientIdType, 6); // no subtraction for directories: no change to IDs
    auto* linux = dynamic_cast<DicomDirHandler*>(m_handlers.Handler(3));
    ASSERT_NE(linux, nullptr);
    EXPECT_EQ(linux->dicomdirkatalog, QStringLiteral("/srv/dicom/"));
}

TEST_F(ImageManagerTest, WithoutAnyLocalAeSettingTheAeIsError)
{
    createTables();
    addServer(QStringLiteral("Pacs"), 1, 1, QStringLiteral("T"));
    load();
    ASSERT_EQ(m_handlers.Count(), 1);
    EXPECT_EQ(static_cast<DicomHandler*>(m_handlers.Handler(0))->localAe, QStringLiteral("ERROR"));
}

TEST_F(ImageManagerTest, ReloadsKeepPositionsAndAddOnlyWhatIsNew)
{
    createTables();
    addServer(QStringLiteral("Pacs"), 1, 1, QStringLiteral("T"));
    addServer(QStringLiteral("Vilande"), 2, 2, QStringLiteral("F"));
    addDir(QStringLiteral("Arkiv"), 3, QStringLiteral("/srv/a"));
    load();
    ASSERT_EQ(m_handlers.Count(), 2); // the server without any "T" gets no handler
    ImageHandler* first = m_handlers.Handler(0);
    ImageHandler* second = m_handlers.Handler(1);
    load();
    ASSERT_EQ(m_handlers.Count(), 2);
    EXPECT_EQ(m_handlers.Handler(0), first);
    EXPECT_EQ(m_handlers.Handler(1), second);

    exec(QStringLiteral("UPDATE DICOMSERVERS SET AUTOCONNECT = 'T', REMOTEAE = 'NYTT' WHERE LOPNR = 2"));
    exec(QStringLiteral("UPDATE DICOMSERVERS SET REMOTEAE = 'ANDRAT', AUTOCONNECT = 'F', DOSTORE = 'F' WHERE LOPNR = 1"));
    load();
    ASSERT_EQ(m_handlers.Count(), 3);
    EXPECT_EQ(m_handlers.Handler(0), first);
    // A matching handler is refreshed even when its row no longer holds a "T".
    EXPECT_EQ(static_cast<DicomHandler*>(first)->remoteAe, QStringLiteral("ANDRAT"));
    EXPECT_EQ(m_handlers.Handler(2)->servernamn, QStringLiteral("Vilande"));

    // Renaming a row gives it a second handler; the old one stays.
    exec(QStringLiteral("UPDATE DICOMSERVERS SET SERVERNAMN = 'Nytt namn', DOSTORE = 'T' WHERE LOPNR = 1"));
    exec(QStringLiteral("DELETE FROM DICOMDIRS"));
    load();
    ASSERT_EQ(m_handlers.Count(), 4);
    EXPECT_EQ(m_handlers.Handler(0)->servernamn, QStringLiteral("Pacs"));
    EXPECT_EQ(m_handlers.Handler(3)->servernamn, QStringLiteral("Nytt namn"));
    EXPECT_TRUE(m_messages.shown.empty()) << shownTexts().join(u'\n').toStdString();
}

TEST_F(ImageManagerTest, DirectoryRowMatchingAServerIsSkipped)
{
    createTables();
    addServer(QStringLiteral("Gemensam"), 5, 1, QStringLiteral("T"));
    addDir(QStringLiteral("GEMENSAM"), 5, QStringLiteral("/srv/x"));
    load();
    ASSERT_EQ(m_handlers.Count(), 1);
    EXPECT_NE(dynamic_cast<DicomHandler*>(m_handlers.Handler(0)), nullptr);
}

TEST_F(ImageManagerTest, TablesWithoutPatientIdTypeGiveTypeZero)
{
    createTables(QStringLiteral(", LOCALPORT INTEGER"), QStringLiteral(", PATIENTIDSUBDIRS CHAR(1)"));
    exec(QStringLiteral("INSERT INTO DICOMSERVERS (SERVERNAMN, LOPNR, SORTIX, DOSTORE) VALUES ('S', 1, 1, 'T')"));
    exec(QStringLiteral("INSERT INTO DICOMDIRS (SERVERNAMN, LOPNR, SORTIX, DOSTORE, DICOMDIR) VALUES ('D', 2, 1, 'T', 'C:\\x\\')"));
    load();
    ASSERT_EQ(m_handlers.Count(), 2);
    EXPECT_EQ(m_handlers.Handler(0)->PatientIdType, 0);
    EXPECT_EQ(m_handlers.Handler(1)->PatientIdType, 0);
    EXPECT_EQ(static_cast<DicomDirHandler*>(m_handlers.Handler(1))->dicomdirkatalog, QStringLiteral("C:\\x\\"));
}

// LOCALPORT is read only when the local-port setting of the store is not a whole number: a
// table without the column fails at the first such row, and the rows before it stay loaded.
TEST_F(ImageManagerTest, MissingColumnStopsTheLoadWithTheLastServerNamed)
{
    createTables(QStringLiteral(", PATIENTIDTYPE VARCHAR(5)"));
    addServer(QStringLiteral("Pacs A"), 1, 1, QStringLiteral("T"));
    addServer(QStringLiteral("Pacs B"), 2, 2, QStringLiteral("T"));
    addDir(QStringLiteral("Arkiv"), 3, QStringLiteral("/srv/a"));
    m_settings->WriteSetting(QStringLiteral("DICOMSettings"), QStringLiteral("DICOMLocalPort-Pacs A"), QStringLiteral("11112"));
    load();
    ASSERT_EQ(m_handlers.Count(), 1);
    EXPECT_EQ(m_handlers.Handler(0)->servernamn, QStringLiteral("Pacs A"));
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_TRUE(m_messages.shown[0].text.startsWith(QStringLiteral("An error occurred while connecting to DICOM-server Pacs A!\r\r")))
        << m_messages.shown[0].text.toStdString();
    EXPECT_TRUE(m_messages.shown[0].text.contains(QLatin1String("LOCALPORT")));
}

TEST_F(ImageManagerTest, SubdirectoryColumnIsNeededOnlyWithoutASubdirectoryStyle)
{
    createTables(QStringLiteral(", LOCALPORT INTEGER"), QStringLiteral(", SUBDIRSSTYLE VARCHAR(10)"));
    exec(QStringLiteral("INSERT INTO DICOMDIRS (SERVERNAMN, LOPNR, SORTIX, DOSTORE, DICOMDIR, SUBDIRSSTYLE) VALUES ('Med stil', 1, 1, 'T', '/a', 'PATID')"));
    exec(QStringLiteral("INSERT INTO DICOMDIRS (SERVERNAMN, LOPNR, SORTIX, DOSTORE, DICOMDIR, SUBDIRSSTYLE) VALUES ('Utan stil', 2, 2, 'T', '/b', '')"));
    load();
    ASSERT_EQ(m_handlers.Count(), 1);
    EXPECT_EQ(m_handlers.Handler(0)->servernamn, QStringLiteral("Med stil"));
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_TRUE(m_messages.shown[0].text.startsWith(QStringLiteral("An error occurred while connecting to DICOM-server !\r\r")));
    EXPECT_TRUE(m_messages.shown[0].text.contains(QLatin1String("PATIENTIDSUBDIRS")));
}

TEST_F(ImageManagerTest, QueryThatCannotRunIsReportedOnceAndStopsTheLoad)
{
    exec(QStringLiteral("CREATE TABLE DICOMSERVERS (") + QLatin1String(ServerColumns) + QStringLiteral(", LOCALPORT INTEGER)"));
    exec(QStringLiteral("INSERT INTO DICOMSERVERS (SERVERNAMN, LOPNR, SORTIX, DOSTORE) VALUES ('Pacs', 1, 1, 'T')"));
    load(); // DICOMDIRS does not exist
    ASSERT_EQ(m_handlers.Count(), 1);
    ASSERT_EQ(m_messages.shown.size(), 1u);
    EXPECT_TRUE(m_messages.shown[0].text.startsWith(QStringLiteral("Det gick inte att utföra SQL-frågan: SELECT * FROM DICOMDIRS")))
        << m_messages.shown[0].text.toStdString();
}
