#include "dicom/UDicomImageData.h"

#include "common/Messages.h"
#include "common/VeltaronTools.h"
#include "stores/ImageData.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>
#include <stdexcept>

namespace b2d {

namespace {

// A refusal or failure to make the patient's folder, with the reason when there is one.
class DirectoryError : public std::runtime_error {
public:
    DirectoryError(const QString& folder, const QString& reason)
        : std::runtime_error((QStringLiteral("Det gick inte att skapa DicomDir-katalogen: ") + folder
                              + (reason.isEmpty() ? QString() : QStringLiteral("\r") + reason))
                                 .toStdString())
    {
    }
};

// Stored paths use backslashes; on this system's file system every separator becomes "/".
QString fileSystemPath(const QString& stored)
{
#ifdef Q_OS_WIN
    return QDir::fromNativeSeparators(stored);
#else
    return QString(stored).replace(u'\\', u'/');
#endif
}

// The file-name part of a path: what follows the last separator or drive colon.
QString fileNamePart(const QString& path)
{
    const qsizetype cut = std::max({path.lastIndexOf(u'\\'), path.lastIndexOf(u'/'), path.lastIndexOf(u':')});
    return path.mid(cut + 1);
}

bool hasControlCharacter(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            return true;
    return false;
}

bool isValidUid(const QString& uid)
{
    static const QRegularExpression pattern(QStringLiteral("^(0|[1-9][0-9]*)(\\.(0|[1-9][0-9]*))*$"));
    return uid.size() <= 64 && pattern.match(uid).hasMatch();
}

QString errorText(const std::exception& e)
{
    if (const auto* dicom = dynamic_cast<const DicomError*>(&e))
        return dicom->text();
    return QString::fromUtf8(e.what());
}

} // namespace

QString normalisePatientId(const QString& id, uint8_t patientIdType, bool trim)
{
    switch (patientIdType) {
    case pidMedBindestreck:
        if (!id.contains(u'-') && id.size() > 4)
            return id.left(id.size() - 4) + u'-' + id.right(4);
        return id;
    case pidUtanBindestreck:
    case pidBoth: {
        const QString stripped = StripSpecialCharacters(id);
        return trim ? stripped.trimmed() : stripped;
    }
    default:
        return id;
    }
}

QString patientFolderProblem(const QString& id)
{
    if (id.trimmed().isEmpty())
        return QStringLiteral("Patient-ID saknas.");
    if (id.contains(u'/') || id.contains(u'\\'))
        return QStringLiteral("Patient-ID:t \"%1\" innehåller ett katalogtecken (/ eller \\).").arg(id);
    if (id.contains(u':'))
        return QStringLiteral("Patient-ID:t \"%1\" innehåller ett kolon (enhetsbeteckning).").arg(id);
    // Windows drops trailing dots and blanks, so a name of only those would be the root.
    static const QRegularExpression dotsAndBlanks(QStringLiteral("^[. ]+$"));
    if (dotsAndBlanks.match(id).hasMatch())
        return QStringLiteral("Patient-ID:t \"%1\" pekar inte på en egen katalog.").arg(id);
    if (hasControlCharacter(id))
        return QStringLiteral("Patient-ID:t innehåller styrtecken.");
    return {};
}

DicomImageData::DicomImageData(ImageHandler* handler, DicomDataSetPtr dataset, const QString& fnamn,
                               Messages* messages)
    : VtImageData(handler), m_dataset(std::move(dataset)), m_filename(fnamn), m_messages(messages)
{
}

DicomImageData::~DicomImageData()
{
    removeTemporaryFiles();
    m_dataset.reset();
}

void DicomImageData::removeTemporaryFiles()
{
    try {
        if (!m_dataset)
            return;
        bool ok = false;
        int frames = GetDcmValue(0x0028, 0x0008).toInt(&ok);
        if (!ok)
            frames = 1;
        const QString uid = GetDcmValue(0x0008, 0x0018);
        // Only a real UID names files of this object; any other text could reach other files.
        if (frames < 1 || !isValidUid(uid))
            return;
        // The folder is searched rather than probed once per frame, so a huge frame count
        // costs nothing.
        const QDir temp(GetTempFolder());
        const QStringList names =
            temp.entryList({uid + QStringLiteral(".*.bmp"), uid + QStringLiteral(".*.b32")}, QDir::Files);
        for (const QString& name : names) {
            const QString number = name.mid(uid.size() + 1, name.size() - uid.size() - 5);
            bool isNumber = false;
            const int n = number.toInt(&isNumber);
            if (isNumber && n >= 0 && n < frames && number == QString::number(n))
                QFile::remove(temp.filePath(name));
        }
    } catch (...) {
        // The clean-up must never stop the release.
    }
}

QString DicomImageData::GetDcmValue(uint16_t groupId, uint16_t itemId)
{
    return m_dataset->GetString2(groupId, itemId);
}

void DicomImageData::SetDcmValue(uint16_t groupId, uint16_t itemId, const QString& value, bool overwrite)
{
    m_dataset->AddString2(groupId, itemId, value, overwrite);
}

int32_t DicomImageData::GetTagInteger(uint32_t tag)
{
    return m_dataset->TagExists(tag, 0) ? m_dataset->GetInteger(tag) : 0;
}

void DicomImageData::GenerateIcon()
{
    const int32_t rows = GetTagInteger(combinedTag(0x0028, 0x0010));
    const int32_t columns = GetTagInteger(combinedTag(0x0028, 0x0011));
    const double scale = double(columns) / 170.0;
    if (scale == 0.0)
        throw std::runtime_error(rows == 0 ? "Invalid floating point operation" : "Floating point division by zero");
    // Rounded to the nearest, ties to even (the default rounding mode).
    const double height = std::nearbyint(double(rows) / scale);
    m_dataset->CreateIcon(170, int32_t(std::clamp(height, -1.0, 1.0e9)), 1);
}

QString DicomImageData::directoryTarget(const DicomDirHandler& handler, QString& folder)
{
    QString dir = handler.dicomdirkatalog;
    if (!dir.endsWith(u'\\') && !dir.endsWith(u'/'))
        dir += u'\\';
    const QString read = GetDcmValue(0x0010, 0x0020);
    const QString id = normalisePatientId(read, handler.PatientIdType, true);
    if (id != read)
        SetDcmValue(0x0010, 0x0020, id, true);

    folder = dir + id + u'\\';
    if (handler.dicomdirkatalog.trimmed().isEmpty())
        throw DirectoryError(folder, QStringLiteral("Ingen DICOM-katalog är angiven för arkivet."));
    const QString problem = patientFolderProblem(id);
    if (!problem.isEmpty())
        throw DirectoryError(folder, problem);

    // The separator belongs to the test: an ID that begins another patient's folder name
    // ("1234" in "...\12345\") must not count as that folder.
    if (!m_filename.contains(folder))
        m_filename = folder + fileNamePart(m_filename);

    // Whatever the stored name says, the file must end up inside the patient's folder.
    const QString root = QDir::cleanPath(QDir(fileSystemPath(dir)).absolutePath());
    const QString patientFolder = root + u'/' + id;
    const QString target = QDir::cleanPath(QFileInfo(fileSystemPath(m_filename)).absoluteFilePath());
    const QString name = QFileInfo(target).fileName();
    if (!target.startsWith(patientFolder + u'/') || name.isEmpty() || hasControlCharacter(name))
        throw DirectoryError(folder, QStringLiteral("Filnamnet \"%1\" ligger inte i patientens katalog.").arg(m_filename));
    if (FPD_TransferSyntax > uint32_t(TransferSyntaxCode::Max))
        FPD_TransferSyntax = TransferSyntaxCode::ExplicitLittleEndian;
    return target;
}

void DicomImageData::putServerPatientId(const DicomHandler& handler)
{
    SetDcmValue(0x0010, 0x0020, normalisePatientId(GetDcmValue(0x0010, 0x0020), handler.PatientIdType, false), true);
}

void DicomImageData::iconAsPrepared()
{
    if (!m_prepared)
        GenerateIcon();
    else if (m_iconFailure)
        std::rethrow_exception(m_iconFailure);
}

void DicomImageData::Prepare()
{
    m_prepared = false;
    m_iconFailure = m_encodeFailure = nullptr;
    m_encoded.clear();
    QString target, folder;
    if (const auto* directory = dynamic_cast<const DicomDirHandler*>(m_handler)) {
        try {
            target = directoryTarget(*directory, folder);
        } catch (const std::exception&) {
            return; // Store meets the same refusal first and reports it
        }
    } else if (const auto* server = dynamic_cast<const DicomHandler*>(m_handler)) {
        putServerPatientId(*server);
    } else {
        return;
    }
    try {
        GenerateIcon();
    } catch (...) {
        m_iconFailure = std::current_exception();
    }
    if (!target.isEmpty() && !m_iconFailure) {
        try {
            m_encoded = m_dataset->EncodeFile(target, int32_t(FPD_TransferSyntax));
            // The file's bytes hold the pixels now; until the store writes them the object
            // needs only its attributes.
            m_dataset->DeleteTag(combinedTag(0x7FE0, 0x0010));
        } catch (...) {
            m_encodeFailure = std::current_exception();
        }
    }
    m_prepared = true;
}

void DicomImageData::storeInDirectory(const DicomDirHandler& handler)
{
    QString folder;
    const QString target = directoryTarget(handler, folder);
    iconAsPrepared();

    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        throw DirectoryError(folder, QString());
    if (!m_prepared) {
        m_dataset->SaveToFile(target, int32_t(FPD_TransferSyntax));
        return;
    }
    if (m_encodeFailure)
        std::rethrow_exception(m_encodeFailure);
    SaveEncodedFile(target, m_encoded);
    m_encoded = QByteArray(); // written: the memory is free for the next pictures
}

void DicomImageData::sendToServer(const DicomHandler& handler)
{
    if (!m_prepared)
        putServerPatientId(handler);
    iconAsPrepared();
    m_dataset->CStore(handler.localAe, handler.remoteAe, handler.peer, handler.port, int32_t(FPD_TransferSyntax));
}

bool DicomImageData::Store(bool silenterrors, QString& errorres)
{
    QString failure;
    if (const auto* directory = dynamic_cast<const DicomDirHandler*>(m_handler)) {
        try {
            storeInDirectory(*directory);
            return true;
        } catch (const std::exception& e) {
            failure = QStringLiteral("Det gick inte att spara bilden!\r\r") + errorText(e);
        }
    } else if (const auto* server = dynamic_cast<const DicomHandler*>(m_handler)) {
        try {
            sendToServer(*server);
            return true;
        } catch (const std::exception& e) {
            failure = QStringLiteral("Error in Store: ") + errorText(e);
        }
    } else {
        return false;
    }
    if (silenterrors || !m_messages)
        errorres = failure;
    else
        m_messages->ShowErrorMessage(failure);
    return false;
}

} // namespace b2d
