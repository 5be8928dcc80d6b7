#pragma once

#include "common/Bitmap.h"

#include <QString>
#include <QStringList>

namespace b2d::test {

// A picture as an outside tool decodes it: red, green, blue per pixel, rows from the top.
struct RgbPicture {
    int width = 0;
    int height = 0;
    QByteArray rgb;
};

// Parses a binary PPM (P6) or PGM (P5) with 8-bit samples; grey is widened to RGB.
RgbPicture ParsePnm(const QByteArray& data);

// Runs program with args, which must write a PNM to stdout, and parses it.
RgbPicture DecodeWith(const QString& program, const QStringList& args);

// Largest difference of any channel between a bitmap (any layout, alpha ignored) and a
// reference; -1 when the sizes differ.
int MaxDifference(const Bitmap& picture, const RgbPicture& reference);

} // namespace b2d::test
