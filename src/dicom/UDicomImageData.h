#pragma once

#include "dicom/ComVtDicom_TLB.h"

#include <exception>

#include <QString>

#include <cstdint>

namespace b2d {

class DicomDirHandler;
class DicomHandler;
class ImageHandler;
class Messages;

class BasicImageData {
public:
    virtual ~BasicImageData() = default;
};

// An image on its way into the store of its handler (referenced, not owned).
class VtImageData : public BasicImageData {
public:
    explicit VtImageData(ImageHandler* handler) : m_handler(handler) {}
    virtual QString GetDcmValue(uint16_t groupId, uint16_t itemId) = 0;
    // Puts the image into the handler's store. On failure returns false and either puts the
    // failure text into errorres (silenterrors) or shows it; never throws.
    virtual bool Store(bool silenterrors, QString& errorres) = 0;

protected:
    ImageHandler* m_handler;
};

// One DICOM object on its way into a DICOM directory (a file in the patient's folder) or a
// DICOM server (C-STORE).
class DicomImageData : public VtImageData {
public:
    // messages shows the failures of a Store without silenterrors; without it they go to
    // errorres as with silenterrors.
    DicomImageData(ImageHandler* handler, DicomDataSetPtr dataset, const QString& fnamn,
                   Messages* messages = nullptr);
    // Deletes the object's per-frame temporary files and drops the data-set reference.
    ~DicomImageData() override;
    DicomImageData(const DicomImageData&) = delete;
    DicomImageData& operator=(const DicomImageData&) = delete;

    const DicomDataSetPtr& DataSet() const { return m_dataset; }
    void setDataSet(DicomDataSetPtr dataset) { m_dataset = std::move(dataset); }
    const QString& Filename() const { return m_filename; }
    void setFilename(const QString& filename) { m_filename = filename; }
    uint32_t CompressionType() const { return FPD_TransferSyntax; }
    void setCompressionType(uint32_t code) { FPD_TransferSyntax = code; }

    QString GetDcmValue(uint16_t groupId, uint16_t itemId) override;
    void SetDcmValue(uint16_t groupId, uint16_t itemId, const QString& value, bool overwrite);
    // An icon 170 pixels wide with the picture's proportions.
    void GenerateIcon();
    // Does beforehand what Store does to the data set alone: the patient ID in the store's
    // style, the icon and, for a directory, the file's bytes. It touches neither the file system
    // nor the network, so it may run on another thread than Store (never at the same time);
    // its failures are reported by Store, in the order Store would meet them.
    void Prepare();
    bool Store(bool silenterrors, QString& errorres) override;

private:
    int32_t GetTagInteger(uint32_t tag);
    // Puts the patient ID into the store's style and returns the file's path in the patient's
    // folder (folder: that folder as the messages name it); throws when the ID or the name
    // cannot make such a path.
    QString directoryTarget(const DicomDirHandler& handler, QString& folder);
    // The patient ID in a DICOM server's style.
    void putServerPatientId(const DicomHandler& handler);
    // The icon: made now, or as Prepare made it (its failure thrown here, in Store's order).
    void iconAsPrepared();
    void storeInDirectory(const DicomDirHandler& handler);
    void sendToServer(const DicomHandler& handler);
    void removeTemporaryFiles();

    DicomDataSetPtr m_dataset;
    QString m_filename;
    uint32_t FPD_TransferSyntax = TransferSyntaxCode::Deflated;
    Messages* m_messages;

    // What Prepare did: the icon (or why it failed) and, for a directory, the file's bytes
    // (or why they could not be made).
    bool m_prepared = false;
    std::exception_ptr m_iconFailure;
    std::exception_ptr m_encodeFailure;
    QByteArray m_encoded;
};

// The patient ID in a store's style: with hyphen (type 0) puts "-" before the last four
// characters of an ID without one that is longer than four; types 1 and 2 strip separator
// characters and, when trim is set, surrounding blanks; other types keep the ID.
QString normalisePatientId(const QString& id, uint8_t patientIdType, bool trim);

// Why a patient ID cannot be a folder name under a store's root (it could leave the root, or
// is empty); empty when it can.
QString patientFolderProblem(const QString& id);

} // namespace b2d
