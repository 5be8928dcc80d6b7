#include "pictures/Jpeg2000Bitmap.h"
#include "pictures/ReaderAdapters.h"
#include "pictures/ReaderTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QBuffer>

#include <openjpeg.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace b2d;
using namespace b2d::test;

namespace {

struct Component {
    uint32_t prec = 8;
    bool sgnd = false;
    uint32_t dx = 1, dy = 1;
    std::vector<int32_t> samples; // rows of ceil(width / dx) samples
};

OPJ_SIZE_T writeTo(void* buffer, OPJ_SIZE_T bytes, void* user)
{
    static_cast<QByteArray*>(user)->append(static_cast<const char*>(buffer), qsizetype(bytes));
    return bytes;
}
OPJ_OFF_T skipNot(OPJ_OFF_T, void*) { return -1; }
OPJ_BOOL seekNot(OPJ_OFF_T, void*) { return OPJ_FALSE; }

// A lossless J2K codestream of the given components, made with OpenJPEG's encoder; tile > 0
// cuts it into tiles of tile x tile pixels.
QByteArray encodeJ2k(int width, int height, const std::vector<Component>& comps, int tile = 0)
{
    std::vector<opj_image_cmptparm_t> params(comps.size());
    for (size_t i = 0; i < comps.size(); ++i) {
        opj_image_cmptparm_t& p = params[i];
        std::memset(&p, 0, sizeof p);
        p.dx = comps[i].dx;
        p.dy = comps[i].dy;
        p.w = (uint32_t(width) + p.dx - 1) / p.dx;
        p.h = (uint32_t(height) + p.dy - 1) / p.dy;
        p.prec = comps[i].prec;
        p.sgnd = comps[i].sgnd;
    }
    std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> image(
        opj_image_create(uint32_t(comps.size()), params.data(), OPJ_CLRSPC_UNSPECIFIED), opj_image_destroy);
    image->x1 = uint32_t(width);
    image->y1 = uint32_t(height);
    for (size_t i = 0; i < comps.size(); ++i)
        std::copy(comps[i].samples.begin(), comps[i].samples.end(), image->comps[i].data);

    opj_cparameters_t parameters;
    opj_set_default_encoder_parameters(&parameters);
    parameters.numresolution = 1;
    parameters.tcp_mct = 0;
    if (tile > 0) {
        parameters.tile_size_on = OPJ_TRUE;
        parameters.cp_tdx = parameters.cp_tdy = tile;
    }
    std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)> codec(opj_create_compress(OPJ_CODEC_J2K), opj_destroy_codec);
    QByteArray out;
    std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)> stream(opj_stream_create(1 << 16, OPJ_FALSE), opj_stream_destroy);
    opj_stream_set_user_data(stream.get(), &out, nullptr);
    opj_stream_set_write_function(stream.get(), writeTo);
    opj_stream_set_skip_function(stream.get(), skipNot);
    opj_stream_set_seek_function(stream.get(), seekNot);
    if (!opj_setup_encoder(codec.get(), &parameters, image.get())
        || !opj_start_compress(codec.get(), image.get(), stream.get())
        || !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
        throw std::runtime_error("OpenJPEG could not encode the test picture");
    return out;
}

QByteArray box(const char* type, const QByteArray& content)
{
    QByteArray out;
    putBE32(out, uint32_t(8 + content.size()));
    return out + QByteArray(type, 4) + content;
}

struct ChannelDef {
    int index, type, association;
};

// A JP2 file around a codestream: signature, file type, header (size, colour space and,
// optionally, channel definitions right after the colour box or one box later) and codestream.
QByteArray wrapJp2(const QByteArray& codestream, int width, int height, int components, int prec,
                   int enumCs, const std::vector<ChannelDef>& cdef = {}, bool cdefAfterColour = true)
{
    QByteArray ihdr;
    putBE32(ihdr, uint32_t(height));
    putBE32(ihdr, uint32_t(width));
    putBE16(ihdr, unsigned(components));
    ihdr += bytes({prec - 1, 7, 0, 0});
    QByteArray colr = bytes({1, 0, 0});
    putBE32(colr, uint32_t(enumCs));
    QByteArray channels;
    putBE16(channels, unsigned(cdef.size()));
    for (const ChannelDef& d : cdef) {
        putBE16(channels, unsigned(d.index));
        putBE16(channels, unsigned(d.type));
        putBE16(channels, unsigned(d.association));
    }
    QByteArray header = box("ihdr", ihdr);
    if (cdef.empty())
        header += box("colr", colr);
    else if (cdefAfterColour)
        header += box("colr", colr) + box("cdef", channels);
    else
        header += box("cdef", channels) + box("colr", colr);
    QByteArray ftyp("jp2 ", 4);
    putBE32(ftyp, 0);
    ftyp += QByteArray("jp2 ", 4);
    return bytes({0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A}) + box("ftyp", ftyp)
           + box("jp2h", header) + box("jp2c", codestream);
}

