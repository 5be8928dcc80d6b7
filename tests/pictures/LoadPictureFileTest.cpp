#include "common/PictureFormatError.h"
#include "pictures/Metafile.h"
#include "pictures/ReferenceDecode.h"
#include "pictures/gfx_files.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <zlib.h>

#include <string>

namespace b2d {
namespace {

using test::dataPath;
using test::DecodeWith;
using test::MaxDifference;
using test::readAll;
using test::writeAll;

QString fixture(const QString& name)
{
    return dataPath(B2D_TEST_DATA, "data/" + name);
}

Bitmap freshBitmap()
{
    Bitmap b;
    b.setSize(0, 0, PixelFormat::Bits24);
    return b;
}

// A bitmap with content, to see that a load that loads nothing leaves it exactly as it was.
Bitmap markedBitmap()
{
    Bitmap b(3, 2, PixelFormat::Bits8);
    b.palette() = {{1, 2, 3}, {4, 5, 6}};
    b.scanLine(1)[2] = 1;
    return b;
}

// Every reader against an outside tool's decoding of the same file.
struct DecodeCase {
    const char* file;
    PixelFormat layout;
    QString tool;
    QStringList toolArgs; // the fixture's path replaces "%f"
    int tolerance;
};

void PrintTo(const DecodeCase& c, std::ostream* os)
{
    *os << c.file;
}

class DecodeAgainstReference : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeAgainstReference, MatchesTheToolsPixels)
{
    const DecodeCase& c = GetParam();
    QStringList args = c.toolArgs;
    args.replaceInStrings("%f", fixture(c.file));
    const test::RgbPicture reference = DecodeWith(c.tool, args);

