#include "pictures/gfx_pcx.h"

#include "common/PictureFormatError.h"
#include "pictures/ReaderAdapters.h"

#include <QBuffer>
#include <QIODevice>

#include <algorithm>

namespace b2d {

namespace {

constexpr size_t HeaderSize = 128;
constexpr size_t PaletteBlockSize = 769; // marker 12 and 256 RGB triples
constexpr uint8_t PaletteMarker = 12;
constexpr int MaxRunLength = 63;

// Thrown inside the body decoder; LoadFromStream turns any body failure into "PCX Error".
struct BodyError {};

} // namespace

// The file's bytes with a read position; reading past the end is a body failure.
struct TPCXFile::Stream {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    uint8_t byte()
    {
        if (pos >= size)
            throw BodyError{};
        return data[pos++];
    }
    // Header fields of a file cut short read as zero; the caller reports the cut.
    uint8_t headerByte() { return pos < size ? data[pos++] : (++pos, uint8_t(0)); }
    uint16_t headerWord()
    {
        const uint8_t lo = headerByte();
        return uint16_t(lo | (headerByte() << 8));
    }
};

TPCXFile::TPCXFile() : scan_line(ScanLineSize, 0) {}

void TPCXFile::LoadFromFile(const QString& filename)
{
    LoadFromBytes(readWholeFile(filename));
}

void TPCXFile::LoadFromStream(QIODevice& stream)
{
    LoadFromBytes(readWholeDevice(stream));
}

void TPCXFile::LoadFromBytes(const QByteArray& data)
{
    Stream stream{reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size())};
    const bool wholeHeader = ReadPCXHeader(stream);
    if (FPCXHeader.pcxVersion != 5)
        throw PictureFormatError("Invalid PCX Version (Ver.5 needed)");
    try {
        if (!wholeHeader)
            throw BodyError{};
        SizeBitmap(stream);
        stream.pos = HeaderSize;
        switch (FPCXColorMode) {
        case TPCXColorMode::pcx16: ReadPCXBody16(stream); break;
        case TPCXColorMode::pcx256: ReadPCXBody256(stream); break;
        case TPCXColorMode::pcxTrue: ReadPCXBodyTrue(stream); break;
        }
    } catch (const BodyError&) {
        throw PictureFormatError("PCX Error");
    } catch (const PictureFormatError&) {
        throw PictureFormatError("PCX Error");
    }
}

// Reads the header fields; false when the file is shorter than the header.
bool TPCXFile::ReadPCXHeader(Stream& s)
{
    s.pos = 0;
    TPCXHeader& h = FPCXHeader;
    h.pcxManufacturer = s.headerByte();
    h.pcxVersion = s.headerByte();
    h.pcxEncoding = s.headerByte();
    h.pcxBitsPerPixel = s.headerByte();
    h.pcxXMin = s.headerWord();
    h.pcxYMin = s.headerWord();
    h.pcxXMax = s.headerWord();
    h.pcxyMax = s.headerWord();
    h.pcxHDpi = s.headerWord();
    h.pcxVDpi = s.headerWord();
    for (uint8_t& b : h.pcxColormap)
        b = s.headerByte();
    h.pcxReserved = s.headerByte();
    h.pcxNPlanes = s.headerByte();
    h.pcxBytesPerLine = s.headerWord();
    h.pcxPaletteInfo = s.headerWord();
    h.pcxHscreenSize = s.headerWord();
    h.pcxVscreenSize = s.headerWord();

    const int bits = h.pcxBitsPerPixel;
    const int planes = h.pcxNPlanes;
    if (bits == 8 && (planes == 3 || planes == 4))
        FPCXColorMode = TPCXColorMode::pcxTrue;
    else if (bits == 1 && planes >= 1 && planes <= 4)
        FPCXColorMode = TPCXColorMode::pcx16;
    else if (bits == 8 && planes == 1)
        FPCXColorMode = TPCXColorMode::pcx256;
    return s.size >= HeaderSize;
}

// Checks the header's geometry against the line buffer and the file, then sizes the bitmap.
// Everything here raises before a byte of the picture is allocated.
void TPCXFile::SizeBitmap(const Stream& s)
{
    const TPCXHeader& h = FPCXHeader;
    const int bits = h.pcxBitsPerPixel;
    const int planes = h.pcxNPlanes;
    const bool supported = (bits == 8 && planes >= 1 && planes <= 4 && planes != 2)
                           || (bits == 1 && planes >= 1 && planes <= 4);
    if (!supported)
        throw BodyError{};

    const int64_t width = int64_t(h.pcxXMax) - h.pcxXMin + 1;
    const int64_t height = int64_t(h.pcxyMax) - h.pcxYMin + 1;
    const int64_t bytesPerLine = h.pcxBytesPerLine;
    if (width <= 0 || height <= 0)
        throw BodyError{};
    // One plane of a line must hold the whole width, and all planes must fit the line buffer.
    if (width > bytesPerLine * (8 / bits) || bytesPerLine * planes > int64_t(ScanLineSize))
        throw BodyError{};
    // Every plane of every line costs at least one byte per 63 decoded bytes; a file too short
    // for that cannot hold the picture, whatever size its header claims.
    const int64_t leastBody = height * planes * ((bytesPerLine + MaxRunLength - 1) / MaxRunLength);
    if (int64_t(s.size - HeaderSize) < leastBody)
        throw BodyError{};

    PixelFormat format = PixelFormat::Bits24;
    if (FPCXColorMode == TPCXColorMode::pcx256)
        format = PixelFormat::Bits8;
    else if (FPCXColorMode == TPCXColorMode::pcx16)
        format = planes == 1 ? PixelFormat::Bits1 : PixelFormat::Bits4;
    Bitmap::checkSize(width, height, "PCX Error");
    FBitmap.setSize(int(width), int(height), format);
    FBitmap.palette().clear();
}

