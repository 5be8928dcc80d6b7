#pragma once

#include "pictures/PictureReader.h"

namespace b2d {

// TIFF through libtiff: the first page, in any photometric and bit depth libtiff's RGBA
// interface can give, rows upright, into a 24-bit bitmap (alpha composed over black).
// Raises "TIFF loading error: " and libtiff's reason.
class TiffReader : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override;
};

} // namespace b2d
