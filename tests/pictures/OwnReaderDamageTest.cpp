#include "pictures/DamageTest.h"
#include "pictures/ReaderTestSupport.h"

#include <functional>

using namespace b2d;
using namespace b2d::test;

namespace {

// The message a copy must raise if it raises at all, chosen from the copy's own bytes.
using ExpectedMessage = std::function<std::string(const QByteArray& copy)>;

// Our fixtures are small, so every cut and every byte (set to 0x00, to 0xFF, and inverted) is
// tried, not a sample. Every copy must load or raise exactly the expected message.
DamageSummary cutAndDamageEveryByte(const QByteArray& file, const QString& extension,
                                    const ExpectedMessage& expected, qsizetype stride = 1)
{
    DamageSummary summary;
    QTemporaryDir dir;
    const QString path = dir.filePath("damaged" + extension);
    auto check = [&](const QByteArray& copy, const std::string& what) {
        SCOPED_TRACE(what);
        writeAll(path, copy);
        DamageOptions options;
        options.errorPrefix = expected(copy);
        summary.raised += LoadDamagedCopy(path, options);
        ++summary.loads;
    };
    for (qsizetype length = 0; length < file.size(); length += stride)
        check(file.left(length), "cut to " + std::to_string(length) + " bytes");
    for (qsizetype i = 0; i < file.size(); i += stride)
        for (int change : {0x00, 0xFF, -1}) {
            QByteArray copy = file;
            copy[i] = change < 0 ? char(~copy[i]) : char(change);
            check(copy, "byte " + std::to_string(i) + " set by " + std::to_string(change));
        }
    return summary;
}

bool startsWith(const QByteArray& data, const QByteArray& prefix)
{
    return data.startsWith(prefix);
}

} // namespace

TEST(OwnReaderDamage, PcxEndsInItsErrorOrAPicture)
{
    for (const char* file : {"pcx24.pcx", "pcx8.pcx"}) {
        const DamageSummary s = cutAndDamageEveryByte(readerFixture(file), ".pcx", [](const QByteArray& copy) {
            return copy.size() < 2 || copy[1] != 5 ? "Invalid PCX Version (Ver.5 needed)" : "PCX Error";
        });
        EXPECT_GT(s.raised, 0) << file;
        EXPECT_LT(s.raised, s.loads) << file;
    }
}

TEST(OwnReaderDamage, TgaEndsInItsErrorOrAPicture)
{
    for (const char* file : {"tga24.tga", "tga24rle.tga", "tga8rle.tga", "tga32rle.tga", "tgagreyrle.tga"}) {
        const DamageSummary s = cutAndDamageEveryByte(readerFixture(file), ".tga", [](const QByteArray&) {
            return "Not supported or invalid TGA-File";
        });
        EXPECT_GT(s.raised, 0) << file;
        EXPECT_LT(s.raised, s.loads) << file;
    }
}

TEST(OwnReaderDamage, Jpeg2000EndsInItsErrorOrAPicture)
{
    const QByteArray jp2Signature("\0\0\0\x0CjP  ", 8);
    const QByteArray j2kSignature("\xFF\x4F\xFF\x51", 4);
    for (const char* file : {"colour.jp2", "colour.j2k", "grey.jp2"}) {
        const QString extension = QString(".") + QString(file).section('.', 1);
        const DamageSummary s = cutAndDamageEveryByte(readerFixture(file), extension, [&](const QByteArray& copy) {
            const bool known = copy.size() >= 8 && (startsWith(copy, jp2Signature) || startsWith(copy, j2kSignature));
            return std::string("JPEG loading error: ")
                   + (known ? "JPEG 2000 image decoding failed" : "Unknown JPEG 2000 file type");
        });
        EXPECT_GT(s.raised, 0) << file;
        EXPECT_LT(s.raised, s.loads) << file;
    }
}

TEST(OwnReaderDamage, PhotoCdAlwaysGivesAPicture)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("im.pcd");
    ASSERT_EQ(runProcess("convert", {readerFixturePath("source.ppm"), "-resize", "768x512!", path}).exitCode, 0);
    // A large file: every 65 537th cut and byte.
    const DamageSummary s = cutAndDamageEveryByte(readAll(path), ".pcd", [](const QByteArray&) {
        return "no error expected";
    }, 65537);
    EXPECT_EQ(s.raised, 0);
    EXPECT_GT(s.loads, 0);
}