    Bitmap picture = freshBitmap();
    LoadPictureFile(picture, fixture(c.file));
    EXPECT_EQ(picture.format(), c.layout);
    const int difference = MaxDifference(picture, reference);
    EXPECT_GE(difference, 0) << "size differs from the reference";
    EXPECT_LE(difference, c.tolerance);
}

const QStringList djpeg = {"-dct", "int", "-pnm", "%f"};
QStringList im(const QString& input, QStringList options = {})
{
    return QStringList{input} + options + QStringList{"-depth", "8", "ppm:-"};
}

INSTANTIATE_TEST_SUITE_P(Readers, DecodeAgainstReference, ::testing::Values(
    // libjpeg-turbo's own djpeg uses the same accurate DCT and smoothed up-sampling: exact.
    DecodeCase{"jpeg_colour.jpg", PixelFormat::Bits24, "djpeg", djpeg, 0},
    DecodeCase{"jpeg_grey.jpg", PixelFormat::Bits24, "djpeg", djpeg, 0},
    DecodeCase{"jpeg_progressive.jpg", PixelFormat::Bits24, "djpeg", djpeg, 0},
    DecodeCase{"jpeg_cmyk.jpg", PixelFormat::Bits24, "convert", im("%f", {"-colorspace", "sRGB"}), 2},
    DecodeCase{"png_rgb.png", PixelFormat::Bits24, "convert", im("%f"), 0},
    DecodeCase{"png_16bit.png", PixelFormat::Bits24, "convert", im("%f"), 1},
    DecodeCase{"png_palette.png", PixelFormat::Bits24, "convert", im("%f"), 0},
    // A single transparent colour keeps its colour; an alpha channel is composed over black.
    DecodeCase{"png_palette_trns.png", PixelFormat::Bits24, "convert", im("%f", {"-alpha", "off"}), 0},
    DecodeCase{"png_alpha.png", PixelFormat::Bits32, "convert",
               im("%f", {"-background", "black", "-alpha", "remove"}), 1},
    DecodeCase{"png_grey_interlaced.png", PixelFormat::Bits24, "convert", im("%f"), 0},
    // The first frame, with its transparent colour shown as stored.
    DecodeCase{"gif_frames.gif", PixelFormat::Bits24, "convert", im("%f[0]", {"-alpha", "off"}), 0},
    DecodeCase{"gif_interlaced.gif", PixelFormat::Bits24, "convert", im("%f"), 0},
    DecodeCase{"tiff_pages_lzw.tif", PixelFormat::Bits24, "convert", im("%f[0]"), 0},
    DecodeCase{"tiff_grey.tif", PixelFormat::Bits24, "convert", im("%f"), 0},
    DecodeCase{"tiff_16bit.tif", PixelFormat::Bits24, "convert", im("%f"), 1},
    // Read in bands of strips and of tile rows.
    DecodeCase{"tiff_strips.tif", PixelFormat::Bits24, "convert", im("%f"), 0},
    DecodeCase{"tiff_tiled.tif", PixelFormat::Bits24, "convert", im("%f"), 0},
    DecodeCase{"tiff_alpha.tif", PixelFormat::Bits24, "convert",
               im("%f", {"-background", "black", "-alpha", "remove"}), 1},
    // A file stored bottom-up is turned upright.
    DecodeCase{"tiff_bottom_up.tif", PixelFormat::Bits24, "convert", im("%f", {"-flip"}), 0},
    // BMP keeps the file's layout and palette.
    DecodeCase{"bmp_1bit.bmp", PixelFormat::Bits1, "convert", im("%f"), 0},
    DecodeCase{"bmp_4bit.bmp", PixelFormat::Bits4, "convert", im("%f"), 0},
    DecodeCase{"bmp_8bit.bmp", PixelFormat::Bits8, "convert", im("%f"), 0},
    DecodeCase{"bmp_8bit_rle.bmp", PixelFormat::Bits8, "convert", im("%f"), 0},
    // Qt widens 5-bit samples by shifting, ImageMagick by scaling: up to 7 apart.
    DecodeCase{"bmp_16bit.bmp", PixelFormat::Bits24, "convert", im("%f"), 7},
    DecodeCase{"bmp_24bit.bmp", PixelFormat::Bits24, "convert", im("%f"), 0},
    DecodeCase{"bmp_32bit.bmp", PixelFormat::Bits32, "convert", im("%f", {"-alpha", "off"}), 0}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) {
        return QString(info.param.file).replace('.', '_').toStdString();
    });

TEST(LoadPictureFile, PaletteBitmapsKeepTheirPalette)
{
    Bitmap picture = freshBitmap();
    LoadPictureFile(picture, fixture("bmp_4bit.bmp"));
    EXPECT_LE(picture.palette().size(), 16u);
    EXPECT_GE(picture.palette().size(), 2u);
    LoadPictureFile(picture, fixture("bmp_1bit.bmp"));
    EXPECT_EQ(picture.palette().size(), 2u);
    // Found by fuzzing: a 1-bit file declaring 130 colours keeps the two its pixels address.
    LoadPictureFile(picture, dataPath(B2D_SOURCE_DIR, "fuzz/regressions/bmp/1bit-with-130-colours.bmp"));
    EXPECT_EQ(picture.format(), PixelFormat::Bits1);
    EXPECT_EQ(picture.palette().size(), 2u);
}

TEST(LoadPictureFile, TopDownBmpIsReadUpright)
{
    // A top-down BMP (negative height) made from the bottom-up fixture: same picture expected.
    const QByteArray bottomUp = readAll(fixture("bmp_24bit.bmp"));
    const auto* p = reinterpret_cast<const uchar*>(bottomUp.constData());
    const quint32 offset = qFromLittleEndian<quint32>(p + 10);
    const qint32 height = qFromLittleEndian<qint32>(p + 22);
    const qsizetype stride = (37 * 3 + 3) / 4 * 4;
    QByteArray topDown = bottomUp.left(offset);
    qToLittleEndian<qint32>(-height, reinterpret_cast<uchar*>(topDown.data()) + 22);
    for (int y = height - 1; y >= 0; --y)
        topDown += bottomUp.mid(offset + y * stride, stride);
    QTemporaryDir dir;
    writeAll(dir.filePath("topdown.bmp"), topDown);

    Bitmap expected = freshBitmap(), picture = freshBitmap();
    LoadPictureFile(expected, fixture("bmp_24bit.bmp"));
    LoadPictureFile(picture, dir.filePath("topdown.bmp"));
    EXPECT_EQ(picture, expected);
}

TEST(LoadPictureFile, UncompressedBmpCutShortIsRefused)
{
    // Cut by one byte, and a 285-byte file whose header claims 393381 x 87 pixels (found by
    // fuzzing: it took seconds and hundreds of megabytes to "load" rows the file never held).
    QTemporaryDir dir;
    for (const char* name : {"bmp_1bit.bmp", "bmp_4bit.bmp", "bmp_8bit.bmp", "bmp_16bit.bmp", "bmp_24bit.bmp",
                             "bmp_32bit.bmp"}) {
        SCOPED_TRACE(name);
        const QByteArray whole = readAll(fixture(name));
        writeAll(dir.filePath("cut.bmp"), whole.left(whole.size() - 1));
        Bitmap picture = markedBitmap();
        EXPECT_THROW(LoadPictureFile(picture, dir.filePath("cut.bmp")), PictureFormatError);
        EXPECT_EQ(picture, markedBitmap());
    }
    Bitmap picture = markedBitmap();
    try {
        LoadPictureFile(picture, dataPath(B2D_SOURCE_DIR, "fuzz/regressions/bmp/cut-short-huge-bitfields.bmp"));
        ADD_FAILURE() << "no error raised";
    } catch (const PictureFormatError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("BMP loading error", 0), 0u) << e.what();
    }
}

