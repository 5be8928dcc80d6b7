#include "app/MainDatabase.h"

#include "common/Messages.h"

namespace b2d {

namespace {

void setLines(TVTAdoQuery& query, TADOConnection& connection, const QStringList& lines)
{
    query.setConnection(&connection);
    query.setLockType(TLockType::ltReadOnly);
    query.setSQL(lines);
}

} // namespace

TMainDatabase::TMainDatabase(QObject* owner)
    : QObject(owner)
{
    setLines(qryBildserier, ADOCon_Tasvik,
             {"SELECT B.LOPNR AS ID, B.NAMN, B.BILDFORMAT, B.DICOMSERVER, D.LOPNR, D.PATIENTIDTYPE, D.SERVERNAMN FROM BILDSERIER B",
              "RIGHT JOIN DICOMSERVERS D ON B.DICOMSERVER = D.LOPNR",
              "WHERE B.DICOMSERVER IS NOT NULL",
              "UNION",
              "SELECT B.LOPNR AS ID, B.NAMN, B.BILDFORMAT, B.DICOMSERVER, R.LOPNR, R.PATIENTIDTYPE, R.SERVERNAMN FROM BILDSERIER B",
              "RIGHT JOIN DICOMDIRS R ON B.DICOMSERVER = R.LOPNR",
              "WHERE B.DICOMSERVER IS NOT NULL"});
    setLines(qryBildseriehuvudkat, ADOCon_Tasvik,
             {"SELECT H.*, D.SOPCLASSUID FROM BILDSERIEHUVUDKAT H",
              "LEFT JOIN DICOMSOPCLASSES D ON (H.SOPCLASS COLLATE DATABASE_DEFAULT  = D.SOPCLASSNAME COLLATE DATABASE_DEFAULT )",
              "WHERE (MODALITY IS NOT NULL)",
              "AND (SOPCLASS IS NOT NULL)",
              "AND H.BILDSERIE =:ID"});
    setLines(qryBildserieunderkat, ADOCon_Tasvik,
             {"SELECT U.BILDKAT, H.MODALITY, H.SOPCLASS, H.ANTAL, H.STUDYDESCRIPTION, H.BILDFLIK, D.SOPCLASSUID FROM BILDSERIEUNDERKAT U",
              "JOIN BILDSERIEHUVUDKAT H ON U.BILDHUVUDKAT = H.LOPNR",
              "JOIN DICOMSOPCLASSES D ON (H.SOPCLASS COLLATE DATABASE_DEFAULT  = D.SOPCLASSNAME COLLATE DATABASE_DEFAULT )",
              "WHERE (MODALITY IS NOT NULL) AND (SOPCLASS IS NOT NULL)",
              "AND H.BILDSERIE =:ID"});
    setLines(qryDicomtags, ADOCon_Tasvik, {"SELECT * FROM DICOMTAGS", "WHERE STANDARDTAG = 'T'"});
    setLines(qryPatbilder, ADOCon_Tasvik, {allPicturesSql()});
    setLines(qryKategorier, ADOCon_Tasvik,
             {"SELECT KG.KATNR, KG.KATEGORI",
              "FROM PATBILDER B",
              "LEFT JOIN PATBILDKATEGORI KG ON (B.KATEGORI = KG.KATNR)",
              "WHERE (B.PATIENTNR = :PATIENTNR) AND (B.LOPNR = :LOPNR) AND (KG.DELETED <> 'T')"});
    setLines(qryKunder, ADOCon_Tasvik, {"SELECT * FROM KUNDER ", "WHERE (PATIENTNR = :PATIENTNR)"});
    setLines(qryImageComments, ADOCon_Tasvik,
             {"(SELECT KATEGORI, 'HUVUDKAT' AS TYP FROM PATBILDKATEGORI",
              "WHERE KATNR = :BILDKAT1",
              "UNION",
              "SELECT DISTINCT K.KATEGORI, 'UNDERKAT' AS TYP FROM BILDSERIEHUVUDKAT HK",
              "JOIN BILDSERIEUNDERKAT UK ON HK.LOPNR=UK.BILDHUVUDKAT",
              "JOIN PATBILDKATEGORI K ON UK.BILDKAT=K.KATNR ",
              "WHERE HK.BILDKAT = :BILDKAT2)",
              "ORDER BY TYP, KATEGORI"});
    setLines(qryFlikar, ADOCon_Tasvik,
             {"select * from fieldcounters where tablename = 'arkivflikar' order by counter"});
    setLines(qryPatanalyser, ADOCon_Tasvik,
             {"SELECT * FROM PATANALYSER", "WHERE (PATIENTNR = :PATIENTNR)", "AND (LOPNR = :LOPNR)"});
    setLines(qryPatbilderextra, ADOCon_Tasvik,
             {"SELECT * FROM PATBILDEREXTRA", "WHERE (PATIENTNR = :PATIENTNR)", "AND (LOPNR = :LOPNR)"});
    SharedQuery.setConnection(&ADOCon_Tasvik);

    dsBildserie.setDataSet(&qryBildserier);
    dsPatbilder.setDataSet(&qryPatbilder);
    qryBildseriehuvudkat.setDataSource(&dsBildserie);
    qryBildserieunderkat.setDataSource(&dsBildserie);
    for (TVTAdoQuery* detail : {&qryKategorier, &qryKunder, &qryPatanalyser, &qryPatbilderextra})
        detail->setDataSource(&dsPatbilder);
}

TMainDatabase::~TMainDatabase()
{
    try {
        closeQueries();
    } catch (...) {
        // Closing at exit reports nothing.
    }
}

QString TMainDatabase::allPicturesSql()
{
    return QStringLiteral(
        "SELECT B.LOPNR, B.DATUM, B.BILDNAMN, B.PATIENTNR, K.BILDKATDIR, B.BILDFLIK FROM PATBILDER B LEFT JOIN "
        "PATBILDKATALOG K ON (B.BILDKATALOG = K.BILDKATALOG) "
        "WHERE ((SELECT COUNT(*) FROM KUNDER WHERE PATIENTNR = B.PATIENTNR)>0) "
        "GROUP BY B.PATIENTNR, B.BILDNAMN, K.BILDKATDIR, B.LOPNR, B.DATUM, B.BILDFLIK "
        "ORDER BY B.PATIENTNR, DATUM,  LOPNR ");
}

TMainDatabase::Range TMainDatabase::openQueries()
{
    qryPatbilder.Close();
    qryPatbilder.setSQL({allPicturesSql()});

    qryDicomtags.Open();
    qryBildseriehuvudkat.Close();
    qryBildserieunderkat.Close();
    for (TVTAdoQuery* q : {&qryBildserier, &qryPatbilder, &qryKategorier, &qryKunder, &qryBildseriehuvudkat,
                           &qryBildserieunderkat, &qryFlikar})
        q->Open();
    try {
        qryPatanalyser.Open();
        patanalyserOpen = true;
    } catch (const std::exception&) {
        patanalyserOpen = false; // older databases have no analysis table
    }
    qryPatbilderextra.Open();

    if (qryPatbilder.IsEmpty())
        return Range::NoPictures;
    qryPatbilder.Last();
    if (qryKunder.IsEmpty())
        return Range::LastWithoutPatient;
    maxPatientNr = qryKunder.FieldByName("PATIENTNR").toInt();
    qryPatbilder.First();
    if (qryKunder.IsEmpty())
        return Range::FirstWithoutPatient;
    minPatientNr = qryKunder.FieldByName("PATIENTNR").toInt();
    return Range::Found;
}

void TMainDatabase::closeQueries()
{
    for (TVTAdoQuery* q : {&qryPatanalyser, &qryPatbilderextra, &qryFlikar, &qryImageComments, &qryBildserieunderkat,
                           &qryBildseriehuvudkat, &qryKategorier, &qryKunder, &qryPatbilder, &qryBildserier,
                           &qryDicomtags})
        q->Close();
    ADOCon_Tasvik.Close();
    minPatientNr = maxPatientNr = 0;
}

QString rangeErrorText(TMainDatabase::Range range)
{
    switch (range) {
    case TMainDatabase::Range::LastWithoutPatient:
        return QStringLiteral("Sista posten i PATBILDER refererar till en icke existerande post i KUNDREG.");
    case TMainDatabase::Range::FirstWithoutPatient:
        return QStringLiteral("Första posten i PATBILDER refererar till en icke existerande post i KUNDREG.");
    default:
        return {};
    }
}

std::pair<QString, QString> TMainDatabase::readStoredLogin(const QString& connectionString)
{
    TADOConnection connection;
    connection.Open(connectionString);
    connection.BeginTrans();
    std::pair<QString, QString> login;
    try {
        TVTAdoQuery query;
        query.setConnection(&connection);
        query.setSQL({QStringLiteral("SELECT * FROM VELTARONUSER")});
        query.Open();
        login = {query.FieldByName("VTUSERNAME").toString(), query.FieldByName("VTPASSWORD").toString()};
        query.Close();
    } catch (...) {
        if (connection.InTransaction())
            connection.RollbackTrans();
        connection.Close();
        throw;
    }
    if (connection.InTransaction())
        connection.RollbackTrans();
    connection.Close();
    return login;
}

bool TMainDatabase::connectDatabase(DataProviderState& state, LoginServices& services, const QString& userName,
                                    const QString& password, bool* closeProgram)
{
    if (closeProgram)
        *closeProgram = false;
    if (!PrepareDatabaseLogin(state, services, userName, password))
        return false;
    try {
        ADOCon_Tasvik.Close();
        ADOCon_Tasvik.setConnectionString(state.CurrentConnectionString);
        ADOCon_Tasvik.Open();
        const Range range = openQueries();
        if (range == Range::LastWithoutPatient || range == Range::FirstWithoutPatient) {
            services.messages.ShowErrorMessage(rangeErrorText(range));
            if (closeProgram)
                *closeProgram = true;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        // Leave no half-open state behind: the window stays unconnected.
        try {
            closeQueries();
        } catch (...) {
        }
        services.messages.DeactivateProgressWindow();
        const QString error = dynamic_cast<const DatabaseError*>(&e) ? static_cast<const DatabaseError&>(e).text()
                                                                     : QString::fromUtf8(e.what());
        const TDBConnection& login = state.login;
        services.messages.ShowMessageText(QStringLiteral("Det gick inte att ansluta till databasen ") + login.ServerName
                                          + ": " + login.Databasename + " med användarnamnet " + login.Username
                                          + "\r\r" + error);
        return false;
    }
}

} // namespace b2d
