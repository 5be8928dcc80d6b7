#pragma once

#include "common/Bitmap.h"

namespace b2d {

// The resampling kernels, numbered as the window's choice list numbers them.
enum class FilterKind {
    SplineFilter = 0,
    BellFilter = 1,
    TriangleFilter = 2,
    BoxFilter = 3,
    HermiteFilter = 4,
    Lanczos3Filter = 5,
    MitchellFilter = 6,
};

constexpr FilterKind DefaultFilterKind = FilterKind::MitchellFilter;

// The kernel of a filter kind at x, and the distance beyond which it is zero.
float FilterValue(FilterKind kind, float x);
float FilterReach(FilterKind kind);

// Resizes target to targetWidth x targetHeight (24 bits) and fills it with source resampled by
// a separable two-pass filter: 32-bit float weights and sums, no normalisation of the weights,
// borders mirrored, each sum clamped to 0..255 and truncated. The source is converted to 24 bits
// in place first. A source without pixels leaves the target sized but black.
void ResampleBitmap(Bitmap& source, Bitmap& target, int targetWidth, int targetHeight,
                    FilterKind kind, float supportRadius);

// Makes target a 24-bit picture of source's size whose every pixel is the HSL lightness
// (max + min) div 2 of the source pixel in all three channels. The source is converted to
// 24 bits in place first.
void MakeGreyscale(Bitmap& source, Bitmap& target);

} // namespace b2d
