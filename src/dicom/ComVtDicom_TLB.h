#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace b2d {

// A failure of the data-set component, carrying the reason (DCMTK's message where it has one).
class DicomError : public std::runtime_error {
public:
    explicit DicomError(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

// A DICOM element address as one integer: group x 65536 + element.
constexpr uint32_t combinedTag(uint16_t group, uint16_t element)
{
    return (uint32_t(group) << 16) | element;
}

// The component's transfer-syntax numbering (valid 0 to 30). Only the codes below can be encoded.
namespace TransferSyntaxCode {
constexpr int32_t ExplicitLittleEndian = 0;
constexpr int32_t JpegBaseline = 21;
constexpr int32_t RleLossless = 22;
constexpr int32_t Deflated = 25;
constexpr int32_t Jpeg2000Lossless = 26;
constexpr int32_t Jpeg2000Lossy = 27;
constexpr int32_t Max = 30;
} // namespace TransferSyntaxCode

// Timeouts of a C-STORE, in seconds.
struct StoreTimeouts {
    int connect = 30;
    int association = 30;
    int dimse = 120;
};

// One DICOM object being built: filled element by element, then written to a file or sent to a
// DICOM server. Every operation reports failure by throwing DicomError.
//
// Text values are held as Unicode; when the object is written or sent, the Specific Character
// Set (0008,0005) is declared as "ISO_IR 100" when every text fits Latin-1, otherwise as
// "ISO_IR 192" (UTF-8), and the texts are encoded to match.
class IDicomDataSet {
public:
    virtual ~IDicomDataSet() = default;

    // The element's value as an integer; throws when it is absent or not a whole number.
    virtual int32_t GetInteger(uint32_t tag) = 0;
    // Creates the element with the VR the dictionary gives the tag (LO for a tag it does not
    // know); an existing element is replaced only when overwrite is set. Group 0002 goes into
    // the file meta information.
    virtual void AddString(uint32_t tag, const QString& value, bool overwrite) = 0;
    // Writes a complete DICOM file atomically: a temporary file in the target folder, flushed to
    // disk and renamed over path. On failure no file is left under path.
    virtual void SaveToFile(const QString& path, int32_t transferSyntax) = 0;
    // The bytes SaveToFile would write to path, made in memory (path only names the file in
    // error texts); SaveEncodedFile writes them as SaveToFile does.
    virtual QByteArray EncodeFile(const QString& path, int32_t transferSyntax) = 0;
    // The value as text (several values separated by backslashes); empty when absent.
    virtual QString GetString2(uint16_t group, uint16_t element) = 0;
    virtual void AddString2(uint16_t group, uint16_t element, const QString& value, bool overwrite) = 0;
    // The element holds the first length bytes of bytes (pixel data: OB for 8-bit samples).
    virtual void AddByteArray(uint32_t tag, int64_t length, bool overwrite, std::span<const uint8_t> bytes) = 0;
    // The same with the element's own length bytes written by fill: large pixel data is made in
    // place instead of being copied in.
    virtual void AddByteArrayFilled(uint32_t tag, int64_t length, bool overwrite,
                                    const std::function<void(std::span<uint8_t>)>& fill) = 0;
    // Removes the element if it is there (group 0002 from the file meta information).
    virtual void DeleteTag(uint32_t tag) = 0;
    // Sends the object with C-STORE. Returns only when the server answered with success or a
    // warning status (B000, B006, B007); anything else throws with the status or the cause.
    virtual void CStore(const QString& localAe, const QString& remoteAe, const QString& host, int32_t port,
                        int32_t transferSyntax) = 0;
    // Puts an Icon Image Sequence (0088,0200) of width x height pixels, made from the pixel
    // data, into the object. mode 1 (averaging) is the only mode.
    virtual void CreateIcon(int32_t width, int32_t height, int32_t mode) = 0;
    // True when the element is present and holds a value at index (0 for the first).
    virtual bool TagExists(uint32_t tag, int32_t index) = 0;
    // The syntax the object is written and sent with, overriding the code given to SaveToFile
    // and CStore; -1 selects explicit VR little endian (uncompressed).
    virtual void SetTransferSyntax(int32_t code) = 0;

    // Timeouts CStore waits for the server with (defaults in StoreTimeouts).
    virtual void setStoreTimeouts(const StoreTimeouts& timeouts) = 0;

    void AddByteArray(uint32_t tag, int64_t length, bool overwrite, const QByteArray& bytes)
    {
        AddByteArray(tag, length, overwrite,
                     std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                              size_t(bytes.size())));
    }
    void AddByteArray(uint32_t tag, int64_t length, bool overwrite, const std::vector<uint8_t>& bytes)
    {
        AddByteArray(tag, length, overwrite, std::span<const uint8_t>(bytes));
    }
};

// Counted reference to a data set; the object lives while any reference does.
using DicomDataSetPtr = std::shared_ptr<IDicomDataSet>;

// Creates an empty data set (the original's CoCDicomDataSet.Create).
DicomDataSetPtr CreateDicomDataSet();

// Writes bytes made by EncodeFile to path as SaveToFile writes: atomically, flushed to disk.
void SaveEncodedFile(const QString& path, const QByteArray& bytes);

// The level files in the deflated syntax (code 25) are compressed with (ISA-L), process-wide:
// 1 (fastest) to 3. Measured on photographs and grey scans: the default 2 is about ten times as
// fast as zlib's level 6 and 0 to 8 % larger; level 1 is a little faster and up to 11 % larger.
// The environment variable B2D_DEFLATE_LEVEL sets the starting value (ignored when not 1 to 3).
// C-STORE leaves deflating to the network library and is not affected.
constexpr int MinDeflateLevel = 1;
constexpr int MaxDeflateLevel = 3;
constexpr int DefaultDeflateLevel = 2;
int deflateLevel();
// Throws DicomError for a level outside MinDeflateLevel to MaxDeflateLevel.
void setDeflateLevel(int level);

// The syntax name of a code for messages, e.g. "JPEG 2000 lossless"; empty for an unknown code.
QString transferSyntaxName(int32_t code);

} // namespace b2d
