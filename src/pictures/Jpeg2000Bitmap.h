#pragma once

#include "common/Bitmap.h"
#include "common/PictureFormatError.h"

class QIODevice;

namespace b2d {

// Raised when a JPEG 2000 stream cannot be read: "Unknown JPEG 2000 file type" or
// "JPEG 2000 image decoding failed".
class EJpeg2000Error : public PictureFormatError {
public:
    using PictureFormatError::PictureFormatError;
};

// A bitmap that fills itself from a JP2 file or a raw J2K codestream (decoded by OpenJPEG).
// Three components give 24 bits per pixel, four give 32 (straight alpha in byte 3), any other
// count gives 8 bits with a grey palette from the first component.
class TJpeg2000Bitmap : public Bitmap {
public:
    // Reads from the stream's current position; on return the stream stands just after the
    // bytes of the picture.
    void LoadFromStream(QIODevice& stream);
};

} // namespace b2d
