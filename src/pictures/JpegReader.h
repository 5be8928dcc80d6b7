#pragma once

#include "pictures/PictureReader.h"

namespace b2d {

// JPEG through libjpeg-turbo: accurate integer DCT, smoothed chroma up-sampling, full size,
// decoded straight into the rows of a 24-bit bitmap. Any error, and any warning that means
// missing or damaged data, leaves the target at 1 x 1 and raises "JPEG loading error".
class JpegReader : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override;
};

} // namespace b2d
