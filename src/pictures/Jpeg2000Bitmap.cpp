#include "pictures/Jpeg2000Bitmap.h"

#include <QIODevice>

#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace b2d {

namespace {

constexpr const char* UnknownType = "Unknown JPEG 2000 file type";
constexpr const char* DecodingFailed = "JPEG 2000 image decoding failed";

constexpr uint8_t Jp2Signature[8] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
constexpr uint8_t J2kSignature[4] = {0xFF, 0x4F, 0xFF, 0x51};

enum class Kind { Jp2, J2k };
enum class ColourSpace { Unknown, SRGB, Grey, SYCC };
enum class ChannelType { Unknown, Red, Green, Blue, Luma, Cb, Cr, Opacity };

uint32_t be16(const uint8_t* p)
{
    return uint32_t(p[0]) << 8 | p[1];
}

uint32_t be32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t boxType(const char (&name)[5])
{
    return be32(reinterpret_cast<const uint8_t*>(name));
}

struct ChannelDefinition {
    uint32_t index;
    uint32_t type;
    uint32_t association;
};

// What the JP2 header says beyond what OpenJPEG reports with its own channel handling off.
struct Jp2Header {
    ColourSpace colourSpace = ColourSpace::Unknown;
    std::vector<ChannelDefinition> channels; // from a cdef box right after the colr box
    bool hasPalette = false;
    size_t codestream = 0; // start of the codestream box's content
    size_t end = 0;        // just after the codestream box
};

// One box: its content range inside [data, data + size).
struct Box {
    uint32_t type = 0;
    size_t content = 0;
    size_t end = 0;
};

// Reads the box at pos; false when its header or length does not fit inside limit.
bool readBox(const uint8_t* data, size_t pos, size_t limit, Box& box)
{
    if (limit - pos < 8)
        return false;
    uint64_t length = be32(data + pos);
    box.type = be32(data + pos + 4);
    size_t header = 8;
    if (length == 1) {
        if (limit - pos < 16)
            return false;
        length = uint64_t(be32(data + pos + 8)) << 32 | be32(data + pos + 12);
        header = 16;
    } else if (length == 0) {
        length = limit - pos;
    }
    if (length < header || length > limit - pos)
        return false;
    box.content = pos + header;
    box.end = pos + size_t(length);
    return true;
}

void readJp2HeaderBox(const uint8_t* data, const Box& jp2h, Jp2Header& out)
{
    bool haveColour = false;
    uint32_t previous = 0;
    Box box;
    for (size_t pos = jp2h.content; readBox(data, pos, jp2h.end, box); pos = box.end) {
        const size_t length = box.end - box.content;
        const uint8_t* content = data + box.content;
        if (box.type == boxType("colr") && !haveColour) {
            haveColour = true;
            if (length >= 7 && content[0] == 1) {
                switch (be32(content + 3)) {
                case 16: out.colourSpace = ColourSpace::SRGB; break;
                case 17: out.colourSpace = ColourSpace::Grey; break;
                case 18: out.colourSpace = ColourSpace::SYCC; break;
                default: break;
                }
            }
        } else if (box.type == boxType("cdef") && previous == boxType("colr") && length >= 2) {
            const size_t count = std::min<size_t>(be16(content), (length - 2) / 6);
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* e = content + 2 + i * 6;
                out.channels.push_back({be16(e), be16(e + 2), be16(e + 4)});
            }
        } else if (box.type == boxType("pclr")) {
            out.hasPalette = true;
        }
        previous = box.type;
    }
}

// Walks the top-level boxes up to the codestream box. Damaged boxes are left for the decoder
// to refuse; the picture then reaches to the end of the data.
Jp2Header readJp2Header(const uint8_t* data, size_t size)
{
    Jp2Header header;
    header.end = size;
    Box box;
    for (size_t pos = 0; readBox(data, pos, size, box); pos = box.end) {
        if (box.type == boxType("jp2h"))
            readJp2HeaderBox(data, box, header);
        if (box.type == boxType("jp2c")) {
            header.codestream = box.content;
            header.end = box.end;
            break;
        }
    }
    return header;
}

