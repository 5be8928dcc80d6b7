#include "pictures/PngReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>
#include <vector>

namespace b2d {

namespace {

constexpr const char* PngError = "PNG loading error";

// libpng's error callback must not return; it records the reason and jumps back to the one
// setjmp in decode(). All libpng state of one load lives here.
struct PngState {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    char reason[200] = {};
};

[[noreturn]] void onError(png_structp png, png_const_charp message)
{
    auto* state = static_cast<PngState*>(png_get_error_ptr(png));
    std::strncpy(state->reason, message ? message : "", sizeof state->reason - 1);
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

void readFromMemory(png_structp png, png_bytep out, size_t length)
{
    auto* state = static_cast<PngState*>(png_get_io_ptr(png));
    if (length > state->size - state->pos)
        png_error(png, "unexpected end of file");
    std::memcpy(out, state->data + state->pos, length);
    state->pos += length;
}

enum class Outcome { Decoded, Failed, TooLarge };

// Kept free of objects with destructors between setjmp and the calls that may jump back; the
// caller owns the buffers.
Outcome decode(PngState& state, Bitmap& picture, std::vector<png_bytep>& rows)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, onError, onWarning);
    if (png == nullptr)
        return Outcome::Failed;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return Outcome::Failed;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return Outcome::Failed;
    }
    png_set_read_fn(png, &state, readFromMemory);
    // Our own cap decides the size; libpng's default of a million pixels a side would refuse
    // some wide scans that fit it.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_read_info(png, info);

    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const int colourType = png_get_color_type(png, info);
    if (uint64_t(width) * height * 4 > Bitmap::MaxPixelBytes) {
        png_destroy_read_struct(&png, &info, nullptr);
        return Outcome::TooLarge;
    }
    // Only a real alpha channel counts: palette and tRNS transparency keep their colours.
    const bool alpha = (colourType & PNG_COLOR_MASK_ALPHA) != 0;
    png_set_palette_to_rgb(png);
    if (!alpha)
        png_set_strip_alpha(png); // expanding a palette also turns its tRNS entries into alpha
    png_set_expand_gray_1_2_4_to_8(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != size_t(width) * (alpha ? 4 : 3))
        png_error(png, "unsupported pixel layout");

    try {
        picture.setSize(int(width), int(height), alpha ? PixelFormat::Bits32 : PixelFormat::Bits24);
        rows.resize(height);
    } catch (...) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw;
    }
    for (png_uint_32 y = 0; y < height; ++y)
        rows[y] = picture.scanLine(int(y));
    png_read_image(png, rows.data());
    // Reading on to the end chunk checks the rest of the compressed data: a cut or damaged
    // file is refused even when its pixel rows happened to come out whole.
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return Outcome::Decoded;
}

void composeOverBlack(Bitmap& picture)
{
    for (int y = 0; y < picture.height(); ++y) {
        uint8_t* p = picture.scanLine(y);
        for (int x = 0; x < picture.width(); ++x, p += 4) {
            const unsigned a = p[3];
            for (int c = 0; c < 3; ++c)
                p[c] = uint8_t((p[c] * a + 127) / 255);
        }
    }
}

} // namespace

void PngReader::load(Bitmap& target, const QString& fileName) const
{
    DecodePng(ReadWholeFile(fileName, PngError), target);
}

void DecodePng(const QByteArray& data, Bitmap& target)
{
    PngState state;
    state.data = reinterpret_cast<const uint8_t*>(data.constData());
    state.size = size_t(data.size());

    Bitmap picture;
    std::vector<png_bytep> rows;
    switch (decode(state, picture, rows)) {
    case Outcome::Decoded:
        break;
    case Outcome::TooLarge:
        throw PictureFormatError(WithReason(PngError, "picture too large"));
    case Outcome::Failed:
        throw PictureFormatError(WithReason(PngError, state.reason));
    }
    if (picture.format() == PixelFormat::Bits32)
        composeOverBlack(picture);
    target = std::move(picture);
}

} // namespace b2d
