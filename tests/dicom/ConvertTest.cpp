#include "DicomTestSupport.h"

#include "common/Bitmap.h"
#include "common/VeltaronTools.h"
#include "dicom/uDicom.h"
#include "pictures/gfx_files.h"
#include "stores/ImageData.h"
#include "support/TestSupport.h"

#include <dcmtk/dcmdata/dctk.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QImage>
#include <QTemporaryDir>

using namespace b2d;

namespace {

// A picture whose colours vary with position, written by Qt.
QString writePicture(const QString& path, int width, int height)
{
    QImage img(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* line = img.scanLine(y);
        for (int x = 0; x < width; ++x) {
            line[x * 3] = uchar(x * 7 + y);
            line[x * 3 + 1] = uchar(y * 3);
            line[x * 3 + 2] = uchar(x ^ y);
        }
    }
    EXPECT_TRUE(img.save(path));
    return path;
}

// The picture's pixels as LoadPictureFile gives them, in DICOM's RGB order.
std::vector<uint8_t> loadedRgb(const QString& file, int* width = nullptr, int* height = nullptr)
{
    Bitmap loaded(0, 0, PixelFormat::Bits24);
    LoadPictureFile(loaded, file);
    loaded.convertTo24();
    if (width)
        *width = loaded.width();
    if (height)
        *height = loaded.height();
    return ExtractRgbPixels(loaded);
}

// The object's pixel data; empty when it has none.
std::vector<uint8_t> pixelData(DcmFileFormat& f)
{
    const Uint8* pixels = nullptr;
    unsigned long length = 0;
    if (f.getDataset()->findAndGetUint8Array(DCM_PixelData, pixels, &length).bad())
        return {};
    return std::vector<uint8_t>(pixels, pixels + length);
}

struct ConvertFixture : ::testing::Test {
    QTemporaryDir dir;
    DicomDirHandler handler;
    std::vector<StandardTag> tags;
    ConversionContext context;
    PictureRows rows;
    ConvertInput in;
    ConvertOutput out;

    void SetUp() override
    {
        handler.dicomdirkatalog = dir.filePath("store") + "/";
        handler.uniktnr = 2;
        handler.PatientIdType = pidMedBindestreck;
        context.standardTags = &tags;
        context.handler = &handler;
        context.now = [] { return QDateTime(QDate(2026, 12, 11), QTime(13, 14, 15)); };
        rows.PATIENTNR = 17;
        rows.LOPNR = 301;
        rows.DATUM = QDateTime(QDate(2019, 4, 2), QTime(10, 30));
        rows.KATNR = 4;
        rows.EFTERNAMN = "Åström";
        rows.F_RNAMN = "Eva";
        rows.PERSONNR = "19610824-1234";
        rows.FODELSEDAG = QDateTime(QDate(1961, 8, 24), QTime(0, 0));
        rows.KON = "K";
        rows.ADRESS = "Storgatan 1";
        rows.ORT = "Umeå";
        in.file = writePicture(dir.filePath("pic.png"), 40, 30);
        in.modality = "IO";
        in.sopClassUid = test::SecondaryCaptureUid;
        in.firstDate = rows.DATUM;
    }

    std::unique_ptr<DcmFileFormat> written() const
    {
        const QString path = handler.dicomdirkatalog + rows.PERSONNR + "/" + out.sopInstanceUid + ".dcm";
        EXPECT_TRUE(QFile::exists(path)) << path;
        return test::loadDicom(path);
    }
    static QString value(DcmFileFormat& f, uint16_t g, uint16_t e)
    {
        OFString v, charset;
        if (f.getDataset()->findAndGetOFStringArray(DcmTagKey(g, e), v).bad())
            return QStringLiteral("<absent>");
        f.getDataset()->findAndGetOFString(DCM_SpecificCharacterSet, charset);
        return charset == "ISO_IR 100" ? QString::fromLatin1(v.c_str()) : QString::fromUtf8(v.c_str());
    }
};

} // namespace

