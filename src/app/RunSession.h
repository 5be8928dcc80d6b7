#pragma once

#include "app/ConversionRun.h"
#include "app/MainDatabase.h"
#include "app/RunLogs.h"
#include "common/Settings.h"
#include "db/StoredLoginCipher.h"
#include "db/uKolm.h"
#include "db/uRegFinder.h"
#include "stores/ImageData.h"

#include <memory>

namespace b2d {

class Messages;

// The SUCCEED list as the reference update writes into it.
class RunLogSucceedList : public SucceedList {
public:
    explicit RunLogSucceedList(RunLog& log) : m_log(log) {}
    bool active() const override { return m_log.active(); }
    void addLine(const QString& line) override { m_log.add(line, true); }

private:
    RunLog& m_log;
};

// Everything a conversion run works with, owned together: the database side, the logs, the
// handler list, the register lookup and the reference update. The window and the command line
// each keep one.
class RunSession {
public:
    RunSession(Settings& settings, Messages& messages, RunObserver& observer, const QString& logFolder);

    Settings& settings;
    Messages& messages;
    TMainDatabase db;
    RunLogs logs;
    RunLogSucceedList succeedList{logs.ok};
    StoredLoginCipher cipher{StoredLoginCipher::installationKey()};
    ImageMultiHandler handlers;
    TdmRegFinder dmRegFinder{db.ADOCon_Tasvik};
    TdmKolm dmKolm{db.ADOCon_Tasvik, succeedList};
    TConversionRun run;

    // Connects to the database of a data-link file and stands the series query on the series
    // named (NAMN, letter case ignored) or numbered (ID). Messages say why when it fails.
    bool connect(const QString& dataLinkFile, const QString& userName, const QString& password,
                 DataProviderChooser* chooser);
    bool selectSeries(const QString& nameOrNumber);
    // The series names with a store, for messages.
    QStringList seriesNames();

    DataProviderState dataProvider;
};

} // namespace b2d
