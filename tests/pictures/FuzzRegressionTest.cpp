// Replays every input kept from fuzzing a picture reader (the crashing ones once found and the
// corpus) through the fuzz targets' own entry: each loads or fails with its format error.
#include "FuzzEntries.h"

#include <gtest/gtest.h>

namespace {

struct Target {
    const char* name;
    const char* extension;
    friend void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }
};

class KeptFuzzInputs : public ::testing::TestWithParam<Target> {};

TEST_P(KeptFuzzInputs, LoadOrFailWithTheFormatError)
{
    const auto inputs = b2d::fuzz::keptInputs(QStringLiteral(B2D_SOURCE_DIR), GetParam().name);
    ASSERT_FALSE(inputs.empty());
    for (const b2d::fuzz::KeptInput& input : inputs) {
        SCOPED_TRACE(input.file.toStdString());
        EXPECT_NO_THROW(b2d::fuzz::loadPicture(QString::fromLatin1(GetParam().extension), input.data(), input.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, KeptFuzzInputs,
                         ::testing::Values(Target{"bmp", ".bmp"}, Target{"jpeg", ".jpg"}, Target{"png", ".png"},
                                           Target{"gif", ".gif"}, Target{"tiff", ".tif"}, Target{"wmf", ".wmf"},
                                           Target{"pcx", ".pcx"}, Target{"tga", ".tga"}, Target{"pcd", ".pcd"},
                                           Target{"jpeg2000", ".jp2"}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
