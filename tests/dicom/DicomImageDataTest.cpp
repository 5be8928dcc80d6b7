#include "dicom/UDicomImageData.h"

#include "dicom/DicomTestSupport.h"

#include "common/Messages.h"
#include "common/VeltaronTools.h"
#include "stores/ImageData.h"
#include "support/TestSupport.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

using namespace b2d;
using namespace b2d::test;

namespace {

const QString Uid = QStringLiteral("1.2.826.0.1.3680043.10.1134.99.1.1");

// A DICOM directory store in a temporary folder: root is <tmp>/store, written as the
// database keeps it, with a trailing backslash.
struct DirectoryStore {
    QTemporaryDir tmp;
    DicomDirHandler handler;
    QString root;

    explicit DirectoryStore(uint8_t idType = pidMedBindestreck)
    {
        root = tmp.filePath(QStringLiteral("store"));
        QDir().mkpath(root);
        handler.servernamn = QStringLiteral("Arkiv");
        handler.dicomdirkatalog = root + u'\\';
        handler.PatientIdType = idType;
    }

    // Every file below the temporary folder, relative to it.
    QStringList allFiles() const
    {
        QStringList files;
        QDirIterator it(tmp.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(tmp.path()).relativeFilePath(it.next());
        files.sort();
        return files;
    }
};

DicomDataSetPtr objectFor(const QString& patientId, int width = 64, int height = 40)
{
    DicomDataSetPtr ds = makeImageDataSet(SecondaryCaptureUid, width, height);
    ds->AddString2(0x0010, 0x0020, patientId, true);
    return ds;
}

} // namespace

struct IdCase {
    const char* id;
    uint8_t type;
    bool trim;
    const char* expected;
};

TEST(PatientId, NormalisedInTheStoresStyle)
{
    const IdCase cases[] = {
        {"195001011234", pidMedBindestreck, true, "19500101-1234"},
        {"12345", pidMedBindestreck, true, "1-2345"},
        {"1234", pidMedBindestreck, true, "1234"},
        {"1950-01011234", pidMedBindestreck, true, "1950-01011234"},
        {" 19500101-1234 ", pidUtanBindestreck, true, "195001011234"},
        {" 19500101-1234 ", pidUtanBindestreck, false, " 195001011234 "},
        {"a/b\\c!&d\t-e", pidBoth, true, "abcde"},
        {"19500101-1234", 3, true, "19500101-1234"},
        {" 1950/01 ", 4, true, " 1950/01 "},
    };
    for (const IdCase& c : cases)
        EXPECT_EQ(normalisePatientId(QString::fromUtf8(c.id), c.type, c.trim), QString::fromUtf8(c.expected))
            << c.id << " type " << int(c.type);
}

TEST(DicomImageData, StoresIntoThePatientsFolderOfADirectory)
{
    DirectoryStore store(pidUtanBindestreck);
    auto ds = objectFor(QStringLiteral(" 19500101-1234 "));
    QString error = QStringLiteral("unchanged");
    {
        DicomImageData image(&store.handler, ds, QString());
        EXPECT_EQ(image.CompressionType(), 25u);
        image.setFilename(Uid + QStringLiteral(".dcm"));
        ASSERT_TRUE(image.Store(true, error)) << error.toStdString();
        EXPECT_EQ(image.Filename(), store.handler.dicomdirkatalog + QStringLiteral("195001011234\\") + Uid + QStringLiteral(".dcm"));
    }
    EXPECT_EQ(error, QStringLiteral("unchanged"));
    EXPECT_EQ(store.allFiles(), QStringList{QStringLiteral("store/195001011234/") + Uid + QStringLiteral(".dcm")});
    const QString path = store.root + QStringLiteral("/195001011234/") + Uid + QStringLiteral(".dcm");
    auto file = loadDicom(path);
    EXPECT_EQ(rawValue(*file, 0x0010, 0x0020), QByteArray("195001011234"));
    EXPECT_EQ(rawValue(*file, 0x0002, 0x0010), QByteArray(UID_DeflatedExplicitVRLittleEndianTransferSyntax));
    // Icon 170 wide: 40 / (64 / 170) = 106.25 rows.
    DcmItem* icon = nullptr;
    ASSERT_TRUE(file->getDataset()->findAndGetSequenceItem(DCM_IconImageSequence, icon).good());
    Uint16 rows = 0, columns = 0;
    icon->findAndGetUint16(DCM_Rows, rows);
    icon->findAndGetUint16(DCM_Columns, columns);
    EXPECT_EQ(columns, 170);
    EXPECT_EQ(rows, 106);
    EXPECT_EQ(dcmdumpProblems(path), QString());
    EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList());
}

