#include "pictures/gfx_effects.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace b2d {
namespace {

constexpr FilterKind AllKinds[] = {
    FilterKind::SplineFilter,  FilterKind::BellFilter,     FilterKind::TriangleFilter,
    FilterKind::BoxFilter,     FilterKind::HermiteFilter,  FilterKind::Lanczos3Filter,
    FilterKind::MitchellFilter,
};

Bitmap greyRows(const std::vector<std::vector<int>>& rows)
{
    Bitmap b(int(rows[0].size()), int(rows.size()), PixelFormat::Bits24);
    for (int y = 0; y < b.height(); ++y) {
        for (int x = 0; x < b.width(); ++x)
            b.scanLine(y)[x * 3] = b.scanLine(y)[x * 3 + 1] = b.scanLine(y)[x * 3 + 2] =
                uint8_t(rows[size_t(y)][size_t(x)]);
    }
    return b;
}

Bitmap randomPicture(int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    Bitmap b(width, height, PixelFormat::Bits24);
    for (int y = 0; y < height; ++y) {
        for (size_t i = 0; i < b.bytesPerRow(); ++i)
            b.scanLine(y)[i] = uint8_t(random() & 0xFF);
    }
    return b;
}

TEST(FilterKernels, GoldenValues)
{
    const struct {
        FilterKind kind;
        float x;
        float expected;
    } cases[] = {
        {FilterKind::BoxFilter, 0.5f, 1.0f},
        {FilterKind::BoxFilter, -0.5f, 0.0f},
        {FilterKind::BoxFilter, 0.0f, 1.0f},
        {FilterKind::Lanczos3Filter, 0.0f, 1.0f},
        {FilterKind::Lanczos3Filter, 3.0f, 0.0f},
        {FilterKind::Lanczos3Filter, -1.0f, 0.0f},
        {FilterKind::MitchellFilter, 0.0f, 16.0f / 18.0f},
        {FilterKind::MitchellFilter, 1.0f, 1.0f / 18.0f},
        {FilterKind::MitchellFilter, -1.0f, 1.0f / 18.0f},
        {FilterKind::SplineFilter, 0.0f, 2.0f / 3.0f},
        {FilterKind::SplineFilter, 1.0f, 1.0f / 6.0f},
        {FilterKind::BellFilter, 0.0f, 0.75f},
        {FilterKind::BellFilter, 1.0f, 0.125f},
        {FilterKind::TriangleFilter, -0.25f, 0.75f},
        {FilterKind::HermiteFilter, 0.5f, 0.5f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << int(c.kind) << " at " << c.x);
        EXPECT_NEAR(FilterValue(c.kind, c.x), c.expected, 1e-6f);
    }
}

TEST(FilterKernels, ZeroFromTheirReachOn)
{
    for (FilterKind kind : AllKinds) {
        SCOPED_TRACE(int(kind));
        const float reach = FilterReach(kind);
        EXPECT_NE(FilterValue(kind, reach * 0.9f), 0.0f);
        EXPECT_EQ(FilterValue(kind, reach + 0.001f), 0.0f);
        EXPECT_EQ(FilterValue(kind, -reach - 0.001f), 0.0f);
        EXPECT_EQ(FilterValue(kind, 100.0f), 0.0f);
    }
}

TEST(ResampleBitmap, ShrinksWithMirroredBordersAndTruncation)
{
    Bitmap source = greyRows({{10, 20, 30, 40, 50}, {10, 20, 30, 40, 50}});
    Bitmap target;
    ResampleBitmap(source, target, 3, 2, FilterKind::TriangleFilter, 3.0f);
    // The last value is 0.25 * 40 + 0.75 * 50 = 47.5, truncated.
    EXPECT_EQ(target, greyRows({{15, 30, 47}, {15, 30, 47}}));
}

TEST(ResampleBitmap, SumsBeyondTheByteRangeAreClamped)
{
    // Lanczos3 rings on both sides of a black-to-white step: below 0 on the dark side, above
    // 255 on the light side. Clamped, the dark side stays dark and the light side light.
    Bitmap source = greyRows({{0, 0, 0, 0, 255, 255, 255, 255}, {0, 0, 0, 0, 255, 255, 255, 255}});
    Bitmap target;
    ResampleBitmap(source, target, 29, 2, FilterKind::Lanczos3Filter, 3.0f);
    for (int i = 0; i < 29; ++i) {
        const int value = target.pixel(i, 0).red;
        if (i < 14) {
            EXPECT_LT(value, 128) << "column " << i;
        } else if (i > 14) {
            EXPECT_GT(value, 128) << "column " << i;
        }
    }
    EXPECT_EQ(target.pixel(0, 0).red, 0);
    EXPECT_EQ(target.pixel(28, 0).red, 255);
}

TEST(ResampleBitmap, TriangleAtTheSameSizeReproducesTheSource)
{
    Bitmap source = randomPicture(13, 7, 1);
    const Bitmap original = source;
    Bitmap target;
    ResampleBitmap(source, target, 13, 7, FilterKind::TriangleFilter, 3.0f);
    EXPECT_EQ(target, original);
}

// The resampler as its rules read: contributor lists with mirrored indices, a horizontal pass,
// then a vertical pass column by column, 32-bit float sums in list order, clamped and truncated.
Bitmap literalResample(const Bitmap& source, int tw, int th, FilterKind kind, float radius)
{
    struct Pair {
        int index;
        float weight;
    };
    auto lists = [&](int target, int size) {
        const float scale = size == 1 ? float(target) / float(size)
                                      : float(target - 1) / float(size - 1);
        const float w = scale < 1.0f ? radius / scale : radius;
        const float s = scale < 1.0f ? 1.0f / scale : 1.0f;
        std::vector<std::vector<Pair>> result(static_cast<size_t>(target));
        for (int i = 0; i < target; ++i) {
            const float c = float(i) / scale;
            for (int j = int(std::floor(c - w)); j <= int(std::ceil(c + w)); ++j) {
                const float weight = FilterValue(kind, (c - float(j)) / s) / s;
                if (weight != 0.0f)
                    result[size_t(i)].push_back({j < 0 ? -j : j < size ? j : 2 * size - 1 - j, weight});
            }
        }
        return result;
    };
    auto toByte = [](float sum) {
        return uint8_t(sum >= 255.0f ? 255 : sum < 0.0f ? 0 : int(sum));
    };
    Bitmap work(tw, source.height(), PixelFormat::Bits24);
    const auto columns = lists(tw, source.width());
    for (int k = 0; k < source.height(); ++k) {
        for (int i = 0; i < tw; ++i) {
            for (int ch = 0; ch < 3; ++ch) {
                float sum = 0.0f;
                for (const Pair& p : columns[size_t(i)])
                    sum += p.weight * float(source.scanLine(k)[p.index * 3 + ch]);
                work.scanLine(k)[i * 3 + ch] = toByte(sum);
            }
        }
    }
    Bitmap target(tw, th, PixelFormat::Bits24);
    const auto rows = lists(th, source.height());
    for (int i = 0; i < tw; ++i) {
        for (int j = 0; j < th; ++j) {
            for (int ch = 0; ch < 3; ++ch) {
                float sum = 0.0f;
                for (const Pair& p : rows[size_t(j)])
                    sum += p.weight * float(work.scanLine(p.index)[i * 3 + ch]);
                target.scanLine(j)[i * 3 + ch] = toByte(sum);
            }
        }
    }
    return target;
}

TEST(ResampleBitmap, MatchesTheRulesForEveryKindAndDirection)
{
    // Random pixels drive the sharper kernels past 0 and 255, so clamping is covered too.
    const struct {
        int sw, sh, tw, th;
    } sizes[] = {{40, 30, 29, 21}, {17, 11, 40, 23}, {31, 9, 12, 20}, {25, 25, 25, 25}};
    unsigned seed = 10;
    for (FilterKind kind : AllKinds) {
        for (const auto& s : sizes) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << ", " << s.sw << "x" << s.sh
                                            << " to " << s.tw << "x" << s.th);
            Bitmap source = randomPicture(s.sw, s.sh, ++seed);
            Bitmap target;
            ResampleBitmap(source, target, s.tw, s.th, kind, 3.0f);
            EXPECT_EQ(target, literalResample(source, s.tw, s.th, kind, 3.0f));
        }
    }
}

