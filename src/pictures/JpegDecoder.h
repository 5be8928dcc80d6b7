#pragma once

#include "common/Bitmap.h"

#include <cstddef>

namespace b2d {

enum class JpegOutcome { Decoded, Failed, TooLarge };

// Decodes a JPEG held in memory straight into the rows of a 24-bit target: accurate integer
// DCT, smoothed chroma up-sampling, full size; CMYK files are turned into colours row by row.
// Any libjpeg error, and any warning that means missing or damaged data, gives Failed; a
// picture over Bitmap::MaxPixelBytes gives TooLarge before anything is allocated. After a
// failure the target's contents are not defined.
JpegOutcome DecodeJpeg(const unsigned char* data, size_t size, Bitmap& target);

} // namespace b2d
