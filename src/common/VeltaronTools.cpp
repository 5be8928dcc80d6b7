#include "common/VeltaronTools.h"

#include <QDir>

#include <stdexcept>

namespace b2d {

namespace {
void requireBits24(const Bitmap& bitmap)
{
    if (bitmap.format() != PixelFormat::Bits24)
        throw std::invalid_argument("pixel extraction needs a 24-bit bitmap");
}

// Blue, green, red to red, green, blue. The byte shuffle this needs is vectorised only with
// SSSE3 or later, which plain x86-64 code may not assume: variants are chosen when loaded.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
__attribute__((target_clones("avx2", "ssse3", "default")))
#endif
void swapRedAndBlue(const uint8_t* __restrict src, uint8_t* __restrict dst, size_t pixels)
{
    for (size_t p = 0; p < pixels; ++p) {
        dst[3 * p] = src[3 * p + 2];
        dst[3 * p + 1] = src[3 * p + 1];
        dst[3 * p + 2] = src[3 * p];
    }
}

} // namespace

void ExtractRgbPixels(const Bitmap& bitmap, std::span<uint8_t> out)
{
    requireBits24(bitmap);
    const size_t rowBytes = size_t(bitmap.width()) * 3;
    if (out.size() < rowBytes * size_t(bitmap.height()))
        throw std::invalid_argument("pixel extraction needs room for every pixel");
    uint8_t* dst = out.data();
    for (int y = 0; y < bitmap.height(); ++y) {
        swapRedAndBlue(bitmap.scanLine(y), dst, size_t(bitmap.width()));
        dst += rowBytes;
    }
}

std::vector<uint8_t> ExtractRgbPixels(const Bitmap& bitmap)
{
    requireBits24(bitmap);
    std::vector<uint8_t> out(size_t(bitmap.width()) * 3 * size_t(bitmap.height()));
    ExtractRgbPixels(bitmap, out);
    return out;
}

void ExtractGreyPixels(const Bitmap& bitmap, std::span<uint8_t> out)
{
    requireBits24(bitmap);
    const size_t w = size_t(bitmap.width());
    if (out.size() < w * size_t(bitmap.height()))
        throw std::invalid_argument("pixel extraction needs room for every pixel");
    uint8_t* dst = out.data();
    for (int y = 0; y < bitmap.height(); ++y) {
        const uint8_t* src = bitmap.scanLine(y);
        for (size_t x = 0; x < w; ++x)
            dst[x] = src[x * 3 + 1];
        dst += w;
    }
}

std::vector<uint8_t> ExtractGreyPixels(const Bitmap& bitmap)
{
    requireBits24(bitmap);
    std::vector<uint8_t> out(size_t(bitmap.width()) * size_t(bitmap.height()));
    ExtractGreyPixels(bitmap, out);
    return out;
}

QString StripSpecialCharacters(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        switch (c.unicode()) {
        case 9: case 10: case 13: case '!': case '&': case '-': case '/': case '\\':
            break;
        default:
            out.append(c);
        }
    }
    return out;
}

QString GetTempFolder()
{
    QString path = QDir::tempPath();
    if (path.isEmpty())
        throw std::runtime_error("Unable to generate temporary path");
    if (!path.endsWith('/'))
        path += '/';
    return path;
}

} // namespace b2d
