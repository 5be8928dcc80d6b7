#include "dicom/DicomTestSupport.h"

#include "support/TestSupport.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace b2d;
using namespace b2d::test;

namespace {

std::string vrOf(DcmItem& item, uint16_t group, uint16_t element)
{
    DcmElement* e = nullptr;
    if (item.findAndGetElement(DcmTagKey(group, element), e).bad())
        return "absent";
    return DcmVR(e->getVR()).getVRName();
}

QString messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const DicomError& e) {
        return e.text();
    }
    return QStringLiteral("<no error>");
}

} // namespace

struct VrCase {
    uint16_t group, element;
    const char* value;
    const char* vr;
};

TEST(DicomDataSet, ElementsGetTheDictionaryVrAndUnknownTagsLo)
{
    const VrCase cases[] = {
        {0x0010, 0x0010, "Svensson^Anna", "PN"},
        {0x0008, 0x0020, "20240315", "DA"},
        {0x0028, 0x0010, "4", "US"},
        {0x0020, 0x0013, "7", "IS"},
        {0x0028, 0x0030, "0.1\\0.1", "DS"},
        {0x0020, 0x4000, "Bildkommentar", "LT"},
        {0x0009, 0x1001, "privat", "LO"},  // a private tag the dictionary does not know
        {0x0021, 0x0001, "okänd", "LO"},   // an unknown (odd) tag
    };
    QTemporaryDir dir;
    auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    for (const VrCase& c : cases)
        ds->AddString2(c.group, c.element, QString::fromUtf8(c.value), true);
    const QString path = dir.filePath(QStringLiteral("vr.dcm"));
    ds->SaveToFile(path, TransferSyntaxCode::ExplicitLittleEndian);
    auto file = loadDicom(path);
    for (const VrCase& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(vrOf(*file->getDataset(), c.group, c.element), c.vr);
        EXPECT_EQ(ds->GetString2(c.group, c.element), QString::fromUtf8(c.value));
    }
    EXPECT_EQ(dcmdumpProblems(path), QString());
    EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList());
}

TEST(DicomDataSet, Group0002GoesIntoTheMetaInformation)
{
    QTemporaryDir dir;
    auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    ds->AddString(combinedTag(0x0002, 0x0016), QStringLiteral("B2DSOURCE"), true);
    EXPECT_EQ(ds->GetString2(0x0002, 0x0016), QStringLiteral("B2DSOURCE"));
    const QString path = dir.filePath(QStringLiteral("meta.dcm"));
    ds->SaveToFile(path, TransferSyntaxCode::ExplicitLittleEndian);
    auto file = loadDicom(path);
    EXPECT_EQ(rawValue(*file, 0x0002, 0x0016), QByteArray("B2DSOURCE"));
    DcmElement* inDataSet = nullptr;
    EXPECT_TRUE(file->getDataset()->findAndGetElement(DcmTagKey(0x0002, 0x0016), inDataSet).bad());
    // The media storage UIDs follow the object's own.
    EXPECT_EQ(rawValue(*file, 0x0002, 0x0002), QByteArray(SecondaryCaptureUid));
    EXPECT_EQ(rawValue(*file, 0x0002, 0x0003), QByteArray("1.2.826.0.1.3680043.10.1134.99.1.1"));
    EXPECT_EQ(dcmdumpProblems(path), QString());
    EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList());
}

TEST(DicomDataSet, OverwriteFlagDecidesWhetherAnExistingElementIsReplaced)
{
    auto ds = CreateDicomDataSet();
    ds->AddString2(0x0010, 0x0020, QStringLiteral("first"), false);
    ds->AddString2(0x0010, 0x0020, QStringLiteral("second"), false);
    EXPECT_EQ(ds->GetString2(0x0010, 0x0020), QStringLiteral("first"));
    ds->AddString(combinedTag(0x0010, 0x0020), QStringLiteral("third"), true);
    EXPECT_EQ(ds->GetString2(0x0010, 0x0020), QStringLiteral("third"));
}

