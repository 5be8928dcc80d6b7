#pragma once

#include "common/Bitmap.h"

#include <utility>

#include <QByteArray>

#include <atomic>

class QIODevice;
class QString;

namespace b2d {

// Reads one resolution step of a PhotoCD image pack into a 24-bit bitmap, turning portrait
// pictures upright. Pixels that a file cut short does not hold stay black.
class TPCDFile {
public:
    // The resolution step (1 to 3) read by every reader; creating a reader sets it to 3.
    static std::atomic<int> Resolution;

    TPCDFile();

    // Raises std::runtime_error with the platform's reason when the file cannot be read.
    void LoadFromFile(const QString& filename);
    void LoadFromStream(QIODevice& stream);
    void LoadFromBytes(const QByteArray& data);

    const Bitmap& bitmap() const { return FBitmap; }
    // Hands the picture over without a copy; the reader is left empty.
    Bitmap takeBitmap() { return std::move(FBitmap); }

    // PhotoYCC to red, green and blue, each rounded half to even and clamped to 0..255.
    static void yccToRgb(int y, int c1, int c2, uint8_t& red, uint8_t& green, uint8_t& blue);

private:
    Bitmap FBitmap;
};

} // namespace b2d
