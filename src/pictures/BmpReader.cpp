#include "pictures/BmpReader.h"

#include "common/PictureFormatError.h"
#include "pictures/PictureFile.h"

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <algorithm>
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

// Least size of an uncompressed file (BI_RGB, BI_BITFIELDS, BI_ALPHABITFIELDS): its headers and
// its pixel rows; 0 when the header does not tell (compressed, unknown or too short to say).
quint64 uncompressedFileBytes(const QByteArray& data)
{
    if (data.size() < 26)
        return 0;
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    const quint32 headerSize = qFromLittleEndian<quint32>(p + 14);
    if (headerSize > 124)
        return 0;
    qint64 width = 0, height = 0;
    int bits = 0;
    if (headerSize == 12) {
        width = qFromLittleEndian<qint16>(p + 18);
        height = qFromLittleEndian<qint16>(p + 20);
        bits = qFromLittleEndian<quint16>(p + 24);
    } else {
        if (data.size() < 34)
            return 0;
        const quint32 compression = qFromLittleEndian<quint32>(p + 30);
        if (compression != 0 && compression != 3 && compression != 6)
            return 0;
        width = qFromLittleEndian<qint32>(p + 18);
        height = qFromLittleEndian<qint32>(p + 22);
        bits = qFromLittleEndian<quint16>(p + 28);
    }
    if (width <= 0 || height == 0 || bits <= 0 || bits > 32)
        return 0;
    const quint64 rowBytes = (quint64(width) * quint64(bits) + 31) / 32 * 4;
    // Rows start where the file header says, unless that points into the headers (Qt then reads
    // them from after the palette).
    const quint64 rowsStart = std::max<quint64>(qFromLittleEndian<quint32>(p + 10), 14 + quint64(headerSize));
    return rowsStart + rowBytes * quint64(height < 0 ? -height : height);
}

void copyPalette(const QImage& image, Bitmap& target)
{
    // A file may declare more colours than its pixels can address (Qt keeps them all); the
    // bitmap holds at most as many entries as its layout has indices.
    const QList<QRgb> table = image.colorTable();
    const qsizetype entries = std::min<qsizetype>(table.size(), qsizetype(1) << target.bitsPerPixel());
    target.palette().clear();
    for (qsizetype i = 0; i < entries; ++i) {
        const QRgb c = table[i];
        target.palette().push_back({uint8_t(qRed(c)), uint8_t(qGreen(c)), uint8_t(qBlue(c))});
    }
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
    const QByteArray header = file.peek(34);
    const int storedBits = storedBitCount(header);
    QImageReader reader(&file, "bmp");
    reader.setDecideFormatFromContent(false);
    const QSize size = reader.size();
    if (size.isValid())
        Bitmap::checkSize(size.width(), size.height(), WithReason(BmpError, "picture too large").c_str());
    // Qt would give the rows past the end of a file cut short as they happened to be in memory;
    // such a file is refused before any pixel is decoded, however large its header says it is.
    if (quint64(file.size()) < uncompressedFileBytes(header))
        throw PictureFormatError(WithReason(BmpError, "the file ends before its pixels do"));
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
