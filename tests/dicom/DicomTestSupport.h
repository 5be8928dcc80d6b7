#pragma once

#include "dicom/ComVtDicom_TLB.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class DcmFileFormat;

namespace b2d::test {

constexpr const char* SecondaryCaptureUid = "1.2.840.10008.5.1.4.1.1.7";
constexpr const char* VlPhotographicUid = "1.2.840.10008.5.1.4.1.1.77.1.4";

// RGB pixels of a width x height picture whose colour changes with position, rows from the top,
// each pixel red, green, blue.
std::vector<uint8_t> patternPixels(int width, int height);

// A complete RGB image object of the SOP class with the given pixels: patient, study, series,
// instance and pixel module, as a conversion writes them.
DicomDataSetPtr makeImageDataSet(const char* sopClassUid, int width, int height,
                                 const QString& patientName = QStringLiteral("Test^Patient"),
                                 const QString& sopInstanceUid = QStringLiteral("1.2.826.0.1.3680043.10.1134.99.1.1"));

// Loads a DICOM file with DCMTK; throws when it cannot be read.
std::unique_ptr<DcmFileFormat> loadDicom(const QString& path);

// The raw (undecoded) bytes of a string element in a data set, empty when absent.
QByteArray rawValue(DcmFileFormat& file, uint16_t group, uint16_t element);

// dcmdump's warnings and errors for the file (empty when it reads cleanly).
QString dcmdumpProblems(const QString& path);

// dciodvfy's error lines about encoding (VR, value length, multiplicity, UID syntax); a
// deflated file is checked through an explicit little-endian copy made with dcmconv.
QStringList dciodvfyEncodingErrors(const QString& path);
// Expects dcmdump to read the file without a warning and dciodvfy to find no encoding error.
void expectValid(const QString& path);
// Every "Error" and "Warning" line of dciodvfy for the file.
QStringList dciodvfyReport(const QString& path);

// A DICOM server process on 127.0.0.1 started for one test and stopped with it.
class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // DCMTK's storescp writing into a temporary folder, with extra options.
    void startStorescp(const QStringList& options = {});
    // Orthanc with a temporary configuration and storage; luaScript, when given, is loaded.
    void startOrthanc(const QString& aeTitle, const QString& luaScript = {});

    int port() const { return m_port; }
    int httpPort() const { return m_httpPort; }
    QString folder() const { return m_dir.path(); }
    // Files storescp wrote.
    QStringList receivedFiles() const;
    // GET on Orthanc's REST API; throws on failure.
    QByteArray httpGet(const QString& path) const;

private:
    void waitForPort(int port);

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    int m_httpPort = 0;
};

} // namespace b2d::test
