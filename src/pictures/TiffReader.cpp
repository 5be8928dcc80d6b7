#include "pictures/TiffReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"

#include <QFile>

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

// libtiff reads the file through these procedures, straight from disk: an uncompressed scan
// is as large as its pixels, and holding it in memory beside them would double the cost.
// The first error libtiff reports is kept as the reason.
struct TiffSource {
    QFile file;
    std::string reason;
};

tsize_t readProc(thandle_t h, tdata_t buffer, tsize_t length)
{
    if (length <= 0)
        return 0;
    const qint64 n = static_cast<TiffSource*>(h)->file.read(static_cast<char*>(buffer), length);
    return n < 0 ? 0 : tsize_t(n);
}

tsize_t writeProc(thandle_t, tdata_t, tsize_t) { return 0; }

toff_t seekProc(thandle_t h, toff_t offset, int whence)
{
    QFile& file = static_cast<TiffSource*>(h)->file;
    const toff_t size = toff_t(file.size());
    toff_t base = 0;
    if (whence == SEEK_CUR)
        base = toff_t(file.pos());
    else if (whence == SEEK_END)
        base = size;
    // libtiff passes negative relative offsets as huge unsigned numbers; wrap-around gives
    // the intended position, and anything past the end is clamped there.
    const toff_t target = std::min(base + offset, size);
    file.seek(qint64(target));
    return target;
}

int closeProc(thandle_t) { return 0; }
toff_t sizeProc(thandle_t h) { return toff_t(static_cast<TiffSource*>(h)->file.size()); }
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

template <typename T>
T field(TIFF* tif, ttag_t tag, T fallback)
{
    T value = fallback;
    return TIFFGetFieldDefaulted(tif, tag, &value) ? value : fallback;
}

// The common upright 8-bit grey or RGB file in strips is read row by row into the picture,
// without libtiff's RGBA buffers. Returns false, having read nothing, for any other file.
bool readPlainRows(TIFF* tif, TiffSource& source, Bitmap& picture)
{
    const uint16_t bits = field<uint16_t>(tif, TIFFTAG_BITSPERSAMPLE, 1);
    const uint16_t samples = field<uint16_t>(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    const uint16_t planar = field<uint16_t>(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    const uint16_t orientation = field<uint16_t>(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    const uint16_t format = field<uint16_t>(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    uint16_t photometric = 0;
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        return false;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const bool grey = (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE)
                      && samples == 1;
    const bool rgb = photometric == PHOTOMETRIC_RGB && samples == 3;
    // JPEG-compressed files may carry YCbCr that only the RGBA interface converts.
    if (bits != 8 || (!grey && !rgb) || planar != PLANARCONFIG_CONTIG || TIFFIsTiled(tif)
        || orientation != ORIENTATION_TOPLEFT || format != SAMPLEFORMAT_UINT
        || compression == COMPRESSION_OJPEG || compression == COMPRESSION_JPEG)
        return false;

    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0)
        fail(source, "empty picture");
    Bitmap::checkSize(width, height, WithReason(TiffError, "picture too large").c_str());
    if (TIFFScanlineSize64(tif) != uint64_t(width) * samples)
        return false;

    picture.setSize(int(width), int(height), PixelFormat::Bits24);
    std::vector<uint8_t> greyRow(grey ? width : 0);
    const bool invert = photometric == PHOTOMETRIC_MINISWHITE;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* out = picture.scanLine(int(y));
        uint8_t* in = grey ? greyRow.data() : out;
        if (TIFFReadScanline(tif, in, y, 0) < 0)
            fail(source, "cannot read the picture data");
        if (grey) {
            for (uint32_t x = 0; x < width; ++x, out += 3)
                out[0] = out[1] = out[2] = invert ? uint8_t(255 - in[x]) : in[x];
        } else {
            for (uint32_t x = 0; x < width; ++x, out += 3)
                std::swap(out[0], out[2]);
        }
    }
    return true;
}

// Everything else goes through libtiff's RGBA interface, which knows every photometric and
// bit depth and turns the picture upright; alpha comes out composed over black.
void readRgba(TIFF* tif, TiffSource& source, Bitmap& picture)
{
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif, message))
        fail(source, message);
    RgbaImage rgba;
    if (!TIFFRGBAImageBegin(&rgba.img, tif, 1, message))
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
    uint32_t band = height;
    if (field<uint16_t>(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == ORIENTATION_TOPLEFT) {
        uint32_t rows = 0;
        if (TIFFIsTiled(tif))
            TIFFGetField(tif, TIFFTAG_TILELENGTH, &rows);
        else
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows);
        if (rows > 0 && rows < height)
            band = uint32_t(std::min<uint64_t>(height, rows >= 64 ? rows : uint64_t(rows) * ((63 + rows) / rows)));
    }
    rgba.img.req_orientation = ORIENTATION_TOPLEFT;

    picture.setSize(int(width), int(height), PixelFormat::Bits24);
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
}

} // namespace

void TiffReader::load(Bitmap& target, const QString& fileName) const
{
    TiffSource source;
    source.file.setFileName(fileName);
    if (!source.file.open(QIODevice::ReadOnly))
        throw PictureFormatError(WithReason(TiffError, "cannot read the file"));

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

    Bitmap picture;
    if (!readPlainRows(tif.get(), source, picture))
        readRgba(tif.get(), source, picture);
    target = std::move(picture);
}

} // namespace b2d
