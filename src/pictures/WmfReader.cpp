#include "pictures/WmfReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"

#include <libwmf/api.h>
#include <libwmf/gd.h>

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

    wmf_gd_t* device = WMF_GD_GetData(api);
    device->type = wmf_gd_image;
    device->bbox = bbox;
    device->width = width;
    device->height = height;
    player.check(wmf_play(api, 0, &bbox));
    const int* pixels = device->gd_image ? wmf_gd_image_pixels(device->gd_image) : nullptr;
    if (pixels == nullptr)
        throw PictureFormatError(WithReason(WmfError, describe(wmf_E_DeviceError)));

    // gd's true-colour pixels: 7-bit transparency (127 = clear) over 8-bit red, green, blue.
    const bool keep32 = target.format() == PixelFormat::Bits32;
    const int step = keep32 ? 4 : 3;
    Bitmap picture(int(width), int(height), keep32 ? PixelFormat::Bits32 : PixelFormat::Bits24);
    for (unsigned y = 0; y < height; ++y) {
        const int* in = pixels + size_t(y) * width;
        uint8_t* out = picture.scanLine(int(y));
        for (unsigned x = 0; x < width; ++x, out += step) {
            const unsigned p = unsigned(in[x]);
            const unsigned clear = (p >> 24) & 0x7F;
            const unsigned rgb[3] = {p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF};
            for (int c = 0; c < 3; ++c)
                out[c] = uint8_t((rgb[c] * (127 - clear) + 255 * clear + 63) / 127);
            if (keep32)
                out[3] = 255;
        }
    }
    target = std::move(picture);
}

} // namespace b2d
