#pragma once

#include "common/Bitmap.h"

#include <QString>

namespace b2d {

// One picture format's reader. The loader keeps one table, keyed on the lower-case extension,
// of the reader serving each format; a reader fills the target from the named file or raises
// its format's PictureFormatError.
class PictureReader {
public:
    virtual ~PictureReader() = default;
    virtual void load(Bitmap& target, const QString& fileName) const = 0;
};

} // namespace b2d