// End of a raw codestream: after its EOC marker, found by stepping over the main header's
// marker segments and the tile-parts by their lengths.
size_t codestreamEnd(const uint8_t* data, size_t size)
{
    constexpr uint32_t SOT = 0xFF90, EOC = 0xFFD9;
    size_t pos = 2;
    while (size - pos >= 4) {
        const uint32_t marker = be16(data + pos);
        if (marker == EOC)
            return pos + 2;
        if ((marker & 0xFF00) != 0xFF00)
            break;
        if (marker == SOT) {
            if (size - pos < 10)
                break;
            const uint32_t partLength = be32(data + pos + 6);
            if (partLength == 0) {
                // The last tile-part runs to the EOC marker.
                for (size_t p = pos + 2; size - p >= 2; ++p)
                    if (be16(data + p) == EOC)
                        return p + 2;
                break;
            }
            if (partLength < 12 || partLength > size - pos)
                break;
            pos += partLength;
        } else {
            const size_t segment = 2 + be16(data + pos + 2);
            if (segment > size - pos)
                break;
            pos += segment;
        }
    }
    return size;
}

// OpenJPEG leaves black, and calls a success, every tile a codestream cut short never reached,
// so a file cut after its first tiles would load as a picture it does not hold. False when the
// tile-parts, followed by their lengths to the end marker or the end of the data, leave out a
// tile the size marker asks for; true when every tile is there or the walk cannot tell.
bool everyTilePresent(const uint8_t* data, size_t size)
{
    constexpr uint32_t SIZ = 0xFF51, SOT = 0xFF90, EOC = 0xFFD9;
    if (size < 2 + 2 + 38 || be16(data + 2) != SIZ)
        return true;
    const uint8_t* siz = data + 4; // Lsiz, Rsiz, then the sizes
    const uint64_t width = be32(siz + 4), height = be32(siz + 8);
    const uint64_t tileWidth = be32(siz + 20), tileHeight = be32(siz + 24);
    const uint64_t tileX = be32(siz + 28), tileY = be32(siz + 32);
    if (tileWidth == 0 || tileHeight == 0 || tileX >= width || tileY >= height)
        return true;
    const uint64_t tiles = ((width - tileX + tileWidth - 1) / tileWidth) * ((height - tileY + tileHeight - 1) / tileHeight);
    if (tiles > 65535) // tile indices are 16 bits
        return true;
    std::vector<bool> seen(size_t(tiles), false);
    // The first tile-part: OpenJPEG steps over main-header markers it does not know by looking
    // for the next one it does, so the main header is searched rather than walked.
    static const uint8_t sotStart[] = {0xFF, 0x90, 0x00, 0x0A};
    const uint8_t* first = std::search(data + 2, data + size, sotStart, sotStart + 4);
    size_t pos = size_t(first - data);
    while (size - pos >= 4) {
        const uint32_t marker = be16(data + pos);
        if (marker == EOC)
            break;
        if (marker != SOT)
            return true;
        if (size - pos < 12)
            return true;
        const uint32_t tile = be16(data + pos + 4);
        if (tile < tiles)
            seen[tile] = true;
        const uint32_t partLength = be32(data + pos + 6);
        if (partLength == 0) // the last tile-part, running to the end marker
            break;
        if (partLength < 12 || partLength > size - pos)
            return true;
        pos += partLength;
    }
    return std::find(seen.begin(), seen.end(), false) == seen.end();
}

// OpenJPEG reads from our buffer through these callbacks.
struct MemoryStream {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
};

OPJ_SIZE_T streamRead(void* buffer, OPJ_SIZE_T bytes, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    if (s->pos >= s->size)
        return OPJ_SIZE_T(-1);
    const size_t n = std::min<size_t>(bytes, s->size - s->pos);
    std::memcpy(buffer, s->data + s->pos, n);
    s->pos += n;
    return n;
}

OPJ_OFF_T streamSkip(OPJ_OFF_T bytes, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    if (bytes < 0) {
        if (uint64_t(-bytes) > s->pos)
            return -1;
        s->pos -= size_t(-bytes);
        return bytes;
    }
    if (uint64_t(bytes) > s->size - s->pos) {
        s->pos = s->size;
        return -1;
    }
    s->pos += size_t(bytes);
    return bytes;
}

OPJ_BOOL streamSeek(OPJ_OFF_T to, void* user)
{
    auto* s = static_cast<MemoryStream*>(user);
    if (to < 0 || uint64_t(to) > s->size)
        return OPJ_FALSE;
    s->pos = size_t(to);
    return OPJ_TRUE;
}

void quiet(const char*, void*) {}