TJpeg2000Bitmap decode(const QByteArray& data)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    TJpeg2000Bitmap b;
    b.LoadFromStream(buffer);
    return b;
}

std::string decodeError(const QByteArray& data)
{
    try {
        decode(data);
    } catch (const EJpeg2000Error& e) {
        return e.what();
    }
    return "no error";
}

// Bytes of pixel (x, y) from blue upward.
std::vector<int> pixelBytes(const Bitmap& b, int x, int y)
{
    const int n = b.bitsPerPixel() / 8;
    const uint8_t* p = b.scanLine(y) + x * n;
    return std::vector<int>(p, p + n);
}

Component plain(std::vector<int32_t> samples, uint32_t prec = 8, bool sgnd = false)
{
    return {prec, sgnd, 1, 1, std::move(samples)};
}

} // namespace

TEST(Jpeg2000Reader, ImageMagickFilesMatchImageMagicksDecoding)
{
    struct Case {
        const char* file;
        PixelFormat format;
    };
    for (const Case& c : {Case{"colour.jp2", PixelFormat::Bits24}, Case{"colour.j2k", PixelFormat::Bits24},
                          Case{"grey.jp2", PixelFormat::Bits8}, Case{"grey.j2k", PixelFormat::Bits8}}) {
        EXPECT_EQ(decode(readerFixture(c.file)).format(), c.format) << c.file;
        QTemporaryDir dir;
        Bitmap target;
        ASSERT_EQ(loadThrough(jpeg2000Reader(), dir, QString("x.") + QString(c.file).section('.', 1),
                              readerFixture(c.file), target), "") << c.file;
        EXPECT_EQ(target.format(), PixelFormat::Bits24) << c.file;
        EXPECT_EQ(pixelDifference(target, decodeWithImageMagick(readerFixturePath(c.file))), "") << c.file;
    }
}

TEST(Jpeg2000Reader, RawCodestreamAndSrgbFileGiveTheSameBitmap)
{
    const QByteArray j2k = encodeJ2k(2, 1, {plain({200, 10}), plain({100, 20}), plain({50, 30})});
    const TJpeg2000Bitmap raw = decode(j2k);
    const TJpeg2000Bitmap jp2 = decode(wrapJp2(j2k, 2, 1, 3, 8, 16));
    ASSERT_EQ(raw.format(), PixelFormat::Bits24);
    EXPECT_EQ(pixelBytes(raw, 0, 0), (std::vector<int>{50, 100, 200}));
    EXPECT_EQ(pixelBytes(raw, 1, 0), (std::vector<int>{30, 20, 10}));
    EXPECT_TRUE(static_cast<const Bitmap&>(raw) == static_cast<const Bitmap&>(jp2));
}

TEST(Jpeg2000Reader, SampleScaling)
{
    struct Case {
        const char* what;
        Component component;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"12-bit", plain({4095, 2048, 0, 1}, 12), {255, 127, 0, 0}},
        {"8-bit signed", plain({-128, 127, 0, -1}, 8, true), {0, 255, 128, 127}},
        {"12-bit signed", plain({-2048, 2047, 0, -1}, 12, true), {0, 255, 127, 127}},
        {"16-bit", plain({65535, 32768, 257, 0}, 16), {255, 127, 1, 0}},
        {"1-bit", plain({1, 0, 1, 0}, 1), {255, 0, 255, 0}},
    };
    for (const Case& c : cases) {
        const TJpeg2000Bitmap b = decode(encodeJ2k(4, 1, {c.component}));
        ASSERT_EQ(b.format(), PixelFormat::Bits8) << c.what;
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(b.scanLine(0)[x], c.expected[size_t(x)]) << c.what << " x=" << x;
        EXPECT_EQ(b.pixel(1, 0).green, b.scanLine(0)[1]) << c.what << ": grey palette";
    }
}

