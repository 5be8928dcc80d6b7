#include "pictures/gfx_files.h"

#include "pictures/BmpReader.h"
#include "pictures/GifReader.h"
#include "pictures/JpegReader.h"
#include "pictures/PngReader.h"
#include "pictures/TiffReader.h"
#include "pictures/WmfReader.h"

#include <QFileInfo>

#include <utility>

namespace b2d {

const PictureReader* FindPictureReader(const QString& extension)
{
    static const BmpReader bmp;
    static const JpegReader jpeg;
    static const GifReader gif;
    static const WmfReader wmf;
    static const PngReader png;
    static const TiffReader tiff;

    // The one registry of formats: one row per extension.
    static const std::pair<QString, const PictureReader*> table[] = {
        {".bmp", &bmp},
        {".jpg", &jpeg},
        {".jpeg", &jpeg},
        {".tmb", &jpeg},
        {".gif", &gif},
        {".wmf", &wmf},
        {".png", &png},
        {".tif", &tiff},
        {".tiff", &tiff},
    };
    for (const auto& [ext, reader] : table) {
        if (ext == extension)
            return reader;
    }
    return nullptr;
}

void LoadPictureFile(Bitmap& bitmap, const QString& fileName)
{
    const QFileInfo info(fileName);
    if (!info.isFile())
        return;
    // The extension is taken from the file's own name, never from a folder name in the path.
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0)
        return;
    if (const PictureReader* reader = FindPictureReader(name.mid(dot).toLower()))
        reader->load(bitmap, fileName);
}

} // namespace b2d
