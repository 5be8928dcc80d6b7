#include "pictures/WmfReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"
#include "pictures/PngReader.h"

#include <QtEndian>

#include <libwmf/api.h>
#include <libwmf/gd.h>

#include <algorithm>
#include <cstdlib>

#include <mutex>

namespace b2d {

namespace {

constexpr const char* WmfError = "WMF loading error";
constexpr double ScreenDpi = 96.0;

const char* describe(wmf_error_t error)
{
    switch (error) {
    case wmf_E_None: return "";
    case wmf_E_InsMem: return "out of memory";
    case wmf_E_BadFile: return "unreadable file";
    case wmf_E_BadFormat: return "not a valid metafile";
    case wmf_E_EOF: return "unexpected end of file";
    case wmf_E_DeviceError: return "drawing failed";
    default: return "metafile player failed";
    }
}

// libwmf draws whatever the records cover onto the whole bitmap. A placeable metafile also
// names its frame (in logical units, with the units per inch); the player's coordinates are
// points measured from the window origin, which such files put at the frame's corner. The
// frame is joined to the drawn area, so the picture keeps its margins and loses nothing that
// was drawn outside them.
void joinPlaceableFrame(const QByteArray& data, wmfD_Rect& box)
{
    if (data.size() < 22)
        return;
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    if (qFromLittleEndian<quint32>(p) != 0x9AC6CDD7u)
        return;
    const int width = std::abs(qFromLittleEndian<qint16>(p + 10) - qFromLittleEndian<qint16>(p + 6));
    const int height = std::abs(qFromLittleEndian<qint16>(p + 12) - qFromLittleEndian<qint16>(p + 8));
    const int unitsPerInch = qFromLittleEndian<quint16>(p + 14);
    if (width == 0 || height == 0 || unitsPerInch == 0)
        return;
    box.TL.x = std::min(box.TL.x, 0.0f);
    box.TL.y = std::min(box.TL.y, 0.0f);
    box.BR.x = std::max(box.BR.x, float(width) * 72.0f / float(unitsPerInch));
    box.BR.y = std::max(box.BR.y, float(height) * 72.0f / float(unitsPerInch));
}

// libwmf allocates its record buffer up front at the size the header gives for the largest
// record; a damaged header asks for gigabytes and the file fails with "out of memory". No
// record can be larger than the file itself, so the copy handed to the player says so.
void limitLargestRecord(QByteArray& data)
{
    const qsizetype header = data.size() >= 4 && qFromLittleEndian<quint32>(data.constData()) == 0x9AC6CDD7u ? 22 : 0;
    if (data.size() < header + 18)
        return;
    auto* largest = reinterpret_cast<uchar*>(data.data()) + header + 12;
    const quint32 fileWords = quint32(std::min<qsizetype>(data.size() / 2, 0x7FFFFFFF));
    if (qFromLittleEndian<quint32>(largest) > fileWords)
        qToLittleEndian<quint32>(fileWords, largest);
}

// libwmf sizes a record's device-independent bitmap from its header alone: a damaged colour
// count or size makes it allocate gigabytes. A bitmap whose colour table, or whose
// uncompressed rows, cannot fit in its own record is damage. False when any record holds one.
bool bitmapsFitTheirRecords(const QByteArray& data)
{
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    const qsizetype size = data.size();
    qsizetype pos = size >= 4 && qFromLittleEndian<quint32>(p) == 0x9AC6CDD7u ? 22 : 0;
    if (size - pos < 18)
        return true;
    pos += qsizetype(qFromLittleEndian<quint16>(p + pos + 2)) * 2;
    while (pos >= 0 && size - pos >= 6) {
        const quint64 recordBytes = quint64(qFromLittleEndian<quint32>(p + pos)) * 2;
        const quint16 function = qFromLittleEndian<quint16>(p + pos + 4);
        if (recordBytes < 6 || recordBytes > quint64(size - pos))
            return true; // the player stops here too
        // Bytes of parameters before the bitmap, for the records that carry one.
        qsizetype before = -1;
        switch (function) {
        case 0x0940: before = recordBytes == 12 * 2 ? -1 : 16; break; // DIBBITBLT
        case 0x0B41: before = recordBytes == 14 * 2 ? -1 : 20; break; // DIBSTRETCHBLT
        case 0x0F43: before = 22; break;                              // STRETCHDIB
        case 0x0D33: before = 18; break;                              // SETDIBTODEV
        case 0x0142: before = 4; break;                               // DIBCREATEPATTERNBRUSH
        default: break;
        }
        const quint64 params = recordBytes - 6;
        if (before >= 0 && params >= quint64(before) + 12) {
            const uchar* bih = p + pos + 6 + before;
            const quint64 room = params - quint64(before);
            // libwmf takes any header size but 12 (the old core header) for a 40-byte one, and
            // trusts sizes, depths and widths no bitmap can have.
            const quint32 headerSize = qFromLittleEndian<quint32>(bih);
            if (headerSize != 12 && headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 64
                && headerSize != 108 && headerSize != 124)
                return false;
            qint64 width = 0, height = 0;
            quint64 bits = 0, colours = 0;
            quint32 compression = 0;
            if (headerSize == 12) {
                width = qFromLittleEndian<quint16>(bih + 4);
                height = qFromLittleEndian<quint16>(bih + 6);
                bits = qFromLittleEndian<quint16>(bih + 10);
            } else {
                if (room < 40 || headerSize > room)
                    return false;
                width = qFromLittleEndian<qint32>(bih + 4);
                height = qFromLittleEndian<qint32>(bih + 8);
                bits = qFromLittleEndian<quint16>(bih + 14);
                compression = qFromLittleEndian<quint32>(bih + 16);
                colours = qFromLittleEndian<quint32>(bih + 32);
            }
            if (std::max<quint64>(headerSize, 40) + colours * 4 > room && headerSize != 12)
                return false;
            if (width <= 0 || height == 0 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
                || compression > 6)
                return false;
            if (compression == 0) {
                const quint64 rows = quint64(height < 0 ? -height : height);
                if ((quint64(width) * bits + 31) / 32 * 4 * rows > room)
                    return false;
            }
        }
        pos += qsizetype(recordBytes);
    }
    return true;
}

// One libwmf player and its open metafile, released on every path.
class WmfPlayer {
public:
    WmfPlayer()
    {
        wmfAPI_Options options{};
        options.function = wmf_gd_function;
        const unsigned long flags = WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR
                                    | WMF_OPT_NO_DEBUG;
        m_created = wmf_api_create(&m_api, flags, &options);
    }

