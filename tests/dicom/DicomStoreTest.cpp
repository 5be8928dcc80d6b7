#include "dicom/DicomTestSupport.h"

#include "support/TestSupport.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dstorscp.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <thread>

using namespace b2d;
using namespace b2d::test;

namespace {

const QString Calling = QStringLiteral("B2DTEST");

// Stores ds at the peer; returns the failure text, empty on success.
QString store(IDicomDataSet& ds, const QString& calledAe, int port, int32_t code = TransferSyntaxCode::Deflated)
{
    try {
        ds.CStore(Calling, calledAe, QStringLiteral("127.0.0.1"), port, code);
    } catch (const DicomError& e) {
        return e.text();
    }
    return {};
}

void expectSamePixels(DcmFileFormat& file, int width, int height)
{
    const Uint8* pixels = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(file.getDataset()->findAndGetUint8Array(DCM_PixelData, pixels, &count).good());
    const std::vector<uint8_t> expected = patternPixels(width, height);
    ASSERT_EQ(count, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pixels));
}

// A DCMTK storage SCP in the test that answers every C-STORE with the status written as four
// hexadecimal digits in the object's patient ID, and stores nothing.
class StatusScp : public DcmStorageSCP {
public:
    StatusScp()
    {
        m_port = freeTcpPort();
        setPort(Uint16(m_port));
        setAETitle("STATUSSCP");
        setConnectionBlockingMode(DUL_NOBLOCK);
        setConnectionTimeout(1);
        OFList<OFString> syntaxes;
        syntaxes.push_back(UID_DeflatedExplicitVRLittleEndianTransferSyntax);
        syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
        syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
        addPresentationContext(SecondaryCaptureUid, syntaxes);
        m_thread = std::thread([this] { m_result = listen(); });
        for (int attempt = 0; attempt < 100; ++attempt) {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_port));
            if (probe.waitForConnected(100))
                return;
            QThread::msleep(50);
        }
        ADD_FAILURE() << "the status SCP did not start listening: " << m_result.text();
    }
    ~StatusScp() override
    {
        m_stop = true;
        m_thread.join();
    }
    int port() const { return m_port; }

protected:
    Uint16 checkAndProcessSTORERequest(const T_DIMSE_C_StoreRQ&, DcmFileFormat& file) override
    {
        OFString id;
        file.getDataset()->findAndGetOFString(DCM_PatientID, id);
        return Uint16(QString::fromLatin1(id.c_str()).toUInt(nullptr, 16));
    }
    OFBool stopAfterConnectionTimeout() override { return m_stop; }

private:
    int m_port = 0;
    OFCondition m_result;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

TEST(DicomStore, StorescpReceivesTheObjectAsSent)
{
    PeerProcess peer;
    peer.startStorescp();
    auto ds = makeImageDataSet(SecondaryCaptureUid, 64, 40, QStringLiteral("Åström^Karin"));
    ds->CreateIcon(170, 106, 1);
    ASSERT_EQ(store(*ds, QStringLiteral("STORESCP"), peer.port()), QString());

    const QStringList files = peer.receivedFiles();
    ASSERT_EQ(files.size(), 1);
    auto file = loadDicom(files.first());
    // The deflated syntax was asked for and offered in a context of its own.
    EXPECT_EQ(rawValue(*file, 0x0002, 0x0010), QByteArray(UID_DeflatedExplicitVRLittleEndianTransferSyntax));
    EXPECT_EQ(rawValue(*file, 0x0008, 0x0005), QByteArray("ISO_IR 100"));
    EXPECT_EQ(rawValue(*file, 0x0008, 0x0018), QByteArray("1.2.826.0.1.3680043.10.1134.99.1.1"));
    ASSERT_TRUE(file->convertToUTF8().good());
    EXPECT_EQ(rawValue(*file, 0x0010, 0x0010), QByteArray("Åström^Karin"));
    expectSamePixels(*file, 64, 40);
    EXPECT_EQ(dcmdumpProblems(files.first()), QString());
    EXPECT_EQ(dciodvfyEncodingErrors(files.first()), QStringList());
}

TEST(DicomStore, FallsBackToLittleEndianWhenTheServerRefusesTheAskedSyntax)
{
    PeerProcess peer;
    peer.startStorescp({QStringLiteral("+xi")}); // implicit little endian only
    auto ds = makeImageDataSet(SecondaryCaptureUid, 16, 8);
    ASSERT_EQ(store(*ds, QStringLiteral("STORESCP"), peer.port(), TransferSyntaxCode::JpegBaseline), QString());
    const QStringList files = peer.receivedFiles();
    ASSERT_EQ(files.size(), 1);
    auto file = loadDicom(files.first());
    EXPECT_EQ(rawValue(*file, 0x0002, 0x0010), QByteArray(UID_LittleEndianImplicitTransferSyntax));
    expectSamePixels(*file, 16, 8);
    expectValid(files.first());
}