void TPCXFile::ReadPCXLine(Stream& s)
{
    const size_t bytesPerLine = FPCXHeader.pcxBytesPerLine;
    std::fill_n(scan_line.begin(), bytesPerLine * FPCXHeader.pcxNPlanes, uint8_t(0));
    size_t pos = 0;
    for (int plane = 0; plane < FPCXHeader.pcxNPlanes; ++plane) {
        size_t counter = 0;
        while (counter < bytesPerLine) {
            const uint8_t b = s.byte();
            if (b < 0xC0) {
                if (pos >= ScanLineSize)
                    throw BodyError{};
                scan_line[pos++] = b;
                ++counter;
            } else {
                // A run is written whole, even past the plane's end; the next plane follows it.
                const size_t run = b & 0x3F;
                const uint8_t value = s.byte();
                if (pos + run > ScanLineSize)
                    throw BodyError{};
                std::fill_n(scan_line.begin() + pos, run, value);
                pos += run;
                counter += run;
            }
        }
    }
}

void TPCXFile::ReadPCXBody256(Stream& s)
{
    std::vector<PaletteEntry>& palette = FBitmap.palette();
    if (s.size >= PaletteBlockSize && s.data[s.size - PaletteBlockSize] == PaletteMarker) {
        const uint8_t* p = s.data + s.size - PaletteBlockSize + 1;
        palette.resize(256);
        for (PaletteEntry& e : palette) {
            e = {p[0], p[1], p[2]};
            p += 3;
        }
    } else {
        // No palette stored: show the indices as grey levels rather than a black picture.
        palette.resize(256);
        for (int i = 0; i < 256; ++i)
            palette[i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
    }
    for (int y = 0; y < FBitmap.height(); ++y) {
        ReadPCXLine(s);
        std::copy_n(scan_line.begin(), FBitmap.width(), FBitmap.scanLine(y));
    }
}

void TPCXFile::ReadPCXBodyTrue(Stream& s)
{
    const size_t bytesPerLine = FPCXHeader.pcxBytesPerLine;
    const uint8_t* red = scan_line.data();
    const uint8_t* green = red + bytesPerLine;
    const uint8_t* blue = green + bytesPerLine;
    for (int y = 0; y < FBitmap.height(); ++y) {
        ReadPCXLine(s);
        uint8_t* row = FBitmap.scanLine(y);
        for (int x = 0; x < FBitmap.width(); ++x) {
            row[x * 3] = blue[x];
            row[x * 3 + 1] = green[x];
            row[x * 3 + 2] = red[x];
        }
    }
}

// Bit planes: plane p gives bit p of each pixel's palette index; the colours are the header's
// 16-entry map, except for one plane, which is black and white.
void TPCXFile::ReadPCXBody16(Stream& s)
{
    const size_t bytesPerLine = FPCXHeader.pcxBytesPerLine;
    const int planes = FPCXHeader.pcxNPlanes;
    std::vector<PaletteEntry>& palette = FBitmap.palette();
    if (planes == 1) {
        palette = {{0, 0, 0}, {255, 255, 255}};
    } else {
        palette.resize(16);
        for (int i = 0; i < 16; ++i) {
            const uint8_t* c = &FPCXHeader.pcxColormap[size_t(i) * 3];
            palette[i] = {c[0], c[1], c[2]};
        }
    }
    for (int y = 0; y < FBitmap.height(); ++y) {
        ReadPCXLine(s);
        uint8_t* row = FBitmap.scanLine(y);
        if (planes == 1) {
            std::copy_n(scan_line.begin(), FBitmap.bytesPerRow(), row);
            continue;
        }
        for (int x = 0; x < FBitmap.width(); ++x) {
            const size_t byte = size_t(x) >> 3;
            const int shift = 7 - (x & 7);
            unsigned index = 0;
            for (int p = 0; p < planes; ++p)
                index |= ((scan_line[p * bytesPerLine + byte] >> shift) & 1u) << p;
            if (x & 1)
                row[x >> 1] = uint8_t(row[x >> 1] | index);
            else
                row[x >> 1] = uint8_t(index << 4);
        }
    }
}

} // namespace b2d