TEST(DicomImageData, IconHeightRoundsHalvesToEven)
{
    // height = rows / (columns / 170): 85 columns double the rows; 340 columns halve them, and
    // the halves 2.5, 3.5 and 1.5 go to the even neighbour.
    const std::tuple<int, int, int> cases[] = {{85, 40, 80}, {340, 5, 2}, {340, 7, 4}, {340, 3, 2}};
    for (const auto& [width, height, expected] : cases) {
        DirectoryStore store;
        auto ds = objectFor(QStringLiteral("1234"), width, height);
        DicomImageData image(&store.handler, ds, Uid + QStringLiteral(".dcm"));
        image.GenerateIcon();
        QTemporaryDir dir;
        ds->SaveToFile(dir.filePath(QStringLiteral("i.dcm")), 0);
        expectValid(dir.filePath(QStringLiteral("i.dcm")));
        auto file = loadDicom(dir.filePath(QStringLiteral("i.dcm")));
        DcmItem* icon = nullptr;
        ASSERT_TRUE(file->getDataset()->findAndGetSequenceItem(DCM_IconImageSequence, icon).good());
        Uint16 rows = 0;
        icon->findAndGetUint16(DCM_Rows, rows);
        EXPECT_EQ(rows, expected) << width << "x" << height;
    }
}

TEST(DicomImageData, FileNameAlreadyInThePatientsFolderKeepsItsFolder)
{
    DirectoryStore store;
    auto ds = objectFor(QStringLiteral("1950-0101"));
    const QString name = store.handler.dicomdirkatalog + QStringLiteral("1950-0101\\serie\\bild.dcm");
    DicomImageData image(&store.handler, ds, name);
    QString error;
    ASSERT_TRUE(image.Store(true, error)) << error.toStdString();
    EXPECT_EQ(image.Filename(), name);
    EXPECT_EQ(store.allFiles(), QStringList{QStringLiteral("store/1950-0101/serie/bild.dcm")});
    expectValid(store.root + QStringLiteral("/1950-0101/serie/bild.dcm"));

    // A folder that merely begins with the ID belongs to another patient.
    auto other = objectFor(QStringLiteral("1950-0101"));
    DicomImageData second(&store.handler, other, store.handler.dicomdirkatalog + QStringLiteral("1950-01012\\x.dcm"));
    ASSERT_TRUE(second.Store(true, error)) << error.toStdString();
    EXPECT_EQ(second.Filename(), store.handler.dicomdirkatalog + QStringLiteral("1950-0101\\x.dcm"));
}

TEST(DicomImageData, SyntaxAboveTheLastCodeWritesUncompressed)
{
    DirectoryStore store;
    DicomImageData image(&store.handler, objectFor(QStringLiteral("1234")), Uid + QStringLiteral(".dcm"));
    image.setCompressionType(uint32_t(-1));
    QString error;
    ASSERT_TRUE(image.Store(true, error)) << error.toStdString();
    EXPECT_EQ(image.CompressionType(), 0u);
    auto file = loadDicom(store.root + QStringLiteral("/1234/") + Uid + QStringLiteral(".dcm"));
    EXPECT_EQ(rawValue(*file, 0x0002, 0x0010), QByteArray(UID_LittleEndianExplicitTransferSyntax));
    expectValid(store.root + QStringLiteral("/1234/") + Uid + QStringLiteral(".dcm"));
}

struct RefusedCase {
    const char* id;
    uint8_t type;
    const char* reason; // part of the message
};

