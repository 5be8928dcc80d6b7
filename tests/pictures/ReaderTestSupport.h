#pragma once

#include "common/Bitmap.h"
#include "pictures/PictureReader.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <initializer_list>
#include <string>

namespace b2d::test {

// A fixture made by make-fixtures.sh beside the reader tests.
QByteArray readerFixture(const QString& name);
QString readerFixturePath(const QString& name);

// The picture a file decodes to in ImageMagick, as a 24-bit bitmap.
Bitmap decodeWithImageMagick(const QString& path);

// A binary PPM (P6) as a 24-bit bitmap.
Bitmap bitmapFromPpm(const QByteArray& ppm);

// Empty when every pixel has the same colour in both (within tolerance per channel),
// otherwise a description of the first difference.
std::string pixelDifference(const Bitmap& actual, const Bitmap& expected, int tolerance = 0);

// Little-endian and big-endian byte builders for hand-made files.
void putLE16(QByteArray& out, unsigned v);
void putBE16(QByteArray& out, unsigned v);
void putBE32(QByteArray& out, uint32_t v);
QByteArray bytes(std::initializer_list<int> values);

// Writes data to a file named name in dir and loads it with the reader; returns the error
// message, empty when the load succeeded.
std::string loadThrough(const PictureReader& reader, QTemporaryDir& dir, const QString& name,
                        const QByteArray& data, Bitmap& target);

} // namespace b2d::test