TEST(DicomDataSet, ReadingValuesBack)
{
    auto ds = CreateDicomDataSet();
    ds->AddString2(0x0028, 0x0010, QStringLiteral("1490"), true);
    ds->AddString2(0x0020, 0x0013, QStringLiteral(" 12"), true);
    ds->AddString2(0x0010, 0x0010, QStringLiteral("x"), true);
    ds->AddString2(0x0010, 0x0020, QString(), true);
    EXPECT_EQ(ds->GetInteger(combinedTag(0x0028, 0x0010)), 1490);
    EXPECT_EQ(ds->GetInteger(combinedTag(0x0020, 0x0013)), 12);
    EXPECT_TRUE(ds->TagExists(combinedTag(0x0028, 0x0010), 0));
    EXPECT_FALSE(ds->TagExists(combinedTag(0x0028, 0x0010), 1));
    EXPECT_FALSE(ds->TagExists(combinedTag(0x0010, 0x0020), 0)); // present but empty
    EXPECT_FALSE(ds->TagExists(combinedTag(0x0028, 0x0011), 0));
    EXPECT_EQ(ds->GetString2(0x0028, 0x0011), QString());
    EXPECT_TRUE(messageOf([&] { ds->GetInteger(combinedTag(0x0028, 0x0011)); }).contains(QLatin1String("(0028,0011)")));
    EXPECT_TRUE(messageOf([&] { ds->GetInteger(combinedTag(0x0010, 0x0010)); }).contains(QLatin1String("whole number")));
}

TEST(DicomDataSet, RefusesWhatCannotBeEncoded)
{
    auto ds = CreateDicomDataSet();
    EXPECT_TRUE(messageOf([&] { ds->AddString2(0x0008, 0x0018, QStringLiteral("1.2.03.4"), true); }).contains(QLatin1String("not a valid UID")));
    EXPECT_TRUE(messageOf([&] { ds->AddString2(0x0008, 0x0018, QStringLiteral("1.2.3.") + QString(70, QLatin1Char('1')), true); }).contains(QLatin1String("not a valid UID")));
    EXPECT_TRUE(messageOf([&] { ds->AddString2(0x0008, 0x1140, QStringLiteral("x"), true); }).contains(QLatin1String("sequence")));
    const std::vector<uint8_t> four(4);
    EXPECT_TRUE(messageOf([&] { ds->AddByteArray(combinedTag(0x7FE0, 0x0010), 5, true, four); }).contains(QLatin1String("5 bytes asked for, 4 given")));
    EXPECT_TRUE(messageOf([&] { ds->AddByteArray(combinedTag(0x0010, 0x0010), 4, true, four); }).contains(QLatin1String("cannot hold bytes")));
    EXPECT_TRUE(messageOf([&] { ds->SetTransferSyntax(31); }).contains(QLatin1String("31")));
}

TEST(DicomDataSet, RefusesTextsLongerThanTheirVrAllows)
{
    auto ds = CreateDicomDataSet();
    // At the limit, counted in characters (Swedish letters are two bytes in UTF-8), per value
    // and per person-name component group.
    const QString sh16 = QString::fromUtf8("Ååååååååååååååå") + "x";
    EXPECT_EQ(messageOf([&] { ds->AddString2(0x0008, 0x1010, sh16, true); }), "<no error>");
    EXPECT_EQ(messageOf([&] { ds->AddString2(0x0008, 0x0008, QString(16, 'A') + "\\" + QString(16, 'B'), true); }), "<no error>");
    EXPECT_EQ(messageOf([&] { ds->AddString2(0x0010, 0x0010, QString(64, 'x') + "=" + QString(64, 'y'), true); }), "<no error>");
    EXPECT_EQ(messageOf([&] { ds->AddString2(0x0020, 0x4000, QString(10240, 'x'), true); }), "<no error>");
    const struct {
        uint16_t group, element;
        QString value;
        const char* message;
    } tooLong[] = {
        {0x0008, 0x1010, sh16 + "x", "(0008,1010) is longer than 16 characters (VR SH): 17 characters"},
        {0x0010, 0x0010, QString(65, 'x'), "(0010,0010) is longer than 64 characters (VR PN): 65 characters"},
        {0x0008, 0x0060, QString(17, 'X'), "(0008,0060) is longer than 16 characters (VR CS)"},
        {0x0008, 0x1030, "a\\" + QString(65, 'x'), "(0008,1030) is longer than 64 characters (VR LO)"},
        {0x0020, 0x4000, QString(10241, 'x'), "(0020,4000) is longer than 10240 characters (VR LT)"},
    };
    for (const auto& c : tooLong)
        EXPECT_TRUE(messageOf([&] { ds->AddString2(c.group, c.element, c.value, true); }).contains(QLatin1String(c.message)))
            << c.message;
}

