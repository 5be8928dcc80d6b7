#include "stores/ImageManager.h"

#include "common/Messages.h"
#include "common/Settings.h"
#include "db/DatabaseError.h"
#include "db/SharedQuery.h"
#include "db/VTComponents.h"

#include <QLocale>

namespace b2d {

namespace {

const QString DicomSettings = QStringLiteral("DICOMSettings");

// A field's text as a whole number; 0 when it is not one.
int textAsInteger(const QVariant& value)
{
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    return ok ? number : 0;
}

bool holdsT(const QVariant& value)
{
    return value.toString().trimmed() == QLatin1String("T");
}

// The first handler whose name (upper-cased in the user's locale) and number match the row's.
ImageHandler* findHandler(const ImageMultiHandler& handlers, const QString& name, int32_t number)
{
    const QLocale locale;
    const QString upperName = locale.toUpper(name);
    for (int i = 0; i < handlers.Count(); ++i) {
        ImageHandler* handler = handlers.Handler(i);
        if (handler->uniktnr == number && locale.toUpper(handler->servernamn) == upperName)
            return handler;
    }
    return nullptr;
}

// Reads the named columns of the current row: a column the table lacks fails the load.
void readColumns(const TVTAdoQuery& query, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        query.FieldByName(QLatin1String(name));
}

// A store row gets a handler when any of its connect, move or store flags is set.
bool isWanted(const TVTAdoQuery& query)
{
    return holdsT(query.FieldByName(QStringLiteral("AUTOCONNECT"))) || holdsT(query.FieldByName(QStringLiteral("INCLUDEINMOVE")))
           || holdsT(query.FieldByName(QStringLiteral("DOSTORE")));
}

// The handler of that name and number, added when missing and wanted; nothing when missing and
// not wanted, or when the existing handler is of the other kind.
template <typename Handler>
Handler* handlerFor(ImageMultiHandler& handlers, const QString& name, int32_t number, bool wanted)
{
    ImageHandler* handler = findHandler(handlers, name, number);
    if (!handler) {
        if (!wanted)
            return nullptr;
        handler = handlers.Add(std::make_unique<Handler>());
    }
    return dynamic_cast<Handler*>(handler);
}

void loadServers(ImageMultiHandler& handlers, TVTAdoQuery& query, const Settings& settings, QString& lastServer)
{
    const bool hasIdType = query.FindField(QStringLiteral("PATIENTIDTYPE"));
    for (query.First(); !query.Eof(); query.Next()) {
        const QString name = query.FieldByName(QStringLiteral("SERVERNAMN")).toString();
        const int32_t number = query.FieldByName(QStringLiteral("LOPNR")).toInt();
        const bool wanted = isWanted(query);
        readColumns(query, {"FARG", "REMOTEAE", "SERVERADDRESS", "SERVERPORT", "GETONLYTHUMBS", "IFMAXMOVE",
                            "IFNOTHUMBGETIMAGE", "MAXMOVEITEMS", "TAG_QUERYLEVEL", "GETOBJEKTAS"});
        bool portIsNumber = false;
        settings.ReadSetting(DicomSettings, QStringLiteral("DICOMLocalPort-") + name).trimmed().toInt(&portIsNumber);
        if (!portIsNumber)
            readColumns(query, {"LOCALPORT"});

        auto* server = handlerFor<DicomHandler>(handlers, name, number, wanted);
        if (!server)
            continue;
        server->servernamn = name;
        server->uniktnr = number;
        server->localAe = settings.ReadSetting(DicomSettings, QStringLiteral("DICOMLocalAE-") + name);
        if (server->localAe == QLatin1String("ERROR"))
            server->localAe = settings.ReadSetting(DicomSettings, QStringLiteral("DICOMLocalAE"));
        server->remoteAe = query.FieldByName(QStringLiteral("REMOTEAE")).toString();
        server->peer = query.FieldByName(QStringLiteral("SERVERADDRESS")).toString();
        server->port = query.FieldByName(QStringLiteral("SERVERPORT")).toInt();
        int idType = hasIdType ? textAsInteger(query.FieldByName(QStringLiteral("PATIENTIDTYPE"))) : 0;
        if (idType >= 5)
            idType -= 5;
        server->PatientIdType = uint8_t(idType);
        lastServer = name;
    }
}

void loadDirectories(ImageMultiHandler& handlers, TVTAdoQuery& query)
{
    const bool hasIdType = query.FindField(QStringLiteral("PATIENTIDTYPE"));
    const bool hasSubdirsStyle = query.FindField(QStringLiteral("SUBDIRSSTYLE"));
    for (query.First(); !query.Eof(); query.Next()) {
        const QString name = query.FieldByName(QStringLiteral("SERVERNAMN")).toString();
        const int32_t number = query.FieldByName(QStringLiteral("LOPNR")).toInt();
        const bool wanted = isWanted(query);
        readColumns(query, {"FARG", "DICOMDIR", "GETONLYTHUMBS", "IFNOTHUMBGETIMAGE", "INCLUDEINBILDGRUPPERING"});
        if (!hasSubdirsStyle || query.FieldByName(QStringLiteral("SUBDIRSSTYLE")).toString().isEmpty())
            readColumns(query, {"PATIENTIDSUBDIRS"});

        auto* directory = handlerFor<DicomDirHandler>(handlers, name, number, wanted);
        if (!directory)
            continue;
        directory->servernamn = name;
        directory->uniktnr = number;
        QString root = query.FieldByName(QStringLiteral("DICOMDIR")).toString();
        // A folder written with forward slashes counts as ending in a separator too. A missing
        // folder stays empty: a separator alone would name the file system's root.
        if (!root.trimmed().isEmpty() && !root.endsWith(u'\\') && !root.endsWith(u'/'))
            root += u'\\';
        directory->dicomdirkatalog = root;
        directory->PatientIdType = uint8_t(hasIdType ? textAsInteger(query.FieldByName(QStringLiteral("PATIENTIDTYPE"))) : 0);
    }
}

} // namespace

void LoadImageHandlers(ImageMultiHandler& handlers, const TVTAdoQuery& sharedQuery, const Settings& settings,
                       Messages& messages)
{
    QString lastServer;
    try {
        std::unique_ptr<TVTAdoQuery> servers =
            RunQuery(sharedQuery, QStringLiteral("SELECT * FROM DICOMSERVERS ORDER BY SORTIX, LOPNR"), false, messages);
        if (!servers)
            return;
        if (!servers->IsEmpty())
            loadServers(handlers, *servers, settings, lastServer);
        servers.reset();

        std::unique_ptr<TVTAdoQuery> directories =
            RunQuery(sharedQuery, QStringLiteral("SELECT * FROM DICOMDIRS ORDER BY SORTIX, LOPNR"), false, messages);
        if (!directories)
            return;
        if (!directories->IsEmpty())
            loadDirectories(handlers, *directories);
    } catch (const std::exception& e) {
        const auto* database = dynamic_cast<const DatabaseError*>(&e);
        messages.ShowErrorMessage(QStringLiteral("An error occurred while connecting to DICOM-server ") + lastServer +
                                  QStringLiteral("!\r\r") + (database ? database->text() : QString::fromUtf8(e.what())));
    }
}

} // namespace b2d
