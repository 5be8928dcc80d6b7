#pragma once

// Cut-and-damage check for picture readers: writes truncated and byte-damaged copies of a
// fixture (or of a picture built in the test) and loads each through LoadPictureFile. Every copy must either raise the format's
// PictureFormatError or give a picture with a defined, non-empty size; a crash, a hang or an
// out-of-bounds access (seen in the sanitizer build) fails the test run itself.

#include "common/Bitmap.h"
#include "common/PictureFormatError.h"
#include "pictures/gfx_files.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <string>
#include <vector>

namespace b2d::test {

struct DamageOptions {
    // Every raised PictureFormatError's message must start with this text.
    std::string errorPrefix;
    // A copy cut shorter than this many bytes must raise (0: a cut copy may also load).
    qsizetype cutsMustFailBelow = 0;
};

struct DamageSummary {
    int loads = 0;
    int raised = 0;
};

// Lengths at which the fixture is cut: the first bytes of a header, then fractions of the file.
inline std::vector<qsizetype> DamageCutLengths(qsizetype size)
{
    std::vector<qsizetype> cuts = {0, 1, 2, 4, 8, 12, 16, 24, 32, 48, 64, 100, 200};
    for (int k = 1; k < 8; ++k)
        cuts.push_back(size * k / 8);
    for (qsizetype back : {16, 2, 1})
        cuts.push_back(size - back);
    std::erase_if(cuts, [size](qsizetype n) { return n < 0 || n >= size; });
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    return cuts;
}

// Damaged copies: each of the first 64 bytes inverted, then bytes spread over the whole file
// set to 0x00, 0xFF and inverted, and runs of 8 bytes set to 0xFF.
inline std::vector<QByteArray> DamagedCopies(const QByteArray& data)
{
    std::vector<QByteArray> copies;
    const qsizetype size = data.size();
    for (qsizetype i = 0; i < std::min<qsizetype>(size, 64); ++i) {
        QByteArray c = data;
        c[i] = char(~c[i]);
        copies.push_back(c);
    }
    const int spots = 40;
    for (int k = 0; k < spots && size > 0; ++k) {
        const qsizetype i = size * k / spots;
        for (int value : {0x00, 0xFF, -1}) {
            QByteArray c = data;
            c[i] = value < 0 ? char(~c[i]) : char(value);
            copies.push_back(c);
        }
        QByteArray run = data;
        for (qsizetype j = i; j < std::min(size, i + 8); ++j)
            run[j] = char(0xFF);
        copies.push_back(run);
    }
    return copies;
}

// Loads one copy and checks the outcome; returns true when it raised.
inline bool LoadDamagedCopy(const QString& path, const DamageOptions& options)
{
    Bitmap picture;
    picture.setSize(0, 0, PixelFormat::Bits24);
    try {
        LoadPictureFile(picture, path);
    } catch (const PictureFormatError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(options.errorPrefix, 0), 0u)
            << "unexpected message: " << e.what();
        return true;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "raised something other than PictureFormatError: " << e.what();
        return true;
    }
    EXPECT_GT(picture.width(), 0);
    EXPECT_GT(picture.height(), 0);
    EXPECT_EQ(picture.byteCount(), picture.bytesPerRow() * size_t(picture.height()));
    return false;
}

// Runs every cut and damaged copy of a picture held in memory through LoadPictureFile, under a
// file name with the given extension (".tga"); for pictures a test builds itself.
inline DamageSummary CheckCutAndDamagedData(const QByteArray& data, const QString& extension,
                                            const DamageOptions& options)
{
    DamageSummary summary;
    QTemporaryDir dir;
    EXPECT_TRUE(dir.isValid());
    const QString path = dir.filePath("damaged" + extension);

    for (qsizetype length : DamageCutLengths(data.size())) {
        SCOPED_TRACE(QString("cut to %1 bytes").arg(length).toStdString());
        writeAll(path, data.left(length));
        const bool raised = LoadDamagedCopy(path, options);
        if (length < options.cutsMustFailBelow) {
            EXPECT_TRUE(raised) << "a cut copy loaded as a good picture";
        }
        ++summary.loads;
        summary.raised += raised;
    }
    int n = 0;
    for (const QByteArray& copy : DamagedCopies(data)) {
        SCOPED_TRACE(QString("damaged copy %1").arg(n++).toStdString());
        writeAll(path, copy);
        summary.raised += LoadDamagedCopy(path, options);
        ++summary.loads;
    }
    return summary;
}

// The same for a fixture file, under the fixture's own extension.
inline DamageSummary CheckCutAndDamaged(const QString& fixture, const DamageOptions& options)
{
    SCOPED_TRACE(fixture.toStdString());
    return CheckCutAndDamagedData(readAll(fixture), "." + QFileInfo(fixture).suffix(), options);
}

} // namespace b2d::test
