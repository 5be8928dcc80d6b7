#include "pictures/JpegReader.h"

#include "common/PictureFormatError.h"
#include "pictures/JpegDecoder.h"
#include "pictures/PictureFile.h"

namespace b2d {

namespace {

constexpr const char* JpegError = "JPEG loading error";

} // namespace

void JpegReader::load(Bitmap& target, const QString& fileName) const
{
    JpegOutcome outcome = JpegOutcome::Failed;
    try {
        const QByteArray data = ReadWholeFile(fileName, JpegError);
        outcome = DecodeJpeg(reinterpret_cast<const unsigned char*>(data.constData()),
                             size_t(data.size()), target);
    } catch (const std::exception&) {
        outcome = JpegOutcome::Failed;
    }
    if (outcome == JpegOutcome::Decoded)
        return;
    target.setSize(1, 1, PixelFormat::Bits24);
    throw PictureFormatError(JpegError);
}

} // namespace b2d
