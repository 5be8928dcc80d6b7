#include "pictures/ReaderAdapters.h"

#include "common/PictureFormatError.h"
#include "pictures/Jpeg2000Bitmap.h"
#include "pictures/gfx_pcd.h"
#include "pictures/gfx_pcx.h"
#include "pictures/gfx_tga.h"

#include <QFile>

#include <stdexcept>

namespace b2d {

QByteArray readWholeFile(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(file.errorString().toStdString());
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw std::runtime_error(file.errorString().toStdString());
    return data;
}

QByteArray readWholeDevice(QIODevice& stream)
{
    if (!stream.seek(0))
        throw std::runtime_error(stream.errorString().toStdString());
    return stream.readAll();
}

namespace {

class PcxReader final : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override
    {
        TPCXFile pcx;
        pcx.LoadFromFile(fileName);
        // A copy would hold the picture twice at its largest.
        target = pcx.takeBitmap();
    }
};

class TgaReader final : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override
    {
        TTGAFile tga;
        tga.LoadFromFile(fileName);
        target = tga.takeBitmap();
    }
};

class PcdReader final : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override
    {
        TPCDFile pcd;
        TPCDFile::Resolution = 3;
        pcd.LoadFromFile(fileName);
        target = pcd.takeBitmap();
    }
};

// Draws the decoded picture onto a black 24-bit target: grey palettes give grey pixels and
// straight alpha blends over the target's black.
void drawOnto(Bitmap& target, const Bitmap& picture)
{
    target.setSize(picture.width(), picture.height(), PixelFormat::Bits24);
    target.palette().clear();
    for (int y = 0; y < picture.height(); ++y) {
        const uint8_t* in = picture.scanLine(y);
        uint8_t* out = target.scanLine(y);
        for (int x = 0; x < picture.width(); ++x, out += 3) {
            if (picture.format() == PixelFormat::Bits32) {
                const unsigned alpha = in[x * 4 + 3];
                for (int k = 0; k < 3; ++k)
                    out[k] = uint8_t((in[x * 4 + k] * alpha + out[k] * (255 - alpha) + 127) / 255);
            } else {
                const PaletteEntry c = picture.pixel(x, y);
                out[0] = c.blue;
                out[1] = c.green;
                out[2] = c.red;
            }
        }
    }
}

class Jpeg2000Reader final : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override
    {
        try {
            QFile file(fileName);
            if (!file.open(QIODevice::ReadOnly))
                throw std::runtime_error(file.errorString().toStdString());
            TJpeg2000Bitmap picture;
            picture.LoadFromStream(file);
            drawOnto(target, picture);
        } catch (const std::exception& e) {
            target.setSize(1, 1, PixelFormat::Bits24);
            target.palette().clear();
            throw PictureFormatError(std::string("JPEG loading error: ") + e.what());
        }
    }
};

} // namespace

const PictureReader& pcxReader()
{
    static const PcxReader reader;
    return reader;
}

const PictureReader& tgaReader()
{
    static const TgaReader reader;
    return reader;
}

const PictureReader& pcdReader()
{
    static const PcdReader reader;
    return reader;
}

const PictureReader& jpeg2000Reader()
{
    static const Jpeg2000Reader reader;
    return reader;
}

} // namespace b2d