TEST(LoadPictureFile, MetafileIsDrawnAtNaturalSizeOnWhite)
{
    QTemporaryDir dir;
    writeAll(dir.filePath("drawing.wmf"), test::SmallMetafile());
    Bitmap picture = freshBitmap();
    LoadPictureFile(picture, dir.filePath("drawing.wmf"));
    // One inch is 96 screen pixels.
    ASSERT_EQ(picture.width(), 96);
    ASSERT_EQ(picture.height(), 64);
    EXPECT_EQ(picture.format(), PixelFormat::Bits24);
    const PaletteEntry white{255, 255, 255}, red{255, 0, 0};
    EXPECT_EQ(picture.pixel(48, 32), red);
    EXPECT_EQ(picture.pixel(30, 20), red);
    EXPECT_EQ(picture.pixel(2, 2), white);
    EXPECT_EQ(picture.pixel(93, 61), white);
    EXPECT_EQ(picture.pixel(48, 5), white);
}

TEST(LoadPictureFile, MetafileHeaderOverstatingItsLargestRecordStillLoads)
{
    // The header's largest record (after the 22-byte placeable header) says 8 GB, then 3.3 GB as
    // in the file fuzzing found; the picture is the same as with the true figure.
    QTemporaryDir dir;
    writeAll(dir.filePath("true.wmf"), test::SmallMetafile());
    Bitmap expected = freshBitmap();
    LoadPictureFile(expected, dir.filePath("true.wmf"));
    for (quint32 largest : {0xFFFFFFF0u, 0x62000007u}) {
        QByteArray wmf = test::SmallMetafile();
        qToLittleEndian<quint32>(largest, reinterpret_cast<uchar*>(wmf.data()) + 22 + 12);
        writeAll(dir.filePath("overstated.wmf"), wmf);
        Bitmap picture = freshBitmap();
        LoadPictureFile(picture, dir.filePath("overstated.wmf"));
        EXPECT_EQ(picture, expected);
    }
}

TEST(LoadPictureFile, MetafileBitmapLargerThanItsRecordIsRefused)
{
    // Found by fuzzing: a StretchDIB record whose 2 x 2 bitmap claims 4177461248 colours, for
    // which libwmf asked for 12.5 GB. With the true count (0) the same file loads.
    const QString path = dataPath(B2D_SOURCE_DIR, "fuzz/regressions/wmf/dib-colour-count-12gb.wmf");
    Bitmap picture = markedBitmap();
    try {
        LoadPictureFile(picture, path);
        ADD_FAILURE() << "no error raised";
    } catch (const PictureFormatError& e) {
        EXPECT_STREQ(e.what(), "WMF loading error: not a valid metafile");
    }
    EXPECT_EQ(picture, markedBitmap());
    // Also found by fuzzing: a bitmap header of size 1 (libwmf reads it as a full one) whose
    // 134217728 x 2 pixels kept libwmf busy for minutes.
    // And every other bitmap record fuzzing found libwmf stuck in or asking gigabytes for:
    // impossible header sizes, depths, widths or compressions.
    QTemporaryDir copies;
    const QDir regressions(dataPath(B2D_SOURCE_DIR, "fuzz/regressions/wmf"));
    for (const QString& name : regressions.entryList({"dib-*"}, QDir::Files)) {
        SCOPED_TRACE(name.toStdString());
        writeAll(copies.filePath("dib.wmf"), readAll(regressions.filePath(name)));
        EXPECT_THROW(LoadPictureFile(picture, copies.filePath("dib.wmf")), PictureFormatError);
    }

    QByteArray repaired = readAll(path);
    const qsizetype colours = 88 + 32; // the bitmap header starts at byte 88
    ASSERT_EQ(qFromLittleEndian<quint32>(repaired.constData() + colours), 4177461248u);
    qToLittleEndian<quint32>(0, reinterpret_cast<uchar*>(repaired.data()) + colours);
    QTemporaryDir dir;
    writeAll(dir.filePath("repaired.wmf"), repaired);
    Bitmap loaded = freshBitmap();
    LoadPictureFile(loaded, dir.filePath("repaired.wmf"));
    EXPECT_FALSE(loaded.isEmpty());
}

