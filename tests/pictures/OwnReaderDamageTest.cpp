#include "common/PictureFormatError.h"
#include "pictures/ReaderTestSupport.h"
#include "pictures/gfx_files.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <functional>
#include <set>
#include <string>

using namespace b2d;
using namespace b2d::test;

namespace {

struct Outcome {
    int loaded = 0;
    int failed = 0;
};

// Loads data as a file with the given extension through the loader's table. A load ends either
// in a picture whose size matches its pixel buffer or in one of the format's own messages.
void loadExpectingDefinedEnd(QTemporaryDir& dir, const QString& extension, const QByteArray& data,
                             const std::function<bool(const std::string&)>& allowed, const std::string& what,
                             Outcome& outcome)
{
    const QString path = dir.filePath("damaged" + extension);
    writeAll(path, data);
    Bitmap target(1, 1, PixelFormat::Bits24);
    try {
        LoadPictureFile(target, path);
        ++outcome.loaded;
        EXPECT_EQ(target.byteCount(), target.bytesPerRow() * size_t(target.height())) << what;
        EXPECT_FALSE(target.isEmpty()) << what;
    } catch (const PictureFormatError& e) {
        ++outcome.failed;
        EXPECT_TRUE(allowed(e.what())) << what << ": " << e.what();
    }
}

// Every cut of the file, and every byte set to 0x00, to 0xFF and with its top bit flipped
// (positions step by stride for large files).
void cutAndDamage(const QString& extension, const QByteArray& file,
                  const std::function<bool(const std::string&)>& allowed, bool canFail = true,
                  int stride = 1)
{
    QTemporaryDir dir;
    Outcome outcome;
    for (qsizetype length = 0; length < file.size(); length += stride)
        loadExpectingDefinedEnd(dir, extension, file.left(length), allowed,
                                "cut at " + std::to_string(length), outcome);
    for (qsizetype i = 0; i < file.size(); i += stride)
        for (int change : {0, 1, 2}) {
            QByteArray damaged = file;
            damaged[i] = change == 0 ? char(0) : change == 1 ? char(0xFF) : char(damaged[i] ^ 0x80);
            loadExpectingDefinedEnd(dir, extension, damaged, allowed,
                                    "byte " + std::to_string(i) + " change " + std::to_string(change), outcome);
        }
    // Both ends must have been reached, or the damage proved nothing about the error path.
    EXPECT_GT(outcome.loaded, 0) << extension.toStdString();
    if (canFail)
        EXPECT_GT(outcome.failed, 0) << extension.toStdString();
    else
        EXPECT_EQ(outcome.failed, 0) << extension.toStdString();
    ::testing::Test::RecordProperty(("outcome" + extension.mid(1)).toStdString(),
                   std::to_string(outcome.loaded) + " loaded, " + std::to_string(outcome.failed) + " failed");
}

bool oneOf(const std::string& message, const std::set<std::string>& messages)
{
    return messages.count(message) > 0;
}

} // namespace

TEST(ReaderDamage, PcxFilesEndInTheirErrorOrAPicture)
{
    for (const char* file : {"pcx24.pcx", "pcx8.pcx"})
        cutAndDamage(".pcx", readerFixture(file), [](const std::string& m) {
            return oneOf(m, {"PCX Error", "Invalid PCX Version (Ver.5 needed)"});
        });
}

TEST(ReaderDamage, TgaFilesEndInTheirErrorOrAPicture)
{
    for (const char* file : {"tga24.tga", "tga24rle.tga", "tga8rle.tga", "tga32rle.tga", "tgagreyrle.tga"})
        cutAndDamage(".tga", readerFixture(file), [](const std::string& m) {
            return m == "Not supported or invalid TGA-File";
        });
}

TEST(ReaderDamage, Jpeg2000FilesEndInTheirErrorOrAPicture)
{
    for (const char* file : {"colour.jp2", "colour.j2k", "grey.jp2"}) {
        const QString extension = QString(".") + QString(file).section('.', 1);
        cutAndDamage(extension, readerFixture(file), [](const std::string& m) {
            return m == "JPEG loading error: Unknown JPEG 2000 file type"
                   || m == "JPEG loading error: JPEG 2000 image decoding failed";
        });
    }
}

TEST(ReaderDamage, PhotoCdFilesAlwaysGiveAPicture)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("im.pcd");
    ASSERT_EQ(runProcess("convert", {readerFixturePath("source.ppm"), "-resize", "768x512!", path}).exitCode, 0);
    cutAndDamage(".pcd", readAll(path), [](const std::string&) { return false; }, false, 65537);
}