TEST(ResampleBitmap, TinySizesGiveDefinedPictures)
{
    // Windows wider than the source would mirror past its far edge; one pixel high or wide
    // would divide by zero. All of them must give a picture of the asked size.
    const struct {
        int sw, sh, tw, th;
    } sizes[] = {{2, 2, 9, 9}, {10, 10, 1, 1}, {10, 10, 2, 2}, {1, 1, 4, 4},
                 {5, 1, 3, 1}, {1, 5, 1, 3}, {3, 40, 1, 2}, {64, 3, 2, 1}};
    for (FilterKind kind : AllKinds) {
        for (const auto& s : sizes) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << ", " << s.sw << "x" << s.sh
                                            << " to " << s.tw << "x" << s.th);
            Bitmap source = randomPicture(s.sw, s.sh, 3);
            Bitmap target;
            ResampleBitmap(source, target, s.tw, s.th, kind, 3.0f);
            EXPECT_EQ(target.width(), s.tw);
            EXPECT_EQ(target.height(), s.th);
            EXPECT_EQ(target.byteCount(), size_t(s.tw) * 3 * size_t(s.th));
        }
    }
}

TEST(ResampleBitmap, OneTargetPixelSitsAtTheSourcesCentre)
{
    // Centre 1 of 0, 100, 200 with a triangle three pixels wide: weights 1/9 (mirrored 1),
    // 2/9, 1/3, 2/9 and 1/9 (mirrored 2) give 111.1.
    Bitmap source = greyRows({{0, 100, 200}});
    Bitmap target;
    ResampleBitmap(source, target, 1, 1, FilterKind::TriangleFilter, 3.0f);
    EXPECT_EQ(target, greyRows({{111}}));
}

