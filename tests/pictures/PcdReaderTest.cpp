#include "pictures/ReaderAdapters.h"
#include "pictures/ReaderTestSupport.h"
#include "support/TestSupport.h"
#include "pictures/gfx_pcd.h"

#include <gtest/gtest.h>

#include <QBuffer>

using namespace b2d;
using namespace b2d::test;

namespace {

constexpr int C = 768, R = 512;
constexpr int Base = 0x30000;

// An image pack of mid grey (Y 100, neutral chroma) in one resolution step.
QByteArray pcdPack(int orientation, int base = Base, int columns = C, int rows = R)
{
    QByteArray file(base + columns * rows * 3 / 2, '\0');
    file[72] = char(orientation);
    for (int g = 0; g < rows / 2; ++g) {
        char* group = file.data() + base + g * 3 * columns;
        std::fill(group, group + 2 * columns, char(100));
        std::fill(group + 2 * columns, group + 2 * columns + columns / 2, char(156));
        std::fill(group + 2 * columns + columns / 2, group + 3 * columns, char(137));
    }
    return file;
}

char& luma(QByteArray& f, int row, int column)
{
    return f[Base + (row / 2) * 3 * C + (row % 2) * C + column];
}

char& chroma(QByteArray& f, int group, int half, int k)
{
    return f[Base + group * 3 * C + 2 * C + half * (C / 2) + k];
}

// Golden values: Y 0, 100 and 182 with neutral chroma; chroma pair 1 of group 0 is (206, 137).
QByteArray markedPack(int orientation)
{
    QByteArray f = pcdPack(orientation);
    luma(f, 0, 0) = 0;
    luma(f, 1, 0) = char(182);
    for (int row : {0, 1})
        for (int column : {2, 3})
            luma(f, row, column) = 60;
    chroma(f, 0, 0, 1) = char(206);
    luma(f, R - 1, C - 1) = 50;
    return f;
}

Bitmap loadPcd(const QByteArray& data)
{
    TPCDFile pcd;
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    pcd.LoadFromStream(buffer);
    return pcd.bitmap();
}

// Stored row r, column e as a bitmap pixel for either orientation.
PaletteEntry stored(const Bitmap& b, bool upright, int r, int e)
{
    return upright ? b.pixel(e, r) : b.pixel(r, C - 1 - e);
}

} // namespace

TEST(PcdReader, PhotoYccGoldenValues)
{
    struct Case {
        int y, c1, c2;
        PaletteEntry rgb;
    };
    const Case cases[] = {
        {0, 156, 137, {0, 0, 0}},
        {100, 156, 137, {141, 141, 141}},
        {182, 156, 137, {255, 255, 255}},
        {60, 206, 137, {84, 65, 186}},
        {0, 0, 255, {156, 0, 0}},
    };
    for (const Case& c : cases) {
        PaletteEntry out;
        TPCDFile::yccToRgb(c.y, c.c1, c.c2, out.red, out.green, out.blue);
        EXPECT_EQ(out, c.rgb) << c.y << " " << c.c1 << " " << c.c2;
    }
}

TEST(PcdReader, OrientationByteAndPlacement)
{
    struct Case {
        int byte72;
        bool upright;
    };
    for (const Case& c : {Case{0x08, true}, Case{0xC8, true}, Case{0x09, false}, Case{0x00, false}}) {
        const Bitmap b = loadPcd(markedPack(c.byte72));
        ASSERT_EQ(b.format(), PixelFormat::Bits24);
        EXPECT_EQ(b.width(), c.upright ? C : R) << c.byte72;
        EXPECT_EQ(b.height(), c.upright ? R : C) << c.byte72;
        EXPECT_EQ(stored(b, c.upright, 0, 0), (PaletteEntry{0, 0, 0})) << c.byte72;
        EXPECT_EQ(stored(b, c.upright, 0, 1), (PaletteEntry{141, 141, 141})) << c.byte72;
        EXPECT_EQ(stored(b, c.upright, 1, 0), (PaletteEntry{255, 255, 255})) << c.byte72;
        // Both rows of the group share chroma pair 1 for columns 2 and 3; column 4 does not.
        for (int row : {0, 1})
            for (int column : {2, 3})
                EXPECT_EQ(stored(b, c.upright, row, column), (PaletteEntry{84, 65, 186})) << c.byte72;
        EXPECT_EQ(stored(b, c.upright, 0, 4), (PaletteEntry{141, 141, 141})) << c.byte72;
        EXPECT_EQ(stored(b, c.upright, R - 1, C - 1), (PaletteEntry{70, 70, 70})) << c.byte72;
    }
    // The first stored column of a turned picture is its bottom row.
    const Bitmap turned = loadPcd(markedPack(0x09));
    EXPECT_EQ(turned.pixel(0, C - 1), (PaletteEntry{0, 0, 0}));
    EXPECT_EQ(turned.pixel(1, C - 1), (PaletteEntry{255, 255, 255}));
}

TEST(PcdReader, FileCutShortLeavesTheMissingPixelsBlack)
{
    // Cut inside group 1: its chroma is missing, so rows 2 and 3 and everything after are black.
    const Bitmap b = loadPcd(pcdPack(0x08).left(Base + 3 * C + C + 10));
    ASSERT_EQ(b.width(), C);
    EXPECT_EQ(b.pixel(C - 1, 1), (PaletteEntry{141, 141, 141}));
    EXPECT_EQ(b.pixel(0, 2), PaletteEntry{});
    EXPECT_EQ(b.pixel(C - 1, R - 1), PaletteEntry{});

    const Bitmap tiny = loadPcd(QByteArray(10, 'x'));
    EXPECT_EQ(tiny.width(), C);
    EXPECT_EQ(tiny.height(), R);
    EXPECT_EQ(tiny.pixel(5, 5), PaletteEntry{});
}

TEST(PcdReader, LoaderReadsStepThreeWhateverTheSharedSetting)
{
    const QByteArray small = pcdPack(0x08, 0x2000, 192, 128);
    TPCDFile pcd; // creating a reader sets the shared step to 3
    TPCDFile::Resolution = 1;
    QBuffer buffer;
    buffer.setData(small);
    buffer.open(QIODevice::ReadOnly);
    pcd.LoadFromStream(buffer);
    EXPECT_EQ(pcd.bitmap().width(), 192);
    EXPECT_EQ(pcd.bitmap().pixel(191, 127), (PaletteEntry{141, 141, 141}));

    TPCDFile::Resolution = 1;
    QTemporaryDir dir;
    Bitmap target;
    ASSERT_EQ(loadThrough(pcdReader(), dir, "x.pcd", markedPack(0x08), target), "");
    EXPECT_EQ(target.width(), C);
    EXPECT_EQ(target.pixel(1, 0), (PaletteEntry{141, 141, 141}));
    EXPECT_EQ(TPCDFile::Resolution, 3);
}

TEST(PcdReader, ImageMagickPackLoadsTurnedAsItsOrientationByteSays)
{
    // ImageMagick leaves byte 72 at zero, which this format reads as a turned picture.
    QTemporaryDir dir;
    const QString path = dir.filePath("im.pcd");
    ASSERT_EQ(runProcess("convert", {readerFixturePath("source.ppm"), "-resize", "768x512!", path}).exitCode, 0);
    Bitmap target;
    ASSERT_EQ(loadThrough(pcdReader(), dir, "copy.pcd", readAll(path), target), "");
    EXPECT_EQ(target.width(), R);
    EXPECT_EQ(target.height(), C);
}
