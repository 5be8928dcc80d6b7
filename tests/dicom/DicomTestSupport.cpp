#include "dicom/DicomTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

#include <stdexcept>

namespace b2d::test {

std::vector<uint8_t> patternPixels(int width, int height)
{
    std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = pixels.data() + (size_t(y) * size_t(width) + size_t(x)) * 3;
            p[0] = uint8_t(x * 255 / std::max(1, width - 1));
            p[1] = uint8_t(y * 255 / std::max(1, height - 1));
            p[2] = uint8_t((x + y) * 7);
        }
    return pixels;
}

DicomDataSetPtr makeImageDataSet(const char* sopClassUid, int width, int height, const QString& patientName,
                                 const QString& sopInstanceUid)
{
    DicomDataSetPtr ds = CreateDicomDataSet();
    const bool photographic = QLatin1String(sopClassUid) == QLatin1String(VlPhotographicUid);
    const QString studyUid = QStringLiteral("1.2.826.0.1.3680043.10.1134.99.20240315");
    auto put = [&](uint16_t g, uint16_t e, const QString& v) { ds->AddString2(g, e, v, true); };
    ds->AddString(combinedTag(0x0002, 0x0013), QStringLiteral("OFFIS.DCMTK.354"), true);
    ds->AddString(combinedTag(0x0008, 0x0016), QString::fromLatin1(sopClassUid), true);
    ds->AddString(combinedTag(0x0008, 0x0018), sopInstanceUid, true);
    put(0x0008, 0x0008, photographic ? QStringLiteral("ORIGINAL\\PRIMARY") : QStringLiteral("DERIVED\\SECONDARY"));
    put(0x0008, 0x0020, QStringLiteral("20240315"));
    put(0x0008, 0x0021, QStringLiteral("20240315"));
    put(0x0008, 0x0023, QStringLiteral("20240315"));
    put(0x0008, 0x0030, QStringLiteral("000000"));
    put(0x0008, 0x0033, QStringLiteral("000000"));
    put(0x0008, 0x0050, QString());
    put(0x0008, 0x0060, photographic ? QStringLiteral("XC") : QStringLiteral("OT"));
    put(0x0008, 0x0070, QString());
    put(0x0008, 0x0090, QString());
    if (!photographic)
        put(0x0008, 0x0064, QStringLiteral("WSD"));
    else {
        put(0x0008, 0x0022, QStringLiteral("20240315"));
        put(0x0008, 0x0032, QStringLiteral("000000"));
        put(0x0008, 0x002A, QStringLiteral("20240315000000"));
        put(0x0028, 0x2110, QStringLiteral("00"));
    }
    put(0x0008, 0x1030, QStringLiteral("Intraoral"));
    put(0x0010, 0x0010, patientName);
    put(0x0010, 0x0020, QStringLiteral("19500101-1234"));
    put(0x0010, 0x0030, QStringLiteral("19500101"));
    put(0x0010, 0x0040, QStringLiteral("F"));
    put(0x0020, 0x000D, studyUid + QStringLiteral(".1"));
    put(0x0020, 0x000E, studyUid + QStringLiteral(".2"));
    put(0x0020, 0x0010, QString());
    put(0x0020, 0x0011, QStringLiteral("1"));
    put(0x0020, 0x0013, QStringLiteral("1"));
    put(0x0020, 0x0020, QString());
    put(0x0028, 0x0002, QStringLiteral("3"));
    put(0x0028, 0x0004, QStringLiteral("RGB"));
    put(0x0028, 0x0006, QStringLiteral("0"));
    put(0x0028, 0x0100, QStringLiteral("8"));
    put(0x0028, 0x0101, QStringLiteral("8"));
    put(0x0028, 0x0102, QStringLiteral("7"));
    put(0x0028, 0x0103, QStringLiteral("0"));
    put(0x0028, 0x0011, QString::number(width));
    put(0x0028, 0x0010, QString::number(height));
    const std::vector<uint8_t> pixels = patternPixels(width, height);
    ds->AddByteArray(combinedTag(0x7FE0, 0x0010), int64_t(pixels.size()), true, pixels);
    return ds;
}

std::unique_ptr<DcmFileFormat> loadDicom(const QString& path)
{
    auto file = std::make_unique<DcmFileFormat>();
    const OFCondition loaded = file->loadFile(QFile::encodeName(path).constData());
    if (loaded.bad())
        throw std::runtime_error("cannot load " + path.toStdString() + ": " + loaded.text());
    return file;
}

QByteArray rawValue(DcmFileFormat& file, uint16_t group, uint16_t element)
{
    DcmItem* item = group == 2 ? static_cast<DcmItem*>(file.getMetaInfo()) : static_cast<DcmItem*>(file.getDataset());
    OFString value;
    if (item->findAndGetOFStringArray(DcmTagKey(group, element), value).bad())
        return {};
    return QByteArray(value.c_str(), qsizetype(value.length()));
}

QString dcmdumpProblems(const QString& path)
{
    const ProcessResult r = runProcess(QStringLiteral("dcmdump"), {QStringLiteral("-q"), path});
    QString problems = QString::fromLocal8Bit(r.err).trimmed();
    if (r.exitCode != 0)
        problems += QStringLiteral(" (exit %1)").arg(r.exitCode);
    return problems;
}

