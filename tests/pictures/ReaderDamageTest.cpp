#include "pictures/DamageTest.h"
#include "pictures/Metafile.h"

#include <QDir>

namespace b2d {
namespace {

struct DamageCase {
    const char* file;
    const char* errorPrefix;
    // Cut copies shorter than the file minus this many bytes must raise; -1: no requirement.
    int mustFailUpToEnd;
};

void PrintTo(const DamageCase& c, std::ostream* os)
{
    *os << c.file;
}

class CutAndDamaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(CutAndDamaged, RaisesTheFormatsErrorOrGivesADefinedPicture)
{
    const DamageCase& c = GetParam();
    const QString path = test::dataPath(B2D_TEST_DATA, QString("data/") + c.file);
    test::DamageOptions options;
    options.errorPrefix = c.errorPrefix;
    if (c.mustFailUpToEnd >= 0)
        options.cutsMustFailBelow = QFileInfo(path).size() - c.mustFailUpToEnd;
    const test::DamageSummary summary = test::CheckCutAndDamaged(path, options);
    EXPECT_GT(summary.raised, 0);
}

// A JPEG or PNG cut anywhere, even just before its end, is refused. GIF, TIFF and BMP files
// can legitimately carry data after the first picture, so a cut there may still load.
INSTANTIATE_TEST_SUITE_P(Readers, CutAndDamaged, ::testing::Values(
    DamageCase{"jpeg_colour.jpg", "JPEG loading error", 0},
    DamageCase{"jpeg_grey.jpg", "JPEG loading error", 0},
    DamageCase{"jpeg_progressive.jpg", "JPEG loading error", 0},
    DamageCase{"jpeg_cmyk.jpg", "JPEG loading error", 0},
    DamageCase{"png_rgb.png", "PNG loading error", 0},
    DamageCase{"png_alpha.png", "PNG loading error", 0},
    DamageCase{"png_palette_trns.png", "PNG loading error", 0},
    DamageCase{"png_16bit.png", "PNG loading error", 0},
    DamageCase{"png_grey_interlaced.png", "PNG loading error", 0},
    DamageCase{"gif_frames.gif", "GIF loading error", -1},
    DamageCase{"gif_interlaced.gif", "GIF loading error", -1},
    DamageCase{"tiff_pages_lzw.tif", "TIFF loading error", -1},
    DamageCase{"tiff_grey.tif", "TIFF loading error", -1},
    DamageCase{"tiff_16bit.tif", "TIFF loading error", -1},
    DamageCase{"tiff_bottom_up.tif", "TIFF loading error", -1},
    DamageCase{"tiff_strips.tif", "TIFF loading error", -1},
    DamageCase{"tiff_tiled.tif", "TIFF loading error", -1},
    DamageCase{"tiff_alpha.tif", "TIFF loading error", -1},
    DamageCase{"bmp_1bit.bmp", "BMP loading error", -1},
    DamageCase{"bmp_4bit.bmp", "BMP loading error", -1},
    DamageCase{"bmp_8bit.bmp", "BMP loading error", -1},
    DamageCase{"bmp_8bit_rle.bmp", "BMP loading error", -1},
    DamageCase{"bmp_16bit.bmp", "BMP loading error", -1},
    DamageCase{"bmp_24bit.bmp", "BMP loading error", -1},
    DamageCase{"bmp_32bit.bmp", "BMP loading error", -1}),
    [](const ::testing::TestParamInfo<DamageCase>& info) {
        return QString(info.param.file).replace('.', '_').toStdString();
    });

TEST(CutAndDamagedMetafile, RaisesTheFormatsErrorOrGivesADefinedPicture)
{
    test::DamageOptions options;
    options.errorPrefix = "WMF loading error";
    EXPECT_GT(test::CheckCutAndDamagedData(test::SmallMetafile(), ".wmf", options).raised, 0);
}

} // namespace
} // namespace b2d
