#include "common/PictureFormatError.h"
#include "pictures/ReaderAdapters.h"
#include "pictures/ReaderTestSupport.h"
#include "pictures/gfx_pcx.h"

#include <gtest/gtest.h>

#include <QBuffer>

#include <vector>

using namespace b2d;
using namespace b2d::test;

namespace {

struct PcxLayout {
    int bits = 8;
    int planes = 1;
    int width = 1;
    int height = 1;
    int bytesPerLine = 1;
    int version = 5;
};

// colormap16: the header's 16-colour map (48 bytes), or empty.
QByteArray pcxHeader(const PcxLayout& l, const std::vector<uint8_t>& colormap16 = {})
{
    QByteArray h(128, '\0');
    h[0] = 10;
    h[1] = char(l.version);
    h[2] = 1;
    h[3] = char(l.bits);
    auto put16 = [&h](int at, int v) {
        h[at] = char(v & 0xFF);
        h[at + 1] = char((v >> 8) & 0xFF);
    };
    put16(8, l.width - 1);
    put16(10, l.height - 1);
    for (size_t i = 0; i < colormap16.size() && i < 48; ++i)
        h[16 + int(i)] = char(colormap16[i]);
    h[65] = char(l.planes);
    put16(66, l.bytesPerLine);
    return h;
}

// Raw bytes as PCX data without runs (bytes of 0xC0 and above as one-byte runs).
QByteArray pcxLiterals(const std::vector<uint8_t>& raw)
{
    QByteArray out;
    for (uint8_t b : raw) {
        if (b >= 0xC0)
            out.append(char(0xC1));
        out.append(char(b));
    }
    return out;
}

Bitmap loadPcx(const QByteArray& data)
{
    TPCXFile pcx;
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    pcx.LoadFromStream(buffer);
    return pcx.bitmap();
}

std::string pcxError(const QByteArray& data)
{
    try {
        loadPcx(data);
    } catch (const PictureFormatError& e) {
        return e.what();
    }
    return "no error";
}

QByteArray paletteBlock(const std::vector<PaletteEntry>& entries)
{
    QByteArray out(1, char(12));
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry e = i < int(entries.size()) ? entries[size_t(i)] : PaletteEntry{};
        out.append(char(e.red)).append(char(e.green)).append(char(e.blue));
    }
    return out;
}

} // namespace

TEST(PcxReader, ImageMagickFilesDecodeToTheSourcePicture)
{
    const Bitmap source = bitmapFromPpm(readerFixture("source.ppm"));
    struct Case {
        const char* file;
        PixelFormat format;
    };
    for (const Case& c : {Case{"pcx24.pcx", PixelFormat::Bits24}, Case{"pcx8.pcx", PixelFormat::Bits8}}) {
        QTemporaryDir dir;
        Bitmap target(3, 3, PixelFormat::Bits24);
        ASSERT_EQ(loadThrough(pcxReader(), dir, "x.pcx", readerFixture(c.file), target), "") << c.file;
        EXPECT_EQ(target.format(), c.format) << c.file;
        EXPECT_EQ(pixelDifference(target, source), "") << c.file;
        EXPECT_EQ(pixelDifference(target, decodeWithImageMagick(readerFixturePath(c.file))), "") << c.file;
    }
}

TEST(PcxReader, OddWidthTrueColourDropsLineFiller)
{
    // Width 5 in planes of 6 bytes; the sixth byte of every plane is filler.
    const PcxLayout l{8, 3, 5, 2, 6, 5};
    std::vector<uint8_t> raw;
    for (int y = 0; y < 2; ++y)
        for (int plane = 0; plane < 3; ++plane) {
            for (int x = 0; x < 5; ++x)
                raw.push_back(uint8_t(100 * y + 10 * plane + x));
            raw.push_back(0xEE);
        }
    const Bitmap b = loadPcx(pcxHeader(l) + pcxLiterals(raw));
    ASSERT_EQ(b.width(), 5);
    ASSERT_EQ(b.height(), 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 5; ++x) {
            const PaletteEntry p = b.pixel(x, y);
            EXPECT_EQ(p.red, 100 * y + x) << x << "," << y;
            EXPECT_EQ(p.green, 100 * y + 10 + x) << x << "," << y;
            EXPECT_EQ(p.blue, 100 * y + 20 + x) << x << "," << y;
        }
}

TEST(PcxReader, PaletteAtTheEndWinsOverTheHeaderMap)
{
    const QByteArray file = pcxHeader({8, 1, 3, 1, 4, 5}, std::vector<uint8_t>(48, 0x77)) + pcxLiterals({0, 1, 2, 0})
                            + paletteBlock({{255, 0, 0}, {0, 255, 0}, {0, 0, 255}});
    const Bitmap b = loadPcx(file);
    ASSERT_EQ(b.format(), PixelFormat::Bits8);
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{255, 0, 0}));
    EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{0, 255, 0}));
    EXPECT_EQ(b.pixel(2, 0), (PaletteEntry{0, 0, 255}));
}

TEST(PcxReader, WithoutStoredPaletteIndicesShowAsGrey)
{
    const Bitmap b = loadPcx(pcxHeader({8, 1, 2, 1, 2, 5}) + pcxLiterals({0x40, 0x90}));
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{0x40, 0x40, 0x40}));
    EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{0x90, 0x90, 0x90}));
}

