#pragma once

#include "pictures/PictureReader.h"

namespace b2d {

// BMP through Qt's image reader. The target keeps the file's layout: 1, 4 and 8 bits with their
// palette, 24 bits, 32 bits; 16-bit files become 24 bits. Raises "BMP loading error: " and Qt's
// reason.
class BmpReader : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override;
};

} // namespace b2d
