#include "dicom/DicomDataSet.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcvrui.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmimage/diregist.h> // colour images for the JPEG encoder
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/oflog/oflog.h>

#include <QHash>

#include <mutex>

namespace b2d {

namespace {

// DCMTK logs through its own logger to stderr; our failures travel as exceptions instead.
// B2D_DCMTK_DEBUG=1 turns its log on for finding a fault.
void initialiseDcmtk()
{
    static std::once_flag once;
    std::call_once(once, [] {
        OFLog::configure(qEnvironmentVariableIsSet("B2D_DCMTK_DEBUG") ? OFLogger::DEBUG_LOG_LEVEL
                                                                     : OFLogger::OFF_LOG_LEVEL);
        DJEncoderRegistration::registerCodecs();
        DcmRLEEncoderRegistration::registerCodecs();
    });
}

// The VR an element of this tag is created with: the dictionary's, with its "either" VRs
// settled for 8-bit unsigned data, and LO for a tag the dictionary does not know.
DcmTag dictionaryTag(uint32_t tag)
{
    DcmTag t(uint16_t(tag >> 16), uint16_t(tag & 0xFFFF));
    switch (t.getEVR()) {
    case EVR_ox:
    case EVR_px:
        t.setVR(DcmVR(EVR_OB));
        break;
    case EVR_xs:
        t.setVR(DcmVR(EVR_US));
        break;
    case EVR_lt:
        t.setVR(DcmVR(EVR_OW));
        break;
    case EVR_up:
        t.setVR(DcmVR(EVR_UL));
        break;
    case EVR_UNKNOWN:
    case EVR_UNKNOWN2B:
    case EVR_na:
        t.setVR(DcmVR(EVR_LO));
        break;
    default:
        break;
    }
    return t;
}

bool fitsLatin1(const QString& text)
{
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u > 0xFF || (u >= 0x80 && u < 0xA0))
            return false;
    }
    return true;
}

// A text longer than its VR allows makes an object that other systems refuse or cut: the
// limits of the character-string VRs, counted in characters, per value (per component group
// for a person name).
QString lengthProblem(const DcmTag& tag, const QString& value)
{
    qsizetype limit = 0;
    bool multiValued = true;
    switch (tag.getEVR()) {
    case EVR_AE:
    case EVR_CS:
    case EVR_SH:
        limit = 16;
        break;
    case EVR_LO:
    case EVR_PN:
        limit = 64;
        break;
    case EVR_ST:
        limit = 1024;
        multiValued = false;
        break;
    case EVR_LT:
        limit = 10240;
        multiValued = false;
        break;
    default:
        return {};
    }
    const QStringList values = multiValued ? value.split(u'\\') : QStringList{value};
    for (const QString& v : values) {
        const QStringList parts = tag.getEVR() == EVR_PN ? v.split(u'=') : QStringList{v};
        for (const QString& part : parts)
            if (part.size() > limit)
                return QStringLiteral(" is longer than %1 characters (VR %2): %3 characters")
                    .arg(limit)
                    .arg(QString::fromLatin1(tag.getVRName()))
                    .arg(part.size());
    }
    return {};
}

} // namespace

QString tagText(uint32_t tag)
{
    return QStringLiteral("(%1,%2)")
        .arg(tag >> 16, 4, 16, QLatin1Char('0'))
        .arg(tag & 0xFFFF, 4, 16, QLatin1Char('0'))
        .toUpper();
}

void throwCondition(const QString& what, const OFCondition& condition)
{
    throw DicomError(what + QStringLiteral(": ") + QString::fromLocal8Bit(condition.text()));
}

QString transferSyntaxName(int32_t code)
{
    switch (code) {
    case TransferSyntaxCode::ExplicitLittleEndian: return QStringLiteral("explicit VR little endian");
    case TransferSyntaxCode::JpegBaseline: return QStringLiteral("JPEG baseline");
    case TransferSyntaxCode::RleLossless: return QStringLiteral("RLE lossless");
    case TransferSyntaxCode::Deflated: return QStringLiteral("deflated explicit VR little endian");
    case TransferSyntaxCode::Jpeg2000Lossless: return QStringLiteral("JPEG 2000 lossless");
    case TransferSyntaxCode::Jpeg2000Lossy: return QStringLiteral("JPEG 2000 lossy");
    default: return {};
    }
}