TEST(DicomDataSet, ByteArrayKeepsTheFirstLengthBytes)
{
    auto ds = CreateDicomDataSet();
    const QByteArray bytes("\x01\x02\x03\x04\x05\x06", 6);
    ds->AddByteArray(combinedTag(0x7FE0, 0x0010), 4, true, bytes);
    EXPECT_EQ(ds->GetString2(0x7FE0, 0x0010), QStringLiteral("01\\02\\03\\04"));
}

struct SyntaxCase {
    int32_t code;
    const char* uid;
};

// Every syntax the component encodes gives a file that dcmdump reads without a warning,
// that dciodvfy finds no encoding error in, and whose pixels decode to what was put in.
TEST(DicomDataSet, WritesEachSupportedTransferSyntax)
{
    const SyntaxCase cases[] = {
        {TransferSyntaxCode::ExplicitLittleEndian, UID_LittleEndianExplicitTransferSyntax},
        {TransferSyntaxCode::JpegBaseline, UID_JPEGProcess1TransferSyntax},
        {TransferSyntaxCode::RleLossless, UID_RLELosslessTransferSyntax},
        {TransferSyntaxCode::Deflated, UID_DeflatedExplicitVRLittleEndianTransferSyntax},
    };
    QTemporaryDir dir;
    for (const SyntaxCase& c : cases) {
        SCOPED_TRACE(c.code);
        auto ds = makeImageDataSet(SecondaryCaptureUid, 40, 30);
        ds->CreateIcon(170, 128, 1);
        const QString path = dir.filePath(QStringLiteral("ts%1.dcm").arg(c.code));
        ds->SaveToFile(path, c.code);
        auto file = loadDicom(path);
        EXPECT_EQ(rawValue(*file, 0x0002, 0x0010), QByteArray(c.uid));
        EXPECT_EQ(dcmdumpProblems(path), QString());
        EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList());
        // The data set itself keeps its native pixels and RGB description.
        EXPECT_EQ(ds->GetString2(0x0028, 0x0004), QStringLiteral("RGB"));

        const QString decoded = dir.filePath(QStringLiteral("dec%1.dcm").arg(c.code));
        const QString decoder = c.code == TransferSyntaxCode::JpegBaseline ? QStringLiteral("dcmdjpeg")
                                : c.code == TransferSyntaxCode::RleLossless ? QStringLiteral("dcmdrle")
                                                                           : QStringLiteral("dcmconv");
        ASSERT_EQ(runProcess(decoder, {path, decoded}).exitCode, 0);
        auto plain = loadDicom(decoded);
        const Uint8* pixels = nullptr;
        unsigned long count = 0;
        ASSERT_TRUE(plain->getDataset()->findAndGetUint8Array(DCM_PixelData, pixels, &count).good());
        const std::vector<uint8_t> expected = patternPixels(40, 30);
        ASSERT_EQ(count, expected.size());
        if (c.code == TransferSyntaxCode::JpegBaseline)
            continue; // lossy: compared only by size
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pixels));
    }
}

TEST(DicomDataSet, SyntaxCodesThatCannotBeEncodedAreNamed)
{
    QTemporaryDir dir;
    for (int32_t code : {26, 27, 1, 30}) {
        SCOPED_TRACE(code);
        auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
        const QString path = dir.filePath(QStringLiteral("x.dcm"));
        const QString message = messageOf([&] { ds->SaveToFile(path, code); });
        EXPECT_TRUE(message.contains(QStringLiteral("code %1").arg(code))) << message.toStdString();
        EXPECT_FALSE(QFile::exists(path));
    }
    auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    EXPECT_TRUE(messageOf([&] { ds->SaveToFile(dir.filePath(QStringLiteral("y.dcm")), 26); }).contains(QLatin1String("JPEG 2000 lossless")));
}

// SetTransferSyntax is what the object carries into writing: it outranks the code given to
// SaveToFile, and -1 asks for uncompressed files.
TEST(DicomDataSet, CarriedTransferSyntaxDecidesTheFileSyntax)
{
    QTemporaryDir dir;
    const std::pair<int32_t, const char*> cases[] = {
        {-1, UID_LittleEndianExplicitTransferSyntax},
        {25, UID_DeflatedExplicitVRLittleEndianTransferSyntax},
    };
    for (const auto& [carried, uid] : cases) {
        auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
        ds->SetTransferSyntax(carried);
        const QString path = dir.filePath(QStringLiteral("c%1.dcm").arg(carried));
        ds->SaveToFile(path, TransferSyntaxCode::Deflated);
        auto file = loadDicom(path);
        EXPECT_EQ(rawValue(*file, 0x0002, 0x0010), QByteArray(uid));
        EXPECT_EQ(dcmdumpProblems(path), QString());
        EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList());
    }
}

