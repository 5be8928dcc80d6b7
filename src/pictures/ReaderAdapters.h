#pragma once

#include "pictures/PictureReader.h"

#include <QByteArray>
#include <QString>

class QIODevice;

namespace b2d {

// The loader's rows for our own readers: each fills the target exactly as the loader's table
// describes for its extension, or raises the reader's error.
const PictureReader& pcxReader();      // ".pcx"
const PictureReader& tgaReader();      // ".tga"
const PictureReader& pcdReader();      // ".pcd"
const PictureReader& jpeg2000Reader(); // ".jp2", ".j2k"

// Whole contents of a file; a file that cannot be opened or read raises std::runtime_error with
// the platform's reason.
QByteArray readWholeFile(const QString& fileName);

// Everything in the device from its first byte on, whatever its current position.
QByteArray readWholeDevice(QIODevice& stream);

} // namespace b2d
