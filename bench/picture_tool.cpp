// One picture operation per process, so that it can be timed as a whole process beside the
// outside tools doing the same work:
//   picture_tool load FILE            LoadPictureFile into a 24-bit bitmap
//   picture_tool jpeg FILE            the JPEG reader's decoder alone, on the file read whole
//   picture_tool resample IN.ppm W H  read a binary PPM, ResampleBitmap with MitchellFilter
// Built twice: with the whole core (load), and without Qt (jpeg, resample), whose start-up
// alone costs a few tens of milliseconds and says nothing about the picture code.

#include "pictures/JpegDecoder.h"
#include "pictures/gfx_effects.h"

#ifdef B2D_WITH_CORE
#include "pictures/gfx_files.h"

#include <QString>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

namespace {

// A binary PPM with 8-bit samples straight into a 24-bit bitmap (blue, green, red).
bool readPpm(const char* path, b2d::Bitmap& picture)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    int width = 0, height = 0, maxValue = 0;
    const bool header = std::fscanf(f, "P6 %d %d %d", &width, &height, &maxValue) == 3
                        && maxValue == 255 && std::fgetc(f) != EOF;
    bool ok = header;
    if (ok) {
        picture.setSize(width, height, b2d::PixelFormat::Bits24);
        ok = std::fread(picture.bits(), 1, picture.byteCount(), f) == picture.byteCount();
        for (size_t i = 0; ok && i < picture.byteCount(); i += 3)
            std::swap(picture.bits()[i], picture.bits()[i + 2]);
    }
    std::fclose(f);
    return ok;
}

bool readFile(const char* path, std::vector<unsigned char>& data)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    unsigned char buffer[1 << 16];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    try {
#ifdef B2D_WITH_CORE
        if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
            b2d::Bitmap picture;
            b2d::LoadPictureFile(picture, QString::fromLocal8Bit(argv[2]));
            return picture.isEmpty() ? 1 : 0;
        }
#endif
        if (argc == 3 && std::strcmp(argv[1], "jpeg") == 0) {
            std::vector<unsigned char> data;
            b2d::Bitmap picture;
            if (!readFile(argv[2], data))
                return 1;
            return b2d::DecodeJpeg(data.data(), data.size(), picture) == b2d::JpegOutcome::Decoded
                       ? 0 : 1;
        }
        if (argc == 5 && std::strcmp(argv[1], "resample") == 0) {
            b2d::Bitmap source, target;
            if (!readPpm(argv[2], source))
                return 1;
            b2d::ResampleBitmap(source, target, std::atoi(argv[3]), std::atoi(argv[4]),
                                b2d::FilterKind::MitchellFilter, 3.0f);
            return target.isEmpty() ? 1 : 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: picture_tool load FILE | jpeg FILE | resample IN.ppm WIDTH HEIGHT\n");
    return 2;
}
