#pragma once

#include "common/Bitmap.h"
#include "pictures/PictureReader.h"

#include <QString>

namespace b2d {

// Fills bitmap with the picture in the named file, choosing the reader by the file's lower-case
// extension. A missing file or an extension no reader serves loads nothing and raises nothing:
// the bitmap stays exactly as it was. A reader's failure is raised as its PictureFormatError.
void LoadPictureFile(Bitmap& bitmap, const QString& fileName);

// The reader serving a lower-case extension with its dot (".jpg"), or nullptr.
const PictureReader* FindPictureReader(const QString& extension);

} // namespace b2d
