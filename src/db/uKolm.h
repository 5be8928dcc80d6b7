#pragma once

#include "db/VTComponents.h"

#include <QString>

namespace b2d {

// The SUCCEED list of the run's logs, as the reference update writes into it. The run hands
// in its own log object behind this.
class SucceedList {
public:
    virtual ~SucceedList() = default;
    // The SUCCEED log's "Log aktiv" switch.
    virtual bool active() const = 0;
    // Appends a line to the SUCCEED list and selects it, whatever the switch says.
    virtual void addLine(const QString& line) = 0;
};

// Moves the practice database's references from a converted picture to its new DICOM object
// and, on request, deletes the picture row. One instance (dmKolm) lives for the program; it
// works through the connection it is given, which must be open when KolmUpdate runs.
//
// The caller runs KolmUpdate only after the picture's object is durably stored. Every change
// for one picture is one transaction: on any error everything of that picture is rolled back,
// the database keeps its previous references and the picture row, and the line
// "Error in UPDATE/DELETE! Picture: <patientnr>.<bildnr>, <error>" goes to the SUCCEED list.
class TdmKolm {
public:
    TdmKolm(TADOConnection& connection, SucceedList& succeedList);
    TdmKolm(const TdmKolm&) = delete;
    TdmKolm& operator=(const TdmKolm&) = delete;

    // bildnr is the picture's LOPNR; raderaPatbilder the "Radera bildreferens" choice;
    // patanalyserOpen whether the analysis table PATANALYSER could be opened at connect time.
    // True when every statement succeeded and the transaction was committed. A transaction
    // already open on the connection is joined, committed with this picture's changes or
    // rolled back with them. No error leaves this routine.
    bool KolmUpdate(int patientnr, int bildnr, const QString& SOPInstanceUID, bool raderaPatbilder,
                    bool patanalyserOpen);

    // True when an analysis (only looked at when patanalyserOpen) or the patient's status
    // picture refers to the picture. Database errors are thrown as DatabaseError.
    bool isReferenced(int patientnr, int bildnr, bool patanalyserOpen);

    // Each statement of the update runs on this query.
    TVTAdoQuery qryFix;

private:
    void prepareFix(const QString& sql);
    QVariant fixValue(const QString& sql, const QString& field);
    void execFix(const QString& sql);
    void update(int patientnr, int bildnr, const QString& SOPInstanceUID, bool raderaPatbilder,
                bool patanalyserOpen);

    TADOConnection& m_connection;
    SucceedList& m_succeedList;
};

} // namespace b2d
