#include "common/Bitmap.h"
#include "common/PictureFormatError.h"

#include <gtest/gtest.h>

using namespace b2d;

TEST(Bitmap, ConvertTo24KeepsEachPixelsColour)
{
    const std::vector<PaletteEntry> pal = {{10, 20, 30}, {200, 100, 50}, {1, 2, 3}, {4, 5, 6}};
    struct Case {
        PixelFormat format;
        std::vector<uint8_t> row; // one row of 3 pixels
        std::vector<int> expectedIndex;
    };
    // 1 bit: pixels 1,0,1 -> 0b10100000; 4 bit: 1,0,3 -> 0x10 0x30; 8 bit: 2,1,0.
    const Case cases[] = {
        {PixelFormat::Bits1, {0xA0}, {1, 0, 1}},
        {PixelFormat::Bits4, {0x10, 0x30}, {1, 0, 3}},
        {PixelFormat::Bits8, {2, 1, 0}, {2, 1, 0}},
    };
    for (const Case& c : cases) {
        Bitmap b(3, 1, c.format);
        b.palette() = pal;
        std::copy(c.row.begin(), c.row.end(), b.scanLine(0));
        b.convertTo24();
        ASSERT_EQ(b.format(), PixelFormat::Bits24);
        for (int x = 0; x < 3; ++x) {
            const PaletteEntry& e = pal[c.expectedIndex[x]];
            EXPECT_EQ(b.scanLine(0)[x * 3], e.blue) << int(c.format) << " x=" << x;
            EXPECT_EQ(b.scanLine(0)[x * 3 + 1], e.green);
            EXPECT_EQ(b.scanLine(0)[x * 3 + 2], e.red);
        }
    }
}

TEST(Bitmap, ConvertTo24DropsAlpha)
{
    Bitmap b(2, 2, PixelFormat::Bits32);
    const uint8_t px[] = {1, 2, 3, 0, 4, 5, 6, 255};
    std::copy(std::begin(px), std::end(px), b.scanLine(1));
    b.convertTo24();
    EXPECT_EQ(b.bytesPerRow(), 6u);
    const std::vector<uint8_t> row(b.scanLine(1), b.scanLine(1) + 6);
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(b.scanLine(0)[0], 0);
}

TEST(Bitmap, RowsArePackedAndPaletteIndexPastTheEndIsBlack)
{
    Bitmap b(13, 2, PixelFormat::Bits1);
    EXPECT_EQ(b.bytesPerRow(), 2u);
    Bitmap c(3, 1, PixelFormat::Bits8);
    c.palette() = {{9, 9, 9}};
    c.scanLine(0)[1] = 200;
    EXPECT_EQ(c.pixel(1, 0), PaletteEntry{});
    EXPECT_EQ(c.pixel(0, 0), (PaletteEntry{9, 9, 9}));
}

TEST(Bitmap, RefusesOversizedPictureBeforeAllocating)
{
    Bitmap b;
    EXPECT_THROW(b.setSize(65536, 65536, PixelFormat::Bits24), PictureFormatError);
    EXPECT_THROW(b.setSize(-1, 5, PixelFormat::Bits24), PictureFormatError);
    EXPECT_NO_THROW(Bitmap::checkSize(32768, 16384, "x")); // exactly 2 GiB at 4 bytes a pixel
    EXPECT_THROW(Bitmap::checkSize(32768, 16385, "x"), PictureFormatError);
    EXPECT_TRUE(b.isEmpty());
}