TEST(DicomStore, OrthancReceivesTheObjectAsSent)
{
    PeerProcess peer;
    peer.startOrthanc(QStringLiteral("ORTHANC"));
    auto ds = makeImageDataSet(VlPhotographicUid, 50, 30, QStringLiteral("Łukasiewicz^Jan"));
    ds->CreateIcon(170, 102, 1);
    ASSERT_EQ(store(*ds, QStringLiteral("ORTHANC"), peer.port()), QString());

    const QJsonArray instances = QJsonDocument::fromJson(peer.httpGet(QStringLiteral("/instances"))).array();
    ASSERT_EQ(instances.size(), 1);
    const QString id = instances.first().toString();
    const QJsonObject tags =
        QJsonDocument::fromJson(peer.httpGet(QStringLiteral("/instances/%1/simplified-tags").arg(id))).object();
    EXPECT_EQ(tags.value(QStringLiteral("PatientName")).toString(), QStringLiteral("Łukasiewicz^Jan"));
    EXPECT_EQ(tags.value(QStringLiteral("SpecificCharacterSet")).toString(), QStringLiteral("ISO_IR 192"));
    EXPECT_EQ(tags.value(QStringLiteral("SOPClassUID")).toString(), QLatin1String(VlPhotographicUid));
    EXPECT_EQ(tags.value(QStringLiteral("Rows")).toString(), QStringLiteral("30"));
    EXPECT_EQ(peer.httpGet(QStringLiteral("/instances/%1/metadata/TransferSyntax").arg(id)),
              QByteArray(UID_DeflatedExplicitVRLittleEndianTransferSyntax));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orthanc.dcm"));
    writeAll(path, peer.httpGet(QStringLiteral("/instances/%1/file").arg(id)));
    auto file = loadDicom(path);
    expectSamePixels(*file, 50, 30);
    expectValid(path);
}

// Success and the warnings B000, B006 and B007 mean stored; every other status is a failure
// that names the status.
TEST(DicomStore, ResponseStatusDecidesWhetherTheObjectIsStored)
{
    StatusScp peer;
    const std::pair<const char*, bool> cases[] = {
        {"0000", true}, {"B000", true}, {"B006", true}, {"B007", true},
        {"A700", false}, {"A900", false}, {"C000", false}, {"0110", false},
    };
    for (const auto& [status, stored] : cases) {
        SCOPED_TRACE(status);
        auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
        ds->AddString2(0x0010, 0x0020, QString::fromLatin1(status), true);
        const QString failure = store(*ds, QStringLiteral("STATUSSCP"), peer.port());
        if (stored) {
            EXPECT_EQ(failure, QString());
        } else {
            EXPECT_TRUE(failure.contains(QStringLiteral("status 0x%1").arg(QLatin1String(status)))) << failure.toStdString();
        }
    }
}

struct RefusalCase {
    const char* name;
    QStringList storescpOptions; // storescp is started with these unless the case needs another peer
    int peerKind;                // 0 storescp, 1 nothing listening, 2 Orthanc with another AE title
    const char* expected;        // part of the failure text
    const char* sopClass = SecondaryCaptureUid;
};

TEST(DicomStore, RefusalsTimeOutsAndDroppedConnectionsAreFailures)
{
    const RefusalCase cases[] = {
        {"association refused", {QStringLiteral("--refuse")}, 0, "association failed"},
        {"nothing listening", {}, 1, "association failed"},
        {"unknown called AE title", {}, 2, "association failed"},
        {"connection dropped", {QStringLiteral("--abort-during")}, 0, "failed"},
        {"no answer in time", {QStringLiteral("--sleep-during"), QStringLiteral("6")}, 0, "failed"},
        {"SOP class not accepted", {}, 0, "No acceptable Presentation Contexts",
         "1.2.826.0.1.3680043.10.1134.9.9"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        PeerProcess peer;
        int port = 0;
        QString called = QStringLiteral("STORESCP");
        if (c.peerKind == 0) {
            peer.startStorescp(c.storescpOptions);
            port = peer.port();
        } else if (c.peerKind == 1) {
            port = freeTcpPort();
        } else {
            peer.startOrthanc(QStringLiteral("ORTHANC"));
            port = peer.port();
            called = QStringLiteral("SOMEONEELSE");
        }
        // Large enough that a dropped connection hits the sender while it writes.
        auto ds = makeImageDataSet(c.sopClass, 1000, 1000);
        ds->setStoreTimeouts({2, 2, 2});
        const QString failure = store(*ds, called, port, TransferSyntaxCode::ExplicitLittleEndian);
        EXPECT_TRUE(failure.contains(QLatin1String(c.expected))) << failure.toStdString();
        EXPECT_TRUE(failure.contains(QStringLiteral("127.0.0.1:%1").arg(port))) << failure.toStdString();
    }
}

TEST(DicomStore, ObjectsWithoutIdentityOrWithBadParametersAreNotSent)
{
    auto empty = CreateDicomDataSet();
    EXPECT_TRUE(store(*empty, QStringLiteral("X"), 104).contains(QLatin1String("SOP Class UID")));
    auto ds = makeImageDataSet(SecondaryCaptureUid, 8, 4);
    EXPECT_TRUE(store(*ds, QStringLiteral("X"), 0).contains(QLatin1String("port")));
    EXPECT_TRUE(store(*ds, QString(), 104).contains(QLatin1String("AE titles")));
    EXPECT_TRUE(store(*ds, QStringLiteral("X"), 104, 26).contains(QLatin1String("code 26")));
}
