#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace b2d {

// Pixel layouts a bitmap can hold. The working layout of the program is Bits24 (blue, green, red).
enum class PixelFormat { Bits1 = 1, Bits4 = 4, Bits8 = 8, Bits24 = 24, Bits32 = 32 };

// One palette entry; alpha is not kept.
struct PaletteEntry {
    uint8_t red = 0, green = 0, blue = 0;
    friend bool operator==(const PaletteEntry&, const PaletteEntry&) = default;
};

// An in-memory raster, rows from the top (row 0). Rows are packed to whole bytes with no
// further padding. 24-bit pixels are blue, green, red; 32-bit pixels are blue, green, red, alpha.
// 1- and 4-bit rows keep the leftmost pixel in the most significant bits.
class Bitmap {
public:
    // Largest pixel buffer a bitmap may allocate: width x height x 4 must not exceed it.
    static constexpr uint64_t MaxPixelBytes = uint64_t(2) << 30;

    Bitmap() = default;
    Bitmap(int width, int height, PixelFormat format);

    // Resizes and re-lays the bitmap; pixels are set to zero (black). Throws PictureFormatError
    // for negative sizes or a picture over MaxPixelBytes, before allocating.
    void setSize(int width, int height, PixelFormat format);

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool isEmpty() const { return m_width == 0 || m_height == 0; }
    PixelFormat format() const { return m_format; }
    int bitsPerPixel() const { return static_cast<int>(m_format); }
    size_t bytesPerRow() const { return m_stride; }
    size_t byteCount() const { return m_data.size(); }

    uint8_t* scanLine(int y) { return m_data.data() + size_t(y) * m_stride; }
    const uint8_t* scanLine(int y) const { return m_data.data() + size_t(y) * m_stride; }
    uint8_t* bits() { return m_data.data(); }
    const uint8_t* bits() const { return m_data.data(); }

    // Palette of 1-, 4- and 8-bit bitmaps (at most 2, 16 or 256 entries).
    std::vector<PaletteEntry>& palette() { return m_palette; }
    const std::vector<PaletteEntry>& palette() const { return m_palette; }

    // The colour of one pixel, whatever the layout (a palette index past the palette is black).
    PaletteEntry pixel(int x, int y) const;

    // Converts in place to 24 bits per pixel, keeping each pixel's colour and dropping alpha.
    void convertTo24();

    // Throws PictureFormatError(message) unless width x height x 4 bytes fits MaxPixelBytes.
    static void checkSize(int64_t width, int64_t height, const char* message);

    friend bool operator==(const Bitmap&, const Bitmap&) = default;

private:
    void adviseLargePages();

    int m_width = 0;
    int m_height = 0;
    PixelFormat m_format = PixelFormat::Bits24;
    size_t m_stride = 0;
    std::vector<uint8_t> m_data;
    std::vector<PaletteEntry> m_palette;
};

} // namespace b2d