TEST(ResampleBitmap, ConvertsThePaletteSourceAndSizesTheTargetOfAnEmptySource)
{
    Bitmap palette(4, 4, PixelFormat::Bits8);
    palette.palette() = {{200, 100, 50}};
    Bitmap target;
    ResampleBitmap(palette, target, 2, 2, FilterKind::BoxFilter, 3.0f);
    EXPECT_EQ(palette.format(), PixelFormat::Bits24);
    EXPECT_EQ(target.pixel(1, 1), (PaletteEntry{200, 100, 50}));

    Bitmap empty;
    ResampleBitmap(empty, target, 5, 3, FilterKind::MitchellFilter, 3.0f);
    EXPECT_EQ(target.width(), 5);
    EXPECT_EQ(target.height(), 3);
}

TEST(MakeGreyscale, TakesTheLightnessOfEveryPixel)
{
    Bitmap source(3, 2, PixelFormat::Bits24);
    const PaletteEntry colours[] = {{200, 100, 50}, {255, 255, 255}, {0, 0, 0},
                                    {1, 2, 4},      {255, 0, 0},     {10, 10, 11}};
    const uint8_t expected[] = {125, 255, 0, 2, 127, 10};
    for (int i = 0; i < 6; ++i) {
        uint8_t* p = source.scanLine(i / 3) + (i % 3) * 3;
        p[0] = colours[i].blue;
        p[1] = colours[i].green;
        p[2] = colours[i].red;
    }
    Bitmap target;
    MakeGreyscale(source, target);
    ASSERT_EQ(target.width(), 3);
    ASSERT_EQ(target.height(), 2);
    for (int i = 0; i < 6; ++i) {
        const uint8_t l = expected[i];
        EXPECT_EQ(target.pixel(i % 3, i / 3), (PaletteEntry{l, l, l})) << i;
    }
}

TEST(MakeGreyscale, ReadsPaletteSources)
{
    Bitmap source(2, 1, PixelFormat::Bits8);
    source.palette() = {{200, 100, 50}, {0, 0, 0}};
    source.scanLine(0)[1] = 1;
    Bitmap target;
    MakeGreyscale(source, target);
    EXPECT_EQ(target.format(), PixelFormat::Bits24);
    EXPECT_EQ(target.pixel(0, 0), (PaletteEntry{125, 125, 125}));
    EXPECT_EQ(target.pixel(1, 0), (PaletteEntry{0, 0, 0}));
}

} // namespace
} // namespace b2d