E_TransferSyntax xferForCode(int32_t code)
{
    switch (code) {
    case TransferSyntaxCode::ExplicitLittleEndian: return EXS_LittleEndianExplicit;
    case TransferSyntaxCode::JpegBaseline: return EXS_JPEGProcess1;
    case TransferSyntaxCode::RleLossless: return EXS_RLELossless;
    case TransferSyntaxCode::Deflated: return EXS_DeflatedLittleEndianExplicit;
    default: break;
    }
    const QString name = transferSyntaxName(code);
    throw DicomError(QStringLiteral("Transfer syntax code %1%2 cannot be encoded")
                         .arg(code)
                         .arg(name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name)));
}

CharacterSetEncoding::CharacterSetEncoding(DcmDataset& dataset)
{
    bool latin1 = true;
    DcmStack stack;
    while (dataset.nextObject(stack, OFTrue).good()) {
        DcmObject* object = stack.top();
        if (!object->isLeaf() || object->getTag() == DCM_SpecificCharacterSet)
            continue;
        if (!DcmVR(object->getVR()).isAffectedBySpecificCharacterSet())
            continue;
        auto* element = static_cast<DcmElement*>(object);
        OFString value;
        if (element->getOFStringArray(value).bad())
            continue;
        latin1 = latin1 && fitsLatin1(QString::fromUtf8(value.c_str(), qsizetype(value.length())));
        m_utf8Values.emplace_back(element, value);
    }
    m_declared = latin1 ? "ISO_IR 100" : "ISO_IR 192";
    const OFCondition declared = dataset.putAndInsertString(DCM_SpecificCharacterSet, m_declared);
    if (declared.bad())
        throwCondition(QStringLiteral("Specific Character Set (0008,0005)"), declared);
    if (!latin1) {
        m_utf8Values.clear(); // the values already are UTF-8
        return;
    }
    for (auto& [element, utf8] : m_utf8Values) {
        const QByteArray bytes = QString::fromUtf8(utf8.c_str(), qsizetype(utf8.length())).toLatin1();
        element->putOFStringArray(OFString(bytes.constData(), size_t(bytes.size())));
    }
}

CharacterSetEncoding::~CharacterSetEncoding()
{
    for (auto& [element, utf8] : m_utf8Values)
        element->putOFStringArray(utf8);
}

DicomDataSetPtr CreateDicomDataSet()
{
    return std::make_shared<CoCDicomDataSet>();
}

CoCDicomDataSet::CoCDicomDataSet()
{
    initialiseDcmtk();
    if (!dcmDataDict.isDictionaryLoaded())
        throw DicomError(QStringLiteral("The DICOM data dictionary could not be loaded"));
}

DcmItem& CoCDicomDataSet::itemFor(uint32_t tag)
{
    if ((tag >> 16) == 0x0002)
        return *m_file.getMetaInfo();
    return *m_file.getDataset();
}

DcmElement* CoCDicomDataSet::find(uint32_t tag)
{
    DcmElement* element = nullptr;
    if (itemFor(tag).findAndGetElement(DcmTagKey(uint16_t(tag >> 16), uint16_t(tag & 0xFFFF)), element).bad())
        return nullptr;
    return element;
}

int32_t CoCDicomDataSet::effectiveCode(int32_t requested) const
{
    return m_carriedCode.value_or(requested);
}

int32_t CoCDicomDataSet::GetInteger(uint32_t tag)
{
    DcmElement* element = find(tag);
    if (!element)
        throw DicomError(QStringLiteral("Element %1 is not present").arg(tagText(tag)));
    OFString value;
    const OFCondition read = element->getOFString(value, 0);
    if (read.bad())
        throwCondition(QStringLiteral("Element %1").arg(tagText(tag)), read);
    bool ok = false;
    const int32_t result = QString::fromLatin1(value.c_str()).trimmed().toInt(&ok);
    if (!ok)
        throw DicomError(QStringLiteral("Element %1 does not hold a whole number: \"%2\"")
                             .arg(tagText(tag), QString::fromUtf8(value.c_str())));
    return result;
}

void CoCDicomDataSet::AddString(uint32_t tag, const QString& value, bool overwrite)
{
    DcmItem& item = itemFor(tag);
    if (!overwrite && find(tag))
        return;
    DcmTag dcmTag = dictionaryTag(tag);
    const QString what = QStringLiteral("Element %1").arg(tagText(tag));
    if (dcmTag.getEVR() == EVR_SQ)
        throw DicomError(what + QStringLiteral(" is a sequence and cannot hold a text"));
    if (const QString problem = lengthProblem(dcmTag, value); !problem.isEmpty())
        throw DicomError(what + problem);
    const QByteArray utf8 = value.toUtf8();
    if (dcmTag.getEVR() == EVR_UI && !utf8.isEmpty()
        && DcmUniqueIdentifier::checkStringValue(OFString(utf8.constData()), "1-n").bad())
        throw DicomError(what + QStringLiteral(" is not a valid UID: \"%1\"").arg(value));
    DcmElement* element = nullptr;
    OFCondition condition = DcmItem::newDicomElementWithVR(element, dcmTag);
    if (condition.good())
        condition = element->putOFStringArray(OFString(utf8.constData(), size_t(utf8.size())));
    if (condition.good())
        condition = item.insert(element, OFTrue);
    if (condition.bad()) {
        delete element;
        throwCondition(what, condition);
    }
}

