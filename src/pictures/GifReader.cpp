#include "pictures/GifReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace b2d {

namespace {

constexpr const char* GifError = "GIF loading error";

struct MemoryInput {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

int readFromMemory(GifFileType* gif, GifByteType* buffer, int length)
{
    auto* in = static_cast<MemoryInput*>(gif->UserData);
    const size_t n = std::min(size_t(std::max(length, 0)), in->size - in->pos);
    std::memcpy(buffer, in->data + in->pos, n);
    in->pos += n;
    return int(n);
}

struct GifCloser {
    void operator()(GifFileType* gif) const
    {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

void check(int result)
{
    if (result != GIF_OK)
        throw PictureFormatError(GifError);
}

// Every extension block is read and dropped: transparency is off, and the first frame is all
// we keep.
void skipExtension(GifFileType* gif)
{
    int code = 0;
    GifByteType* block = nullptr;
    check(DGifGetExtension(gif, &code, &block));
    while (block != nullptr)
        check(DGifGetExtensionNext(gif, &block));
}

void readFirstFrame(GifFileType* gif, Bitmap& target)
{
    check(DGifGetImageDesc(gif));
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : gif->SColorMap;
    if (desc.Width <= 0 || desc.Height <= 0 || map == nullptr || map->Colors == nullptr)
        throw PictureFormatError(GifError);
    Bitmap::checkSize(desc.Width, desc.Height, GifError);

    // Indices past the colour map are black; the table covers every possible byte.
    uint8_t bgr[256][3] = {};
    for (int i = 0; i < std::min(map->ColorCount, 256); ++i) {
        bgr[i][0] = map->Colors[i].Blue;
        bgr[i][1] = map->Colors[i].Green;
        bgr[i][2] = map->Colors[i].Red;
    }

    const int width = desc.Width;
    const int height = desc.Height;
    target.setSize(width, height, PixelFormat::Bits24);
    std::vector<GifPixelType> line(static_cast<size_t>(width));
    auto putLine = [&](int y) {
        check(DGifGetLine(gif, line.data(), width));
        uint8_t* out = target.scanLine(y);
        for (int x = 0; x < width; ++x, out += 3)
            std::memcpy(out, bgr[line[size_t(x)]], 3);
    };
    if (desc.Interlace) {
        static constexpr int start[] = {0, 4, 2, 1};
        static constexpr int step[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass) {
            for (int y = start[pass]; y < height; y += step[pass])
                putLine(y);
        }
    } else {
        for (int y = 0; y < height; ++y)
            putLine(y);
    }
}

} // namespace

void GifReader::load(Bitmap& target, const QString& fileName) const
{
    const QByteArray data = ReadWholeFile(fileName, GifError);
    MemoryInput input{reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()), 0};
    int error = 0;
    GifHandle gif(DGifOpen(&input, readFromMemory, &error));
    if (!gif)
        throw PictureFormatError(GifError);

    // Decode into a bitmap of our own, so a failure leaves the caller's target untouched.
    Bitmap picture;
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        check(DGifGetRecordType(gif.get(), &record));
        if (record == IMAGE_DESC_RECORD_TYPE) {
            readFirstFrame(gif.get(), picture);
            break;
        }
        if (record == EXTENSION_RECORD_TYPE)
            skipExtension(gif.get());
        else
            throw PictureFormatError(GifError); // the file ends before its first frame
    }
    target = std::move(picture);
}

} // namespace b2d
