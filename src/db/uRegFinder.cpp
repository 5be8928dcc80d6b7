#include "db/uRegFinder.h"

#include <QDate>

#include <optional>

namespace b2d {

namespace {

// The whole-day number of a registration date. SQL Server hands dates over as date-times;
// a driver that hands over text gets it parsed. Nothing for a value that is no date.
std::optional<qint64> dayNumber(const QVariant& value)
{
    QDate date;
    if (value.typeId() == QMetaType::QDateTime)
        date = value.toDateTime().date();
    else if (value.typeId() == QMetaType::QDate)
        date = value.toDate();
    else if (value.canConvert<QString>())
        date = QDate::fromString(value.toString().left(10), Qt::ISODate);
    if (!date.isValid())
        return std::nullopt;
    return date.toJulianDay();
}

} // namespace

TdmRegFinder::TdmRegFinder(TADOConnection& connection)
{
    qryReg.setObjectName(QStringLiteral("qryReg"));
    qryReg.setConnection(&connection);
    qryReg.setLockType(TLockType::ltReadOnly);
    qryReg.setSQL({
        QStringLiteral("SELECT B.*, P.*, T.KLINIK AS TRKLINIKNAMN, K.KLINIK AS KLINIKNAMN"),
        QStringLiteral("FROM BEHUPPG B"),
        QStringLiteral("LEFT JOIN PATREG P ON B.BEHNR=P.LOPNR"),
        QStringLiteral("LEFT JOIN TRKLINIK T ON P.TRKLINIKNR=T.KLINIKNR"),
        QStringLiteral("LEFT JOIN KLINIK K ON P.KLINIK=K.KLINIKNR"),
        QStringLiteral("WHERE REGDATUM IS NOT NULL"),
        QStringLiteral("AND PATIENTNR=:PATIENTNR"),
        QStringLiteral("ORDER BY REGDATUM"),
    });
}

TdmRegFinder::~TdmRegFinder()
{
    DataModuleDestroy();
}

void TdmRegFinder::DataModuleDestroy()
{
    qryReg.Close();
}

bool TdmRegFinder::regFind(const QDateTime& datum, int patientnr)
{
    qryReg.Close();
    qryReg.ParamByName(QStringLiteral("PATIENTNR")).Value = patientnr;
    qryReg.Open();
    if (qryReg.IsEmpty())
        return false;

    // A missing picture date stands before every registration, so the earliest is taken.
    const bool dated = datum.isValid();
    const qint64 pictureDay = dated ? datum.date().toJulianDay() : 0;
    int valid = qryReg.RecNo();
    for (qryReg.First(); !qryReg.Eof(); qryReg.Next()) {
        const std::optional<qint64> regDay = dayNumber(qryReg.FieldByName(QStringLiteral("REGDATUM")));
        if (dated && regDay && *regDay <= pictureDay)
            valid = qryReg.RecNo();
    }
    qryReg.setRecNo(valid);
    return true;
}

QVariant TdmRegFinder::getField(const QString& fieldName) const
{
    return qryReg.FieldByName(fieldName);
}

} // namespace b2d
