#include "pictures/ReferenceDecode.h"

#include "support/TestSupport.h"

#include <cstdlib>
#include <stdexcept>

namespace b2d::test {

RgbPicture ParsePnm(const QByteArray& data)
{
    qsizetype pos = 0;
    auto token = [&]() {
        while (pos < data.size() && QChar(data[pos]).isSpace())
            ++pos;
        const qsizetype begin = pos;
        while (pos < data.size() && !QChar(data[pos]).isSpace())
            ++pos;
        return data.mid(begin, pos - begin);
    };
    const QByteArray magic = token();
    RgbPicture p;
    p.width = token().toInt();
    p.height = token().toInt();
    const int maxValue = token().toInt();
    ++pos; // the single white-space byte after the header
    const bool grey = magic == "P5";
    if ((!grey && magic != "P6") || maxValue != 255 || p.width <= 0 || p.height <= 0)
        throw std::runtime_error("not an 8-bit binary PNM");
    const qsizetype samples = qsizetype(p.width) * p.height * (grey ? 1 : 3);
    if (data.size() - pos < samples)
        throw std::runtime_error("PNM data too short");
    if (grey) {
        p.rgb.resize(samples * 3);
        for (qsizetype i = 0; i < samples; ++i)
            p.rgb[i * 3] = p.rgb[i * 3 + 1] = p.rgb[i * 3 + 2] = data[pos + i];
    } else {
        p.rgb = data.mid(pos, samples);
    }
    return p;
}

RgbPicture DecodeWith(const QString& program, const QStringList& args)
{
    const ProcessResult r = runProcess(program, args);
    if (r.exitCode != 0)
        throw std::runtime_error((program + " failed: ").toStdString() + r.err.toStdString());
    return ParsePnm(r.out);
}

int MaxDifference(const Bitmap& picture, const RgbPicture& reference)
{
    if (picture.width() != reference.width || picture.height() != reference.height)
        return -1;
    int worst = 0;
    const auto* ref = reinterpret_cast<const uint8_t*>(reference.rgb.constData());
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x, ref += 3) {
            const PaletteEntry c = picture.pixel(x, y);
            worst = std::max({worst, std::abs(c.red - ref[0]), std::abs(c.green - ref[1]),
                              std::abs(c.blue - ref[2])});
        }
    }
    return worst;
}

} // namespace b2d::test