    void open(QByteArray& data)
    {
        check(m_created);
        limitLargestRecord(data);
        check(wmf_mem_open(m_api, reinterpret_cast<unsigned char*>(data.data()), long(data.size())));
        m_open = true;
    }
    ~WmfPlayer()
    {
        if (m_open)
            wmf_mem_close(m_api);
        if (m_api)
            wmf_api_destroy(m_api);
    }
    WmfPlayer(const WmfPlayer&) = delete;
    WmfPlayer& operator=(const WmfPlayer&) = delete;

    wmfAPI* api() const { return m_api; }

    void check(wmf_error_t error) const
    {
        if (error == wmf_E_None && (m_api == nullptr || m_api->err == wmf_E_None))
            return;
        throw PictureFormatError(WithReason(WmfError, describe(error != wmf_E_None ? error : m_api->err)));
    }

private:
    wmfAPI* m_api = nullptr;
    wmf_error_t m_created = wmf_E_None;
    bool m_open = false;
};

} // namespace

void WmfReader::load(Bitmap& target, const QString& fileName) const
{
    QByteArray data = ReadWholeFile(fileName, WmfError);
    if (!bitmapsFitTheirRecords(data))
        throw PictureFormatError(WithReason(WmfError, describe(wmf_E_BadFormat)));
    // libwmf and the gd library under it keep font caches and other state process-wide:
    // one drawing at a time (pictures are loaded on several threads).
    static std::mutex playing;
    const std::lock_guard<std::mutex> lock(playing);
    WmfPlayer player;
    player.open(data);
    wmfAPI* api = player.api();

    wmfD_Rect bbox{};
    player.check(wmf_scan(api, 0, &bbox));
    unsigned int width = 0, height = 0;
    player.check(wmf_display_size(api, &width, &height, ScreenDpi, ScreenDpi));
    if (width == 0 || height == 0)
        throw PictureFormatError(WithReason(WmfError, "empty picture"));
    Bitmap::checkSize(width, height, WithReason(WmfError, "picture too large").c_str());

    joinPlaceableFrame(data, bbox);
    // libwmf hands a drawn gd image to its caller without any way to release it; the drawing
    // is taken as a PNG through the player's output sink instead, which the player frees.
    wmf_gd_t* device = WMF_GD_GetData(api);
    if ((device->flags & WMF_GD_SUPPORTS_PNG) == 0)
        throw PictureFormatError(WithReason(WmfError, describe(wmf_E_DeviceError)));
    QByteArray png;
    device->type = wmf_gd_png;
    device->flags |= WMF_GD_OUTPUT_MEMORY | WMF_GD_OWN_BUFFER;
    device->sink.context = &png;
    device->sink.function = [](void* context, char* buffer, int length) {
        if (length > 0)
            static_cast<QByteArray*>(context)->append(buffer, length);
        return length;
    };
    device->bbox = bbox;
    device->width = width;
    device->height = height;
    player.check(wmf_play(api, 0, &bbox));

    Bitmap picture;
    try {
        DecodePng(png, picture);
    } catch (const PictureFormatError&) {
        throw PictureFormatError(WithReason(WmfError, describe(wmf_E_DeviceError)));
    }
    if (picture.width() != int(width) || picture.height() != int(height))
        throw PictureFormatError(WithReason(WmfError, describe(wmf_E_DeviceError)));
    // The player draws onto white and writes no alpha; a 32-bit caller keeps 32 bits.
    if (target.format() == PixelFormat::Bits32 && picture.format() == PixelFormat::Bits24) {
        Bitmap wide(picture.width(), picture.height(), PixelFormat::Bits32);
        for (int y = 0; y < picture.height(); ++y) {
            const uint8_t* in = picture.scanLine(y);
            uint8_t* out = wide.scanLine(y);
            for (int x = 0; x < picture.width(); ++x, in += 3, out += 4) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
                out[3] = 255;
            }
        }
        picture = std::move(wide);
    } else {
        picture.convertTo24();
    }
    target = std::move(picture);
}

} // namespace b2d