// A patient ID becomes a folder name: one that could leave the store's root is refused, and
// nothing at all is written.
TEST(DicomImageData, PatientIdsThatCouldLeaveTheRootAreRefused)
{
    const RefusedCase cases[] = {
        {"../../etc", 3, "katalogtecken"},
        {"..\\..\\x", 4, "katalogtecken"},
        {"a/b", pidMedBindestreck, "katalogtecken"},
        {"/abs", 3, "katalogtecken"},
        {"..", 3, "egen katalog"},
        {"../..", pidUtanBindestreck, "egen katalog"}, // stripped to "...."
        {"C:x", 3, "kolon"},
        {"", pidMedBindestreck, "saknas"},
        {"  ", pidUtanBindestreck, "saknas"},
        {"12\n34", 3, "styrtecken"},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.id);
        DirectoryStore store(c.type);
        DicomImageData image(&store.handler, objectFor(QString::fromUtf8(c.id)), Uid + QStringLiteral(".dcm"));
        QString error;
        EXPECT_FALSE(image.Store(true, error));
        EXPECT_TRUE(error.startsWith(QStringLiteral("Det gick inte att spara bilden!\r\rDet gick inte att skapa DicomDir-katalogen: ")))
            << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << error.toStdString();
        EXPECT_EQ(store.allFiles(), QStringList());
        EXPECT_EQ(QDir(store.tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{QStringLiteral("store")});
    }
}

TEST(DicomImageData, FolderThatCannotBeMadeGivesTheDirectoryText)
{
    QTemporaryDir tmp;
    const QString root = tmp.filePath(QStringLiteral("store"));
    writeAll(root, "a file where the store's folder should be");
    DicomDirHandler handler;
    handler.dicomdirkatalog = root + u'\\';
    DicomImageData image(&handler, objectFor(QStringLiteral("1234")), Uid + QStringLiteral(".dcm"));
    QString error;
    EXPECT_FALSE(image.Store(true, error));
    EXPECT_EQ(error, QStringLiteral("Det gick inte att spara bilden!\r\rDet gick inte att skapa DicomDir-katalogen: ") + root +
                         QStringLiteral("\\1234\\"));
}

TEST(DicomImageData, MissingColumnsFailWithTheArithmeticError)
{
    DirectoryStore store;
    DicomHandler server;
    server.remoteAe = QStringLiteral("X");
    const std::pair<ImageHandler*, QString> cases[] = {
        {&store.handler, QStringLiteral("Det gick inte att spara bilden!\r\rFloating point division by zero")},
        {&server, QStringLiteral("Error in Store: Floating point division by zero")},
    };
    for (const auto& [handler, expected] : cases) {
        auto ds = objectFor(QStringLiteral("1234"));
        ds->AddString2(0x0028, 0x0011, QStringLiteral("0"), true);
        DicomImageData image(handler, ds, Uid + QStringLiteral(".dcm"));
        QString error;
        EXPECT_FALSE(image.Store(true, error));
        EXPECT_EQ(error, expected);
    }
    // The folder made before the failure stays; the object does not appear.
    EXPECT_EQ(store.allFiles(), QStringList());
}

TEST(DicomImageData, FailuresAreShownUnlessSilent)
{
    DirectoryStore store;
    ScriptedMessages messages;
    DicomImageData image(&store.handler, objectFor(QString()), Uid + QStringLiteral(".dcm"), &messages);
    QString error = QStringLiteral("unchanged");
    EXPECT_FALSE(image.Store(false, error));
    EXPECT_EQ(error, QStringLiteral("unchanged"));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_TRUE(messages.shown[0].text.startsWith(QStringLiteral("Det gick inte att spara bilden!\r\r")));
}

TEST(DicomImageData, HandlerOfNeitherKindStoresNothingAndSaysNothing)
{
    ScriptedMessages messages;
    ImageMultiHandler list;
    for (ImageHandler* handler : {static_cast<ImageHandler*>(&list), static_cast<ImageHandler*>(nullptr)}) {
        DicomImageData image(handler, objectFor(QStringLiteral("1234")), QString(), &messages);
        QString error = QStringLiteral("unchanged");
        EXPECT_FALSE(image.Store(false, error));
        EXPECT_EQ(error, QStringLiteral("unchanged"));
    }
    EXPECT_TRUE(messages.shown.empty());
}

