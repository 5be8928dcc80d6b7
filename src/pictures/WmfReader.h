#pragma once

#include "pictures/PictureReader.h"

namespace b2d {

// Windows metafiles through libwmf: the target is sized to the metafile's natural size in
// pixels at 96 dpi and the metafile is drawn at (0, 0) onto white. The target stays 32-bit when
// the caller set it so, otherwise it becomes 24-bit. Raises "WMF loading error: " and the reason.
class WmfReader : public PictureReader {
public:
    void load(Bitmap& target, const QString& fileName) const override;
};

} // namespace b2d
