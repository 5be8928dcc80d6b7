#include "pictures/ReaderTestSupport.h"

#include "support/TestSupport.h"

#include <sstream>
#include <stdexcept>

namespace b2d::test {

QString readerFixturePath(const QString& name)
{
    return dataPath(B2D_TEST_DATA, "data/readers/" + name);
}

QByteArray readerFixture(const QString& name)
{
    return readAll(readerFixturePath(name));
}

Bitmap bitmapFromPpm(const QByteArray& ppm)
{
    // Header: "P6", width, height, maximum, each separated by white space, then one byte.
    int fields[3] = {};
    qsizetype pos = 2;
    if (!ppm.startsWith("P6"))
        throw std::runtime_error("not a binary PPM");
    for (int& field : fields) {
        while (pos < ppm.size() && QChar(ppm[pos]).isSpace())
            ++pos;
        const qsizetype start = pos;
        while (pos < ppm.size() && QChar(ppm[pos]).isDigit())
            ++pos;
        field = ppm.mid(start, pos - start).toInt();
    }
    ++pos;
    if (fields[2] != 255 || ppm.size() - pos < qsizetype(fields[0]) * fields[1] * 3)
        throw std::runtime_error("unexpected PPM layout");
    Bitmap b(fields[0], fields[1], PixelFormat::Bits24);
    const auto* rgb = reinterpret_cast<const uint8_t*>(ppm.constData() + pos);
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x, rgb += 3) {
            uint8_t* px = b.scanLine(y) + x * 3;
            px[0] = rgb[2];
            px[1] = rgb[1];
            px[2] = rgb[0];
        }
    return b;
}

Bitmap decodeWithImageMagick(const QString& path)
{
    const ProcessResult r =
        runProcess("convert", {path + "[0]", "-alpha", "off", "-depth", "8", "ppm:-"});
    if (r.exitCode != 0)
        throw std::runtime_error("convert failed: " + r.err.toStdString());
    return bitmapFromPpm(r.out);
}

std::string pixelDifference(const Bitmap& actual, const Bitmap& expected, int tolerance)
{
    std::ostringstream out;
    if (actual.width() != expected.width() || actual.height() != expected.height()) {
        out << "size " << actual.width() << "x" << actual.height() << ", expected "
            << expected.width() << "x" << expected.height();
        return out.str();
    }
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x) {
            const PaletteEntry a = actual.pixel(x, y);
            const PaletteEntry e = expected.pixel(x, y);
            if (std::abs(a.red - e.red) > tolerance || std::abs(a.green - e.green) > tolerance
                || std::abs(a.blue - e.blue) > tolerance) {
                out << "pixel (" << x << ", " << y << ") is " << int(a.red) << "," << int(a.green)
                    << "," << int(a.blue) << ", expected " << int(e.red) << "," << int(e.green)
                    << "," << int(e.blue);
                return out.str();
            }
        }
    return {};
}

void putLE16(QByteArray& out, unsigned v)
{
    out.append(char(v & 0xFF));
    out.append(char((v >> 8) & 0xFF));
}

void putBE16(QByteArray& out, unsigned v)
{
    out.append(char((v >> 8) & 0xFF));
    out.append(char(v & 0xFF));
}

void putBE32(QByteArray& out, uint32_t v)
{
    putBE16(out, v >> 16);
    putBE16(out, v & 0xFFFF);
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

std::string loadThrough(const PictureReader& reader, QTemporaryDir& dir, const QString& name,
                        const QByteArray& data, Bitmap& target)
{
    const QString path = dir.filePath(name);
    writeAll(path, data);
    try {
        reader.load(target, path);
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

} // namespace b2d::test