TEST(PcxReader, RunAndLiteralBytes)
{
    struct Case {
        const char* what;
        QByteArray body;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"0xC1 0x00 writes one zero", bytes({0xC1, 0x00, 5, 6, 7}), {0, 5, 6, 7}},
        {"0xBF is a literal", bytes({0xBF, 1, 2, 3}), {0xBF, 1, 2, 3}},
        {"a run of three", bytes({0xC3, 0xFE, 9}), {0xFE, 0xFE, 0xFE, 9}},
        {"a run of length 0 stores nothing", bytes({0xC0, 0x55, 1, 2, 3, 4}), {1, 2, 3, 4}},
        {"a run past the plane's end is cut at the line", bytes({0xC6, 8}), {8, 8, 8, 8}},
    };
    for (const Case& c : cases) {
        const Bitmap b = loadPcx(pcxHeader({8, 1, 4, 1, 4, 5}) + c.body);
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(b.scanLine(0)[x], c.expected[size_t(x)]) << c.what << " x=" << x;
    }
}

TEST(PcxReader, RunCrossingAPlaneEndShiftsTheFollowingPlanes)
{
    // Red plane: a run of 3 where the plane holds 2; green and blue follow one byte later.
    const QByteArray body = bytes({0xC3, 0x10, 0x20, 0x21, 0x30, 0x31});
    const Bitmap b = loadPcx(pcxHeader({8, 3, 2, 1, 2, 5}) + body);
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{0x10, 0x10, 0x21}));
    EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{0x10, 0x20, 0x30}));
}

TEST(PcxReader, SixteenColourAndMonochromePlanes)
{
    std::vector<uint8_t> map;
    for (int i = 0; i < 16; ++i)
        map.insert(map.end(), {uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i)});
    // Pixel x has palette index 2x: plane p holds bit p of every pixel's index.
    std::vector<uint8_t> planes(4, 0);
    for (int x = 0; x < 8; ++x)
        for (int p = 0; p < 4; ++p)
            if (((2 * x) % 16 >> p) & 1)
                planes[size_t(p)] = uint8_t(planes[size_t(p)] | (0x80 >> x));
    const Bitmap b = loadPcx(pcxHeader({1, 4, 8, 1, 1, 5}, map) + pcxLiterals(planes));
    ASSERT_EQ(b.format(), PixelFormat::Bits4);
    for (int x = 0; x < 8; ++x) {
        const int i = (2 * x) % 16;
        EXPECT_EQ(b.pixel(x, 0), (PaletteEntry{uint8_t(i * 16), uint8_t(255 - i * 16), uint8_t(i)})) << x;
    }

    const Bitmap mono = loadPcx(pcxHeader({1, 1, 3, 1, 2, 5}) + pcxLiterals({0xA0, 0x00}));
    ASSERT_EQ(mono.format(), PixelFormat::Bits1);
    EXPECT_EQ(mono.pixel(0, 0), (PaletteEntry{255, 255, 255}));
    EXPECT_EQ(mono.pixel(1, 0), (PaletteEntry{0, 0, 0}));
    EXPECT_EQ(mono.pixel(2, 0), (PaletteEntry{255, 255, 255}));
}

TEST(PcxReader, BadFilesRaiseTheFormatsErrors)
{
    // Three planes of 21 845 bytes fill the line buffer; runs of 63 overshoot each plane by 16
    // and so push the third plane past the buffer's end.
    QByteArray overrun;
    for (int i = 0; i < 3 * 347; ++i)
        overrun.append(char(0xFF)).append(char(7));
    const QByteArray shortLine = pcxHeader({8, 1, 4, 2, 4, 5}) + bytes({1, 2, 3, 4, 5, 6});
    struct Case {
        const char* what;
        QByteArray file;
        const char* message;
    };
    const Case cases[] = {
        {"version 3", pcxHeader({8, 1, 2, 1, 2, 3}) + bytes({1, 2}), "Invalid PCX Version (Ver.5 needed)"},
        {"ends in the middle of a line", shortLine, "PCX Error"},
        {"ends in the middle of a run", pcxHeader({8, 1, 4, 1, 4, 5}) + bytes({0xC4}), "PCX Error"},
        {"header cut short", pcxHeader({8, 1, 2, 1, 2, 5}).left(100), "PCX Error"},
        {"empty file", QByteArray(), "Invalid PCX Version (Ver.5 needed)"},
        {"right edge before left edge", [] {
             QByteArray h = pcxHeader({8, 1, 2, 1, 2, 5});
             h[4] = 9; // XMin 9, XMax 1
             return h + bytes({1, 2});
         }(), "PCX Error"},
        {"2 bits in one plane", pcxHeader({2, 1, 4, 1, 1, 5}) + bytes({1}), "PCX Error"},
        {"width beyond the plane", pcxHeader({8, 3, 5, 1, 4, 5}) + QByteArray(12, 1), "PCX Error"},
        {"planes together beyond the line buffer", pcxHeader({8, 3, 2, 1, 30000, 5}) + QByteArray(90000, 1), "PCX Error"},
        {"run past the line buffer", pcxHeader({8, 3, 21845, 1, 21845, 5}) + overrun, "PCX Error"},
        {"absurd size over a tiny body", pcxHeader({8, 3, 65535, 65535, 65535, 5}) + bytes({0xC1, 1}), "PCX Error"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pcxError(c.file), c.message) << c.what;
}

TEST(PcxReader, UnreadableFileRaisesThePlatformsError)
{
    TPCXFile pcx;
    EXPECT_THROW(pcx.LoadFromFile("/nonexistent/picture.pcx"), std::runtime_error);
}