QString CoCDicomDataSet::GetString2(uint16_t group, uint16_t element)
{
    DcmElement* found = find(combinedTag(group, element));
    if (!found)
        return {};
    OFString value;
    if (found->getOFStringArray(value).bad())
        return {};
    return QString::fromUtf8(value.c_str(), qsizetype(value.length()));
}

void CoCDicomDataSet::AddString2(uint16_t group, uint16_t element, const QString& value, bool overwrite)
{
    AddString(combinedTag(group, element), value, overwrite);
}

void CoCDicomDataSet::AddByteArray(uint32_t tag, int64_t length, bool overwrite, std::span<const uint8_t> bytes)
{
    if (length < 0 || uint64_t(length) > bytes.size())
        throw DicomError(QStringLiteral("Element %1: %2 bytes asked for, %3 given").arg(tagText(tag)).arg(length).arg(bytes.size()));
    addBytes(tag, length, overwrite, [&](DcmElement& element) { return element.putUint8Array(bytes.data(), Uint32(length)); });
}

void CoCDicomDataSet::AddByteArrayFilled(uint32_t tag, int64_t length, bool overwrite,
                                         const std::function<void(std::span<uint8_t>)>& fill)
{
    if (length < 0)
        throw DicomError(QStringLiteral("Element %1: %2 bytes asked for").arg(tagText(tag)).arg(length));
    addBytes(tag, length, overwrite, [&](DcmElement& element) {
        Uint8* buffer = nullptr;
        const OFCondition condition = element.createUint8Array(Uint32(length), buffer);
        if (condition.good() && length > 0)
            fill(std::span<uint8_t>(buffer, size_t(length)));
        return condition;
    });
}

void CoCDicomDataSet::addBytes(uint32_t tag, int64_t length, bool overwrite,
                               const std::function<OFCondition(DcmElement&)>& put)
{
    const QString what = QStringLiteral("Element %1").arg(tagText(tag));
    if (uint64_t(length) >= 0xFFFFFFFEull)
        throw DicomError(what + QStringLiteral(": %1 bytes do not fit one element").arg(length));
    if (!overwrite && find(tag))
        return;
    DcmTag dcmTag = dictionaryTag(tag);
    if (tag == combinedTag(0x7FE0, 0x0010)) {
        // 8-bit samples are OB; wider ones are words.
        Uint16 bitsAllocated = 8;
        m_file.getDataset()->findAndGetUint16(DCM_BitsAllocated, bitsAllocated);
        dcmTag.setVR(DcmVR(bitsAllocated > 8 ? EVR_OW : EVR_OB));
    }
    const DcmEVR vr = dcmTag.getEVR();
    if (vr != EVR_OB && vr != EVR_OW && vr != EVR_UN)
        throw DicomError(what + QStringLiteral(" has VR %1 and cannot hold bytes").arg(QString::fromLatin1(dcmTag.getVRName())));
    DcmElement* element = nullptr;
    OFCondition condition = DcmItem::newDicomElementWithVR(element, dcmTag);
    std::unique_ptr<DcmElement> owned(element);
    if (condition.good())
        condition = put(*element);
    if (condition.good())
        condition = itemFor(tag).insert(element, OFTrue);
    if (condition.bad())
        throwCondition(what, condition);
    owned.release();
}

void CoCDicomDataSet::DeleteTag(uint32_t tag)
{
    delete itemFor(tag).remove(DcmTagKey(uint16_t(tag >> 16), uint16_t(tag & 0xFFFF)));
}

bool CoCDicomDataSet::TagExists(uint32_t tag, int32_t index)
{
    DcmElement* element = find(tag);
    return element && index >= 0 && element->getLength() > 0 && element->getVM() > static_cast<unsigned long>(index);
}

void CoCDicomDataSet::SetTransferSyntax(int32_t code)
{
    if (code == -1) {
        m_carriedCode = TransferSyntaxCode::ExplicitLittleEndian;
        return;
    }
    if (code < 0 || code > TransferSyntaxCode::Max)
        throw DicomError(QStringLiteral("Transfer syntax code %1 is outside 0 to 30").arg(code));
    m_carriedCode = code;
}

} // namespace b2d
