#include "pictures/gfx_pcd.h"

#include "pictures/ReaderAdapters.h"

#include <QIODevice>

#include <algorithm>
#include <cmath>

namespace b2d {

namespace {

struct Step {
    size_t offset;
    int columns;
    int rows;
};

constexpr Step Steps[] = {
    {0x2000, 192, 128},
    {0xB800, 384, 256},
    {0x30000, 768, 512},
};

constexpr size_t OrientationOffset = 72;
constexpr int Upright = 8;

uint8_t clampRound(double v)
{
    // nearbyint rounds halves to even in the default rounding mode.
    return uint8_t(std::clamp(std::nearbyint(v), 0.0, 255.0));
}

} // namespace

std::atomic<int> TPCDFile::Resolution{3};

TPCDFile::TPCDFile()
{
    Resolution = 3;
}

void TPCDFile::yccToRgb(int y, int c1, int c2, uint8_t& red, uint8_t& green, uint8_t& blue)
{
    const double c1s = c1 - 156;
    const double c2s = c2 - 137;
    red = clampRound(1.407488 * y + 1.3230336 * c2s);
    green = clampRound(1.407488 * y - 0.3954176 * c1s - 0.67392 * c2s);
    blue = clampRound(1.407488 * y + 2.0360448 * c1s);
}

void TPCDFile::LoadFromFile(const QString& filename)
{
    LoadFromBytes(readWholeFile(filename));
}

void TPCDFile::LoadFromStream(QIODevice& stream)
{
    LoadFromBytes(readWholeDevice(stream));
}

void TPCDFile::LoadFromBytes(const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.constData());
    const size_t size = size_t(bytes.size());
    const Step& step = Steps[std::clamp(Resolution.load(), 1, 3) - 1];
    const size_t columns = size_t(step.columns);
    const int rows = step.rows;

    // A file too short to hold the orientation byte is taken as upright.
    const bool upright = size <= OrientationOffset || (data[OrientationOffset] & 0x3F) == Upright;
    if (upright)
        FBitmap.setSize(step.columns, rows, PixelFormat::Bits24);
    else
        FBitmap.setSize(rows, step.columns, PixelFormat::Bits24);

    const size_t groupBytes = columns * 3;
    for (int g = 0; g < rows / 2; ++g) {
        const size_t group = step.offset + size_t(g) * groupBytes;
        if (group >= size)
            break;
        const size_t chroma1 = group + 2 * columns;
        const size_t chroma2 = chroma1 + columns / 2;
        for (int half = 0; half < 2; ++half) {
            const int r = 2 * g + half;
            const size_t luma = group + size_t(half) * columns;
            for (size_t e = 0; e < columns; ++e) {
                const size_t c1At = chroma1 + e / 2;
                const size_t c2At = chroma2 + e / 2;
                if (luma + e >= size || c1At >= size || c2At >= size)
                    continue;
                uint8_t red, green, blue;
                yccToRgb(data[luma + e], data[c1At], data[c2At], red, green, blue);
                uint8_t* px = upright ? FBitmap.scanLine(r) + e * 3
                                      : FBitmap.scanLine(int(columns - 1 - e)) + size_t(r) * 3;
                px[0] = blue;
                px[1] = green;
                px[2] = red;
            }
        }
    }
}

} // namespace b2d