TEST_F(ConvertFixture, WritesIdentityStudyAndPixelsOfTheLoadedPicture)
{
    tags = {{0x0008, 0x1030, "ska ersättas"}, {0x0010, 0x0010, "hoppas över"}, {0x0008, 0x0080, "%KLINIK%"},
            {0x0010, 0x1040, "%PATIENTADRESS%"}, {0x0010, 0x1010, "%PATIENTALDER%"}, {0x0008, 0x1010, "%currentdate%"},
            {0x0008, 0x0033, "123456"}};
    context.clinic = [](const QDateTime&, int, const QString& field) -> std::optional<QString> {
        if (field == "KLINIKNAMN")
            return QStringLiteral("Kliniken i Umeå");
        return std::nullopt;
    };
    in.pixelSpacing = float(25.4 / 300.0); // as the resolution lookup computes it
    in.zoom = 1.5f;
    in.imageComments = "Intraoral\r";
    in.instanceCounter = 3;
    ASSERT_TRUE(convertToDicom(in, rows, context, out)) << out.errorText;
    EXPECT_EQ(out.errorText, "");
    EXPECT_EQ(out.size, 40u * 30u * 3u);
    EXPECT_FALSE(out.resized);
    EXPECT_EQ(out.sopInstanceUid, UidRoot() + "17.4.301");

    auto f = written();
    const std::pair<std::pair<uint16_t, uint16_t>, QString> expected[] = {
        {{0x0008, 0x0018}, UidRoot() + "17.4.301"},
        {{0x0008, 0x0016}, test::SecondaryCaptureUid},
        {{0x0010, 0x0010}, "Åström^Eva"},
        {{0x0010, 0x0020}, "19610824-1234"},
        {{0x0010, 0x0030}, "19610824"},
        {{0x0010, 0x0040}, "F"},
        {{0x0010, 0x1040}, "Storgatan 1"},
        {{0x0010, 0x1010}, "65"},
        {{0x0008, 0x1010}, "2026-12-11"},
        {{0x0008, 0x0080}, "Kliniken i Umeå"},
        {{0x0008, 0x0090}, "Ingen klinik vald"},
        {{0x0008, 0x1030}, ""},
        {{0x0008, 0x0060}, "IO"},
        {{0x0008, 0x0023}, "20190402"},
        {{0x0008, 0x0033}, "000000"},
        {{0x0008, 0x002A}, "20190402000000"},
        {{0x0008, 0x0020}, "20190402"},
        {{0x0020, 0x000D}, UidRoot() + "17.20190402.152.1"}, // "IO" sums to 73 + 79
        {{0x0020, 0x000E}, UidRoot() + "17.20190402.152.2"},
        {{0x0020, 0x0013}, "3"},
        {{0x0028, 0x0002}, "3"},
        {{0x0028, 0x0004}, "RGB"},
        {{0x0028, 0x0011}, "40"},
        {{0x0028, 0x0010}, "30"},
        {{0x0028, 0x0030}, "0.0846666693687439\\0.0846666693687439"},
        {{0x0028, 0x0031}, "1.5"},
        {{0x0002, 0x0013}, "<absent>"}, // group 2 lives in the meta header
    };
    for (const auto& [tag, v] : expected)
        EXPECT_EQ(value(*f, tag.first, tag.second), v) << std::hex << tag.first << "," << tag.second;
    EXPECT_EQ(value(*f, 0x0008, 0x0005), "ISO_IR 100");

    EXPECT_EQ(pixelData(*f), loadedRgb(in.file));
}

TEST_F(ConvertFixture, SizeLimitShrinksOrRefuses)
{
    in.file = writePicture(dir.filePath("big.bmp"), 3000, 2000);
    in.maximumBytes = 10'000'000;
    in.shrink = false;
    EXPECT_FALSE(convertToDicom(in, rows, context, out));
    EXPECT_EQ(out.errorText, "Bilden är för stor");
    EXPECT_EQ(out.size, 18'000'000u);

    in.shrink = true;
    ASSERT_TRUE(convertToDicom(in, rows, context, out)) << out.errorText;
    EXPECT_TRUE(out.resized);
    EXPECT_EQ(out.size, 9'994'920u);
    auto f = written();
    EXPECT_EQ(value(*f, 0x0028, 0x0011), "2236");
    EXPECT_EQ(value(*f, 0x0028, 0x0010), "1490");
}

TEST_F(ConvertFixture, GreyObjectsAreCheckedAgainstTheGreySize)
{
    in.file = writePicture(dir.filePath("grey.png"), 2000, 2000);
    in.maximumBytes = 5'000'000;
    in.grey = true;
    ASSERT_TRUE(convertToDicom(in, rows, context, out)) << out.errorText;
    EXPECT_FALSE(out.resized);
    EXPECT_EQ(out.size, 4'000'000u);
    auto f = written();
    EXPECT_EQ(value(*f, 0x0028, 0x0004), "MONOCHROME2");
    EXPECT_EQ(value(*f, 0x0028, 0x0002), "1");
    EXPECT_EQ(value(*f, 0x0028, 0x0011), "2000");
    EXPECT_EQ(pixelData(*f).size(), 4'000'000u);

    in.maximumBytes = 1'000'000;
    in.shrink = false;
    EXPECT_FALSE(convertToDicom(in, rows, context, out));
    EXPECT_EQ(out.errorText, "Bilden är för stor");
    EXPECT_EQ(out.size, 4'000'000u);
}