TEST(DicomImageData, SendsToAServerWithThePatientIdInItsStyle)
{
    PeerProcess peer;
    peer.startStorescp();
    DicomHandler server;
    server.localAe = QStringLiteral("B2DTEST");
    server.remoteAe = QStringLiteral("STORESCP");
    server.peer = QStringLiteral("127.0.0.1");
    server.port = peer.port();
    server.PatientIdType = pidMedBindestreck;
    auto ds = objectFor(QStringLiteral("195001011234"));
    QString error;
    {
        DicomImageData image(&server, ds, QString());
        ASSERT_TRUE(image.Store(true, error)) << error.toStdString();
    }
    EXPECT_EQ(ds->GetString2(0x0010, 0x0020), QStringLiteral("19500101-1234"));
    const QStringList files = peer.receivedFiles();
    ASSERT_EQ(files.size(), 1);
    auto file = loadDicom(files.first());
    EXPECT_EQ(rawValue(*file, 0x0010, 0x0020), QByteArray("19500101-1234"));
    DcmItem* icon = nullptr;
    EXPECT_TRUE(file->getDataset()->findAndGetSequenceItem(DCM_IconImageSequence, icon).good());
    EXPECT_EQ(dcmdumpProblems(files.first()), QString());
    EXPECT_EQ(dciodvfyEncodingErrors(files.first()), QStringList());

    // Nobody listening: a failure, and the text says why.
    server.port = freeTcpPort();
    DicomImageData again(&server, objectFor(QStringLiteral("1234")), QString());
    EXPECT_FALSE(again.Store(true, error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("Error in Store: C-STORE to STORESCP at 127.0.0.1:"))) << error.toStdString();
}

TEST(DicomImageData, ReleaseDeletesTheObjectsFrameFilesOnly)
{
    const QString temp = GetTempFolder();
    const QString uid = QStringLiteral("1.2.826.0.1.3680043.10.1134.77.%1").arg(QCoreApplication::applicationPid());
    const QStringList mine = {uid + QStringLiteral(".0.bmp"), uid + QStringLiteral(".1.b32"), uid + QStringLiteral(".1.bmp")};
    const QStringList kept = {uid + QStringLiteral(".2.bmp"), uid + QStringLiteral(".x.bmp"), uid + QStringLiteral("9.0.bmp"),
                              uid + QStringLiteral(".0.txt")};
    for (const QString& name : mine + kept)
        writeAll(temp + name, "x");
    {
        DirectoryStore store;
        auto ds = objectFor(QStringLiteral("1234"));
        ds->AddString2(0x0008, 0x0018, uid, true);
        ds->AddString2(0x0028, 0x0008, QStringLiteral("2"), true);
        DicomImageData image(&store.handler, ds, QString());
    }
    for (const QString& name : mine)
        EXPECT_FALSE(QFile::exists(temp + name)) << name.toStdString();
    for (const QString& name : kept) {
        EXPECT_TRUE(QFile::exists(temp + name)) << name.toStdString();
        QFile::remove(temp + name);
    }

    // Without a frame count one frame is assumed.
    writeAll(temp + uid + QStringLiteral(".0.bmp"), "x");
    writeAll(temp + uid + QStringLiteral(".1.bmp"), "x");
    {
        DirectoryStore store;
        auto ds = objectFor(QStringLiteral("1234"));
        ds->AddString2(0x0008, 0x0018, uid, true);
        DicomImageData image(&store.handler, ds, QString());
    }
    EXPECT_FALSE(QFile::exists(temp + uid + QStringLiteral(".0.bmp")));
    EXPECT_TRUE(QFile::exists(temp + uid + QStringLiteral(".1.bmp")));
    QFile::remove(temp + uid + QStringLiteral(".1.bmp"));
}
