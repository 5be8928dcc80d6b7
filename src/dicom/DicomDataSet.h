#pragma once

// The data-set component over DCMTK. Internal to src/dicom; callers use ComVtDicom_TLB.h.

#include "dicom/ComVtDicom_TLB.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QIODevice;

namespace b2d {

// "(gggg,eeee)" for messages.
QString tagText(uint32_t tag);

// Throws DicomError with what + ": " + DCMTK's text of the condition.
[[noreturn]] void throwCondition(const QString& what, const OFCondition& condition);

// The DCMTK syntax behind a code; throws DicomError naming the code when it cannot be encoded.
E_TransferSyntax xferForCode(int32_t code);

// Encodes the pixel data of a data set for an encapsulated syntax; the icon stays native, as
// icons are written uncompressed in every syntax.
OFCondition encodePixelData(DcmDataset& dataset, E_TransferSyntax xfer);

// While alive, the data set's texts are in the encoding that its Specific Character Set
// (0008,0005) declares: Latin-1 ("ISO_IR 100") when every text fits it, else UTF-8
// ("ISO_IR 192"). The data set holds UTF-8 otherwise; the destructor puts it back.
class CharacterSetEncoding {
public:
    explicit CharacterSetEncoding(DcmDataset& dataset);
    ~CharacterSetEncoding();
    CharacterSetEncoding(const CharacterSetEncoding&) = delete;
    CharacterSetEncoding& operator=(const CharacterSetEncoding&) = delete;

    // The declared term, "ISO_IR 100" or "ISO_IR 192".
    const char* declared() const { return m_declared; }

private:
    std::vector<std::pair<DcmElement*, OFString>> m_utf8Values;
    const char* m_declared = "ISO_IR 100";
};

class CoCDicomDataSet : public IDicomDataSet {
public:
    CoCDicomDataSet();

    int32_t GetInteger(uint32_t tag) override;
    void AddString(uint32_t tag, const QString& value, bool overwrite) override;
    void SaveToFile(const QString& path, int32_t transferSyntax) override;
    QByteArray EncodeFile(const QString& path, int32_t transferSyntax) override;
    QString GetString2(uint16_t group, uint16_t element) override;
    void AddString2(uint16_t group, uint16_t element, const QString& value, bool overwrite) override;
    void AddByteArray(uint32_t tag, int64_t length, bool overwrite, std::span<const uint8_t> bytes) override;
    void AddByteArrayFilled(uint32_t tag, int64_t length, bool overwrite,
                            const std::function<void(std::span<uint8_t>)>& fill) override;
    void DeleteTag(uint32_t tag) override;
    void CStore(const QString& localAe, const QString& remoteAe, const QString& host, int32_t port,
                int32_t transferSyntax) override;
    void CreateIcon(int32_t width, int32_t height, int32_t mode) override;
    bool TagExists(uint32_t tag, int32_t index) override;
    void SetTransferSyntax(int32_t code) override;
    void setStoreTimeouts(const StoreTimeouts& timeouts) override { m_timeouts = timeouts; }

private:
    // The item an element of this tag lives in: the meta information for group 0002.
    DcmItem& itemFor(uint32_t tag);
    DcmElement* find(uint32_t tag);
    // A new byte element of tag, its value given by put, in place of an existing one when
    // overwrite is set.
    void addBytes(uint32_t tag, int64_t length, bool overwrite, const std::function<OFCondition(DcmElement&)>& put);
    // The code an operation encodes with: the one set with SetTransferSyntax, else requested.
    int32_t effectiveCode(int32_t requested) const;
    // The whole file (meta information and data set) onto device; what begins the error texts.
    void encodeFile(QIODevice& device, int32_t transferSyntax, const QString& what);

    DcmFileFormat m_file;
    std::optional<int32_t> m_carriedCode;
    StoreTimeouts m_timeouts;
};

} // namespace b2d
