#include "pictures/gfx_tga.h"

#include "common/PictureFormatError.h"
#include "pictures/ReaderAdapters.h"

#include <QIODevice>

#include <algorithm>

namespace b2d {

namespace {

constexpr size_t HeaderSize = 18;
constexpr const char* TgaError = "Not supported or invalid TGA-File";

[[noreturn]] void fail()
{
    throw PictureFormatError(TgaError);
}

bool isRunLength(uint8_t type)
{
    return type >= 9;
}

// A 16-bit value: blue in bits 0-4, green in 5-9, red in 10-14, each 5-bit value times 8.
void expand16(uint16_t v, uint8_t* bgr)
{
    bgr[0] = uint8_t((v & 0x1F) << 3);
    bgr[1] = uint8_t(((v >> 5) & 0x1F) << 3);
    bgr[2] = uint8_t(((v >> 10) & 0x1F) << 3);
}

} // namespace

// The file's bytes with a read position. A read past the end reports false and leaves the
// position at the end, so a file cut short simply stops filling pixels.
struct TTGAFile::Stream {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    bool has(size_t n) const { return size - pos >= n; }
    bool read(uint8_t* out, size_t n)
    {
        if (!has(n)) {
            pos = size;
            return false;
        }
        std::copy_n(data + pos, n, out);
        pos += n;
        return true;
    }
    bool skip(size_t n)
    {
        if (!has(n)) {
            pos = size;
            return false;
        }
        pos += n;
        return true;
    }
    uint16_t word(size_t at) const { return uint16_t(data[at] | (data[at + 1] << 8)); }

    // One pixel value of the given depth into out: 1 byte for 1 and 8 bits, else blue, green,
    // red (16-bit values expanded, the alpha byte of 32-bit values skipped).
    bool pixel(int bits, uint8_t* out)
    {
        switch (bits) {
        case 1:
        case 8: return read(out, 1);
        case 16: {
            uint8_t w[2];
            if (!read(w, 2))
                return false;
            expand16(uint16_t(w[0] | (w[1] << 8)), out);
            return true;
        }
        case 24: return read(out, 3);
        case 32: {
            uint8_t bgra[4];
            if (!read(bgra, 4))
                return false;
            std::copy_n(bgra, 3, out);
            return true;
        }
        }
        return false;
    }
};

TTGAFile::TTGAFile() : scan_line(ScanLineSize, 0) {}

void TTGAFile::LoadFromFile(const QString& filename)
{
    LoadFromBytes(readWholeFile(filename));
}

void TTGAFile::LoadFromStream(QIODevice& stream)
{
    LoadFromBytes(readWholeDevice(stream));
}

void TTGAFile::LoadFromBytes(const QByteArray& data)
{
    Stream stream{reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size())};
    ReadHeader(stream);
    ReadColorMap(stream);
    ReadBody(stream);
}

