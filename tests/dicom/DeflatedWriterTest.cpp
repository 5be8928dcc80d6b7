// The deflated file writer: standard files that other readers inflate to exactly the data set
// DCMTK encodes uncompressed, and nothing under the final name when writing fails half-way.

#include "dicom/DicomTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>
#include <random>

#include <sys/resource.h>

namespace b2d::test {
namespace {

// Gradients with noise, so that the compressed stream spans several output blocks.
std::vector<uint8_t> noisyPixels(int width, int height, int samples)
{
    std::vector<uint8_t> pixels(size_t(width) * size_t(height) * size_t(samples));
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-6, 6);
    for (size_t i = 0; i < pixels.size(); ++i) {
        const int x = int(i / size_t(samples)) % width;
        pixels[i] = uint8_t(std::clamp(x * 180 / width + int(i % size_t(samples)) * 20 + noise(random), 0, 255));
    }
    return pixels;
}

DicomDataSetPtr pictureDataSet(int width, int height, int samples, const std::vector<uint8_t>& pixels)
{
    auto ds = makeImageDataSet(VlPhotographicUid, width, height);
    if (samples == 1) {
        ds->AddString2(0x0028, 0x0002, QStringLiteral("1"), true);
        ds->AddString2(0x0028, 0x0004, QStringLiteral("MONOCHROME2"), true);
    }
    ds->AddByteArray(combinedTag(0x7FE0, 0x0010), int64_t(pixels.size()), true, pixels);
    ds->CreateIcon(170, 120, 1);
    return ds;
}

// Splits both files after their meta information, inflates the deflated one with zlib and
// compares it with the uncompressed one's data set; then reads the deflated file with pydicom.
constexpr const char* PythonCheck = R"(
import hashlib, struct, sys, zlib
def split(path):
    b = open(path, 'rb').read()
    assert b[128:132] == b'DICM' and b[132:138] == b'\x02\x00\x00\x00UL'
    end = 144 + struct.unpack('<I', b[140:144])[0]
    return b[:end], b[end:]
_, plain = split(sys.argv[1])
_, deflated = split(sys.argv[2])
d = zlib.decompressobj(-15)
data = d.decompress(deflated) + d.flush()
print('complete' if d.eof and not d.unused_data else 'incomplete')
print('same' if data == plain else 'different')
import pydicom
ds = pydicom.dcmread(sys.argv[2])
print(ds.file_meta.TransferSyntaxUID)
print(hashlib.sha256(ds.PixelData[:int(sys.argv[3])]).hexdigest())
)";

struct LevelCase {
    int level;
    int width;
    int height;
    int samples;
};

class DeflatedWriter : public ::testing::Test {
protected:
    void TearDown() override { setDeflateLevel(DefaultDeflateLevel); }
};

TEST_F(DeflatedWriter, FilesInflateToDcmtksEncodingAndReadEverywhere)
{
    // RGB beyond one output block, and an odd-sized grey picture whose pixel data is padded.
    const LevelCase cases[] = {{1, 900, 700, 3}, {2, 333, 201, 1}, {3, 900, 700, 3}};
    QTemporaryDir dir;
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(c.level);
        setDeflateLevel(c.level);
        ASSERT_EQ(deflateLevel(), c.level);
        const std::vector<uint8_t> pixels = noisyPixels(c.width, c.height, c.samples);
        auto ds = pictureDataSet(c.width, c.height, c.samples, pixels);
        const QString plainPath = dir.filePath(QStringLiteral("plain%1.dcm").arg(c.level));
        const QString path = dir.filePath(QStringLiteral("deflated%1.dcm").arg(c.level));
        ds->SaveToFile(plainPath, TransferSyntaxCode::ExplicitLittleEndian);
        ds->SaveToFile(path, TransferSyntaxCode::Deflated);
        EXPECT_LT(QFileInfo(path).size(), QFileInfo(plainPath).size());

        auto file = loadDicom(path);
        EXPECT_EQ(rawValue(*file, 0x0002, 0x0010), QByteArray(UID_DeflatedExplicitVRLittleEndianTransferSyntax));
        const Uint8* read = nullptr;
        unsigned long count = 0;
        ASSERT_TRUE(file->getDataset()->findAndGetUint8Array(DCM_PixelData, read, &count).good());
        ASSERT_EQ(count, pixels.size() + pixels.size() % 2);
        EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), read));
        expectValid(path);

        // Debian's Python, which python3-pydicom installs into.
        const ProcessResult py = runProcess(QStringLiteral("/usr/bin/python3"),
                                            {QStringLiteral("-c"), QString::fromLatin1(PythonCheck), plainPath, path,
                                             QString::number(pixels.size())});
        ASSERT_EQ(py.exitCode, 0) << py.err.toStdString();
        const QByteArray expectedHash =
            QCryptographicHash::hash(QByteArray::fromRawData(reinterpret_cast<const char*>(pixels.data()),
                                                             qsizetype(pixels.size())),
                                     QCryptographicHash::Sha256)
                .toHex();
        EXPECT_EQ(py.out.split('\n').mid(0, 4),
                  (QList<QByteArray>{"complete", "same", UID_DeflatedExplicitVRLittleEndianTransferSyntax, expectedHash}));
    }
}

