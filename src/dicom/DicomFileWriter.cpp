#include "dicom/DicomDataSet.h"

#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <isa-l/igzip_lib.h>

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace b2d {

namespace {

// Writes all of data; on failure the reason, else an empty text. A write that stops short (a
// full disk, a file size limit) is retried for the rest, which fails with the system's reason:
// Qt reports the short write itself only as "Unknown error".
QString writeFully(QIODevice& device, const char* data, qint64 length)
{
    while (length > 0) {
        errno = 0;
        const qint64 written = device.write(data, length);
        if (written <= 0) {
            const int error = errno;
            if (error != 0)
                return QString::fromLocal8Bit(std::strerror(error));
            const QString reason = device.errorString();
            return reason.isEmpty() ? QStringLiteral("the file could not be written") : reason;
        }
        data += written;
        length -= written;
    }
    return {};
}

// Hands DCMTK's output to a device: the QSaveFile that writes a temporary file beside the
// target, or a buffer in memory.
class SaveFileConsumer : public DcmConsumer {
public:
    explicit SaveFileConsumer(QIODevice& file) : m_file(file) {}

    OFBool good() const override { return m_status.good(); }
    OFCondition status() const override { return m_status; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return 2147483647L; }
    offile_off_t write(const void* buf, offile_off_t buflen) override
    {
        if (m_status.bad() || buflen <= 0)
            return 0;
        const QString failure = writeFully(m_file, static_cast<const char*>(buf), qint64(buflen));
        if (!failure.isEmpty()) {
            m_error = failure.toStdString();
            m_status = makeOFCondition(OFM_dcmdata, 18, OF_error, m_error.c_str());
            return 0;
        }
        return buflen;
    }
    void flush() override {}

private:
    QIODevice& m_file;
    OFCondition m_status = EC_Normal;
    std::string m_error;
};

class SaveFileStream : public DcmOutputStream {
public:
    explicit SaveFileStream(QIODevice& file) : DcmOutputStream(&m_consumer), m_consumer(file) {}

private:
    SaveFileConsumer m_consumer;
};

// Encodes DCMTK's output as one raw deflate stream with ISA-L and hands the compressed bytes
// to the device in large blocks. DCMTK's own deflate goes through zlib, which is several times
// slower; the stream is fed as DCMTK writes, so the pixel data is never copied in full.
class IsalDeflateConsumer : public DcmConsumer {
public:
    IsalDeflateConsumer(QIODevice& file, int level)
        : m_file(file), m_levelBuffer(levelBufferSize(level)), m_out(OutputBlock)
    {
        isal_deflate_init(&m_stream);
        m_stream.level = uint32_t(level);
        m_stream.level_buf = m_levelBuffer.data();
        m_stream.level_buf_size = uint32_t(m_levelBuffer.size());
        m_stream.flush = NO_FLUSH;
        m_stream.end_of_stream = 0;
        m_stream.next_out = m_out.data();
        m_stream.avail_out = uint32_t(m_out.size());
    }

    OFBool good() const override { return m_status.good(); }
    OFCondition status() const override { return m_status; }
    OFBool isFlushed() const override { return m_finished || m_status.bad(); }
    offile_off_t avail() const override { return 2147483647L; }
    offile_off_t write(const void* buf, offile_off_t buflen) override
    {
        if (m_status.bad() || m_finished || buflen <= 0)
            return 0;
        // ISA-L counts input in 32 bits; large values are fed in slices.
        const auto* in = static_cast<const uint8_t*>(buf);
        offile_off_t left = buflen;
        while (left > 0 && m_status.good()) {
            const uint32_t slice = uint32_t(std::min<offile_off_t>(left, offile_off_t(1) << 30));
            m_stream.next_in = const_cast<uint8_t*>(in);
            m_stream.avail_in = slice;
            while (m_stream.avail_in > 0 && m_status.good())
                deflateStep();
            in += slice;
            left -= slice;
        }
        return m_status.good() ? buflen : 0;
    }
    // Ends the deflate stream and writes what is left of it.
    void flush() override
    {
        if (m_finished || m_status.bad())
            return;
        m_stream.next_in = nullptr;
        m_stream.avail_in = 0;
        m_stream.end_of_stream = 1;
        while (m_status.good() && m_stream.internal_state.state != ZSTATE_END)
            deflateStep();
        if (m_status.good())
            drain();
        m_finished = m_status.good();
    }

private:
    static constexpr size_t OutputBlock = size_t(1) << 20;

    static size_t levelBufferSize(int level)
    {
        switch (level) {
        case 1: return ISAL_DEF_LVL1_DEFAULT;
        case 2: return ISAL_DEF_LVL2_DEFAULT;
        case 3: return ISAL_DEF_LVL3_DEFAULT;
        default: return 0;
        }
    }

    void deflateStep()
    {
        const int result = isal_deflate(&m_stream);
        if (result != COMP_OK) {
            fail(QStringLiteral("deflating failed (ISA-L error %1)").arg(result).toStdString());
            return;
        }
        if (m_stream.avail_out == 0)
            drain();
    }

    void drain()
    {
        const size_t produced = m_out.size() - m_stream.avail_out;
        if (produced > 0) {
            const QString failure = writeFully(m_file, reinterpret_cast<const char*>(m_out.data()), qint64(produced));
            if (!failure.isEmpty()) {
                fail(failure.toStdString());
                return;
            }
        }
        m_stream.next_out = m_out.data();
        m_stream.avail_out = uint32_t(m_out.size());
    }

    void fail(std::string message)
    {
        m_error = std::move(message);
        m_status = makeOFCondition(OFM_dcmdata, 18, OF_error, m_error.c_str());
    }

    QIODevice& m_file;
    isal_zstream m_stream{};
    std::vector<uint8_t> m_levelBuffer;
    std::vector<uint8_t> m_out;
    OFCondition m_status = EC_Normal;
    std::string m_error;
    bool m_finished = false;
};

class IsalDeflateStream : public DcmOutputStream {
public:
    IsalDeflateStream(QIODevice& file, int level) : DcmOutputStream(&m_consumer), m_consumer(file, level) {}

private:
    IsalDeflateConsumer m_consumer;
};

int levelFromEnvironment()
{
    const char* text = std::getenv("B2D_DEFLATE_LEVEL");
    if (text == nullptr || *text == '\0')
        return DefaultDeflateLevel;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < MinDeflateLevel || value > MaxDeflateLevel)
        return DefaultDeflateLevel;
    return int(value);
}

std::atomic<int>& deflateLevelSetting()
{
    static std::atomic<int> level{levelFromEnvironment()};
    return level;
}

// Writes everything DCMTK has buffered in the stream; the consumer is told to finish (flush)
// until it says it has.
OFCondition finishStream(DcmOutputStream& stream)
{
    for (int attempt = 0; !stream.isFlushed() && attempt < 1000; ++attempt)
        stream.flush();
    if (!stream.isFlushed())
        return EC_StreamNotifyClient;
    return stream.status();
}

// Meta information uncompressed, then the data set as explicit VR little endian through one
// raw deflate stream: what the deflated syntax is on disk.
OFCondition writeDeflated(DcmFileFormat& source, QIODevice& file)
{
    OFCondition condition = source.validateMetaInfo(EXS_DeflatedLittleEndianExplicit, EWM_fileformat);
    if (condition.bad())
        return condition;
    DcmWriteCache cache;
    source.transferInit();
    {
        SaveFileStream stream(file);
        condition = source.getMetaInfo()->write(stream, EXS_LittleEndianExplicit, EET_ExplicitLength, &cache);
        if (condition.good())
            condition = finishStream(stream);
    }
    if (condition.good()) {
        IsalDeflateStream stream(file, deflateLevel());
        condition = source.getDataset()->write(stream, EXS_LittleEndianExplicit, EET_ExplicitLength, &cache,
                                               EGL_recalcGL, EPD_noChange, 0, 0, 0);
        if (condition.good())
            condition = finishStream(stream);
    }
    source.transferEnd();
    return condition;
}

// The new directory entry must reach the disk too, or a crash can lose the renamed file.
void syncDirectory([[maybe_unused]] const QString& dir)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#endif
}