void TTGAFile::ReadHeader(Stream& s)
{
    if (!s.has(HeaderSize))
        fail();
    const uint8_t* d = s.data;
    TTGAHeader& h = FTGAHeader;
    h.tgaIdentSize = d[0];
    h.tgaColorMapType = d[1];
    h.tgaImageType = d[2];
    h.tgaColorMapStart = s.word(3);
    h.tgaColorMapLength = s.word(5);
    h.tgaColorMapBits = d[7];
    h.tgaXStart = s.word(8);
    h.tgaYStart = s.word(10);
    h.tgaWidth = s.word(12);
    h.tgaHeight = s.word(14);
    h.tgaBits = d[16];
    h.tgaDescriptor = d[17];
    s.pos = HeaderSize;
    s.skip(h.tgaIdentSize);

    const uint8_t type = h.tgaImageType;
    const uint8_t bits = h.tgaBits;
    if (type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11)
        fail();
    // 4-bit pixels have no layout here; loading them would give a blank picture.
    if (bits != 1 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
        fail();
    if (h.tgaWidth == 0 || h.tgaHeight == 0 || size_t(h.tgaWidth) * 3 > ScanLineSize)
        fail();

    PixelFormat format = PixelFormat::Bits24;
    FTGASaveColorMode = TTGASaveColorMode::tga24bit;
    if (bits == 1) {
        format = PixelFormat::Bits1;
        FTGASaveColorMode = TTGASaveColorMode::tga1Bit;
    } else if (bits == 8) {
        format = PixelFormat::Bits8;
        FTGASaveColorMode = TTGASaveColorMode::tga8bit;
    }
    Bitmap::checkSize(h.tgaWidth, h.tgaHeight, TgaError);
    FBitmap.setSize(h.tgaWidth, h.tgaHeight, format);
    std::vector<PaletteEntry>& palette = FBitmap.palette();
    palette.clear();
    if (bits == 1) {
        palette = {{0, 0, 0}, {255, 255, 255}};
    } else if (bits == 8) {
        // Without a colour map the indices are grey levels; with one, entries it does not
        // cover are black.
        palette.resize(256);
        if (h.tgaColorMapType == 0)
            for (int i = 0; i < 256; ++i)
                palette[i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
    }
}

// Reads the colour map even when the picture does not use it, so the pixels that follow are
// found at the right place. Entries past palette position 255 are read and dropped.
void TTGAFile::ReadColorMap(Stream& s)
{
    const TTGAHeader& h = FTGAHeader;
    if (h.tgaColorMapType == 0)
        return;
    const size_t entryBytes = (size_t(h.tgaColorMapBits) + 7) / 8;
    std::vector<PaletteEntry>* palette =
        FBitmap.format() == PixelFormat::Bits8 ? &FBitmap.palette() : nullptr;
    for (size_t i = 0; i < h.tgaColorMapLength; ++i) {
        uint8_t e[32] = {}; // room for the widest entry a one-byte size can declare
        if (!s.read(e, entryBytes))
            return;
        const size_t index = size_t(h.tgaColorMapStart) + i;
        if (!palette || index > 255)
            continue;
        uint8_t bgr[3];
        if (h.tgaColorMapBits == 15 || h.tgaColorMapBits == 16)
            expand16(uint16_t(e[0] | (e[1] << 8)), bgr);
        else if (h.tgaColorMapBits == 24 || h.tgaColorMapBits == 32)
            std::copy_n(e, 3, bgr);
        else
            continue;
        (*palette)[index] = {bgr[2], bgr[1], bgr[0]};
    }
}

// Decodes one line into scan_line: bytes of packed bits (1 bit), palette indices (8 bits) or
// blue, green, red triples. Pixels the file does not hold stay zero.
void TTGAFile::ReadLine(Stream& s)
{
    const int bits = FTGAHeader.tgaBits;
    const size_t width = FTGAHeader.tgaWidth;
    std::fill_n(scan_line.begin(), width * 3, uint8_t(0));
    // Units of one line: bytes of 8 pixels for 1 bit, else pixels.
    const size_t units = bits == 1 ? (width + 7) / 8 : width;
    const size_t unitBytes = bits <= 8 ? 1 : 3;

    if (!isRunLength(FTGAHeader.tgaImageType)) {
        for (size_t i = 0; i < units; ++i)
            if (!s.pixel(bits, &scan_line[i * unitBytes]))
                return;
        return;
    }
    // Packets do not carry over to the next line: what reaches past the line is dropped.
    size_t count = 0;
    while (count < units) {
        uint8_t p;
        if (!s.read(&p, 1))
            return;
        const size_t n = (p & 0x7Fu) + 1;
        if (p & 0x80) {
            uint8_t value[3];
            if (!s.pixel(bits, value))
                return;
            for (size_t k = 0; k < n && count + k < units; ++k)
                std::copy_n(value, unitBytes, &scan_line[(count + k) * unitBytes]);
        } else {
            for (size_t k = 0; k < n; ++k) {
                uint8_t value[3];
                if (!s.pixel(bits, value))
                    return;
                if (count + k < units)
                    std::copy_n(value, unitBytes, &scan_line[(count + k) * unitBytes]);
            }
        }
        count += n;
    }
}

void TTGAFile::MirrorLine()
{
    const int bits = FTGAHeader.tgaBits;
    const size_t width = FTGAHeader.tgaWidth;
    uint8_t* line = scan_line.data();
    if (bits == 8) {
        std::reverse(line, line + width);
    } else if (bits == 1) {
        std::vector<uint8_t> packed(line, line + (width + 7) / 8);
        std::fill(line, line + packed.size(), uint8_t(0));
        for (size_t x = 0; x < width; ++x) {
            const size_t from = width - 1 - x;
            if ((packed[from >> 3] >> (7 - (from & 7))) & 1u)
                line[x >> 3] = uint8_t(line[x >> 3] | (0x80u >> (x & 7)));
        }
    } else {
        for (size_t a = 0, b = width - 1; a < b; ++a, --b)
            std::swap_ranges(line + a * 3, line + a * 3 + 3, line + b * 3);
    }
}

void TTGAFile::ReadBody(Stream& s)
{
    const int height = FBitmap.height();
    const bool topFirst = FTGAHeader.tgaDescriptor & 0x20;
    const bool rightToLeft = FTGAHeader.tgaDescriptor & 0x10;
    for (int line = 0; line < height; ++line) {
        ReadLine(s);
        if (rightToLeft)
            MirrorLine();
        const int y = topFirst ? line : height - 1 - line;
        std::copy_n(scan_line.begin(), FBitmap.bytesPerRow(), FBitmap.scanLine(y));
    }
}

} // namespace b2d
