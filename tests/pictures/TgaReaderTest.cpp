#include "common/PictureFormatError.h"
#include "pictures/ReaderAdapters.h"
#include "pictures/ReaderTestSupport.h"
#include "pictures/gfx_tga.h"

#include <gtest/gtest.h>

#include <QBuffer>

#include <vector>

using namespace b2d;
using namespace b2d::test;

namespace {

struct TgaLayout {
    int type = 2;
    int bits = 24;
    int width = 1;
    int height = 1;
    int descriptor = 0;
    int colorMapType = 0;
    int colorMapStart = 0;
    int colorMapLength = 0;
    int colorMapBits = 0;
};

QByteArray tgaHeader(const TgaLayout& s, const QByteArray& ident = {})
{
    QByteArray h;
    h.append(char(ident.size())).append(char(s.colorMapType)).append(char(s.type));
    putLE16(h, unsigned(s.colorMapStart));
    putLE16(h, unsigned(s.colorMapLength));
    h.append(char(s.colorMapBits));
    putLE16(h, 0);
    putLE16(h, 0);
    putLE16(h, unsigned(s.width));
    putLE16(h, unsigned(s.height));
    h.append(char(s.bits)).append(char(s.descriptor));
    return h + ident;
}

// One stored pixel value: an index (8 bits) or the colour in the file's layout.
QByteArray tgaPixel(const PaletteEntry& c, int index, int bits)
{
    QByteArray out;
    switch (bits) {
    case 8: out.append(char(index)); break;
    case 16: putLE16(out, unsigned((c.red >> 3) << 10 | (c.green >> 3) << 5 | (c.blue >> 3))); break;
    case 24: out.append(char(c.blue)).append(char(c.green)).append(char(c.red)); break;
    case 32: out.append(char(c.blue)).append(char(c.green)).append(char(c.red)).append(char(0x55)); break;
    }
    return out;
}

// A 5 x 3 picture whose colours survive 16-bit storage; index i of an 8-bit picture is the
// pixel's number x + 5y, and the colour map below gives it the same colour.
constexpr int W = 5, H = 3;
PaletteEntry colourAt(int x, int y)
{
    return {uint8_t(8 * (x + 1)), uint8_t(8 * (y + 10)), uint8_t(8 * (x + 5 * y + 2))};
}

QByteArray colourMap(int bits)
{
    QByteArray out;
    for (int i = 0; i < W * H; ++i)
        out += tgaPixel(colourAt(i % W, i / W), 0, bits);
    return out;
}

// The picture stored as the descriptor says, run-length encoded as one run packet of the
// first pixel followed by one raw packet of the rest of the row.
QByteArray tgaBody(const TgaLayout& s, bool rle)
{
    QByteArray body;
    for (int line = 0; line < H; ++line) {
        const int y = (s.descriptor & 0x20) ? line : H - 1 - line;
        for (int i = 0; i < W; ++i) {
            const int x = (s.descriptor & 0x10) ? W - 1 - i : i;
            if (rle && i == 0)
                body.append(char(0x80));
            if (rle && i == 1)
                body.append(char(W - 2));
            body += tgaPixel(colourAt(x, y), x + W * y, s.bits);
        }
    }
    return body;
}

Bitmap loadTga(const QByteArray& data)
{
    TTGAFile tga;
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    tga.LoadFromStream(buffer);
    return tga.bitmap();
}

std::string tgaError(const QByteArray& data)
{
    try {
        loadTga(data);
    } catch (const PictureFormatError& e) {
        return e.what();
    }
    return "no error";
}

Bitmap expectedPicture()
{
    Bitmap b(W, H, PixelFormat::Bits24);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const PaletteEntry c = colourAt(x, y);
            uint8_t* px = b.scanLine(y) + x * 3;
            px[0] = c.blue;
            px[1] = c.green;
            px[2] = c.red;
        }
    return b;
}

} // namespace