QString savingWhat(const QString& path)
{
    if (path.isEmpty())
        throw DicomError(QStringLiteral("Saving: no file name given"));
    return QStringLiteral("Saving %1").arg(QDir::toNativeSeparators(path));
}

// Writes path atomically: write fills a temporary file beside it (and throws on failure, which
// removes it); commit() flushes the temporary file to disk and renames it over the final name.
// Unbuffered: every write reaches the file at once and a failing one (a full disk) fails there,
// with its cause. A buffered QSaveFile writes its last bytes while committing and does not
// notice when that write fails: a small object would be committed short on a full disk.
void saveAtomically(const QString& path, const QString& what, const std::function<void(QIODevice&)>& write)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw DicomError(what + QStringLiteral(": ") + file.errorString());
    try {
        write(file);
    } catch (...) {
        file.cancelWriting();
        throw;
    }
    if (!file.commit())
        throw DicomError(what + QStringLiteral(": ") + file.errorString());
    syncDirectory(QFileInfo(path).absolutePath());
}

} // namespace

int deflateLevel()
{
    return deflateLevelSetting().load();
}

void setDeflateLevel(int level)
{
    if (level < MinDeflateLevel || level > MaxDeflateLevel)
        throw DicomError(QStringLiteral("Deflate level %1 is outside %2 to %3")
                             .arg(level)
                             .arg(MinDeflateLevel)
                             .arg(MaxDeflateLevel));
    deflateLevelSetting().store(level);
}