// OpenJPEG's objects for one decode, released on every path; any failure is our error.
class Decoder {
public:
    Decoder(Kind kind, const uint8_t* data, size_t size, bool applyPalette)
        : m_source{data, size}
    {
        m_codec.reset(opj_create_decompress(kind == Kind::Jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
        m_stream.reset(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
        if (!m_codec || !m_stream)
            throw EJpeg2000Error(DecodingFailed);
        opj_set_info_handler(m_codec.get(), quiet, nullptr);
        opj_set_warning_handler(m_codec.get(), quiet, nullptr);
        opj_set_error_handler(m_codec.get(), quiet, nullptr);
        opj_stream_set_user_data(m_stream.get(), &m_source, nullptr);
        opj_stream_set_user_data_length(m_stream.get(), size);
        opj_stream_set_read_function(m_stream.get(), streamRead);
        opj_stream_set_skip_function(m_stream.get(), streamSkip);
        opj_stream_set_seek_function(m_stream.get(), streamSeek);

        opj_dparameters_t parameters;
        opj_set_default_decoder_parameters(&parameters);
        // Components stay in codestream order so that the channel definitions, which we read
        // ourselves, address them by their own index. A palette is still expanded.
        if (!applyPalette)
            parameters.flags |= OPJ_DPARAMETERS_IGNORE_PCLR_CMAP_CDEF_FLAG;
        if (!opj_setup_decoder(m_codec.get(), &parameters))
            throw EJpeg2000Error(DecodingFailed);
    }

    opj_image_t* decode()
    {
        opj_image_t* raw = nullptr;
        const bool header = opj_read_header(m_stream.get(), m_codec.get(), &raw);
        m_image.reset(raw);
        if (!header || !m_image)
            throw EJpeg2000Error(DecodingFailed);
        checkSize(*m_image);
        if (!opj_decode(m_codec.get(), m_stream.get(), m_image.get())
            || !opj_end_decompress(m_codec.get(), m_stream.get()))
            throw EJpeg2000Error(DecodingFailed);
        return m_image.get();
    }

private:
    // Refuses, before decoding, a picture whose samples or bitmap would exceed the memory cap.
    static void checkSize(const opj_image_t& image)
    {
        if (image.x1 <= image.x0 || image.y1 <= image.y0 || image.numcomps == 0 || !image.comps)
            throw EJpeg2000Error(DecodingFailed);
        const uint64_t width = image.x1 - image.x0;
        const uint64_t height = image.y1 - image.y0;
        if (width * height * 4 > Bitmap::MaxPixelBytes)
            throw EJpeg2000Error(DecodingFailed);
        uint64_t samples = 0;
        for (uint32_t i = 0; i < image.numcomps; ++i) {
            const opj_image_comp_t& c = image.comps[i];
            if (c.dx == 0 || c.dy == 0)
                throw EJpeg2000Error(DecodingFailed);
            samples += (width / c.dx + 1) * (height / c.dy + 1);
        }
        if (samples * 4 > 2 * Bitmap::MaxPixelBytes)
            throw EJpeg2000Error(DecodingFailed);
    }

    struct CodecFree {
        void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
    };
    struct StreamFree {
        void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
    };
    struct ImageFree {
        void operator()(opj_image_t* i) const { opj_image_destroy(i); }
    };

    MemoryStream m_source;
    std::unique_ptr<opj_codec_t, CodecFree> m_codec;
    std::unique_ptr<opj_stream_t, StreamFree> m_stream;
    std::unique_ptr<opj_image_t, ImageFree> m_image;
};

ChannelType channelType(const ChannelDefinition& d, ColourSpace space)
{
    if (d.type == 1 && d.association == 0)
        return ChannelType::Opacity;
    if (d.type != 0 || d.association < 1 || d.association > 65534)
        return ChannelType::Unknown;
    switch (space) {
    case ColourSpace::SRGB:
        if (d.association <= 3)
            return ChannelType(int(ChannelType::Red) + int(d.association) - 1);
        break;
    case ColourSpace::Grey:
        if (d.association == 1)
            return ChannelType::Luma;
        break;
    case ColourSpace::SYCC:
        if (d.association <= 3)
            return ChannelType(int(ChannelType::Luma) + int(d.association) - 1);
        break;
    case ColourSpace::Unknown: break;
    }
    return ChannelType::Unknown;
}

int bytePosition(ChannelType type, int channels, int index, ColourSpace space)
{
    switch (type) {
    case ChannelType::Unknown: return channels - 1 - index;
    case ChannelType::Red: return 2;
    case ChannelType::Green: return 1;
    case ChannelType::Blue: return 0;
    case ChannelType::Luma: return space == ColourSpace::SYCC ? 2 : 0;
    case ChannelType::Cb: return 1;
    case ChannelType::Cr: return 0;
    case ChannelType::Opacity: return 3;
    }
    return 0;
}

// A sample as a byte: 8-bit samples (signed ones shifted up) keep their low byte, other
// precisions are scaled to 0..255. 64-bit arithmetic keeps deep samples from overflowing.
uint8_t sampleByte(int32_t sample, uint32_t precision, int64_t offset)
{
    const int64_t s = int64_t(sample) + offset;
    if (precision == 8)
        return uint8_t(s & 0xFF);
    const int64_t max = (int64_t(1) << precision) - 1;
    return uint8_t((s * 255 / max) & 0xFF);
}

uint8_t clampRound(double v)
{
    return uint8_t(std::clamp(std::nearbyint(v), 0.0, 255.0));
}

} // namespace

void TJpeg2000Bitmap::LoadFromStream(QIODevice& stream)
{
    const qint64 start = stream.pos();
    uint8_t signature[8] = {};
    const qint64 got = stream.peek(reinterpret_cast<char*>(signature), 8);
    Kind kind;
    if (got == 8 && std::equal(signature, signature + 8, Jp2Signature))
        kind = Kind::Jp2;
    else if (got == 8 && std::equal(signature, signature + 4, J2kSignature))
        kind = Kind::J2k;
    else
        throw EJpeg2000Error(UnknownType);

    const QByteArray buffer = stream.readAll();
    const auto* data = reinterpret_cast<const uint8_t*>(buffer.constData());
    const size_t size = size_t(buffer.size());

    Jp2Header header;
    if (kind == Kind::Jp2)
        header = readJp2Header(data, size);
    else
        header.end = codestreamEnd(data, size);

    // The decoder sees only the picture's own bytes, so whatever follows it in the stream
    // cannot be taken for more boxes.
    // Checked before decoding, which would first allocate the whole picture.
    if (header.codestream < header.end && !everyTilePresent(data + header.codestream, header.end - header.codestream))
        throw EJpeg2000Error(DecodingFailed);
    Decoder decoder(kind, data, header.end, header.hasPalette);
    const opj_image_t& image = *decoder.decode();
    stream.seek(start + qint64(header.end));

    const int components = int(image.numcomps);
    const int channels = components == 3 || components == 4 ? components : 1;
    std::vector<ChannelType> types(size_t(components), ChannelType::Unknown);
    for (const ChannelDefinition& d : header.channels)
        if (d.index < uint32_t(components))
            types[d.index] = channelType(d, header.colourSpace);

    const int width = int(image.x1 - image.x0);
    const int height = int(image.y1 - image.y0);
    const PixelFormat format = channels == 3   ? PixelFormat::Bits24
                               : channels == 4 ? PixelFormat::Bits32
                                               : PixelFormat::Bits8;
    setSize(width, height, format);
    palette().clear();
    if (channels == 1) {
        palette().resize(256);
        for (int i = 0; i < 256; ++i)
            palette()[i] = {uint8_t(i), uint8_t(i), uint8_t(i)};
    }

    for (int i = 0; i < channels; ++i) {
        const opj_image_comp_t& c = image.comps[i];
        // A one-byte pixel has only byte 0; a position past the pixel (opacity in a
        // three-component picture) would land in the next pixel, so it is not placed.
        const int position = channels == 1 ? 0 : bytePosition(types[i], channels, i, header.colourSpace);
        if (position >= channels || !c.data || c.prec == 0 || c.prec > 31)
            continue;
        const int64_t offset = c.sgnd ? int64_t(1) << (c.prec - 1) : 0;
        const size_t stride = size_t(channels);
        const uint32_t dx = c.dx, dy = c.dy;
        for (uint32_t r = 0; r < c.h; ++r) {
            const uint64_t top = uint64_t(r) * dy;
            if (top >= uint64_t(height))
                break;
            const int32_t* samples = c.data + size_t(r) * c.w;
            for (uint32_t col = 0; col < c.w; ++col) {
                const uint64_t left = uint64_t(col) * dx;
                if (left >= uint64_t(width))
                    break;
                const uint8_t v = sampleByte(samples[col], c.prec, offset);
                const int bottom = int(std::min<uint64_t>(top + dy, uint64_t(height)));
                const int right = int(std::min<uint64_t>(left + dx, uint64_t(width)));
                for (int y = int(top); y < bottom; ++y) {
                    uint8_t* px = scanLine(y) + size_t(left) * stride + size_t(position);
                    for (int x = int(left); x < right; ++x, px += stride)
                        *px = v;
                }
            }
        }
    }

    if (header.colourSpace == ColourSpace::SYCC && channels >= 3) {
        for (int y = 0; y < height; ++y) {
            uint8_t* px = scanLine(y);
            for (int x = 0; x < width; ++x, px += channels) {
                const double luma = px[2], cb = px[1] - 128.0, cr = px[0] - 128.0;
                px[2] = clampRound(luma + 1.402 * cr);
                px[1] = clampRound(luma - 0.34414 * cb - 0.71414 * cr);
                px[0] = clampRound(luma + 1.772 * cb);
            }
        }
    }
}

} // namespace b2d
