#include "common/DCAppFileInformation.h"
#include "common/VeltaronTools.h"

#include <gtest/gtest.h>

using namespace b2d;

TEST(VeltaronTools, ExtractPixelsTurnsBgrIntoRgbRowByRow)
{
    Bitmap b(2, 2, PixelFormat::Bits24);
    const uint8_t top[] = {255, 0, 0, 0, 0, 255};     // blue, red
    const uint8_t bottom[] = {10, 20, 30, 40, 50, 60};
    std::copy(std::begin(top), std::end(top), b.scanLine(0));
    std::copy(std::begin(bottom), std::end(bottom), b.scanLine(1));
    EXPECT_EQ(ExtractRgbPixels(b), (std::vector<uint8_t>{0, 0, 255, 255, 0, 0, 30, 20, 10, 60, 50, 40}));
    EXPECT_EQ(ExtractGreyPixels(b), (std::vector<uint8_t>{0, 0, 20, 50}));
    Bitmap odd(3, 1, PixelFormat::Bits8);
    EXPECT_THROW(ExtractRgbPixels(odd), std::invalid_argument);
}

TEST(VeltaronTools, StripSpecialCharacters)
{
    const std::pair<QString, QString> cases[] = {
        {"12-34/56", "123456"}, {"a--b", "ab"}, {"----", ""},
        {"a\tb\nc\rd!e&f\\g h", "abcdefg h"}, {"Åström 19", "Åström 19"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(StripSpecialCharacters(in), out) << in.toStdString();
}

TEST(VeltaronTools, TempFolderEndsInASeparator)
{
    EXPECT_TRUE(GetTempFolder().endsWith('/'));
}

TEST(VeltaronTools, FileVersionIsTheBuildVersion)
{
    TDCAppFileInformation info;
    EXPECT_EQ(info.FileVersion(), QStringLiteral(B2D_VERSION));
    EXPECT_FALSE(info.FileVersion().isEmpty());
}