TEST(LoadPictureFile, ExtensionChoosesTheReaderWhateverItsCase)
{
    // The same JPEG under several names: upper and mixed case and .tmb load; others do not.
    const QByteArray jpeg = readAll(fixture("jpeg_colour.jpg"));
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("folder.jpg");
    const struct {
        const char* name;
        bool loads;
    } cases[] = {
        {"photo.JPG", true},  {"photo.Jpeg", true}, {"photo.tmb", true},  {"photo.jpeg", true},
        {"photo.jpe", false}, {"photo.emf", false}, {"photo", false},     {"photo.jpg.txt", false},
        {"folder.jpg/photo", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(c.name);
        writeAll(path, jpeg);
        Bitmap picture = markedBitmap();
        LoadPictureFile(picture, path);
        if (c.loads) {
            EXPECT_EQ(picture.width(), 37);
            EXPECT_EQ(picture.format(), PixelFormat::Bits24);
        } else {
            EXPECT_EQ(picture, markedBitmap());
        }
    }
}

TEST(LoadPictureFile, MissingFileOrFolderLoadsNothing)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("folder.png");
    for (const QString& path : {dir.filePath("absent.jpg"), dir.filePath("folder.png")}) {
        Bitmap fresh = freshBitmap();
        LoadPictureFile(fresh, path);
        EXPECT_TRUE(fresh.isEmpty());
        EXPECT_EQ(fresh.width(), 0);
        Bitmap marked = markedBitmap();
        LoadPictureFile(marked, path);
        EXPECT_EQ(marked, markedBitmap());
    }
}

// Position of the first JPEG marker of the given kind, or -1.
qsizetype findMarker(const QByteArray& jpeg, uchar kind)
{
    for (qsizetype i = 2; i + 1 < jpeg.size(); ++i) {
        if (uchar(jpeg[i]) == 0xFF && uchar(jpeg[i + 1]) == kind)
            return i;
    }
    return -1;
}

TEST(LoadPictureFile, BrokenJpegRaisesAndLeavesOnePixel)
{
    const QByteArray good = readAll(fixture("jpeg_colour.jpg"));
    const qsizetype scan = findMarker(good, 0xDA);
    ASSERT_GT(scan, 0);
    const qsizetype middle = scan + (good.size() - scan) / 2;
    // A marker in the middle of the scan data: libjpeg would only warn and fill with grey.
    QByteArray corrupt = good;
    corrupt.insert(middle, "\xFF\xD9", 2);
    const struct {
        const char* what;
        QByteArray data;
    } cases[] = {
        {"cut in the scan data", good.left(middle)},
        {"end marker missing", good.left(good.size() - 2)},
        {"marker inside the scan", corrupt},
        {"not a JPEG", QByteArray("GIF89a and more")},
        {"empty file", QByteArray()},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeAll(dir.filePath("broken.jpg"), c.data);
        Bitmap picture = freshBitmap();
        try {
            LoadPictureFile(picture, dir.filePath("broken.jpg"));
            ADD_FAILURE() << "no error raised";
        } catch (const PictureFormatError& e) {
            EXPECT_STREQ(e.what(), "JPEG loading error");
        }
        EXPECT_EQ(picture.width(), 1);
        EXPECT_EQ(picture.height(), 1);
    }
}