TEST_F(ConvertFixture, IdentityVariants)
{
    struct Case {
        int idKind;
        QString kon;
        bool oneTab;
        QString studyDescription;
        QString patientId, sex, studyUid, studyDate;
    };
    const QString root = UidRoot() + "17";
    const Case cases[] = {
        {1, "M", false, "", "196108241234", "M", root + ".20190402.152.1", "20190402"},
        {0, "", true, "", "19610824-1234", "O", root + ".1", "20180101"},
        {0, "X", false, "AB", "19610824-1234", "O", root + ".20190402.152.131.1", "20190402"},
    };
    for (const Case& c : cases) {
        in.patientIdKind = c.idKind;
        handler.PatientIdType = uint8_t(c.idKind);
        rows.KON = c.kon;
        in.oneTab = c.oneTab;
        in.firstDate = QDateTime(QDate(2018, 1, 1), QTime(0, 0));
        in.studyDescription = c.studyDescription;
        ASSERT_TRUE(convertToDicom(in, rows, context, out)) << out.errorText;
        const QString path = handler.dicomdirkatalog + c.patientId + "/" + out.sopInstanceUid + ".dcm";
        auto f = test::loadDicom(path);
        EXPECT_EQ(value(*f, 0x0010, 0x0020), c.patientId);
        EXPECT_EQ(value(*f, 0x0010, 0x0040), c.sex);
        EXPECT_EQ(value(*f, 0x0020, 0x000D), c.studyUid);
        EXPECT_EQ(value(*f, 0x0008, 0x0020), c.studyDate);
        EXPECT_EQ(value(*f, 0x0008, 0x1030), c.studyDescription);
    }
}

TEST_F(ConvertFixture, FailuresCarryTheirStageText)
{
    in.file = dir.filePath("missing.jpg");
    EXPECT_FALSE(convertToDicom(in, rows, context, out));
    EXPECT_EQ(out.errorText, "Bilden \"" + in.file
                                 + "\" är tom eller kan inte laddas! Kontrollera behörigheter för att komma åt filen.");

    in.file = dir.filePath("broken.jpg");
    test::writeAll(in.file, QByteArray("\xFF\xD8\xFF\xE0 not really a jpeg", 22));
    EXPECT_FALSE(convertToDicom(in, rows, context, out));
    EXPECT_EQ(out.errorText, "Det gick inte att ladda filen " + in.file + ": JPEG loading error");

    // A UID that servers would reject fails the picture before anything is stored.
    in.file = writePicture(dir.filePath("ok.png"), 8, 8);
    rows.LOPNR = -5;
    EXPECT_FALSE(convertToDicom(in, rows, context, out));
    EXPECT_TRUE(out.errorText.startsWith("Det gick inte att skapa DICOM-objektet: Ogiltig UID")) << out.errorText;
    EXPECT_TRUE(out.errorText.endsWith(", SOPInstanceUID: " + UidRoot() + "17.4.-5\r")) << out.errorText;

    // A picture without a category row counts as category 0.
    rows.LOPNR = 9;
    rows.KATNR = QVariant();
    ASSERT_TRUE(convertToDicom(in, rows, context, out)) << out.errorText;
    EXPECT_EQ(out.sopInstanceUid, UidRoot() + "17.0.9");

    // A patient ID that would leave the store's root is refused at storing.
    rows.PERSONNR = "../../etc";
    handler.PatientIdType = 3;
    EXPECT_FALSE(convertToDicom(in, rows, context, out));
    EXPECT_TRUE(out.errorText.startsWith("Det gick inte att spara DICOM-objektet: Error in Store!, SOPInstanceUID: "))
        << out.errorText;
    EXPECT_FALSE(QDir(dir.filePath("etc")).exists());
}

TEST(UidRules, ValidAndInvalidUids)
{
    EXPECT_EQ(uidProblem("1.2.840.10008.5.1.4.1.1.7"), "");
    EXPECT_NE(uidProblem("1.2.03"), "");
    EXPECT_NE(uidProblem("1..2"), "");
    EXPECT_NE(uidProblem("1.2."), "");
    EXPECT_NE(uidProblem("1.2.a"), "");
    EXPECT_NE(uidProblem(QString("1.") + QString(63, '1')), "");
    EXPECT_EQ(uidProblem("1.0.2"), "");
    EXPECT_EQ(uidProblem(UidRoot() + "1"), "");
}