struct CharsetCase {
    const char* name;      // UTF-8
    const char* declared;  // expected (0008,0005)
    QByteArray encoded;    // expected bytes of the patient name in the file
};

TEST(DicomDataSet, DeclaresAndEncodesTheCharacterSet)
{
    const CharsetCase cases[] = {
        {"Svensson^Anna", "ISO_IR 100", QByteArray("Svensson^Anna")},
        {"Åström^Karin", "ISO_IR 100", QByteArray("\xC5str\xF6m^Karin")},
        {"Łukasiewicz^Jan", "ISO_IR 192", QByteArray("\xC5\x81ukasiewicz^Jan")},
    };
    QTemporaryDir dir;
    for (const CharsetCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (int32_t code : {TransferSyntaxCode::ExplicitLittleEndian, TransferSyntaxCode::Deflated}) {
            auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4, QString::fromUtf8(c.name));
            // A second text decides too: one that needs UTF-8 anywhere makes the whole object UTF-8.
            ds->AddString2(0x0010, 0x1040, QStringLiteral("Storgatan 1, Västerås"), true);
            const QString path = dir.filePath(QStringLiteral("cs%1.dcm").arg(code));
            ds->SaveToFile(path, code);
            auto file = loadDicom(path);
            EXPECT_EQ(rawValue(*file, 0x0008, 0x0005), QByteArray(c.declared));
            EXPECT_EQ(rawValue(*file, 0x0010, 0x0010), c.encoded);
            const QByteArray address = QStringLiteral("Storgatan 1, Västerås").toUtf8();
            EXPECT_EQ(rawValue(*file, 0x0010, 0x1040),
                      QByteArray(c.declared) == "ISO_IR 100" ? QStringLiteral("Storgatan 1, Västerås").toLatin1() : address);
            // DCMTK's own conversion reads the names back as written.
            ASSERT_TRUE(file->convertToUTF8().good());
            EXPECT_EQ(rawValue(*file, 0x0010, 0x0010), QByteArray(c.name));
            // The data set keeps its texts as they were given.
            EXPECT_EQ(ds->GetString2(0x0010, 0x0010), QString::fromUtf8(c.name));
            EXPECT_EQ(dcmdumpProblems(path), QString());
            EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList());
        }
    }
}

TEST(DicomDataSet, SaveReplacesAnExistingFileWhole)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("obj.dcm"));
    makeImageDataSet(SecondaryCaptureUid, 200, 100, QStringLiteral("Old^Name"))->SaveToFile(path, 0);
    makeImageDataSet(SecondaryCaptureUid, 8, 4, QStringLiteral("New^Name"))->SaveToFile(path, 0);
    auto file = loadDicom(path);
    EXPECT_EQ(rawValue(*file, 0x0010, 0x0010), QByteArray("New^Name"));
    expectValid(path);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("obj.dcm")});
}

TEST(DicomDataSet, FailedSaveLeavesNoFileAndKeepsTheOldOne)
{
    QTemporaryDir dir;
    // No folder: an error, and nothing is created.
    auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    const QString missing = dir.filePath(QStringLiteral("nope/obj.dcm"));
    EXPECT_NE(messageOf([&] { ds->SaveToFile(missing, 0); }), QStringLiteral("<no error>"));
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_FALSE(QDir(dir.filePath(QStringLiteral("nope"))).exists());

    // An encoding that fails half-way (RLE of pixel data shorter than the pixel module says)
    // keeps the file that was there and leaves no temporary file beside it.
    const QString path = dir.filePath(QStringLiteral("obj.dcm"));
    makeImageDataSet(SecondaryCaptureUid, 8, 4, QStringLiteral("Old^Name"))->SaveToFile(path, 0);
    const QByteArray before = readAll(path);
    auto broken = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    broken->AddString2(0x0028, 0x0010, QStringLiteral("400"), true);
    EXPECT_NE(messageOf([&] { broken->SaveToFile(path, TransferSyntaxCode::RleLossless); }), QStringLiteral("<no error>"));
    EXPECT_EQ(readAll(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("obj.dcm")});
}