TEST_F(DeflatedWriter, LevelOutsideTheRangeIsRefused)
{
    for (int level : {0, 4, -1}) {
        EXPECT_THROW(setDeflateLevel(level), DicomError) << level;
        EXPECT_EQ(deflateLevel(), DefaultDeflateLevel);
    }
}

// A file size limit makes the temporary file's writes fail part-way through the deflated stream.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limited = m_old;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

TEST_F(DeflatedWriter, FailureWhileWritingLeavesNoFileUnderTheName)
{
    QTemporaryDir dir;
    const std::vector<uint8_t> pixels = noisyPixels(900, 700, 3);
    auto ds = pictureDataSet(900, 700, 3, pixels);

    const QString path = dir.filePath(QStringLiteral("obj.dcm"));
    {
        FileSizeLimit limit(256 * 1024);
        EXPECT_THROW(ds->SaveToFile(path, TransferSyntaxCode::Deflated), DicomError);
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());

    // An existing file stays whole when the new one cannot be written.
    makeImageDataSet(VlPhotographicUid, 8, 4, QStringLiteral("Old^Name"))->SaveToFile(path, TransferSyntaxCode::Deflated);
    const QByteArray before = readAll(path);
    {
        FileSizeLimit limit(256 * 1024);
        EXPECT_THROW(ds->SaveToFile(path, TransferSyntaxCode::Deflated), DicomError);
    }
    EXPECT_EQ(readAll(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("obj.dcm")});

    // A folder in the path that is a file.
    writeAll(dir.filePath(QStringLiteral("plain")), "x");
    const QString underFile = dir.filePath(QStringLiteral("plain/obj.dcm"));
    EXPECT_THROW(ds->SaveToFile(underFile, TransferSyntaxCode::Deflated), DicomError);
    EXPECT_FALSE(QFile::exists(underFile));
}

// Orthanc takes the written file as it is sent by another program and keeps its pixels.
TEST_F(DeflatedWriter, OrthancReceivesTheWrittenFile)
{
    PeerProcess peer;
    peer.startOrthanc(QStringLiteral("ORTHANC"));
    const std::vector<uint8_t> pixels = noisyPixels(300, 200, 3);
    auto ds = pictureDataSet(300, 200, 3, pixels);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sent.dcm"));
    ds->SaveToFile(path, TransferSyntaxCode::Deflated);

    const ProcessResult sent = runProcess(QStringLiteral("storescu"),
                                          {QStringLiteral("-xd"), QStringLiteral("-aec"), QStringLiteral("ORTHANC"),
                                           QStringLiteral("127.0.0.1"), QString::number(peer.port()), path});
    ASSERT_EQ(sent.exitCode, 0) << sent.err.toStdString();
    const QJsonArray instances = QJsonDocument::fromJson(peer.httpGet(QStringLiteral("/instances"))).array();
    ASSERT_EQ(instances.size(), 1);
    const QString id = instances.first().toString();
    EXPECT_EQ(peer.httpGet(QStringLiteral("/instances/%1/metadata/TransferSyntax").arg(id)),
              QByteArray(UID_DeflatedExplicitVRLittleEndianTransferSyntax));
    const QString stored = dir.filePath(QStringLiteral("stored.dcm"));
    writeAll(stored, peer.httpGet(QStringLiteral("/instances/%1/file").arg(id)));
    auto file = loadDicom(stored);
    const Uint8* read = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(file->getDataset()->findAndGetUint8Array(DCM_PixelData, read, &count).good());
    ASSERT_EQ(count, pixels.size());
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), read));
}

} // namespace
} // namespace b2d::test
