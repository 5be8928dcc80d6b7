#include "pictures/PictureFile.h"

#include "common/Bitmap.h"
#include "common/PictureFormatError.h"

#include <QFile>

namespace b2d {

QByteArray ReadWholeFile(const QString& fileName, const char* errorMessage)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw PictureFormatError(errorMessage);
    const qint64 size = file.size();
    if (size < 0 || uint64_t(size) > Bitmap::MaxPixelBytes)
        throw PictureFormatError(errorMessage);
    QByteArray data(qsizetype(size), Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(data.data() + done, size - done);
        if (got <= 0)
            throw PictureFormatError(errorMessage);
        done += got;
    }
    return data;
}

std::string WithReason(const char* message, const std::string& reason)
{
    return reason.empty() ? std::string(message) : std::string(message) + ": " + reason;
}

} // namespace b2d
