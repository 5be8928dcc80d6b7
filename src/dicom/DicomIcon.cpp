#include "dicom/DicomDataSet.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmjpeg/djrploss.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace b2d {

namespace {

// Largest icon accepted: the rows and columns are 16-bit, and an icon is meant to be small.
constexpr int64_t MaxIconPixels = int64_t(4096) * 4096;

// Shrinks (or enlarges) interleaved 8-bit pixels by averaging the source pixels that fall into
// each icon pixel's box; a box narrower than a pixel takes the nearest one. The whole picture
// passes through here for every object, so the rows of a band of boxes are first added up
// column by column (a plain run the compiler vectorises), then each box takes its columns.
template <int Samples>
void averageInto(std::vector<uint8_t>& out, const uint8_t* src, int srcWidth, int srcHeight, int width, int height)
{
    std::vector<int> xs(size_t(width) + 1);
    for (int x = 0; x <= width; ++x)
        xs[size_t(x)] = int(int64_t(x) * srcWidth / width);
    const size_t rowValues = size_t(srcWidth) * Samples;
    // A band is at most 65535 rows of values up to 255: the column sums fit 32 bits.
    std::vector<uint32_t> columns(rowValues);
    for (int y = 0; y < height; ++y) {
        const int y0 = int(int64_t(y) * srcHeight / height);
        const int y1 = std::max(y0 + 1, int(int64_t(y + 1) * srcHeight / height));
        std::fill(columns.begin(), columns.end(), 0u);
        for (int sy = y0; sy < y1; ++sy) {
            const uint8_t* __restrict row = src + size_t(sy) * rowValues;
            uint32_t* __restrict sum = columns.data();
            for (size_t i = 0; i < rowValues; ++i)
                sum[i] += row[i];
        }
        for (int x = 0; x < width; ++x) {
            const int x0 = xs[size_t(x)];
            const int x1 = std::max(x0 + 1, xs[size_t(x) + 1]);
            uint64_t sums[Samples] = {};
            for (int sx = x0; sx < x1; ++sx)
                for (int s = 0; s < Samples; ++s)
                    sums[s] += columns[size_t(sx) * Samples + size_t(s)];
            const uint64_t count = uint64_t(x1 - x0) * uint64_t(y1 - y0);
            uint8_t* dst = out.data() + (size_t(y) * size_t(width) + size_t(x)) * Samples;
            for (int s = 0; s < Samples; ++s)
                dst[s] = uint8_t((sums[s] + count / 2) / count);
        }
    }
}

std::vector<uint8_t> averagePixels(const uint8_t* src, int srcWidth, int srcHeight, int samples, int width, int height)
{
    std::vector<uint8_t> out(size_t(width) * size_t(height) * size_t(samples));
    if (samples == 3)
        averageInto<3>(out, src, srcWidth, srcHeight, width, height);
    else
        averageInto<1>(out, src, srcWidth, srcHeight, width, height);
    return out;
}

// The fixed icon palette: 8 levels of red and green, 4 of blue (index = r << 5 | g << 2 | b).
uint16_t paletteLevel(int level, int levels)
{
    return uint16_t(level * 65535 / (levels - 1));
}

std::vector<uint8_t> toPaletteIndices(const std::vector<uint8_t>& rgb)
{
    std::vector<uint8_t> indices(rgb.size() / 3);
    for (size_t i = 0; i < indices.size(); ++i) {
        const int r = (rgb[i * 3] * 7 + 127) / 255;
        const int g = (rgb[i * 3 + 1] * 7 + 127) / 255;
        const int b = (rgb[i * 3 + 2] * 3 + 127) / 255;
        indices[i] = uint8_t(r << 5 | g << 2 | b);
    }
    return indices;
}

void put(DcmItem& item, const DcmTagKey& key, const char* value)
{
    const OFCondition condition = item.putAndInsertString(key, value);
    if (condition.bad())
        throwCondition(QStringLiteral("Icon image"), condition);
}

void put(DcmItem& item, const DcmTagKey& key, Uint16 value)
{
    const OFCondition condition = item.putAndInsertUint16(key, value);
    if (condition.bad())
        throwCondition(QStringLiteral("Icon image"), condition);
}

void putPalette(DcmItem& item)
{
    std::vector<uint16_t> red(256), green(256), blue(256);
    for (int i = 0; i < 256; ++i) {
        red[size_t(i)] = paletteLevel(i >> 5, 8);
        green[size_t(i)] = paletteLevel((i >> 2) & 7, 8);
        blue[size_t(i)] = paletteLevel(i & 3, 4);
    }
    const std::pair<DcmTagKey, DcmTagKey> tables[] = {
        {DCM_RedPaletteColorLookupTableDescriptor, DCM_RedPaletteColorLookupTableData},
        {DCM_GreenPaletteColorLookupTableDescriptor, DCM_GreenPaletteColorLookupTableData},
        {DCM_BluePaletteColorLookupTableDescriptor, DCM_BluePaletteColorLookupTableData}};
    const std::vector<uint16_t>* data[] = {&red, &green, &blue};
    for (int t = 0; t < 3; ++t) {
        // 256 entries, first mapped value 0, 16 bits each.
        const Uint16 descriptor[3] = {256, 0, 16};
        DcmTag descriptorTag(tables[t].first, DcmVR(EVR_US));
        OFCondition condition = item.putAndInsertUint16Array(descriptorTag, descriptor, 3);
        if (condition.good())
            condition = item.putAndInsertUint16Array(DcmTag(tables[t].second, DcmVR(EVR_OW)), data[t]->data(), 256);
        if (condition.bad())
            throwCondition(QStringLiteral("Icon image"), condition);
    }
}

} // namespace