TEST(Jpeg2000Reader, GreyPicturesUseOnlyTheirFirstComponent)
{
    const QByteArray grey = encodeJ2k(2, 1, {plain({10, 250})});
    const QByteArray greyAlpha = encodeJ2k(2, 1, {plain({10, 250}), plain({255, 0})});
    for (const QByteArray& file : {wrapJp2(grey, 2, 1, 1, 8, 17), greyAlpha,
                                   wrapJp2(greyAlpha, 2, 1, 2, 8, 17, {{0, 0, 1}, {1, 1, 0}})}) {
        const TJpeg2000Bitmap b = decode(file);
        ASSERT_EQ(b.format(), PixelFormat::Bits8);
        EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{10, 10, 10}));
        EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{250, 250, 250}));
    }
}

TEST(Jpeg2000Reader, SyccWithQuarterSizeChroma)
{
    // 4 x 4 luma; Cb and Cr 2 x 2, one value per 2 x 2 block of pixels.
    const Component luma = plain({100, 101, 100, 100, 102, 103, 100, 100, 50, 50, 150, 150, 50, 50, 150, 150});
    const Component cb{8, false, 2, 2, {128, 128, 200, 60}};
    const Component cr{8, false, 2, 2, {128, 200, 128, 60}};
    const QByteArray j2k = encodeJ2k(4, 4, {luma, cb, cr});
    const TJpeg2000Bitmap b = decode(wrapJp2(j2k, 4, 4, 3, 8, 18));
    ASSERT_EQ(b.format(), PixelFormat::Bits24);
    const PaletteEntry expected[4][4] = {
        {{100, 100, 100}, {101, 101, 101}, {201, 49, 100}, {201, 49, 100}},
        {{102, 102, 102}, {103, 103, 103}, {201, 49, 100}, {201, 49, 100}},
        {{50, 25, 178}, {50, 25, 178}, {55, 222, 30}, {55, 222, 30}},
        {{50, 25, 178}, {50, 25, 178}, {55, 222, 30}, {55, 222, 30}},
    };
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(b.pixel(x, y), expected[y][x]) << x << "," << y;

    // With channel definitions naming luma, Cb and Cr in another order, the result is the same.
    const QByteArray reordered = encodeJ2k(4, 4, {cr, luma, cb});
    const TJpeg2000Bitmap d = decode(wrapJp2(reordered, 4, 4, 3, 8, 18, {{0, 0, 3}, {1, 0, 1}, {2, 0, 2}}));
    EXPECT_TRUE(static_cast<const Bitmap&>(d) == static_cast<const Bitmap&>(b));
}

TEST(Jpeg2000Reader, FourComponentsAndChannelDefinitions)
{
    const std::vector<Component> four = {plain({10, 255, 0}), plain({20, 200, 200}), plain({30, 100, 100}),
                                         plain({40, 50, 50})};
    const QByteArray j2k = encodeJ2k(3, 1, four);
    // Unknown channel types: the first component is alpha, the last blue.
    const TJpeg2000Bitmap raw = decode(j2k);
    ASSERT_EQ(raw.format(), PixelFormat::Bits32);
    EXPECT_EQ(pixelBytes(raw, 0, 0), (std::vector<int>{40, 30, 20, 10}));

    // Channel definitions: component 0 is opacity, 1 blue, 2 green, 3 red.
    const std::vector<ChannelDef> cdef = {{0, 1, 0}, {1, 0, 3}, {2, 0, 2}, {3, 0, 1}};
    const TJpeg2000Bitmap defined = decode(wrapJp2(j2k, 3, 1, 4, 8, 16, cdef));
    EXPECT_EQ(pixelBytes(defined, 0, 0), (std::vector<int>{20, 30, 40, 10}));
    // Channel definitions that do not follow the colour box right away are not used.
    const TJpeg2000Bitmap ignored = decode(wrapJp2(j2k, 3, 1, 4, 8, 16, cdef, false));
    EXPECT_EQ(pixelBytes(ignored, 0, 0), (std::vector<int>{40, 30, 20, 10}));

    // The loader blends by alpha over black: opaque, transparent, half.
    QTemporaryDir dir;
    Bitmap target;
    ASSERT_EQ(loadThrough(jpeg2000Reader(), dir, "x.jp2", wrapJp2(j2k, 3, 1, 4, 8, 16, cdef), target), "");
    ASSERT_EQ(target.format(), PixelFormat::Bits24);
    EXPECT_EQ(target.pixel(0, 0), (PaletteEntry{uint8_t(40 * 10 / 255.0 + 0.5), uint8_t(30 * 10 / 255.0 + 0.5),
                                                uint8_t(20 * 10 / 255.0 + 0.5)}));
    EXPECT_EQ(target.pixel(1, 0), (PaletteEntry{50, 100, 200}));
    EXPECT_EQ(target.pixel(2, 0), (PaletteEntry{0, 0, 0}));
}

