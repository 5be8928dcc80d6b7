#include "pictures/JpegDecoder.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace b2d {

namespace {

// A hostile progressive file can hold thousands of tiny scans and keep the decoder busy for
// minutes; no real encoder writes more than a few dozen.
constexpr int MaxScans = 500;

// libjpeg reports fatal errors through error_exit, which must not return; we jump back to the
// one setjmp in decode(). This struct is the only place that knows about the jump.
struct ErrorManager {
    jpeg_error_mgr pub;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
};

[[noreturn]] void onError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// libjpeg only warns about a stream that ends early or is corrupt, and fills the rest of the
// picture with grey; such a picture must not pass as a good one.
void onMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return;
    switch (cinfo->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
        onError(cinfo);
    default:
        break;
    }
}

void onProgress(j_common_ptr cinfo)
{
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > MaxScans)
        onError(cinfo);
}

// CMYK rows (Adobe files store the inks inverted) into blue, green, red.
void cmykToBgr(const JSAMPLE* in, uint8_t* out, JDIMENSION width, bool inverted)
{
    for (JDIMENSION x = 0; x < width; ++x, in += 4, out += 3) {
        unsigned c = in[0], m = in[1], y = in[2], k = in[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        out[0] = uint8_t((y * k + 127) / 255);
        out[1] = uint8_t((m * k + 127) / 255);
        out[2] = uint8_t((c * k + 127) / 255);
    }
}

// Kept free of objects with destructors between setjmp and the calls that may jump back,
// as longjmp would skip them. The caller owns the buffers.
JpegOutcome decode(const unsigned char* data, size_t size, Bitmap& target,
                   std::vector<JSAMPLE>& cmykRow)
{
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onError;
    err.pub.emit_message = onMessage;
    err.pub.output_message = [](j_common_ptr) {};
    err.progress.progress_monitor = onProgress;

    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return JpegOutcome::Failed;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &err.progress;
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);

    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = TRUE;
    cinfo.scale_num = 1;
    cinfo.scale_denom = 1;
    cinfo.buffered_image = FALSE;
    cinfo.quantize_colors = FALSE;

    if (uint64_t(cinfo.image_width) * cinfo.image_height * 4 > Bitmap::MaxPixelBytes) {
        jpeg_destroy_decompress(&cinfo);
        return JpegOutcome::TooLarge;
    }
    try {
        target.setSize(int(cinfo.image_width), int(cinfo.image_height), PixelFormat::Bits24);
        if (cmyk)
            cmykRow.resize(size_t(cinfo.image_width) * 4);
    } catch (...) {
        jpeg_destroy_decompress(&cinfo);
        throw;
    }

    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width != cinfo.image_width || cinfo.output_height != cinfo.image_height
        || cinfo.output_components != (cmyk ? 4 : 3))
        onError(reinterpret_cast<j_common_ptr>(&cinfo));
    const bool inverted = cinfo.saw_Adobe_marker;
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION y = cinfo.output_scanline;
        if (cmyk) {
            JSAMPROW row = cmykRow.data();
            jpeg_read_scanlines(&cinfo, &row, 1);
            cmykToBgr(row, target.scanLine(int(y)), cinfo.output_width, inverted);
        } else {
            JSAMPROW row = target.scanLine(int(y));
            jpeg_read_scanlines(&cinfo, &row, 1);
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return JpegOutcome::Decoded;
}

} // namespace

JpegOutcome DecodeJpeg(const unsigned char* data, size_t size, Bitmap& target)
{
    std::vector<JSAMPLE> cmykRow;
    return decode(data, size, target, cmykRow);
}

} // namespace b2d
