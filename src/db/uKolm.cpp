#include "db/uKolm.h"

#include "db/DatabaseError.h"

#include <exception>

namespace b2d {

namespace {

QString num(int n)
{
    return QString::number(n);
}

// The UID goes into the statements as literal text, so nothing but a UID may get there.
void requireUid(const QString& uid)
{
    bool ok = !uid.isEmpty() && uid.size() <= 64;
    for (const QChar c : uid)
        ok = ok && ((c >= u'0' && c <= u'9') || c == u'.');
    if (!ok)
        throw DatabaseError(QStringLiteral("Invalid SOP instance UID \"%1\"").arg(uid));
}

} // namespace

TdmKolm::TdmKolm(TADOConnection& connection, SucceedList& succeedList)
    : m_connection(connection), m_succeedList(succeedList)
{
    qryFix.setObjectName(QStringLiteral("qryFix"));
    qryFix.setConnection(&connection);
}

void TdmKolm::prepareFix(const QString& sql)
{
    qryFix.Close();
    qryFix.SQLClear();
    qryFix.SQLAdd(sql);
}

QVariant TdmKolm::fixValue(const QString& sql, const QString& field)
{
    prepareFix(sql);
    qryFix.setLockType(TLockType::ltReadOnly);
    qryFix.Open();
    return qryFix.FieldByName(field);
}

void TdmKolm::execFix(const QString& sql)
{
    prepareFix(sql);
    qryFix.ExecSQL();
}

bool TdmKolm::isReferenced(int patientnr, int bildnr, bool patanalyserOpen)
{
    int a = 0;
    if (patanalyserOpen)
        a = fixValue(QStringLiteral("SELECT COUNT(*) AS ANTAL FROM PATANALYSER WHERE PATIENTNR=") + num(patientnr) +
                         QStringLiteral(" AND BILDNR= ") + num(bildnr),
                     QStringLiteral("ANTAL"))
                .toInt();
    const int b = fixValue(QStringLiteral("SELECT COUNT(*) AS ANTAL FROM KUNDER WHERE PATIENTNR=") + num(patientnr) +
                               QStringLiteral(" AND PATSTATUS= ") + num(bildnr),
                           QStringLiteral("ANTAL"))
                      .toInt();
    return a > 0 || b > 0;
}

void TdmKolm::update(int patientnr, int bildnr, const QString& SOPInstanceUID, bool raderaPatbilder,
                     bool patanalyserOpen)
{
    requireUid(SOPInstanceUID);
    if (!m_connection.InTransaction())
        m_connection.BeginTrans();

    // An unreferenced picture has no number in DICOMBILDER to move references to; the status
    // picture update then has nothing to set and is skipped.
    if (isReferenced(patientnr, bildnr, patanalyserOpen)) {
        const QVariant min = fixValue(QStringLiteral("SELECT MIN(LOPNR) AS RESULT FROM DICOMBILDER WHERE (PATIENTNR = ") +
                                          num(patientnr) + QStringLiteral(")"),
                                      QStringLiteral("RESULT"));
        const int m = min.isNull() ? 0 : min.toInt();

        // Looked up by UID, so a picture converted again keeps its row and its number.
        prepareFix(QStringLiteral("SELECT * FROM DICOMBILDER WHERE (PATIENTNR = ") + num(patientnr) +
                   QStringLiteral(") AND (SOPINSTANCEUID = '") + SOPInstanceUID + QStringLiteral("')"));
        qryFix.setLockType(TLockType::ltOptimistic);
        qryFix.Open();
        if (qryFix.IsEmpty()) {
            qryFix.Insert();
            qryFix.setFieldValue(QStringLiteral("PATIENTNR"), patientnr);
            qryFix.setFieldValue(QStringLiteral("LOPNR"), m - 1);
            qryFix.setFieldValue(QStringLiteral("SOPINSTANCEUID"), SOPInstanceUID);
            qryFix.Post();
        }
        const int n = qryFix.FieldByName(QStringLiteral("LOPNR")).toInt();

        if (patanalyserOpen)
            execFix(QStringLiteral("UPDATE PATANALYSER SET BILDNR= ") + num(n) + QStringLiteral(" WHERE (PATIENTNR= ") +
                    num(patientnr) + QStringLiteral(") AND (BILDNR= ") + num(bildnr) + QStringLiteral(")"));
        execFix(QStringLiteral("UPDATE KUNDER SET PATSTATUS= ") + num(n) + QStringLiteral(" WHERE (PATIENTNR= ") +
                num(patientnr) + QStringLiteral(") AND (PATSTATUS= ") + num(bildnr) + QStringLiteral(")"));
    }

    const QString pattern = QStringLiteral("%") + num(patientnr) + QStringLiteral("[_]") + num(bildnr) + QStringLiteral(".%");
    for (const QString& column : {QStringLiteral("BILD1"), QStringLiteral("BILD2"), QStringLiteral("BILD3")})
        execFix(QStringLiteral("UPDATE BESBILDER SET ") + column + QStringLiteral("='") + SOPInstanceUID +
                QStringLiteral("' WHERE PATIENTNR = ") + num(patientnr) + QStringLiteral(" AND ") + column +
                QStringLiteral(" LIKE '") + pattern + QStringLiteral("'"));

    if (raderaPatbilder)
        execFix(QStringLiteral("DELETE FROM PATBILDER WHERE (PATIENTNR= ") + num(patientnr) + QStringLiteral(") AND (LOPNR= ") +
                num(bildnr) + QStringLiteral(")"));

    if (m_connection.InTransaction())
        m_connection.CommitTrans();
}

bool TdmKolm::KolmUpdate(int patientnr, int bildnr, const QString& SOPInstanceUID, bool raderaPatbilder,
                         bool patanalyserOpen)
{
    QString error;
    bool done = false;
    try {
        update(patientnr, bildnr, SOPInstanceUID, raderaPatbilder, patanalyserOpen);
        done = true;
    } catch (const DatabaseError& e) {
        error = e.text();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
    } catch (...) {
        error = QStringLiteral("Unknown error");
    }
    qryFix.Close();
    if (done) {
        // Written once the deletion is committed, so the log never claims a deletion that was
        // rolled back.
        if (raderaPatbilder && m_succeedList.active())
            m_succeedList.addLine(QStringLiteral("Deleted picture: ") + num(patientnr) + QStringLiteral(".") + num(bildnr));
        return true;
    }
    if (m_connection.InTransaction()) {
        try {
            m_connection.RollbackTrans();
        } catch (...) {
            // The driver already ended the transaction (a trigger's ROLLBACK does that).
        }
    }
    m_succeedList.addLine(QStringLiteral("Error in UPDATE/DELETE! Picture: ") + num(patientnr) + QStringLiteral(".") +
                          num(bildnr) + QStringLiteral(", ") + error);
    return false;
}

} // namespace b2d