TEST(Jpeg2000Reader, OpacityInAThreeComponentPictureStaysInItsPixel)
{
    const QByteArray j2k = encodeJ2k(2, 1, {plain({10, 11}), plain({20, 21}), plain({99, 99})});
    const TJpeg2000Bitmap b = decode(wrapJp2(j2k, 2, 1, 3, 8, 16, {{0, 0, 1}, {1, 0, 2}, {2, 1, 0}}));
    ASSERT_EQ(b.format(), PixelFormat::Bits24);
    EXPECT_EQ(pixelBytes(b, 0, 0), (std::vector<int>{0, 20, 10}));
    EXPECT_EQ(pixelBytes(b, 1, 0), (std::vector<int>{0, 21, 11}));
}

TEST(Jpeg2000Reader, PaletteFilesAreExpandedToColour)
{
    // One index component; a two-entry palette of red and blue mapped to three channels.
    const QByteArray j2k = encodeJ2k(2, 1, {plain({0, 1}, 1)});
    QByteArray pclr;
    putBE16(pclr, 2);
    pclr += bytes({3, 7, 7, 7, 255, 0, 0, 0, 0, 255});
    const QByteArray cmap = bytes({0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 2});
    QByteArray file = wrapJp2(j2k, 2, 1, 1, 1, 16);
    // Insert the palette boxes at the end of the header box and grow its length.
    const QByteArray extra = box("pclr", pclr) + box("cmap", cmap);
    const qsizetype header = file.indexOf("jp2h") - 4;
    const qsizetype headerEnd = file.indexOf("jp2c") - 4;
    file.insert(headerEnd, extra);
    QByteArray length;
    putBE32(length, uint32_t(headerEnd - header + extra.size()));
    file.replace(header, 4, length);

    const TJpeg2000Bitmap b = decode(file);
    ASSERT_EQ(b.format(), PixelFormat::Bits24);
    EXPECT_EQ(b.pixel(0, 0), (PaletteEntry{255, 0, 0}));
    EXPECT_EQ(b.pixel(1, 0), (PaletteEntry{0, 0, 255}));
}

TEST(Jpeg2000Reader, StreamStandsRightAfterThePicture)
{
    const QByteArray j2k = encodeJ2k(2, 2, {plain({1, 2, 3, 4})});
    for (const QByteArray& picture : {wrapJp2(j2k, 2, 2, 1, 8, 17), j2k}) {
        QBuffer buffer;
        // What follows looks like the start of another box with an absurd length.
        buffer.setData("PREFIX" + picture + bytes({0x7F, 0xFF, 0xFF, 0xFF, 'j', 'p', '2', 'c', 1, 2}));
        buffer.open(QIODevice::ReadOnly);
        buffer.seek(6);
        TJpeg2000Bitmap b;
        b.LoadFromStream(buffer);
        EXPECT_EQ(b.width(), 2);
        EXPECT_EQ(buffer.pos(), 6 + picture.size());
    }
}

