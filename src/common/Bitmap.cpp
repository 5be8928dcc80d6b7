#include "common/Bitmap.h"

#include "common/PictureFormatError.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace b2d {

Bitmap::Bitmap(int width, int height, PixelFormat format)
{
    setSize(width, height, format);
}

void Bitmap::checkSize(int64_t width, int64_t height, const char* message)
{
    if (width < 0 || height < 0)
        throw PictureFormatError(message);
    if (uint64_t(width) * uint64_t(height) * 4 > MaxPixelBytes)
        throw PictureFormatError(message);
}

void Bitmap::setSize(int width, int height, PixelFormat format)
{
    checkSize(width, height, "Picture too large");
    m_width = width;
    m_height = height;
    m_format = format;
    m_stride = (size_t(width) * size_t(bitsPerPixel()) + 7) / 8;
    const size_t bytes = m_stride * size_t(height);
    if (bytes > m_data.capacity()) {
        std::vector<uint8_t>().swap(m_data);
        m_data.reserve(bytes);
        adviseLargePages();
    }
    m_data.assign(bytes, 0);
}

// A picture of many megabytes is touched page by page while it is filled; with 4 KiB pages
// those page faults cost a decoder a third of its time. Asking for large pages before the
// first touch makes them a handful.
void Bitmap::adviseLargePages()
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t LargePage = uintptr_t(2) << 20;
    if (m_data.capacity() < 2 * LargePage)
        return;
    const auto begin = reinterpret_cast<uintptr_t>(m_data.data());
    const uintptr_t first = (begin + LargePage - 1) & ~(LargePage - 1);
    const uintptr_t last = (begin + m_data.capacity()) & ~(LargePage - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

PaletteEntry Bitmap::pixel(int x, int y) const
{
    const uint8_t* row = scanLine(y);
    auto fromPalette = [this](unsigned index) {
        return index < m_palette.size() ? m_palette[index] : PaletteEntry{};
    };
    switch (m_format) {
    case PixelFormat::Bits1:
        return fromPalette((row[x >> 3] >> (7 - (x & 7))) & 1u);
    case PixelFormat::Bits4:
        return fromPalette((x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4));
    case PixelFormat::Bits8:
        return fromPalette(row[x]);
    case PixelFormat::Bits24:
        return {row[x * 3 + 2], row[x * 3 + 1], row[x * 3]};
    case PixelFormat::Bits32:
        return {row[x * 4 + 2], row[x * 4 + 1], row[x * 4]};
    }
    return {};
}

void Bitmap::convertTo24()
{
    if (m_format == PixelFormat::Bits24)
        return;
    Bitmap target(m_width, m_height, PixelFormat::Bits24);
    if (m_format == PixelFormat::Bits8) {
        // Scans are mostly 8-bit: one table lookup a pixel instead of a call.
        uint8_t table[256][3] = {};
        for (unsigned i = 0; i < 256 && i < m_palette.size(); ++i) {
            table[i][0] = m_palette[i].blue;
            table[i][1] = m_palette[i].green;
            table[i][2] = m_palette[i].red;
        }
        for (int y = 0; y < m_height; ++y) {
            const uint8_t* in = scanLine(y);
            uint8_t* out = target.scanLine(y);
            for (int x = 0; x < m_width; ++x, out += 3) {
                const uint8_t* c = table[in[x]];
                out[0] = c[0];
                out[1] = c[1];
                out[2] = c[2];
            }
        }
        *this = std::move(target);
        return;
    }
    for (int y = 0; y < m_height; ++y) {
        uint8_t* out = target.scanLine(y);
        for (int x = 0; x < m_width; ++x) {
            const PaletteEntry c = pixel(x, y);
            out[x * 3] = c.blue;
            out[x * 3 + 1] = c.green;
            out[x * 3 + 2] = c.red;
        }
    }
    *this = std::move(target);
}

} // namespace b2d
