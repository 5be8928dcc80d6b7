#pragma once

#include "pictures/PictureReader.h"

namespace b2d {

// GIF through giflib: the first frame at its own size, transparency ignored (a transparent
// index keeps its palette colour), decoded into a 24-bit bitmap. Raises "GIF loading error".
class GifReader : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override;
};

} // namespace b2d