OFCondition encodePixelData(DcmDataset& dataset, E_TransferSyntax xfer)
{
    // The codecs would try to encode the icon too; it is taken out meanwhile.
    DcmElement* icon = dataset.remove(DCM_IconImageSequence);
    const DJ_RPLossy jpegQuality(90);
    const OFCondition chosen = dataset.chooseRepresentation(xfer, xfer == EXS_JPEGProcess1 ? &jpegQuality : nullptr);
    if (icon) {
        dataset.insert(icon, OFTrue);
        DcmItem* item = nullptr;
        DcmElement* pixels = nullptr;
        if (dataset.findAndGetSequenceItem(DCM_IconImageSequence, item).good()
            && item->findAndGetElement(DCM_PixelData, pixels).good() && pixels->ident() == EVR_PixelData)
            static_cast<DcmPixelData*>(pixels)->setNonEncapsulationFlag(OFTrue);
    }
    if (chosen.good() && !dataset.canWriteXfer(xfer))
        return EC_CannotChangeRepresentation;
    return chosen;
}

void CoCDicomDataSet::CreateIcon(int32_t width, int32_t height, int32_t mode)
{
    const QString what = QStringLiteral("Icon image");
    if (mode != 1)
        throw DicomError(what + QStringLiteral(": mode %1 is not supported").arg(mode));
    if (width < 1 || height < 1 || width > 0xFFFF || height > 0xFFFF || int64_t(width) * height > MaxIconPixels)
        throw DicomError(what + QStringLiteral(": %1 x %2 pixels is not a possible icon size").arg(width).arg(height));

    DcmDataset& dataset = *m_file.getDataset();
    Uint16 rows = 0, columns = 0, samples = 0, bitsAllocated = 0, planar = 0;
    dataset.findAndGetUint16(DCM_Rows, rows);
    dataset.findAndGetUint16(DCM_Columns, columns);
    dataset.findAndGetUint16(DCM_SamplesPerPixel, samples);
    dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated);
    dataset.findAndGetUint16(DCM_PlanarConfiguration, planar);
    OFString photometric;
    dataset.findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    const bool rgb = samples == 3 && photometric == "RGB";
    const bool grey = samples == 1 && (photometric == "MONOCHROME2" || photometric == "MONOCHROME1");
    if (rows == 0 || columns == 0 || bitsAllocated != 8 || planar != 0 || (!rgb && !grey))
        throw DicomError(what + QStringLiteral(": the pixel module does not describe 8-bit RGB or grey pixels"
                                               " (rows %1, columns %2, samples %3, bits %4, %5)")
                                    .arg(rows).arg(columns).arg(samples).arg(bitsAllocated)
                                    .arg(QString::fromLatin1(photometric.c_str())));
    Uint8* pixels = nullptr;
    DcmElement* pixelData = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, pixelData).bad()
        || pixelData->getUint8Array(pixels).bad() || pixels == nullptr)
        throw DicomError(what + QStringLiteral(": the object has no native pixel data (7FE0,0010)"));
    const uint64_t count = pixelData->getLength();
    const uint64_t needed = uint64_t(rows) * columns * samples;
    if (count < needed)
        throw DicomError(what + QStringLiteral(": the pixel data holds %1 bytes, %2 x %3 x %4 need %5")
                                    .arg(count).arg(columns).arg(rows).arg(samples).arg(needed));

    const std::vector<uint8_t> icon = averagePixels(pixels, columns, rows, samples, width, height);

    // Icons hold one sample per pixel: grey pictures stay grey, colour ones get a palette.
    auto item = std::make_unique<DcmItem>();
    std::vector<uint8_t> iconPixels;
    if (rgb) {
        iconPixels = toPaletteIndices(icon);
        put(*item, DCM_PhotometricInterpretation, "PALETTE COLOR");
        putPalette(*item);
    } else {
        iconPixels = icon;
        put(*item, DCM_PhotometricInterpretation, photometric.c_str());
    }
    put(*item, DCM_SamplesPerPixel, Uint16(1));
    put(*item, DCM_Rows, Uint16(height));
    put(*item, DCM_Columns, Uint16(width));
    put(*item, DCM_BitsAllocated, Uint16(8));
    put(*item, DCM_BitsStored, Uint16(8));
    put(*item, DCM_HighBit, Uint16(7));
    put(*item, DCM_PixelRepresentation, Uint16(0));
    // The icon stays native when the object is written in an encapsulated syntax.
    auto iconData = std::make_unique<DcmPixelData>(DcmTag(DCM_PixelData, DcmVR(EVR_OB)));
    iconData->setNonEncapsulationFlag(OFTrue);
    OFCondition condition = iconData->putUint8Array(iconPixels.data(), static_cast<unsigned long>(iconPixels.size()));
    if (condition.good())
        condition = item->insert(iconData.get(), OFTrue);
    if (condition.bad())
        throwCondition(what, condition);
    iconData.release();

    auto sequence = std::make_unique<DcmSequenceOfItems>(DCM_IconImageSequence);
    condition = sequence->append(item.get());
    if (condition.bad())
        throwCondition(what, condition);
    item.release();
    condition = dataset.insert(sequence.get(), OFTrue);
    if (condition.bad())
        throwCondition(what, condition);
    sequence.release();
}

} // namespace b2d
