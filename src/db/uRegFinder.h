#pragma once

#include "db/VTComponents.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

namespace b2d {

// Finds a patient's clinic registration that was valid on a given date: the clinic names a
// picture's standard tags ask for. One instance (dmRegFinder) lives for the program; it reads
// through the connection it is given, which must be open when regFind runs.
//
//   TdmRegFinder dmRegFinder(connection);
//   if (dmRegFinder.regFind(pictureDate, patientnr) && !dmRegFinder.getField("KLINIKNAMN").isNull())
//       ... dmRegFinder.getField("KLINIKNAMN").toString() ...
class TdmRegFinder {
public:
    explicit TdmRegFinder(TADOConnection& connection);
    ~TdmRegFinder();
    TdmRegFinder(const TdmRegFinder&) = delete;
    TdmRegFinder& operator=(const TdmRegFinder&) = delete;

    // Opens the patient's registrations (those with a REGDATUM, oldest first) and stands on the
    // last one dated on or before the day of datum; when all are later, on the earliest. An
    // invalid datum counts as a day before every registration. False when the patient has no
    // registration. Database errors are thrown as DatabaseError.
    bool regFind(const QDateTime& datum, int patientnr);

    // The current registration's field (a null QVariant when the value is null). Throws
    // DatabaseError for a field the query does not have, or before any regFind.
    QVariant getField(const QString& fieldName) const;

    void DataModuleDestroy();

    // BEHUPPG joined with its PATREG row and that registration's clinic (KLINIKNAMN) and
    // referring clinic (TRKLINIKNAMN); parameter PATIENTNR.
    TVTAdoQuery qryReg;
};

} // namespace b2d
