#include "dicom/uDicom.h"

#include "common/Bitmap.h"
#include "common/VeltaronTools.h"
#include "db/VTComponents.h"
#include "dicom/UDicomImageData.h"
#include "pictures/gfx_files.h"
#include "stores/ImageData.h"
#include "stores/ImageManager.h"

#include <QLocale>

#include <cmath>
#include <set>

namespace b2d {

namespace {

// Attributes the conversion sets itself; standard tags for them are not written.
const std::set<uint32_t> ownAttributes = {
    0x00080016, 0x00080018, 0x00080020, 0x00080021, 0x00080022, 0x00080023, 0x0008002A, 0x00080032,
    0x00080060, 0x00080070, 0x00081090, 0x00100010, 0x00100020, 0x00100030, 0x00100040, 0x00180060,
    0x00181020, 0x00181150, 0x00189330, 0x0020000D, 0x0020000E, 0x00200011, 0x00200013, 0x00280002,
    0x00280004, 0x00280006, 0x00280010, 0x00280011, 0x00280100, 0x00280101, 0x00280102, 0x00280103,
    0x00321032, 0x7FE00010,
};

const QString noClinic = QStringLiteral("Ingen klinik vald");

// A failure whose text is already the whole error text of the picture.
struct FinalError {
    QString text;
};

QString messageOf(const std::exception& e)
{
    if (auto* d = dynamic_cast<const DicomError*>(&e))
        return d->text();
    return QString::fromUtf8(e.what());
}

uint32_t charSum(const QString& text)
{
    uint32_t sum = 0;
    for (QChar c : text)
        sum += c.unicode();
    return sum;
}

// Shrinks picture so that its raw size lands at or just under maximumBytes.
void shrinkToLimit(Bitmap& picture, uint32_t& size, uint32_t bytesPerPixel, uint32_t maximumBytes, FilterKind filter)
{
    const double f = std::sqrt(double(maximumBytes) / double(size));
    const int width = int(std::trunc(f * picture.width()));
    const int height = int(std::trunc(f * picture.height()));
    size = uint32_t(width) * uint32_t(height) * bytesPerPixel;
    Bitmap target(0, 0, PixelFormat::Bits24);
    ResampleBitmap(picture, target, width, height, filter, 3.0f);
    picture = std::move(target);
}

void writePixelModule(IDicomDataSet& ds, const char* photometric, const char* samples)
{
    ds.AddString2(0x0028, 0x0002, samples, true);
    ds.AddString2(0x0028, 0x0004, photometric, true);
    ds.AddString2(0x0028, 0x0006, "0", true);
    ds.AddString2(0x0028, 0x0100, "8", true);
    ds.AddString2(0x0028, 0x0101, "8", true);
    ds.AddString2(0x0028, 0x0102, "7", true);
    ds.AddString2(0x0028, 0x0103, "0", true);
}

void requireValidUid(const QString& uid)
{
    const QString problem = uidProblem(uid);
    if (!problem.isEmpty())
        throw std::runtime_error(QStringLiteral("Ogiltig UID %1: %2").arg(uid, problem).toStdString());
}

} // namespace

QString UidRoot()
{
    return QStringLiteral(B2D_UID_ROOT);
}

QString uidProblem(const QString& uid)
{
    if (uid.size() > 64)
        return QStringLiteral("längre än 64 tecken");
    const QStringList parts = uid.split('.');
    for (const QString& part : parts) {
        if (part.isEmpty())
            return QStringLiteral("tom komponent");
        for (QChar c : part)
            if (c < '0' || c > '9')
                return QStringLiteral("otillåtet tecken '%1'").arg(c);
        if (part.size() > 1 && part[0] == '0')
            return QStringLiteral("komponent med inledande nolla");
    }
    return {};
}

QString dicomDate(const QDate& date)
{
    return date.isValid() ? date.toString(QStringLiteral("yyyyMMdd")) : QString();
}

QString dicomDate(const QVariant& value)
{
    if (value.isNull() || !value.isValid())
        return {};
    if (value.typeId() == QMetaType::QDateTime)
        return dicomDate(value.toDateTime().date());
    if (value.typeId() == QMetaType::QDate)
        return dicomDate(value.toDate());
    const QString text = value.toString().trimmed();
    return dicomDate(QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd")));
}

QString dicomDecimal(float value)
{
    return QString::number(double(value), 'g', 15);
}

std::vector<StandardTag> readStandardTags(TVTAdoQuery& qryDicomtags)
{
    std::vector<StandardTag> tags;
    if (!qryDicomtags.Active())
        qryDicomtags.Open();
    // A number that is missing or not a whole number reads as -1, which no tag has.
    auto number = [&](const char* column) {
        bool ok = false;
        const QVariant v = qryDicomtags.FieldByName(QLatin1String(column));
        const int n = v.isNull() ? -1 : v.toString().trimmed().toInt(&ok);
        return ok ? n : -1;
    };
    for (qryDicomtags.First(); !qryDicomtags.Eof(); qryDicomtags.Next())
        tags.push_back({number("GROUPID"), number("ITEMID"), qryDicomtags.FieldByName("DEFVALUE").toString()});
    return tags;
}

QString clinicFieldOf(const QString& value)
{
    const QString key = value.toUpper();
    if (key == "%KLINIK%")
        return QStringLiteral("KLINIKNAMN");
    if (key == "%REMKLINIK%")
        return QStringLiteral("TRKLINIKNAMN");
    return {};
}

bool expandStdValue(QString& value, const PictureRows& rows, const ConversionContext& context)
{
    const QString key = value.toUpper();
    if (key == "%PATIENTNAMN%") {
        value = rows.EFTERNAMN + "^" + rows.F_RNAMN;
    } else if (key == "%PATIENTADRESS%") {
        value = rows.ADRESS;
    } else if (key == "%PATIENTORT%") {
        value = rows.ORT;
    } else if (key == "%PATIENTALDER%") {
        const QString birth = dicomDate(rows.FODELSEDAG);
        if (birth.isEmpty())
            return false;
        const QDateTime born(QDate::fromString(birth, QStringLiteral("yyyyMMdd")), QTime(0, 0));
        const qint64 ms = std::llabs(born.msecsTo(context.now()));
        value = QString::number(ms / 31'557'600'000LL);
    } else if (key == "%CURRENTDATE%") {
        value = context.now().date().toString(QStringLiteral("yyyy-MM-dd"));
    } else if (key == "%CURRENTTIME%") {
        value = context.now().time().toString(QStringLiteral("HH:mm:ss"));
    } else if (const QString field = clinicFieldOf(key); !field.isEmpty()) {
        std::optional<QString> name;
        if (context.clinic)
            name = context.clinic(rows.DATUM, rows.PATIENTNR, field);
        value = name ? *name : noClinic;
    }
    return true;
}

bool addStdTags(IDicomDataSet& dataSet, const PictureRows& rows, const ConversionContext& context, QString& errorText)
{
    bool institutionGiven = false;
    bool physicianGiven = false;
    if (context.standardTags) {
        for (const StandardTag& tag : *context.standardTags) {
            // Group 0000 (commands), the odd groups below 0008 and group lengths are no data
            // elements: written into the object they would make it unreadable.
            if (tag.group < 0x0002 || tag.group > 0xFFFF || (tag.group < 0x0008 && tag.group % 2 == 1)
                || tag.element <= 0 || tag.element > 0xFFFF) {
                errorText = "Ogiltig standardtagg i DICOMTAGS: grupp " + QString::number(tag.group) + ", element "
                            + QString::number(tag.element) + ", uDicom (function addStdTags)";
                return false;
            }
            const uint32_t key = uint32_t(tag.group) * 65536u + uint32_t(tag.element);
            if (ownAttributes.count(key))
                continue;
            if (key == 0x00080080)
                institutionGiven = true;
            if (key == 0x00080090)
                physicianGiven = true;
            QString value = tag.value;
            if (!expandStdValue(value, rows, context))
                continue;
            try {
                dataSet.AddString2(uint16_t(tag.group), uint16_t(tag.element), value, true);
            } catch (const std::exception& e) {
                errorText = messageOf(e) + ", uDicom (function addStdTags): \"ds_Result.AddString2("
                            + QString::number(tag.group) + "," + QString::number(tag.element) + "," + value + ")\"";
                return false;
            }
        }
    }
    if (!institutionGiven)
        dataSet.AddString2(0x0008, 0x0080, noClinic, true);
    if (!physicianGiven)
        dataSet.AddString2(0x0008, 0x0090, noClinic, true);
    return true;
}

void prepareDicom(const ConvertInput& in, const PictureRows& rows, const ConversionContext& context,
                  PreparedDicom& prepared)
{
    ConvertOutput& out = prepared.out;
    prepared.ok = false;
    prepared.image.reset();
    out.errorText = QStringLiteral("Konverteringen misslyckades");
    out.resized = false;
    DicomDataSetPtr ds;

    // Stage A: the picture and the pixel module.
    try {
        ds = CreateDicomDataSet();
        QString tagError;
        if (!addStdTags(*ds, rows, context, tagError))
            throw FinalError{tagError};

        Bitmap picture(0, 0, PixelFormat::Bits24);
        LoadPictureFile(picture, in.file);
        picture.convertTo24();
        if (picture.width() == 0 || picture.height() == 0)
            throw FinalError{"Bilden \"" + in.file
                             + "\" är tom eller kan inte laddas! Kontrollera behörigheter för att komma åt filen."};
        out.size = uint32_t(picture.width()) * uint32_t(picture.height()) * 3u;
        if (!in.grey && out.size > in.maximumBytes) {
            if (!in.shrink)
                throw FinalError{QStringLiteral("Bilden är för stor")};
            shrinkToLimit(picture, out.size, 3, in.maximumBytes, in.filter);
            out.resized = true;
        }

        writePixelModule(*ds, "RGB", "3");
        if (in.pixelSpacing > 0.0001f && in.zoom > 0.0001f) {
            const QString spacing = dicomDecimal(in.pixelSpacing);
            ds->AddString2(0x0028, 0x0030, spacing + "\\" + spacing, true);
            ds->AddString2(0x0028, 0x0031, dicomDecimal(in.zoom), true);
        }
        ds->AddString2(0x0028, 0x0011, QString::number(picture.width()), true);
        ds->AddString2(0x0028, 0x0010, QString::number(picture.height()), true);
        // A picture made grey gets only its grey pixels: the colour ones would be replaced at once.
        if (!in.grey) {
            ds->AddByteArrayFilled(combinedTag(0x7FE0, 0x0010), int64_t(out.size), true,
                                   [&](std::span<uint8_t> pixels) { ExtractRgbPixels(picture, pixels); });
            picture = Bitmap(); // the object holds the pixels now
        }
        // The icon is made from the final pixel data when the object is made ready for its store.

        if (in.grey) {
            out.size = uint32_t(picture.width()) * uint32_t(picture.height());
            writePixelModule(*ds, "MONOCHROME2", "1");
            Bitmap grey;
            MakeGreyscale(picture, grey);
            picture = Bitmap(); // the colour picture is no longer needed
            if (out.size > in.maximumBytes) {
                if (!in.shrink)
                    throw FinalError{QStringLiteral("Bilden är för stor")};
                shrinkToLimit(grey, out.size, 1, in.maximumBytes, in.filter);
                out.resized = true;
            }
            ds->AddString2(0x0028, 0x0011, QString::number(grey.width()), true);
            ds->AddString2(0x0028, 0x0010, QString::number(grey.height()), true);
            ds->AddByteArrayFilled(combinedTag(0x7FE0, 0x0010), int64_t(out.size), true,
                                   [&](std::span<uint8_t> pixels) { ExtractGreyPixels(grey, pixels); });
        }
    } catch (const FinalError& e) {
        out.errorText = e.text;
        return;
    } catch (const std::exception& e) {
        out.errorText = "Det gick inte att ladda filen " + in.file + ": " + messageOf(e);
        return;
    }

    // Stage B: identity and study.
    try {
        ds->AddString2(0x0002, 0x0013, QStringLiteral("OFFIS.DCMTK.354"), true);
        // A picture without a category row counts as category 0, as the category lookup does.
        const int katnr = rows.KATNR.isNull() ? 0 : rows.KATNR.toInt();
        out.sopInstanceUid = UidRoot() + QString::number(rows.PATIENTNR) + "." + QString::number(katnr) + "."
                             + QString::number(rows.LOPNR);
        requireValidUid(out.sopInstanceUid);
        ds->AddString(combinedTag(0x0008, 0x0018), out.sopInstanceUid, true);

        QString patientId = rows.PERSONNR;
        if (in.patientIdKind == 1)
            patientId.remove('-');
        ds->AddString(combinedTag(0x0010, 0x0010), rows.EFTERNAMN + "^" + rows.F_RNAMN, true);
        ds->AddString(combinedTag(0x0010, 0x0020), patientId, true);
        const QString birth = dicomDate(rows.FODELSEDAG);
        if (!birth.isEmpty())
            ds->AddString2(0x0010, 0x0030, birth, true);
        ds->AddString2(0x0010, 0x0040, rows.KON == "M" ? "M" : rows.KON == "K" ? "F" : "O", true);

        const QString d = dicomDate(rows.DATUM.date());
        const QString t = QStringLiteral("000000");
        ds->AddString2(0x0008, 0x0023, d, true);
        ds->AddString2(0x0008, 0x0033, t, true);
        ds->AddString2(0x0008, 0x0022, d, true);
        ds->AddString2(0x0008, 0x0032, t, true);
        ds->AddString2(0x0008, 0x002A, d + t, true);
        ds->AddString2(0x0008, 0x0008, QStringLiteral("IMPORT"), true);

        QString base = UidRoot() + QString::number(rows.PATIENTNR);
        QString studyDate = d;
        if (in.oneTab) {
            studyDate = dicomDate(in.firstDate.date());
        } else {
            // The study is the day's: without a date there is no study to put the picture in.
            if (d.isEmpty())
                throw std::runtime_error("Bilden saknar giltigt datum (PATBILDER.DATUM)");
            base += "." + d;
            if (const uint32_t m = charSum(in.modality))
                base += "." + QString::number(m);
            if (const uint32_t s = charSum(in.studyDescription))
                base += "." + QString::number(s);
        }
        ds->AddString2(0x0008, 0x0020, studyDate, true);
        ds->AddString2(0x0008, 0x0021, studyDate, true);
        requireValidUid(base + ".1");
        ds->AddString2(0x0020, 0x000D, base + ".1", true);
        ds->AddString2(0x0020, 0x000E, base + ".2", true);
        ds->AddString2(0x0020, 0x0013, QString::number(in.instanceCounter), true);
        ds->AddString2(0x0008, 0x1030, in.studyDescription, true);
        ds->AddString2(0x0008, 0x0060, in.modality, true);
        ds->AddString2(0x0008, 0x0016, in.sopClassUid, true);
        ds->AddString2(0x0020, 0x4000, in.imageComments, true);
    } catch (const std::exception& e) {
        out.errorText = "Det gick inte att skapa DICOM-objektet: " + messageOf(e) + ", SOPInstanceUID: "
                        + out.sopInstanceUid + "\r";
        return;
    }

    // What the store does to the object before writing or sending it, done here too.
    if (context.handler) {
        if (dynamic_cast<DicomDirHandler*>(context.handler))
            ds->SetTransferSyntax(in.zlibCode);
        prepared.image = std::make_unique<DicomImageData>(context.handler, ds, QString());
        ds.reset(); // the image data object holds the data set now
        prepared.image->setFilename(out.sopInstanceUid + ".dcm");
        try {
            prepared.image->Prepare();
        } catch (const std::exception&) {
            // Store does the same work again and reports what fails
        }
    }
    out.errorText.clear();
    prepared.ok = true;
}

bool storeDicom(PreparedDicom& prepared)
{
    ConvertOutput& out = prepared.out;
    if (!prepared.ok)
        return false;

    QString detail;
    try {
        if (!prepared.image)
            throw std::runtime_error("Ingen bildlagring vald");
        if (!prepared.image->Store(true, detail))
            throw std::runtime_error("Error in Store!");
        out.errorText.clear();
    } catch (const std::exception& e) {
        out.errorText = "Det gick inte att spara DICOM-objektet: " + messageOf(e) + ", SOPInstanceUID: "
                        + out.sopInstanceUid + "\r" + detail;
    }
    prepared.image.reset(); // stored or not, the object's memory is free for the next pictures
    return out.errorText.isEmpty();
}

bool convertToDicom(const ConvertInput& in, const PictureRows& rows, const ConversionContext& context,
                    ConvertOutput& out)
{
    PreparedDicom prepared;
    prepareDicom(in, rows, context, prepared);
    const bool stored = storeDicom(prepared);
    out = prepared.out;
    return stored;
}


ImageHandler* selectImageHandler(int storeNumber, ImageMultiHandler& handlers, const TVTAdoQuery& sharedQuery,
                                 const Settings& settings, Messages& messages)
{
    LoadImageHandlers(handlers, sharedQuery, settings, messages);
    for (int i = 0; i < handlers.Count(); ++i)
        if (handlers.Handler(i)->uniktnr == storeNumber)
            return handlers.Handler(i);
    return nullptr;
}

} // namespace b2d
