#include "dicom/DicomDataSet.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>

#include <memory>

namespace b2d {

namespace {

// Success and the warnings that still mean the object was stored: coerced (B000), elements
// discarded (B006) and data set not matching the SOP class (B007).
bool storedStatus(Uint16 status)
{
    return status == 0x0000 || status == 0xB000 || status == 0xB006 || status == 0xB007;
}

QString hexStatus(Uint16 status)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(status, 4, 16, QLatin1Char('0')).toUpper();
}

} // namespace

void CoCDicomDataSet::CStore(const QString& localAe, const QString& remoteAe, const QString& host, int32_t port,
                             int32_t transferSyntax)
{
    const int32_t code = effectiveCode(transferSyntax);
    const E_TransferSyntax requested = xferForCode(code);
    const QString peer = QStringLiteral("%1 at %2:%3").arg(remoteAe, host).arg(port);
    if (port <= 0 || port > 65535)
        throw DicomError(QStringLiteral("C-STORE to %1: the port is not between 1 and 65535").arg(peer));
    if (localAe.trimmed().isEmpty() || localAe.size() > 16 || remoteAe.trimmed().isEmpty() || remoteAe.size() > 16)
        throw DicomError(QStringLiteral("C-STORE to %1: the AE titles must be 1 to 16 characters (calling \"%2\", called \"%3\")")
                             .arg(peer, localAe, remoteAe));

    DcmDataset* dataset = m_file.getDataset();
    OFString sopClass;
    OFString sopInstance;
    dataset->findAndGetOFString(DCM_SOPClassUID, sopClass);
    dataset->findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
    if (sopClass.empty() || sopInstance.empty())
        throw DicomError(QStringLiteral("C-STORE to %1: the object has no SOP Class UID (0008,0016) or SOP Instance UID (0008,0018)").arg(peer));

    // The requested syntax in a context of its own, so the server cannot prefer a fallback
    // within the same context; the little-endian syntaxes in a second one.
    const OFString requestedUid = DcmXfer(requested).getXferID();
    OFList<OFString> preferred;
    preferred.push_back(requestedUid);
    OFList<OFString> fallbacks;
    if (requested != EXS_LittleEndianExplicit)
        fallbacks.push_back(UID_LittleEndianExplicitTransferSyntax);
    fallbacks.push_back(UID_LittleEndianImplicitTransferSyntax);

    DcmSCU scu;
    scu.setAETitle(localAe.toStdString().c_str());
    scu.setPeerAETitle(remoteAe.toStdString().c_str());
    scu.setPeerHostName(host.toStdString().c_str());
    scu.setPeerPort(Uint16(port));
    scu.setConnectionTimeout(m_timeouts.connect);
    scu.setACSETimeout(Uint32(m_timeouts.association));
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(Uint32(m_timeouts.dimse));
    scu.setProgressNotificationMode(OFFalse);
    scu.addPresentationContext(sopClass, preferred);
    scu.addPresentationContext(sopClass, fallbacks);

    OFCondition condition = scu.initNetwork();
    if (condition.bad())
        throwCondition(QStringLiteral("C-STORE to %1: network set-up failed").arg(peer), condition);
    condition = scu.negotiateAssociation();
    if (condition.bad())
        throwCondition(QStringLiteral("C-STORE to %1: association failed").arg(peer), condition);

    T_ASC_PresentationContextID presId = scu.findPresentationContextID(sopClass, requestedUid);
    E_TransferSyntax network = requested;
    if (presId == 0) {
        for (const OFString& uid : {OFString(UID_LittleEndianExplicitTransferSyntax), OFString(UID_LittleEndianImplicitTransferSyntax)}) {
            presId = scu.findPresentationContextID(sopClass, uid);
            if (presId != 0) {
                network = DcmXfer(uid.c_str()).getXfer();
                break;
            }
        }
    }
    if (presId == 0) {
        scu.abortAssociation();
        throw DicomError(QStringLiteral("C-STORE to %1: the server accepted no presentation context for SOP class %2")
                             .arg(peer, QString::fromLatin1(sopClass.c_str())));
    }

    // Encapsulated syntaxes are encoded on a copy, leaving the data set as it was filled.
    std::unique_ptr<DcmDataset> encoded;
    DcmDataset* toSend = dataset;
    if (DcmXfer(network).isEncapsulated()) {
        encoded = std::make_unique<DcmDataset>(*dataset);
        const OFCondition chosen = encodePixelData(*encoded, network);
        if (chosen.bad()) {
            scu.abortAssociation();
            throw DicomError(QStringLiteral("C-STORE to %1: the pixel data cannot be encoded as %2 (%3)")
                                 .arg(peer, transferSyntaxName(code), QString::fromLocal8Bit(chosen.text())));
        }
        toSend = encoded.get();
    }

    Uint16 status = 0;
    {
        CharacterSetEncoding encoding(*toSend);
        condition = scu.sendSTORERequest(presId, OFFilename(), toSend, status);
    }
    if (condition.bad()) {
        scu.abortAssociation();
        throwCondition(QStringLiteral("C-STORE to %1 failed").arg(peer), condition);
    }
    if (!storedStatus(status)) {
        scu.releaseAssociation();
        throw DicomError(QStringLiteral("C-STORE to %1 was refused with status %2 (%3)")
                             .arg(peer, hexStatus(status), QString::fromLatin1(DU_cstoreStatusString(status))));
    }
    // The object is stored once the response is in; a failing release changes nothing.
    scu.releaseAssociation();
}

} // namespace b2d