// Headers patched to claim 60000 x 60000 pixels (14.4 GB at 4 bytes a pixel): refused before
// any pixel buffer is allocated.
QByteArray withHugeSize(const QString& file)
{
    QByteArray d = readAll(fixture(file));
    auto* p = reinterpret_cast<uchar*>(d.data());
    const quint16 huge = 60000;
    if (file.endsWith(".jpg")) {
        const qsizetype sof = findMarker(d, 0xC0);
        qToBigEndian<quint16>(huge, p + sof + 5);
        qToBigEndian<quint16>(huge, p + sof + 7);
    } else if (file.endsWith(".gif")) {
        qToLittleEndian<quint16>(huge, p + 6);
        qToLittleEndian<quint16>(huge, p + 8);
        const qsizetype desc = d.indexOf(char(0x2C), 13); // first image descriptor
        qToLittleEndian<quint16>(huge, p + desc + 5);
        qToLittleEndian<quint16>(huge, p + desc + 7);
    } else if (file.endsWith(".png")) {
        qToBigEndian<quint32>(huge, p + 16);
        qToBigEndian<quint32>(huge, p + 20);
        qToBigEndian<quint32>(quint32(crc32(0, p + 12, 17)), p + 29);
    } else if (file.endsWith(".bmp")) {
        qToLittleEndian<qint32>(huge, p + 18);
        qToLittleEndian<qint32>(huge, p + 22);
    } else if (file.endsWith(".tif")) {
        // Little-endian TIFF: patch the width (256) and length (257) entries of the first IFD.
        const quint32 ifd = qFromLittleEndian<quint32>(p + 4);
        const quint16 count = qFromLittleEndian<quint16>(p + ifd);
        for (quint16 i = 0; i < count; ++i) {
            uchar* entry = p + ifd + 2 + i * 12;
            const quint16 tag = qFromLittleEndian<quint16>(entry);
            if (tag == 256 || tag == 257) {
                if (qFromLittleEndian<quint16>(entry + 2) == 3)
                    qToLittleEndian<quint16>(huge, entry + 8);
                else
                    qToLittleEndian<quint32>(huge, entry + 8);
            }
        }
    }
    return d;
}

TEST(LoadPictureFile, MinIsWhiteTiffIsInverted)
{
    // The grey fixture with its photometric interpretation (262) patched to "0 is white".
    QByteArray d = readAll(fixture("tiff_grey.tif"));
    auto* p = reinterpret_cast<uchar*>(d.data());
    const quint32 ifd = qFromLittleEndian<quint32>(p + 4);
    const quint16 count = qFromLittleEndian<quint16>(p + ifd);
    bool patched = false;
    for (quint16 i = 0; i < count; ++i) {
        uchar* entry = p + ifd + 2 + i * 12;
        if (qFromLittleEndian<quint16>(entry) == 262) {
            qToLittleEndian<quint16>(0, entry + 8);
            patched = true;
        }
    }
    ASSERT_TRUE(patched);
    QTemporaryDir dir;
    writeAll(dir.filePath("white.tif"), d);

    Bitmap grey = freshBitmap(), inverted = freshBitmap();
    LoadPictureFile(grey, fixture("tiff_grey.tif"));
    LoadPictureFile(inverted, dir.filePath("white.tif"));
    ASSERT_EQ(inverted.width(), grey.width());
    ASSERT_EQ(inverted.height(), grey.height());
    for (int y = 0; y < grey.height(); ++y) {
        for (int x = 0; x < grey.width(); ++x) {
            const PaletteEntry g = grey.pixel(x, y);
            const auto v = uint8_t(255 - g.red);
            ASSERT_EQ(inverted.pixel(x, y), (PaletteEntry{v, v, v})) << x << "," << y;
        }
    }
}

TEST(LoadPictureFile, OverLargePictureIsRefusedWithTheFormatsError)
{
    const struct {
        const char* file;
        const char* message;
    } cases[] = {
        {"jpeg_colour.jpg", "JPEG loading error"},
        {"gif_frames.gif", "GIF loading error"},
        {"png_rgb.png", "PNG loading error"},
        {"bmp_24bit.bmp", "BMP loading error"},
        {"tiff_grey.tif", "TIFF loading error"},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = dir.filePath(QString("huge_") + c.file);
        writeAll(path, withHugeSize(c.file));
        Bitmap picture = freshBitmap();
        try {
            LoadPictureFile(picture, path);
            ADD_FAILURE() << "no error raised";
        } catch (const PictureFormatError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
        EXPECT_LE(picture.byteCount(), 3u);
    }
}

TEST(LoadPictureFile, FailedLoadOfOtherFormatsLeavesTheBitmapAsItWas)
{
    QTemporaryDir dir;
    for (const char* name : {"cut.png", "cut.gif", "cut.tif", "cut.bmp", "cut.wmf"}) {
        SCOPED_TRACE(name);
        writeAll(dir.filePath(name), QByteArray("\x89PNG\r\n\x1a\nGIF89aII*\0BM", 18));
        Bitmap picture = markedBitmap();
        EXPECT_THROW(LoadPictureFile(picture, dir.filePath(name)), PictureFormatError);
        EXPECT_EQ(picture, markedBitmap());
    }
}

} // namespace
} // namespace b2d