TEST(DicomDataSet, IconIsAnAveragedPaletteImageOfTheAskedSize)
{
    // Left half pure red, right half pure blue: the icon's left and right halves map to the
    // palette's red and blue entries.
    auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    std::vector<uint8_t> pixels(8 * 4 * 3, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            pixels[size_t((y * 8 + x) * 3 + (x < 4 ? 0 : 2))] = 255;
    ds->AddByteArray(combinedTag(0x7FE0, 0x0010), int64_t(pixels.size()), true, pixels);
    ds->CreateIcon(4, 2, 1);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("icon.dcm"));
    ds->SaveToFile(path, 0);
    auto file = loadDicom(path);
    DcmItem* icon = nullptr;
    ASSERT_TRUE(file->getDataset()->findAndGetSequenceItem(DCM_IconImageSequence, icon).good());
    Uint16 rows = 0, columns = 0;
    icon->findAndGetUint16(DCM_Rows, rows);
    icon->findAndGetUint16(DCM_Columns, columns);
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(columns, 4);
    OFString photometric;
    icon->findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    EXPECT_EQ(photometric, "PALETTE COLOR");
    const Uint8* indices = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(icon->findAndGetUint8Array(DCM_PixelData, indices, &count).good());
    ASSERT_EQ(count, 8u);
    const Uint16* red = nullptr;
    const Uint16* blue = nullptr;
    ASSERT_TRUE(icon->findAndGetUint16Array(DCM_RedPaletteColorLookupTableData, red).good());
    ASSERT_TRUE(icon->findAndGetUint16Array(DCM_BluePaletteColorLookupTableData, blue).good());
    for (int i = 0; i < 8; ++i) {
        const bool left = i % 4 < 2;
        EXPECT_EQ(red[indices[i]], left ? 65535 : 0) << i;
        EXPECT_EQ(blue[indices[i]], left ? 0 : 65535) << i;
    }
    // A second icon replaces the first.
    ds->CreateIcon(2, 1, 1);
    ds->SaveToFile(path, 0);
    file = loadDicom(path);
    DcmSequenceOfItems* sequence = nullptr;
    ASSERT_TRUE(file->getDataset()->findAndGetSequence(DCM_IconImageSequence, sequence).good());
    EXPECT_EQ(sequence->card(), 1u);
    EXPECT_EQ(dcmdumpProblems(path), QString());
    EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList());
}

TEST(DicomDataSet, GreyPicturesGetGreyIcons)
{
    auto ds = makeImageDataSet(VlPhotographicUid, 6, 6);
    ds->AddString2(0x0028, 0x0004, QStringLiteral("MONOCHROME2"), true);
    ds->AddString2(0x0028, 0x0002, QStringLiteral("1"), true);
    const std::vector<uint8_t> grey(36, 90);
    ds->AddByteArray(combinedTag(0x7FE0, 0x0010), 36, true, grey);
    ds->CreateIcon(3, 3, 1);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("grey.dcm"));
    ds->SaveToFile(path, TransferSyntaxCode::Deflated);
    auto file = loadDicom(path);
    DcmItem* icon = nullptr;
    ASSERT_TRUE(file->getDataset()->findAndGetSequenceItem(DCM_IconImageSequence, icon).good());
    OFString photometric;
    icon->findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    EXPECT_EQ(photometric, "MONOCHROME2");
    const Uint8* pixels = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(icon->findAndGetUint8Array(DCM_PixelData, pixels, &count).good());
    ASSERT_EQ(count, 10u); // 9 pixels, padded to an even length
    EXPECT_EQ(pixels[4], 90);
    expectValid(path);
}

TEST(DicomDataSet, IconErrors)
{
    auto empty = CreateDicomDataSet();
    EXPECT_TRUE(messageOf([&] { empty->CreateIcon(170, 100, 1); }).contains(QLatin1String("pixel module")));
    auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    EXPECT_TRUE(messageOf([&] { ds->CreateIcon(170, 0, 1); }).contains(QLatin1String("170 x 0")));
    EXPECT_TRUE(messageOf([&] { ds->CreateIcon(170, 100, 2); }).contains(QLatin1String("mode 2")));
    ds->AddString2(0x0028, 0x0010, QStringLiteral("400"), true);
    EXPECT_TRUE(messageOf([&] { ds->CreateIcon(170, 100, 1); }).contains(QLatin1String("holds 96 bytes")));
}

TEST(DicomDataSet, IsReferenceCounted)
{
    std::weak_ptr<IDicomDataSet> watch;
    {
        DicomDataSetPtr first = CreateDicomDataSet();
        watch = first;
        DicomDataSetPtr second = first;
        first.reset();
        EXPECT_FALSE(watch.expired());
    }
    EXPECT_TRUE(watch.expired());
}