TEST(TgaReader, EveryDepthOrderAndCompression)
{
    const Bitmap expected = expectedPicture();
    for (int type : {1, 2, 9, 10})
        for (int bits : {8, 16, 24, 32})
            for (int descriptor : {0x00, 0x20, 0x10, 0x30}) {
                const bool mapped = type == 1 || type == 9;
                if (mapped != (bits == 8))
                    continue;
                for (int mapBits : mapped ? std::vector<int>{16, 24} : std::vector<int>{0}) {
                    TgaLayout s{type, bits, W, H, descriptor};
                    QByteArray map;
                    if (mapped) {
                        s.colorMapType = 1;
                        s.colorMapLength = W * H;
                        s.colorMapBits = mapBits;
                        map = colourMap(mapBits);
                    }
                    const QByteArray file = tgaHeader(s, "id") + map + tgaBody(s, type >= 9);
                    const Bitmap b = loadTga(file);
                    EXPECT_EQ(b.format(), bits == 8 ? PixelFormat::Bits8 : PixelFormat::Bits24);
                    EXPECT_EQ(pixelDifference(b, expected), "")
                        << "type " << type << " bits " << bits << " descriptor " << descriptor
                        << " map bits " << mapBits;
                }
            }
}

TEST(TgaReader, ImageMagickFilesDecodeToTheSourcePicture)
{
    const Bitmap source = bitmapFromPpm(readerFixture("source.ppm"));
    for (const char* file : {"tga24.tga", "tga24rle.tga", "tga8.tga", "tga8rle.tga", "tga32.tga",
                             "tga32rle.tga", "tgagrey.tga", "tgagreyrle.tga"}) {
        QTemporaryDir dir;
        Bitmap target;
        ASSERT_EQ(loadThrough(tgaReader(), dir, "x.tga", readerFixture(file), target), "") << file;
        const bool grey = QByteArray(file).startsWith("tgagrey");
        const Bitmap expected = grey ? decodeWithImageMagick(readerFixturePath(file)) : source;
        EXPECT_EQ(pixelDifference(target, expected), "") << file;
    }
}

TEST(TgaReader, SixteenBitWhiteIs248AndBit15IsIgnored)
{
    const Bitmap b = loadTga(tgaHeader({2, 16, 2, 1, 0}) + bytes({0xFF, 0x7F, 0xFF, 0xFF}));
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{248, 248, 248}));
    EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{248, 248, 248}));
}

TEST(TgaReader, GreyPicturesWithoutColourMapAreGrey)
{
    const Bitmap b = loadTga(tgaHeader({3, 8, 2, 1, 0x20}) + bytes({0x10, 0xF0}));
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{0x10, 0x10, 0x10}));
    EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{0xF0, 0xF0, 0xF0}));
}

TEST(TgaReader, ColourMapsThatThePictureDoesNotNeedOrThatOverflow)
{
    // A 24-bit picture with a three-entry colour map: the map is skipped.
    TgaLayout withMap{2, 24, 1, 1, 0, 1, 0, 3, 24};
    const Bitmap b = loadTga(tgaHeader(withMap) + QByteArray(9, char(0x11)) + bytes({1, 2, 3}));
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{3, 2, 1}));

    // Entries 250 to 259: those past 255 are read and dropped; the pixels stay in place.
    TgaLayout past{1, 8, 2, 1, 0x20, 1, 250, 10, 24};
    QByteArray map;
    for (int i = 0; i < 10; ++i)
        map += bytes({i, 2 * i, 3 * i});
    const Bitmap p = loadTga(tgaHeader(past) + map + bytes({255, 250}));
    EXPECT_EQ(p.pixel(0, 0), (PaletteEntry{15, 10, 5}));
    EXPECT_EQ(p.pixel(1, 0), (PaletteEntry{0, 0, 0}));
    EXPECT_EQ(p.palette().size(), 256u);

    // 32-bit entries are read as blue, green, red, alpha.
    TgaLayout wide{1, 8, 1, 1, 0, 1, 0, 1, 32};
    EXPECT_EQ(loadTga(tgaHeader(wide) + bytes({1, 2, 3, 4, 0})).pixel(0, 0), (PaletteEntry{3, 2, 1}));
}

