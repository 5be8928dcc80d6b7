#pragma once

#include "common/Bitmap.h"

#include <QString>

#include <cstdint>
#include <span>
#include <vector>

namespace b2d {

// The pixels of a 24-bit bitmap as DICOM pixel data: rows from the top, each pixel red, green,
// blue, no padding (width x height x 3 bytes).
std::vector<uint8_t> ExtractRgbPixels(const Bitmap& bitmap);
void ExtractRgbPixels(const Bitmap& bitmap, std::span<uint8_t> out); // out holds at least every pixel
// One byte per pixel, the green byte of each pixel of a 24-bit bitmap already made grey.
std::vector<uint8_t> ExtractGreyPixels(const Bitmap& bitmap);
void ExtractGreyPixels(const Bitmap& bitmap, std::span<uint8_t> out);
// The text without tab, line feed, carriage return, "!", "&", "-", "/" and "\".
QString StripSpecialCharacters(const QString& text);
// The system's temporary folder, ending in a separator. Throws std::runtime_error("Unable to
// generate temporary path") when there is none.
QString GetTempFolder();

} // namespace b2d
