#include "dicom/DicomDataSet.h"

#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

#include <memory>

namespace b2d {

namespace {

// Hands DCMTK's output to a QSaveFile, which writes a temporary file beside the target.
class SaveFileConsumer : public DcmConsumer {
public:
    explicit SaveFileConsumer(QSaveFile& file) : m_file(file) {}

    OFBool good() const override { return m_status.good(); }
    OFCondition status() const override { return m_status; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return 2147483647L; }
    offile_off_t write(const void* buf, offile_off_t buflen) override
    {
        if (m_status.bad() || buflen <= 0)
            return 0;
        const qint64 written = m_file.write(static_cast<const char*>(buf), qint64(buflen));
        if (written != qint64(buflen)) {
            m_error = m_file.errorString().toStdString();
            m_status = makeOFCondition(OFM_dcmdata, 18, OF_error, m_error.c_str());
            return written < 0 ? 0 : offile_off_t(written);
        }
        return buflen;
    }
    void flush() override {}

private:
    QSaveFile& m_file;
    OFCondition m_status = EC_Normal;
    std::string m_error;
};

class SaveFileStream : public DcmOutputStream {
public:
    explicit SaveFileStream(QSaveFile& file) : DcmOutputStream(&m_consumer), m_consumer(file) {}

private:
    SaveFileConsumer m_consumer;
};

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

} // namespace

void CoCDicomDataSet::SaveToFile(const QString& path, int32_t transferSyntax)
{
    const int32_t code = effectiveCode(transferSyntax);
    const E_TransferSyntax xfer = xferForCode(code);
    const QString what = QStringLiteral("Saving %1").arg(QDir::toNativeSeparators(path));
    if (path.isEmpty())
        throw DicomError(QStringLiteral("Saving: no file name given"));

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

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw DicomError(what + QStringLiteral(": ") + file.errorString());
    OFCondition condition;
    {
        SaveFileStream stream(file);
        DcmWriteCache cache;
        source->transferInit();
        condition = source->write(stream, xfer, EET_ExplicitLength, &cache, EGL_recalcGL, EPD_noChange, 0, 0, 0,
                                  EWM_fileformat);
        source->transferEnd();
        for (int attempt = 0; condition.good() && !stream.isFlushed() && attempt < 1000; ++attempt)
            stream.flush();
        if (condition.good() && !stream.isFlushed())
            condition = EC_StreamNotifyClient;
        if (condition.good())
            condition = stream.status();
    }
    if (condition.bad()) {
        file.cancelWriting();
        throwCondition(what, condition);
    }
    // commit() flushes the temporary file to disk and renames it over the final name.
    if (!file.commit())
        throw DicomError(what + QStringLiteral(": ") + file.errorString());
    syncDirectory(QFileInfo(path).absolutePath());
}

} // namespace b2d
