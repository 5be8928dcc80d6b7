#include "pictures/BmpReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <cstring>

namespace b2d {

namespace {

constexpr const char* BmpError = "BMP loading error";

// Bits per pixel as the file stores them (Qt gives 4-bit files as 8-bit indexed pictures).
int storedBitCount(const QByteArray& data)
{
    if (data.size() < 30)
        return 0;
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    const quint32 headerSize = qFromLittleEndian<quint32>(p + 14);
    return headerSize == 12 ? qFromLittleEndian<quint16>(p + 24) : qFromLittleEndian<quint16>(p + 28);
}

void copyPalette(const QImage& image, Bitmap& target)
{
    const QList<QRgb> table = image.colorTable();
    target.palette().clear();
    for (QRgb c : table)
        target.palette().push_back({uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c))});
}

PixelFormat layoutFor(const QImage& image, int storedBits)
{
    switch (image.format()) {
    case QImage::Format_Mono:
        return PixelFormat::Bits1;
    case QImage::Format_Indexed8:
        return storedBits == 4 && image.colorCount() <= 16 ? PixelFormat::Bits4 : PixelFormat::Bits8;
    case QImage::Format_ARGB32:
        return PixelFormat::Bits32;
    default:
        return storedBits == 32 ? PixelFormat::Bits32 : PixelFormat::Bits24;
    }
}

} // namespace

void BmpReader::load(Bitmap& target, const QString& fileName) const
{
    // Qt reads the file itself: an uncompressed BMP is as large as its pixels, and a copy of it
    // in memory would double what one load holds.
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw PictureFormatError(WithReason(BmpError, "cannot read the file"));
    const int storedBits = storedBitCount(file.peek(30));
    QImageReader reader(&file, "bmp");
    reader.setDecideFormatFromContent(false);
    const QSize size = reader.size();
    if (size.isValid())
        Bitmap::checkSize(size.width(), size.height(), WithReason(BmpError, "picture too large").c_str());
    // Qt's own cap (256 MB by default) is lower than ours.
    reader.setAllocationLimit(int(Bitmap::MaxPixelBytes >> 20));
    QImage image;
    if (!reader.read(&image) || image.isNull())
        throw PictureFormatError(WithReason(BmpError, reader.errorString().toStdString()));

    const PixelFormat layout = layoutFor(image, storedBits);
    if (layout == PixelFormat::Bits24 || layout == PixelFormat::Bits32) {
        if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32)
            image = image.convertToFormat(QImage::Format_RGB32);
    }

    Bitmap picture(image.width(), image.height(), layout);
    const size_t rowBytes = picture.bytesPerRow();
    for (int y = 0; y < image.height(); ++y) {
        const uchar* in = image.constScanLine(y);
        uint8_t* out = picture.scanLine(y);
        switch (layout) {
        case PixelFormat::Bits1:
        case PixelFormat::Bits8:
            std::memcpy(out, in, rowBytes);
            break;
        case PixelFormat::Bits4:
            for (int x = 0; x < image.width(); ++x)
                out[x >> 1] |= uint8_t((in[x] & 0x0F) << ((x & 1) ? 0 : 4));
            break;
        case PixelFormat::Bits24:
        case PixelFormat::Bits32: {
            const auto* rgb = reinterpret_cast<const QRgb*>(in);
            const int step = layout == PixelFormat::Bits24 ? 3 : 4;
            for (int x = 0; x < image.width(); ++x, out += step) {
                out[0] = uint8_t(qBlue(rgb[x]));
                out[1] = uint8_t(qGreen(rgb[x]));
                out[2] = uint8_t(qRed(rgb[x]));
                if (step == 4)
                    out[3] = uint8_t(qAlpha(rgb[x]));
            }
            break;
        }
        }
    }
    if (int(layout) <= 8)
        copyPalette(image, picture);
    target = std::move(picture);
}

} // namespace b2d
