#pragma once

#include "common/Bitmap.h"

#include <utility>

#include <QByteArray>

#include <cstdint>
#include <vector>

class QIODevice;
class QString;

namespace b2d {

// The 18-byte header at the start of a TGA file (little-endian on disk).
struct TTGAHeader {
    uint8_t tgaIdentSize = 0;
    uint8_t tgaColorMapType = 0;
    uint8_t tgaImageType = 0;
    uint16_t tgaColorMapStart = 0;
    uint16_t tgaColorMapLength = 0;
    uint8_t tgaColorMapBits = 0;
    uint16_t tgaXStart = 0;
    uint16_t tgaYStart = 0;
    uint16_t tgaWidth = 0;
    uint16_t tgaHeight = 0;
    uint8_t tgaBits = 0;
    uint8_t tgaDescriptor = 0;
};

enum class TTGASaveColorMode { tga1Bit, tga8bit, tga24bit };

// Reads Truevision TGA pictures, uncompressed or run-length encoded. Pixels that a file cut
// short does not hold stay black.
class TTGAFile {
public:
    static constexpr size_t ScanLineSize = 65536;

    TTGAFile();

    // Raises std::runtime_error with the platform's reason when the file cannot be read.
    void LoadFromFile(const QString& filename);
    // Decodes the picture starting at the stream's first byte; raises PictureFormatError
    // "Not supported or invalid TGA-File".
    void LoadFromStream(QIODevice& stream);
    void LoadFromBytes(const QByteArray& data);

    const Bitmap& bitmap() const { return FBitmap; }
    // Hands the picture over without a copy; the reader is left empty.
    Bitmap takeBitmap() { return std::move(FBitmap); }
    const TTGAHeader& header() const { return FTGAHeader; }
    TTGASaveColorMode colorMode() const { return FTGASaveColorMode; }

private:
    struct Stream;

    void ReadHeader(Stream& stream);
    void ReadColorMap(Stream& stream);
    void ReadLine(Stream& stream);
    void MirrorLine();
    void ReadBody(Stream& stream);

    TTGAHeader FTGAHeader;
    Bitmap FBitmap;
    TTGASaveColorMode FTGASaveColorMode = TTGASaveColorMode::tga24bit;
    std::vector<uint8_t> scan_line;
};

} // namespace b2d