void CoCDicomDataSet::encodeFile(QIODevice& device, int32_t transferSyntax, const QString& what)
{
    const int32_t code = effectiveCode(transferSyntax);
    const E_TransferSyntax xfer = xferForCode(code);

    // Encapsulated syntaxes change the pixel data and its description; encode a copy so the
    // data set itself stays as it was filled.
    DcmFileFormat* source = &m_file;
    std::unique_ptr<DcmFileFormat> encoded;
    if (DcmXfer(xfer).isEncapsulated()) {
        encoded = std::make_unique<DcmFileFormat>(m_file);
        const OFCondition chosen = encodePixelData(*encoded->getDataset(), xfer);
        if (chosen.bad())
            throw DicomError(what + QStringLiteral(": the pixel data cannot be encoded as %1 (%2)")
                                        .arg(transferSyntaxName(code), QString::fromLocal8Bit(chosen.text())));
        source = encoded.get();
    }

    CharacterSetEncoding encoding(*source->getDataset());

    OFCondition condition;
    if (xfer == EXS_DeflatedLittleEndianExplicit) {
        condition = writeDeflated(*source, device);
    } else {
        SaveFileStream stream(device);
        DcmWriteCache cache;
        source->transferInit();
        condition = source->write(stream, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_noChange, 0, 0, 0,
                                  EWM_fileformat);
        source->transferEnd();
        if (condition.good())
            condition = finishStream(stream);
    }
    if (condition.bad())
        throwCondition(what, condition);
}

void CoCDicomDataSet::SaveToFile(const QString& path, int32_t transferSyntax)
{
    const QString what = savingWhat(path);
    saveAtomically(path, what, [&](QIODevice& file) { encodeFile(file, transferSyntax, what); });
}

QByteArray CoCDicomDataSet::EncodeFile(const QString& path, int32_t transferSyntax)
{
    const QString what = savingWhat(path);
    QByteArray bytes;
    // Room for the whole object uncompressed: pages never written cost no memory, and the
    // buffer never grows (and is copied) while it fills.
    bytes.reserve(qsizetype(m_file.getDataset()->getLength(EXS_LittleEndianExplicit, EET_ExplicitLength)) + 65536);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    encodeFile(buffer, transferSyntax, what);
    buffer.close();
    bytes.squeeze();
    return bytes;
}

void SaveEncodedFile(const QString& path, const QByteArray& bytes)
{
    const QString what = savingWhat(path);
    saveAtomically(path, what, [&](QIODevice& file) {
        const QString failure = writeFully(file, bytes.constData(), bytes.size());
        if (!failure.isEmpty())
            throw DicomError(what + QStringLiteral(": ") + failure);
    });
}

} // namespace b2d
