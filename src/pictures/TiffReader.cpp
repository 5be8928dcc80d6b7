#include "pictures/TiffReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace b2d {

namespace {

constexpr const char* TiffError = "TIFF loading error";

// The file in memory, seen by libtiff through its client procedures, and the first error
// libtiff reports while reading it.
struct TiffSource {
    const uint8_t* data = nullptr;
    toff_t size = 0;
    toff_t pos = 0;
    std::string reason;
};

tsize_t readProc(thandle_t h, tdata_t buffer, tsize_t length)
{
    auto* s = static_cast<TiffSource*>(h);
    if (length <= 0 || s->pos >= s->size)
        return 0;
    const toff_t n = std::min<toff_t>(toff_t(length), s->size - s->pos);
    std::memcpy(buffer, s->data + s->pos, size_t(n));
    s->pos += n;
    return tsize_t(n);
}

tsize_t writeProc(thandle_t, tdata_t, tsize_t) { return 0; }

toff_t seekProc(thandle_t h, toff_t offset, int whence)
{
    auto* s = static_cast<TiffSource*>(h);
    toff_t base = 0;
    if (whence == SEEK_CUR)
        base = s->pos;
    else if (whence == SEEK_END)
        base = s->size;
    // libtiff passes negative relative offsets as huge unsigned numbers; wrap-around gives
    // the intended position, and anything past the end is clamped there.
    const toff_t target = base + offset;
    s->pos = std::min(target, s->size);
    return s->pos;
}

int closeProc(thandle_t) { return 0; }
toff_t sizeProc(thandle_t h) { return static_cast<TiffSource*>(h)->size; }
int mapProc(thandle_t, tdata_t*, toff_t*) { return 0; }
void unmapProc(thandle_t, tdata_t, toff_t) {}

int onError(TIFF*, void* user, const char* module, const char* format, va_list args)
{
    auto* s = static_cast<TiffSource*>(user);
    if (s->reason.empty()) {
        char text[300];
        std::vsnprintf(text, sizeof text, format, args);
        s->reason = module && *module ? std::string(module) + ": " + text : std::string(text);
    }
    return 1;
}

int onWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};
struct TiffClose {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
struct RgbaImage {
    TIFFRGBAImage img{};
    bool begun = false;
    ~RgbaImage()
    {
        if (begun)
            TIFFRGBAImageEnd(&img);
    }
};

[[noreturn]] void fail(const TiffSource& source, const char* fallback)
{
    throw PictureFormatError(WithReason(TiffError, source.reason.empty() ? fallback : source.reason));
}

} // namespace

void TiffReader::load(Bitmap& target, const QString& fileName) const
{
    const QByteArray data = ReadWholeFile(fileName, TiffError);
    TiffSource source;
    source.data = reinterpret_cast<const uint8_t*>(data.constData());
    source.size = toff_t(data.size());

    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options)
        throw PictureFormatError(TiffError);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onError, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onWarning, &source);
    // No single working buffer of libtiff may be larger than the biggest picture we accept.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t(Bitmap::MaxPixelBytes));

    std::unique_ptr<TIFF, TiffClose> tif(TIFFClientOpenExt("picture", "rm", &source, readProc,
                                                           writeProc, seekProc, closeProc,
                                                           sizeProc, mapProc, unmapProc,
                                                           options.get()));
    if (!tif)
        fail(source, "not a TIFF file");

    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif.get(), message))
        fail(source, message);
    RgbaImage rgba;
    if (!TIFFRGBAImageBegin(&rgba.img, tif.get(), 1, message))
        fail(source, message);
    rgba.begun = true;

    const uint32_t width = rgba.img.width;
    const uint32_t height = rgba.img.height;
    if (width == 0 || height == 0)
        fail(source, "empty picture");
    Bitmap::checkSize(width, height, WithReason(TiffError, "picture too large").c_str());

    // Read in bands of whole strips (or tile rows), so the RGBA buffer stays small and every
    // strip is decoded once. Only an upright file can be read band by band; libtiff turns the
    // others as a whole.
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &orientation);
    uint32_t band = height;
    if (orientation == ORIENTATION_TOPLEFT) {
        uint32_t rows = 0;
        if (TIFFIsTiled(tif.get()))
            TIFFGetField(tif.get(), TIFFTAG_TILELENGTH, &rows);
        else
            TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ROWSPERSTRIP, &rows);
        if (rows > 0 && rows < height)
            band = std::min<uint64_t>(height, rows >= 64 ? rows : uint64_t(rows) * ((63 + rows) / rows));
    }
    rgba.img.req_orientation = ORIENTATION_TOPLEFT;

    Bitmap picture(int(width), int(height), PixelFormat::Bits24);
    std::vector<uint32_t> raster(size_t(width) * band);
    for (uint32_t y0 = 0; y0 < height; y0 += band) {
        const uint32_t rows = std::min(band, height - y0);
        rgba.img.row_offset = int(y0);
        rgba.img.col_offset = 0;
        if (!TIFFRGBAImageGet(&rgba.img, raster.data(), width, rows))
            fail(source, "cannot read the picture data");
        for (uint32_t r = 0; r < rows; ++r) {
            const uint32_t* in = raster.data() + size_t(r) * width;
            uint8_t* out = picture.scanLine(int(y0 + r));
            for (uint32_t x = 0; x < width; ++x, out += 3) {
                out[0] = uint8_t(TIFFGetB(in[x]));
                out[1] = uint8_t(TIFFGetG(in[x]));
                out[2] = uint8_t(TIFFGetR(in[x]));
            }
        }
    }
    target = std::move(picture);
}

} // namespace b2d
