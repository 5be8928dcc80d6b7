#pragma once

#include "pictures/PictureReader.h"

#include <QByteArray>

namespace b2d {

// PNG through libpng. A picture with an alpha channel becomes a 32-bit bitmap whose colours are
// composed over black (alpha kept); every other picture, a single transparent colour included,
// becomes 24-bit with its colours as stored. 16-bit samples are scaled to 8 bits.
// Raises "PNG loading error: " and libpng's reason.
class PngReader : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override;
};

// Decodes a PNG held in memory as PngReader does; picture is only replaced on success.
void DecodePng(const QByteArray& data, Bitmap& picture);

} // namespace b2d
