#pragma once

#include "common/Bitmap.h"

#include <utility>

#include <QByteArray>

#include <array>
#include <cstdint>
#include <vector>

class QIODevice;
class QString;

namespace b2d {

// The 128-byte header at the start of a PCX file (little-endian on disk).
struct TPCXHeader {
    uint8_t pcxManufacturer = 0;
    uint8_t pcxVersion = 0;
    uint8_t pcxEncoding = 0;
    uint8_t pcxBitsPerPixel = 0;
    uint16_t pcxXMin = 0;
    uint16_t pcxYMin = 0;
    uint16_t pcxXMax = 0;
    uint16_t pcxyMax = 0;
    uint16_t pcxHDpi = 0;
    uint16_t pcxVDpi = 0;
    std::array<uint8_t, 48> pcxColormap{};
    uint8_t pcxReserved = 0;
    uint8_t pcxNPlanes = 0;
    uint16_t pcxBytesPerLine = 0;
    uint16_t pcxPaletteInfo = 0;
    uint16_t pcxHscreenSize = 0;
    uint16_t pcxVscreenSize = 0;
};

// pcx16: 1-bit planes (up to 4) giving a palette index; pcx256: one 8-bit plane with the
// palette at the end of the file; pcxTrue: 8-bit red, green, blue planes (a fourth is dropped).
enum class TPCXColorMode { pcx16, pcx256, pcxTrue };

// Reads version-5, run-length encoded PCX pictures.
class TPCXFile {
public:
    static constexpr size_t ScanLineSize = 65536;

    TPCXFile();

    // Raises std::runtime_error with the platform's reason when the file cannot be read.
    void LoadFromFile(const QString& filename);
    // Decodes the picture starting at the stream's first byte; raises PictureFormatError
    // "Invalid PCX Version (Ver.5 needed)" or "PCX Error".
    void LoadFromStream(QIODevice& stream);
    void LoadFromBytes(const QByteArray& data);

    const Bitmap& bitmap() const { return FBitmap; }
    // Hands the picture over without a copy; the reader is left empty.
    Bitmap takeBitmap() { return std::move(FBitmap); }
    const TPCXHeader& header() const { return FPCXHeader; }
    TPCXColorMode colorMode() const { return FPCXColorMode; }

private:
    struct Stream;

    bool ReadPCXHeader(Stream& stream);
    void SizeBitmap(const Stream& stream);
    void ReadPCXLine(Stream& stream);
    void ReadPCXBody256(Stream& stream);
    void ReadPCXBodyTrue(Stream& stream);
    void ReadPCXBody16(Stream& stream);

    TPCXHeader FPCXHeader;
    TPCXColorMode FPCXColorMode = TPCXColorMode::pcx16;
    Bitmap FBitmap;
    std::vector<uint8_t> scan_line;
};

} // namespace b2d
