#include "app/RunSession.h"

#include "common/Messages.h"

#include <QFileInfo>

namespace b2d {

RunSession::RunSession(Settings& settings_, Messages& messages_, RunObserver& observer, const QString& logFolder)
    : settings(settings_)
    , messages(messages_)
    , logs(logFolder + QStringLiteral("SUCCEED_LOGG.TXT"), logFolder + QStringLiteral("FAILED_LOGG.TXT"))
    , run(db, logs, messages_, observer, settings_, handlers, dmKolm, dmRegFinder)
{
    dataProvider.DataLinksFolder = defaultDataLinksFolder();
}

bool RunSession::connect(const QString& dataLinkFile, const QString& userName, const QString& password,
                         DataProviderChooser* chooser)
{
    dataProvider.DataProviderFile = QFileInfo(dataLinkFile).absoluteFilePath();
    dataProvider.CurrentConnectionString.clear();
    LoginServices services{settings, messages, chooser, cipher, &TMainDatabase::readStoredLogin};
    if (!db.connectDatabase(dataProvider, services, userName, password))
        return false;
    run.minPatientNr = db.minPatientNr;
    run.maxPatientNr = db.maxPatientNr;
    return true;
}

QStringList RunSession::seriesNames()
{
    QStringList names;
    TVTAdoQuery& q = db.qryBildserier;
    if (!q.Active())
        return names;
    for (q.First(); !q.Eof(); q.Next())
        names << QStringLiteral("%1 (%2)").arg(q.FieldByName("NAMN").toString(), q.FieldByName("ID").toString());
    return names;
}

bool RunSession::selectSeries(const QString& nameOrNumber)
{
    TVTAdoQuery& q = db.qryBildserier;
    if (!q.Active())
        return false;
    bool isNumber = false;
    const int number = nameOrNumber.toInt(&isNumber);
    for (q.First(); !q.Eof(); q.Next()) {
        if (q.FieldByName("NAMN").toString().compare(nameOrNumber, Qt::CaseInsensitive) == 0
            || (isNumber && q.FieldByName("ID").toInt() == number))
            return true;
    }
    return false;
}

} // namespace b2d
