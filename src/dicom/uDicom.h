#pragma once

#include "dicom/ComVtDicom_TLB.h"
#include "dicom/UDicomImageData.h"
#include "pictures/gfx_effects.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace b2d {

class ImageHandler;
class ImageMultiHandler;
class Messages;
class Settings;
class TVTAdoQuery;

// The DICOM UID root of this installation (a registered prefix ending with a dot).
QString UidRoot();
// Why uid is not a valid DICOM UID (at most 64 characters of digits and dots, no empty
// component, no component with a leading zero); empty when it is valid.
QString uidProblem(const QString& uid);

// The current picture's rows: the picture (qryPatbilder), its category (qryKategorier) and its
// patient (qryKunder).
struct PictureRows {
    int PATIENTNR = 0;
    int LOPNR = 0;
    QDateTime DATUM;
    QVariant KATNR; // null when the picture has no category row
    QString EFTERNAMN;
    QString F_RNAMN;
    QString PERSONNR;
    QVariant FODELSEDAG; // date, date text YYYY-MM-DD..., or null
    QString KON;
    QString ADRESS;
    QString ORT;
};

// One row of the standard tags (DICOMTAGS with STANDARDTAG = 'T').
struct StandardTag {
    int group = 0;
    int element = 0;
    QString value;
};
std::vector<StandardTag> readStandardTags(TVTAdoQuery& qryDicomtags);

// The field (KLINIKNAMN or TRKLINIKNAMN) of the patient's registration valid on the picture's
// date; nothing when the patient has none or the field is null.
using ClinicLookup = std::function<std::optional<QString>(const QDateTime& datum, int patientNr, const QString& field)>;

// What convertToDicom takes besides the picture's rows.
struct ConvertInput {
    QString file;
    QString modality;
    QString sopClassUid;
    int32_t instanceCounter = 1;
    uint32_t maximumBytes = 40'000'000;
    bool grey = false;
    int32_t patientIdKind = 0;
    QString imageComments;
    bool oneTab = false;
    QDateTime firstDate;
    float pixelSpacing = 0;
    float zoom = 0;
    int32_t zlibCode = -1;
    QString studyDescription;
    // Options of the window: "Minska upplösning" (true) or "Konvertera ej", and the filter.
    bool shrink = false;
    FilterKind filter = DefaultFilterKind;
};

struct ConvertOutput {
    QString errorText;
    uint32_t size = 0;
    bool resized = false;
    QString sopInstanceUid;
};

// What the conversion of a picture works with: the standard tags, the register lookup, the
// current image handler and the clock (for the current date and time placeholders).
struct ConversionContext {
    const std::vector<StandardTag>* standardTags = nullptr;
    ClinicLookup clinic;
    ImageHandler* handler = nullptr;
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
};

// Turns one picture into a DICOM object and stores it in the current image handler's store.
// Never throws: a failure gives false and its text in out.errorText.
bool convertToDicom(const ConvertInput& in, const PictureRows& rows, const ConversionContext& context,
                    ConvertOutput& out);

// convertToDicom in two steps, so that pictures can be made ready on other threads while the
// store works on the main thread: prepareDicom loads the picture and makes the object ready to
// be written or sent (nothing is stored, no database is read: context.clinic must answer
// without one); storeDicom then stores it and gives what convertToDicom would have given.
struct PreparedDicom {
    bool ok = false; // false: out.errorText tells why, there is nothing to store
    ConvertOutput out;
    std::unique_ptr<DicomImageData> image; // null when no store was chosen

};
void prepareDicom(const ConvertInput& in, const PictureRows& rows, const ConversionContext& context,
                  PreparedDicom& prepared);
bool storeDicom(PreparedDicom& prepared);

// Writes the standard tags into a fresh data set; false with the error text when a write fails.
bool addStdTags(IDicomDataSet& dataSet, const PictureRows& rows, const ConversionContext& context, QString& errorText);
// Replaces a whole-value placeholder; false when the tag is not to be written.
bool expandStdValue(QString& value, const PictureRows& rows, const ConversionContext& context);
// The register field (KLINIKNAMN or TRKLINIKNAMN) a standard tag's value stands for; empty
// when it stands for none.
QString clinicFieldOf(const QString& value);

// Rebuilds the handler list from the database and returns the handler numbered storeNumber,
// or nothing (the current handler is then kept by the caller).
ImageHandler* selectImageHandler(int storeNumber, ImageMultiHandler& handlers, const TVTAdoQuery& sharedQuery,
                                 const Settings& settings, Messages& messages);

// Date and time in DICOM form, independent of the machine's locale.
QString dicomDate(const QDate& date);
QString dicomDate(const QVariant& value); // empty when value holds no date
// General format, at most 15 significant digits, "." as decimal separator.
QString dicomDecimal(float value);

} // namespace b2d