TEST(Jpeg2000Reader, UnknownAndBrokenStreams)
{
    const QByteArray j2k = encodeJ2k(2, 2, {plain({1, 2, 3, 4})});
    struct Case {
        const char* what;
        QByteArray data;
        const char* message;
    };
    const Case cases[] = {
        {"PNG signature", bytes({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0}), "Unknown JPEG 2000 file type"},
        {"BMP signature", QByteArray("BM\x36\0\0\0\0\0\0\0", 10), "Unknown JPEG 2000 file type"},
        {"seven bytes of a codestream", j2k.left(7), "Unknown JPEG 2000 file type"},
        {"empty", QByteArray(), "Unknown JPEG 2000 file type"},
        {"codestream signature then garbage", j2k.left(4) + QByteArray(60, 'x'), "JPEG 2000 image decoding failed"},
        {"JP2 signature then nothing", wrapJp2(j2k, 2, 2, 1, 8, 17).left(12), "JPEG 2000 image decoding failed"},
        {"JP2 without its codestream", wrapJp2(j2k, 2, 2, 1, 8, 17).left(12 + 20 + 45), "JPEG 2000 image decoding failed"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decodeError(c.data), c.message) << c.what;

    // A failure before the picture is known keeps the previous contents; the stream stays put.
    QBuffer buffer;
    buffer.setData(j2k + "BM and then some");
    buffer.open(QIODevice::ReadOnly);
    TJpeg2000Bitmap b;
    b.LoadFromStream(buffer);
    EXPECT_THROW(b.LoadFromStream(buffer), EJpeg2000Error);
    EXPECT_EQ(buffer.pos(), j2k.size());
    EXPECT_EQ(b.width(), 2);
}

TEST(Jpeg2000Reader, TiledCodestreamLoadsOnlyWithEveryTile)
{
    const QByteArray j2k = encodeJ2k(4, 4, {plain({0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150})}, 2);
    QBuffer whole;
    whole.setData(j2k);
    whole.open(QIODevice::ReadOnly);
    TJpeg2000Bitmap b;
    b.LoadFromStream(whole);
    EXPECT_EQ(b.pixel(3, 3), (PaletteEntry{150, 150, 150}));

    // Cut before the last tile's SOT marker and closed with EOC, the codestream lacks one tile.
    const qsizetype lastTile = j2k.lastIndexOf(QByteArray("\xFF\x90", 2));
    ASSERT_GT(lastTile, 0);
    EXPECT_EQ(decodeError(j2k.left(lastTile) + QByteArray("\xFF\xD9", 2)), "JPEG 2000 image decoding failed");

    // Found by fuzzing: 311 bytes holding the first of 7510 tiles of a 1441825 x 192 picture,
    // which loaded, black but for one tile, after minutes and 1.6 GB.
    EXPECT_EQ(decodeError(readAll(dataPath(B2D_SOURCE_DIR, "fuzz/regressions/jpeg2000/one-of-7510-tiles.j2k"))),
              "JPEG 2000 image decoding failed");
    // Also found by fuzzing: a main header with an unknown marker claiming 25600 bytes, then one
    // tile of an 8288 x 63935 picture, for which OpenJPEG allocated 2.1 GB.
    EXPECT_EQ(decodeError(readAll(dataPath(B2D_SOURCE_DIR,
                                           "fuzz/regressions/jpeg2000/unknown-marker-before-missing-tiles.j2k"))),
              "JPEG 2000 image decoding failed");
}

TEST(Jpeg2000Reader, LoaderPrefixesErrorsAndLeavesOnePixel)
{
    QTemporaryDir dir;
    Bitmap target(5, 5, PixelFormat::Bits24);
    EXPECT_EQ(loadThrough(jpeg2000Reader(), dir, "x.j2k", QByteArray("\xFF\x4F\xFF\x51garbage!", 12), target),
              "JPEG loading error: JPEG 2000 image decoding failed");
    EXPECT_EQ(target.width(), 1);
    EXPECT_EQ(target.height(), 1);

    Bitmap missing(5, 5, PixelFormat::Bits24);
    try {
        jpeg2000Reader().load(missing, dir.filePath("nothing.jp2"));
        ADD_FAILURE() << "a missing file loaded";
    } catch (const PictureFormatError& e) {
        EXPECT_TRUE(QByteArray(e.what()).startsWith("JPEG loading error: ")) << e.what();
    }
    EXPECT_EQ(missing.width(), 1);
}