namespace {

QStringList dciodvfyLines(const QString& path)
{
    QString checked = path;
    QTemporaryDir tmp;
    auto file = loadDicom(path);
    OFString xfer;
    file->getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, xfer);
    if (xfer == UID_DeflatedExplicitVRLittleEndianTransferSyntax) {
        checked = tmp.filePath(QStringLiteral("inflated.dcm"));
        const ProcessResult c = runProcess(QStringLiteral("dcmconv"), {QStringLiteral("+te"), path, checked});
        if (c.exitCode != 0)
            throw std::runtime_error("dcmconv failed: " + c.err.toStdString());
    }
    const ProcessResult r = runProcess(QStringLiteral("dciodvfy"), {checked});
    QStringList lines;
    for (const QString& line : QString::fromLocal8Bit(r.out + "\n" + r.err).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("Error")) || line.startsWith(QLatin1String("Warning")))
            lines << line.trimmed();
    return lines;
}

} // namespace

QStringList dciodvfyReport(const QString& path)
{
    return dciodvfyLines(path);
}

QStringList dciodvfyEncodingErrors(const QString& path)
{
    static const char* encodingWords[] = {"VR", "Value Length", "length", "Value Multiplicity", "VM",
                                          "UID", "encoding", "Bad", "Invalid", "illegal", "character"};
    QStringList errors;
    for (const QString& line : dciodvfyLines(path)) {
        if (!line.startsWith(QLatin1String("Error")))
            continue;
        for (const char* word : encodingWords)
            if (line.contains(QLatin1String(word), Qt::CaseInsensitive)) {
                errors << line;
                break;
            }
    }
    return errors;
}

void expectValid(const QString& path)
{
    EXPECT_EQ(dcmdumpProblems(path), QString()) << path.toStdString();
    EXPECT_EQ(dciodvfyEncodingErrors(path), QStringList()) << path.toStdString();
}

PeerProcess::~PeerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
}

void PeerProcess::waitForPort(int port)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000) {
        if (m_process.state() == QProcess::NotRunning)
            throw std::runtime_error("peer ended: " + m_process.readAllStandardError().toStdString());
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        if (socket.waitForConnected(200)) {
            socket.disconnectFromHost();
            return;
        }
        QThread::msleep(100);
    }
    throw std::runtime_error("peer did not start listening");
}

void PeerProcess::startStorescp(const QStringList& options)
{
    m_port = freeTcpPort();
    QStringList args{QStringLiteral("-aet"), QStringLiteral("STORESCP"), QStringLiteral("-od"), m_dir.path(),
                     QStringLiteral("+xa")};
    args << options << QString::number(m_port);
    m_process.start(QStringLiteral("storescp"), args);
    if (!m_process.waitForStarted())
        throw std::runtime_error("storescp did not start");
    waitForPort(m_port);
}

void PeerProcess::startOrthanc(const QString& aeTitle, const QString& luaScript)
{
    m_port = freeTcpPort();
    m_httpPort = freeTcpPort();
    QDir(m_dir.path()).mkpath(QStringLiteral("storage"));
    QString scripts;
    if (!luaScript.isEmpty()) {
        writeAll(m_dir.filePath(QStringLiteral("filter.lua")), luaScript.toUtf8());
        scripts = QStringLiteral("\"LuaScripts\": [\"%1\"],").arg(m_dir.filePath(QStringLiteral("filter.lua")));
    }
    const QString config = QStringLiteral(R"({
  "Name": "b2d-test", "HttpPort": %1, "DicomPort": %2, "DicomAet": "%3",
  "StorageDirectory": "%4", "IndexDirectory": "%4",
  "RemoteAccessAllowed": false, "AuthenticationEnabled": false, "HttpServerEnabled": true,
  "DicomCheckCalledAet": true, "DicomAlwaysAllowStore": true, "DicomServerEnabled": true,
  "UnknownSopClassAccepted": false, "DeflatedTransferSyntaxAccepted": true,
  %5 "Plugins": []
})")
                               .arg(m_httpPort)
                               .arg(m_port)
                               .arg(aeTitle, m_dir.filePath(QStringLiteral("storage")), scripts);
    writeAll(m_dir.filePath(QStringLiteral("orthanc.json")), config.toUtf8());
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStringLiteral("Orthanc"), {m_dir.filePath(QStringLiteral("orthanc.json"))});
    if (!m_process.waitForStarted())
        throw std::runtime_error("Orthanc did not start");
    waitForPort(m_httpPort);
    waitForPort(m_port);
}

QStringList PeerProcess::receivedFiles() const
{
    QStringList files;
    for (const QString& name : QDir(m_dir.path()).entryList(QDir::Files))
        files << m_dir.filePath(name);
    return files;
}

QByteArray PeerProcess::httpGet(const QString& path) const
{
    const ProcessResult r = runProcess(QStringLiteral("curl"),
                                       {QStringLiteral("-sSf"), QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path)});
    if (r.exitCode != 0)
        throw std::runtime_error("GET " + path.toStdString() + " failed: " + r.err.toStdString());
    return r.out;
}

} // namespace b2d::test
