#pragma once

#include "db/Udataproviders.h"
#include "db/VTComponents.h"

#include <QObject>

namespace b2d {

class Messages;
class Settings;
class StoredLoginCipher;

// The main window's database side: the one connection of the program, the queries whose current
// rows describe the current picture during a run and a check, and their master-detail links.
class TMainDatabase : public QObject {
    Q_OBJECT
public:
    explicit TMainDatabase(QObject* owner = nullptr);
    ~TMainDatabase() override;

    TADOConnection ADOCon_Tasvik;
    TDataSource dsBildserie;
    TDataSource dsPatbilder;
    TVTAdoQuery qryBildserier;
    TVTAdoQuery qryBildseriehuvudkat;
    TVTAdoQuery qryBildserieunderkat;
    TVTAdoQuery qryDicomtags;
    TVTAdoQuery qryPatbilder;
    TVTAdoQuery qryKategorier;
    TVTAdoQuery qryKunder;
    TVTAdoQuery qryImageComments;
    TVTAdoQuery qryFlikar;
    TVTAdoQuery qryPatanalyser;
    TVTAdoQuery qryPatbilderextra;
    // The shared query of the common services, on the same connection.
    TVTAdoQuery SharedQuery;

    // True when PATANALYSER could be opened at connect time.
    bool patanalyserOpen = false;
    int minPatientNr = 0;
    int maxPatientNr = 0;

    // The statement that selects every picture whose patient exists, in patient, date and number order.
    static QString allPicturesSql();

    // Result of openQueries.
    enum class Range { Found, NoPictures, LastWithoutPatient, FirstWithoutPatient };

    // Replaces the picture query, opens every query and finds the patient-number range. Throws
    // DatabaseError when a query cannot be opened.
    Range openQueries();
    // Closes every query and the connection; the range becomes 0..0.
    void closeQueries();

    bool seriesOpenWithRows() const { return qryBildserier.Active() && !qryBildserier.IsEmpty(); }

    // Reads the stored login over a temporary connection (first row of VELTARONUSER).
    static std::pair<QString, QString> readStoredLogin(const QString& connectionString);

    // "Anslut": completes the login, opens the connection and the queries. On failure the
    // warning "Det gick inte att ansluta till databasen ..." is shown and the result is false.
    // A picture at either end of the range without its patient shows its error and gives false.
    bool connectDatabase(DataProviderState& state, LoginServices& services, const QString& userName,
                         const QString& password, bool* closeProgram = nullptr);
};

// The text of the KUNDREG error for a range end without its patient row.
QString rangeErrorText(TMainDatabase::Range range);

} // namespace b2d