TEST(DicomValues, DatesAndDecimalsDoNotDependOnTheLocale)
{
    QLocale::setDefault(QLocale(QLocale::German));
    EXPECT_EQ(dicomDecimal(float(25.4 / 300.0)), "0.0846666693687439");
    EXPECT_EQ(dicomDecimal(1.5f), "1.5");
    EXPECT_EQ(dicomDate(QVariant(QString("2001-02-03 00:00:00"))), "20010203");
    EXPECT_EQ(dicomDate(QVariant(QDate(1999, 12, 31))), "19991231");
    EXPECT_EQ(dicomDate(QVariant()), "");
    QLocale::setDefault(QLocale::c());
}

TEST_F(ConvertFixture, EveryPictureFormatBecomesAnObjectWithThePicturesPixels)
{
    const QDir pictures(QStringLiteral(B2D_SOURCE_DIR "/src/db/demo/pictures"));
    const QStringList names = pictures.entryList({"*.*"}, QDir::Files, QDir::Name).filter(QRegularExpression("^(dok|foto|rtg|scan)_"));
    ASSERT_EQ(names.size(), 14);
    int lopnr = 1;
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        in.file = pictures.filePath(name);
        rows.LOPNR = lopnr++;
        ASSERT_TRUE(convertToDicom(in, rows, context, out)) << out.errorText;
        int width = 0, height = 0;
        const std::vector<uint8_t> rgb = loadedRgb(in.file, &width, &height);
        auto f = written();
        EXPECT_EQ(value(*f, 0x0028, 0x0011), QString::number(width));
        EXPECT_EQ(value(*f, 0x0028, 0x0010), QString::number(height));
        EXPECT_TRUE(pixelData(*f) == rgb);
    }
}

TEST_F(ConvertFixture, EveryPlaceholderExpands)
{
    context.clinic = [](const QDateTime& datum, int patientNr, const QString& field) -> std::optional<QString> {
        EXPECT_EQ(datum.date(), QDate(2019, 4, 2));
        EXPECT_EQ(patientNr, 17);
        return field == "TRKLINIKNAMN" ? std::optional<QString>("Remitterande klinik") : std::nullopt;
    };
    struct Case {
        QString value;
        std::optional<QString> expected; // nothing: the tag is not written
    };
    const Case cases[] = {
        {"%PATIENTNAMN%", "Åström^Eva"},  {"%patientadress%", "Storgatan 1"}, {"%PATIENTORT%", "Umeå"},
        {"%PATIENTALDER%", "65"},          {"%CURRENTDATE%", "2026-12-11"},   {"%CURRENTTIME%", "13:14:15"},
        {"%KLINIK%", "Ingen klinik vald"}, {"%REMKLINIK%", "Remitterande klinik"},
        {"Fast text", "Fast text"},        {" %PATIENTORT%", " %PATIENTORT%"},
    };
    for (const Case& c : cases) {
        QString v = c.value;
        const bool written = expandStdValue(v, rows, context);
        EXPECT_EQ(written, c.expected.has_value()) << c.value;
        if (c.expected) {
            EXPECT_EQ(v, *c.expected) << c.value;
        }
    }
    rows.FODELSEDAG = QVariant();
    QString age = "%PATIENTALDER%";
    EXPECT_FALSE(expandStdValue(age, rows, context));
}

TEST_F(ConvertFixture, OrthancReceivesTheConvertedPicture)
{
    test::PeerProcess peer;
    peer.startOrthanc(QStringLiteral("ORTHANC"));
    DicomHandler server;
    server.localAe = QStringLiteral("B2DTEST");
    server.remoteAe = QStringLiteral("ORTHANC");
    server.peer = QStringLiteral("127.0.0.1");
    server.port = peer.port();
    context.handler = &server;
    ASSERT_TRUE(convertToDicom(in, rows, context, out)) << out.errorText;

    const QJsonArray instances = QJsonDocument::fromJson(peer.httpGet(QStringLiteral("/instances"))).array();
    ASSERT_EQ(instances.size(), 1);
    const QString id = instances.first().toString();
    const QJsonObject tags =
        QJsonDocument::fromJson(peer.httpGet(QStringLiteral("/instances/%1/simplified-tags").arg(id))).object();
    EXPECT_EQ(tags.value("PatientName").toString(), "Åström^Eva");
    EXPECT_EQ(tags.value("PatientID").toString(), "19610824-1234");
    EXPECT_EQ(tags.value("SOPInstanceUID").toString(), out.sopInstanceUid);
    EXPECT_EQ(tags.value("StudyInstanceUID").toString(), UidRoot() + "17.20190402.152.1");

    const QString path = dir.filePath("orthanc.dcm");
    test::writeAll(path, peer.httpGet(QStringLiteral("/instances/%1/file").arg(id)));
    auto f = test::loadDicom(path);
    EXPECT_TRUE(pixelData(*f) == loadedRgb(in.file));
}
