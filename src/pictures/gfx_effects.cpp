#include "pictures/gfx_effects.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace b2d {

namespace {

float sinc(double u)
{
    if (u == 0.0)
        return 1.0f;
    const double a = std::numbers::pi * u;
    return float(std::sin(a) / a);
}

struct Contributor {
    int32_t index;
    float weight;
};

// The contributor lists of every target column (or row), one after another: list i is
// items[start[i]] .. items[start[i + 1] - 1].
struct ContributorLists {
    std::vector<Contributor> items;
    std::vector<size_t> start;
};

ContributorLists buildContributors(int targetSize, int sourceSize, FilterKind kind, float radius)
{
    // The first and last pixel centres of source and target line up. A single target pixel
    // would make that scale zero; it sits at the source's centre with the whole source as its
    // window instead.
    const bool single = targetSize == 1 && sourceSize > 1;
    float scale;
    if (sourceSize == 1)
        scale = float(targetSize) / float(sourceSize);
    else if (single)
        scale = 1.0f / float(sourceSize);
    else
        scale = float(targetSize - 1) / float(sourceSize - 1);

    float width = radius;
    float kernelScale = 1.0f;
    if (scale < 1.0f) {
        width = radius / scale;
        kernelScale = 1.0f / scale;
    }

    ContributorLists lists;
    lists.start.reserve(size_t(targetSize) + 1);
    lists.items.reserve(size_t(targetSize) * size_t(std::ceil(2.0f * width + 1.0f)));
    for (int i = 0; i < targetSize; ++i) {
        lists.start.push_back(lists.items.size());
        const float centre = single ? float(sourceSize - 1) / 2.0f : float(i) / scale;
        const int64_t left = int64_t(std::floor(centre - width));
        const int64_t right = int64_t(std::ceil(centre + width));
        for (int64_t j = left; j <= right; ++j) {
            const float weight = FilterValue(kind, (centre - float(j)) / kernelScale) / kernelScale;
            if (weight == 0.0f)
                continue;
            // Mirrored borders: around pixel 0 on the left, around the edge on the right.
            int64_t index = j < 0 ? -j : (j < sourceSize ? j : 2 * int64_t(sourceSize) - 1 - j);
            // A source narrower than the window would mirror past its other edge.
            index = std::clamp<int64_t>(index, 0, sourceSize - 1);
            lists.items.push_back({int32_t(index), weight});
        }
    }
    lists.start.push_back(lists.items.size());
    return lists;
}

inline uint8_t toByte(float sum)
{
    if (sum >= 255.0f)
        return 255;
    if (sum < 0.0f)
        return 0;
    return uint8_t(sum);
}

} // namespace

float FilterValue(FilterKind kind, float x)
{
    const float t = std::fabs(x);
    switch (kind) {
    case FilterKind::SplineFilter:
        if (t < 1.0f)
            return 0.5f * t * t * t - t * t + 2.0f / 3.0f;
        if (t < 2.0f) {
            const float u = 2.0f - t;
            return u * u * u / 6.0f;
        }
        return 0.0f;
    case FilterKind::BellFilter:
        if (t < 0.5f)
            return 0.75f - t * t;
        if (t < 1.5f) {
            const float u = t - 1.5f;
            return 0.5f * u * u;
        }
        return 0.0f;
    case FilterKind::TriangleFilter:
        return t < 1.0f ? 1.0f - t : 0.0f;
    case FilterKind::BoxFilter:
        return x > -0.5f && x <= 0.5f ? 1.0f : 0.0f;
    case FilterKind::HermiteFilter:
        return t < 1.0f ? (2.0f * t - 3.0f) * t * t + 1.0f : 0.0f;
    case FilterKind::Lanczos3Filter:
        return t < 3.0f ? sinc(t) * sinc(double(t) / 3.0) : 0.0f;
    case FilterKind::MitchellFilter:
        if (t < 1.0f)
            return (7.0f * t * t * t - 12.0f * t * t + 16.0f / 3.0f) / 6.0f;
        if (t < 2.0f)
            return (-(7.0f / 3.0f) * t * t * t + 12.0f * t * t - 20.0f * t + 32.0f / 3.0f) / 6.0f;
        return 0.0f;
    }
    return 0.0f;
}

float FilterReach(FilterKind kind)
{
    switch (kind) {
    case FilterKind::SplineFilter: return 2.0f;
    case FilterKind::BellFilter: return 1.5f;
    case FilterKind::TriangleFilter: return 1.0f;
    case FilterKind::BoxFilter: return 0.5f;
    case FilterKind::HermiteFilter: return 1.0f;
    case FilterKind::Lanczos3Filter: return 3.0f;
    case FilterKind::MitchellFilter: return 2.0f;
    }
    return 0.0f;
}

void ResampleBitmap(Bitmap& source, Bitmap& target, int targetWidth, int targetHeight,
                    FilterKind kind, float supportRadius)
{
    source.convertTo24();
    target.setSize(targetWidth, targetHeight, PixelFormat::Bits24);
    const int width = source.width();
    const int height = source.height();
    if (width < 1 || height < 1 || targetWidth < 1 || targetHeight < 1)
        return;

    // Horizontal pass into a work picture of target width and source height.
    Bitmap work(targetWidth, height, PixelFormat::Bits24);
    {
        const ContributorLists columns = buildContributors(targetWidth, width, kind, supportRadius);
        for (int k = 0; k < height; ++k) {
            const uint8_t* in = source.scanLine(k);
            uint8_t* out = work.scanLine(k);
            for (int i = 0; i < targetWidth; ++i, out += 3) {
                float blue = 0.0f, green = 0.0f, red = 0.0f;
                for (size_t n = columns.start[size_t(i)]; n < columns.start[size_t(i) + 1]; ++n) {
                    const Contributor& c = columns.items[n];
                    const uint8_t* p = in + size_t(c.index) * 3;
                    blue += c.weight * float(p[0]);
                    green += c.weight * float(p[1]);
                    red += c.weight * float(p[2]);
                }
                out[0] = toByte(blue);
                out[1] = toByte(green);
                out[2] = toByte(red);
            }
        }
    }

    // Vertical pass, a whole target row at a time: each pixel's sum still runs over its row
    // list in order, but the work picture is read along its rows.
    const ContributorLists rows = buildContributors(targetHeight, height, kind, supportRadius);
    const size_t rowBytes = size_t(targetWidth) * 3;
    std::vector<float> sums(rowBytes);
    for (int j = 0; j < targetHeight; ++j) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (size_t n = rows.start[size_t(j)]; n < rows.start[size_t(j) + 1]; ++n) {
            const Contributor& c = rows.items[n];
            const uint8_t* in = work.scanLine(c.index);
            const float weight = c.weight;
            float* sum = sums.data();
            for (size_t x = 0; x < rowBytes; ++x)
                sum[x] += weight * float(in[x]);
        }
        uint8_t* out = target.scanLine(j);
        for (size_t x = 0; x < rowBytes; ++x)
            out[x] = toByte(sums[x]);
    }
}

void MakeGreyscale(Bitmap& source, Bitmap& target)
{
    source.convertTo24();
    const int width = source.width();
    const int height = source.height();
    target.setSize(width, height, PixelFormat::Bits24);
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = source.scanLine(y);
        uint8_t* out = target.scanLine(y);
        for (int x = 0; x < width; ++x, in += 3, out += 3) {
            const auto [lo, hi] = std::minmax({in[0], in[1], in[2]});
            const auto lightness = uint8_t((unsigned(hi) + unsigned(lo)) / 2);
            out[0] = out[1] = out[2] = lightness;
        }
    }
}

} // namespace b2d