TEST(TgaReader, PacketsDoNotCarryOverToTheNextLine)
{
    // Row 0: a run of three where the row holds two; row 1 starts with its own raw packet.
    const QByteArray body = bytes({0x82, 1, 2, 3, 0x01, 4, 5, 6, 7, 8, 9});
    const Bitmap b = loadTga(tgaHeader({10, 24, 2, 2, 0x20}) + body);
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{3, 2, 1}));
    EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{3, 2, 1}));
    EXPECT_EQ(b.pixel(0, 1), (PaletteEntry{6, 5, 4}));
    EXPECT_EQ(b.pixel(1, 1), (PaletteEntry{9, 8, 7}));
}

TEST(TgaReader, OneBitPicturesAreBlackAndWhite)
{
    const Bitmap b = loadTga(tgaHeader({3, 1, 10, 1, 0x30}) + bytes({0xC0, 0x40}));
    ASSERT_EQ(b.format(), PixelFormat::Bits1);
    // Stored right to left: stored pixels 0, 1 and 9 are set, so bitmap pixels 9, 8 and 0.
    for (int x = 0; x < 10; ++x) {
        const uint8_t v = (x == 0 || x == 8 || x == 9) ? 255 : 0;
        EXPECT_EQ(b.pixel(x, 0), (PaletteEntry{v, v, v})) << x;
    }
}

TEST(TgaReader, FileCutShortLeavesTheMissingPixelsBlack)
{
    const TgaLayout s{2, 24, W, H, 0x20};
    const QByteArray whole = tgaHeader(s) + tgaBody(s, false);
    const Bitmap expected = expectedPicture();
    // Cut in the middle of row 1, pixel 2.
    const Bitmap b = loadTga(whole.left(18 + W * 3 + 2 * 3 + 1));
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const bool present = y == 0 || (y == 1 && x < 2);
            EXPECT_EQ(b.pixel(x, y), present ? expected.pixel(x, y) : PaletteEntry{}) << x << "," << y;
        }
    // A run-length file cut after a packet byte.
    const TgaLayout r{10, 24, W, H, 0x20};
    const Bitmap c = loadTga((tgaHeader(r) + tgaBody(r, true)).left(18 + 1));
    EXPECT_EQ(c.width(), W);
    EXPECT_EQ(c.pixel(0, 0), PaletteEntry{});
}

TEST(TgaReader, UnsupportedFilesRaiseTheFormatsError)
{
    const struct {
        const char* what;
        QByteArray file;
    } cases[] = {
        {"image type 4", tgaHeader({4, 24, 1, 1, 0}) + bytes({1, 2, 3})},
        {"image type 0", tgaHeader({0, 24, 1, 1, 0}) + bytes({1, 2, 3})},
        {"2 bits per pixel", tgaHeader({3, 2, 4, 1, 0}) + bytes({1})},
        {"4 bits per pixel", tgaHeader({1, 4, 2, 1, 0}) + bytes({1})},
        {"header cut short", tgaHeader({2, 24, 1, 1, 0}).left(17)},
        {"zero width", tgaHeader({2, 24, 0, 5, 0})},
        {"zero height", tgaHeader({2, 24, 5, 0, 0})},
        {"line wider than the line buffer", tgaHeader({2, 24, 21846, 1, 0}) + bytes({1, 2, 3})},
        {"8-bit line wider than the line buffer", tgaHeader({3, 8, 30000, 1, 0}) + bytes({1})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tgaError(c.file), "Not supported or invalid TGA-File") << c.what;
    EXPECT_EQ(tgaError(tgaHeader({2, 24, 21845, 1, 0}) + bytes({1, 2, 3})), "no error");
}
