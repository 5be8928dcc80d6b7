#include "db/DemoPractice.h"

#include "db/StoredLoginCipher.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QVariant>

#include <sqlite3.h>

#include <random>
#include <vector>

static void initDemoResources()
{
    // The resources live in a static library: make sure they are linked and registered.
    Q_INIT_RESOURCE(db_demo);
}

namespace b2d {

namespace {

const QString databaseName = QStringLiteral("praktik.db");
const QString dataLinkName = QStringLiteral("praktik.udl");
const QString picturesName = QStringLiteral("Bilder");
const QString dicomDirName = QStringLiteral("DicomDir");

QString readResource(const QString& path)
{
    initDemoResources();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw DemoPracticeError(QStringLiteral("Resursen %1 saknas i programmet.").arg(path));
    return QString::fromUtf8(f.readAll());
}

// A thin owner of one SQLite connection for writing the demo; failures carry SQLite's text.
class DemoDb {
public:
    explicit DemoDb(const QString& file)
    {
        if (sqlite3_open_v2(QFile::encodeName(file).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK)
            fail(QStringLiteral("Kunde inte skapa databasen %1").arg(file));
    }
    ~DemoDb()
    {
        sqlite3_finalize(m_stmt);
        sqlite3_close(m_db);
    }
    DemoDb(const DemoDb&) = delete;
    DemoDb& operator=(const DemoDb&) = delete;

    void script(const QString& sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error) != SQLITE_OK) {
            const QString text = QString::fromUtf8(error ? error : "");
            sqlite3_free(error);
            throw DemoPracticeError(QStringLiteral("Fel i demodatabasen: ") + text);
        }
    }

    // Inserts one row; values may be null QVariants.
    void insert(const char* table, std::initializer_list<const char*> columns, std::initializer_list<QVariant> values)
    {
        QString sql = QStringLiteral("INSERT INTO %1 (").arg(QLatin1String(table));
        QString marks;
        bool first = true;
        for (const char* c : columns) {
            sql += (first ? QString() : QStringLiteral(", ")) + QLatin1String(c);
            marks += first ? QStringLiteral("?") : QStringLiteral(", ?");
            first = false;
        }
        sql += QStringLiteral(") VALUES (") + marks + u')';
        sqlite3_stmt* stmt = nullptr;
        const QByteArray utf8 = sql.toUtf8();
        if (sqlite3_prepare_v2(m_db, utf8.constData(), -1, &stmt, nullptr) != SQLITE_OK)
            fail(sql);
        m_stmt = stmt;
        int i = 1;
        for (const QVariant& v : values) {
            int rc;
            if (v.isNull())
                rc = sqlite3_bind_null(stmt, i);
            else if (v.typeId() == QMetaType::Int || v.typeId() == QMetaType::LongLong)
                rc = sqlite3_bind_int64(stmt, i, v.toLongLong());
            else if (v.typeId() == QMetaType::Double)
                rc = sqlite3_bind_double(stmt, i, v.toDouble());
            else {
                const QByteArray text = v.toString().toUtf8();
                rc = sqlite3_bind_text(stmt, i, text.constData(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            }
            if (rc != SQLITE_OK)
                fail(sql);
            ++i;
        }
        if (sqlite3_step(stmt) != SQLITE_DONE)
            fail(sql);
        sqlite3_finalize(stmt);
        m_stmt = nullptr;
    }

private:
    [[noreturn]] void fail(const QString& what)
    {
        throw DemoPracticeError(QStringLiteral("Fel i demodatabasen (%1): %2")
                                    .arg(what, QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "")));
    }

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_stmt = nullptr;
};

QString dateTimeText(const QDate& d, int hour = 0, int minute = 0)
{
    return QStringLiteral("%1 %2:%3:00")
        .arg(d.toString(QStringLiteral("yyyy-MM-dd")))
        .arg(hour, 2, 10, QLatin1Char('0'))
        .arg(minute, 2, 10, QLatin1Char('0'));
}

// Swedish personal number YYYYMMDD-NNNC with a valid check digit; the third digit of NNN is
// odd for men and even for women.
QString personalNumber(const QDate& birth, int serial, bool male)
{
    int n = serial % 1000;
    if (((n % 10) % 2 == 1) != male)
        n = (n / 10) * 10 + ((n % 10 + 1) % 10);
    const QString digits = birth.toString(QStringLiteral("yyMMdd")) + QStringLiteral("%1").arg(n, 3, 10, QLatin1Char('0'));
    int sum = 0;
    for (int i = 0; i < digits.size(); ++i) {
        int v = digits.at(i).digitValue() * (i % 2 == 0 ? 2 : 1);
        sum += v / 10 + v % 10;
    }
    const int check = (10 - sum % 10) % 10;
    return birth.toString(QStringLiteral("yyyyMMdd")) + u'-' + QStringLiteral("%1%2").arg(n, 3, 10, QLatin1Char('0')).arg(check);
}

struct Asset {
    const char* file;  // in the resources, under :/db/demo/pictures/
    int category;
    int tab;
    int catalog;
    const char* kind;  // part of the picture's file name
};

// One asset per picture format the program reads; every one is used several times.
const Asset assets[] = {
    {"foto_a.jpg", 10, 1, 1, "intraoral"},   {"foto_b.jpeg", 11, 1, 1, "extraoral"},
    {"foto_c.tmb", 10, 1, 1, "miniatyr"},    {"foto_d.jp2", 10, 1, 1, "intraoral"},
    {"foto_e.pcd", 11, 5, 4, "photocd"},     {"rtg_a.png", 13, 2, 2, "panorama"},
    {"rtg_b.bmp", 12, 2, 2, "intraoral-rtg"}, {"rtg_c.j2k", 17, 2, 2, "bitewing"},
    {"scan_a.tif", 14, 5, 1, "modell"},      {"scan_b.tiff", 11, 5, 1, "skanning"},
    {"dok_a.gif", 15, 4, 3, "remiss"},       {"dok_b.tga", 16, 4, 3, "ovrigt"},
    {"dok_c.pcx", 15, 3, 3, "status"},       {"dok_d.wmf", 15, 4, 3, "skiss"},
};

struct Patient {
    const char* first;
    const char* last;
    bool male;
    const char* street;
    const char* town;
};

const Patient patients[] = {
    {"Anna", "Andersson", false, "Storgatan 12", "Uppsala"},
    {"Erik", "Johansson", true, "Kungsgatan 4", "Västerås"},
    {"Maria", "Karlsson", false, "Björkvägen 7", "Örebro"},
    {"Lars", "Nilsson", true, "Ängsvägen 23", "Uppsala"},
    {"Karin", "Eriksson", false, "Skolgatan 2", "Enköping"},
    {"Per", "Larsson", true, "Åsgatan 15", "Sala"},
    {"Eva", "Olsson", false, "Parkvägen 9", "Uppsala"},
    {"Nils", "Persson", true, "Bergsgatan 31", "Knivsta"},
    {"Kristina", "Svensson", false, "Ringvägen 5", "Uppsala"},
    {"Johan", "Gustafsson", true, "Sjövägen 18", "Östhammar"},
    {"Ingrid", "Pettersson", false, "Tallstigen 3", "Tierp"},
    {"Anders", "Jonsson", true, "Granvägen 44", "Uppsala"},
    {"Birgitta", "Jansson", false, "Torget 1", "Heby"},
    {"Mikael", "Hansson", true, "Lövängsgatan 8", "Uppsala"},
    {"Sara", "Bengtsson", false, "Vallgatan 27", "Enköping"},
    {"Olof", "Jönsson", true, "Kyrkvägen 6", "Älvkarleby"},
    {"Elin", "Lindberg", false, "Sveavägen 13", "Uppsala"},
    {"Gustav", "Jakobsson", true, "Strandvägen 21", "Norrtälje"},
    {"Ulla", "Magnusson", false, "Hagagatan 10", "Uppsala"},
    {"Björn", "Lindström", true, "Malmvägen 2", "Sala"},
    {"Linnéa", "Olofsson", false, "Rosengatan 16", "Uppsala"},
    {"Åke", "Lindqvist", true, "Ekbacken 5", "Knivsta"},
    {"Sofia", "Lindgren", false, "Norra vägen 30", "Uppsala"},
    {"Hans", "Axelsson", true, "Södra gatan 11", "Tierp"},
    {"Märta", "Bergström", false, "Prästgårdsvägen 4", "Östhammar"},
};

constexpr int firstPatientNr = 1001;
constexpr int emptySexPatient = 1007;
constexpr int noBirthDatePatient = 1019;
constexpr int unregisteredPatient = 1025;
constexpr int bigPicturePatient = 1003;
constexpr int missingFilePatient = 1011;
constexpr int orphanPatientNr = 1099; // pictures whose patient is not in KUNDER

// The big picture: 4000 x 3500 colour pixels (42 MB raw), small as a JPEG file.
void writeBigJpeg(const QString& path)
{
    QImage image(4000, 3500, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient background(0, 0, 4000, 3500);
    background.setColorAt(0, QColor(250, 235, 225));
    background.setColorAt(1, QColor(150, 60, 70));
    p.fillRect(image.rect(), background);
    QRadialGradient tooth(2000, 1750, 1200);
    tooth.setColorAt(0, QColor(255, 255, 250));
    tooth.setColorAt(1, QColor(220, 210, 180));
    p.setBrush(tooth);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(2000, 1750), 1100, 1400);
    p.end();
    QImageWriter writer(path, "jpeg");
    writer.setQuality(70);
    if (!writer.write(image))
        throw DemoPracticeError(QStringLiteral("Kunde inte skriva bilden %1: %2").arg(path, writer.errorString()));
}

void copyResource(const QString& resource, const QString& target)
{
    initDemoResources();
    QFile::remove(target);
    if (!QFile::copy(resource, target))
        throw DemoPracticeError(QStringLiteral("Kunde inte skriva bilden %1").arg(target));
    QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

void writeDataLink(const QString& path, const QString& connectionString)
{
    // Data-link files are UTF-16 (little endian) with a byte-order mark.
    const QString text = QStringLiteral("[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n") +
                         connectionString + QStringLiteral("\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    for (QChar c : text) {
        bytes.append(static_cast<char>(c.unicode() & 0xFF));
        bytes.append(static_cast<char>(c.unicode() >> 8));
    }
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
        throw DemoPracticeError(QStringLiteral("Kunde inte skriva filen %1").arg(path));
}

struct Built {
    int patients = 0;
    int pictures = 0;
};

// Fills the database at dbFile and the picture folders under stage; paths in the database
// name the final folder.
Built buildPractice(const QString& dbFile, const QString& stage, const QString& finalFolder)
{
    DemoDb db(dbFile);
    db.script(practiceSchemaSqlite());
    db.script(QStringLiteral("BEGIN"));
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

    const QString finalPictures = finalFolder + u'/' + picturesName + u'/';
    const QStringList catalogs = {QStringLiteral("Foto"), QStringLiteral("Rontgen"), QStringLiteral("Dokument"),
                                  QStringLiteral("Arkiv 2009")};
    for (int i = 0; i < catalogs.size(); ++i) {
        if (!QDir().mkpath(stage + u'/' + picturesName + u'/' + catalogs[i]))
            throw DemoPracticeError(QStringLiteral("Kunde inte skapa katalogen %1").arg(catalogs[i]));
        db.insert("PATBILDKATALOG", {"BILDKATALOG", "BILDKATDIR"}, {i + 1, finalPictures + catalogs[i] + u'/'});
    }

    const struct {
        int nr;
        const char* name;
        const char* deleted;
    } categories[] = {
        {10, "Intraorala foton", "F"}, {11, "Extraorala foton", "F"}, {12, "Röntgen intraoral", "F"},
        {13, "Panoramaröntgen", "F"},  {14, "Modellskanning", "F"},   {15, "Dokument", "F"},
        {16, "Övrigt", "F"},           {17, "Bitewing", "F"},         {18, "Gammal kategori", "T"},
    };
    for (const auto& c : categories)
        db.insert("PATBILDKATEGORI", {"KATNR", "KATEGORI", "DELETED"},
                  {c.nr, QString::fromUtf8(c.name), QString::fromUtf8(c.deleted)});

    const char* tabs[] = {"Foto", "Röntgen", "Status", "Dokument", "Skanning"};
    for (int i = 0; i < 5; ++i)
        db.insert("FIELDCOUNTERS", {"TABLENAME", "FIELDNAME", "COUNTER"},
                  {QStringLiteral("arkivflikar"), QString::fromUtf8(tabs[i]), i + 1});
    db.insert("FIELDCOUNTERS", {"TABLENAME", "FIELDNAME", "COUNTER"},
              {QStringLiteral("journaltyper"), QStringLiteral("Anteckning"), 1});

    const struct {
        const char* name;
        const char* uid;
    } sopClasses[] = {
        {"Secondary Capture Image Storage", "1.2.840.10008.5.1.4.1.1.7"},
        {"VL Photographic Image Storage", "1.2.840.10008.5.1.4.1.1.77.1.4"},
        {"Digital X-Ray Image Storage - For Presentation", "1.2.840.10008.5.1.4.1.1.1.1"},
        {"Digital Intra-oral X-Ray Image Storage - For Presentation", "1.2.840.10008.5.1.4.1.1.1.3"},
        {"Computed Radiography Image Storage", "1.2.840.10008.5.1.4.1.1.1"},
    };
    // The practice's own database login, enciphered as the practice system stores it.
    const StoredLoginCipher cipher(StoredLoginCipher::installationKey());
    db.insert("VELTARONUSER", {"VTUSERNAME", "VTPASSWORD"},
              {cipher.encipher(demoLogin().first), cipher.encipher(demoLogin().second)});

    for (int i = 0; i < 5; ++i)
        db.insert("DICOMSOPCLASSES", {"LOPNR", "SOPCLASSNAME", "SOPCLASSUID"},
                  {i + 1, QString::fromUtf8(sopClasses[i].name), QString::fromUtf8(sopClasses[i].uid)});

    // Stores: a DICOM server on this machine and a DICOM directory inside the demo folder.
    // Their numbers differ, since a picture series names its store by number alone.
    db.insert("DICOMSERVERS",
              {"LOPNR", "SERVERNAMN", "SORTIX", "AUTOCONNECT", "INCLUDEINMOVE", "DOSTORE", "FARG", "REMOTEAE",
               "SERVERADDRESS", "SERVERPORT", "LOCALPORT", "GETONLYTHUMBS", "IFMAXMOVE", "IFNOTHUMBGETIMAGE",
               "MAXMOVEITEMS", "TAG_QUERYLEVEL", "GETOBJEKTAS", "PATIENTIDTYPE"},
              {1, QStringLiteral("PACS"), 1, QStringLiteral("T"), QStringLiteral("F"), QStringLiteral("T"), 32768,
               QStringLiteral("PACS"), QStringLiteral("127.0.0.1"), 11112, 11113, QStringLiteral("F"),
               QStringLiteral("F"), QStringLiteral("T"), 100, QStringLiteral("STUDY"), 0, QStringLiteral("5")});
    db.insert("DICOMSERVERS",
              {"LOPNR", "SERVERNAMN", "SORTIX", "AUTOCONNECT", "INCLUDEINMOVE", "DOSTORE", "FARG", "REMOTEAE",
               "SERVERADDRESS", "SERVERPORT", "LOCALPORT", "GETONLYTHUMBS", "IFMAXMOVE", "IFNOTHUMBGETIMAGE",
               "MAXMOVEITEMS", "TAG_QUERYLEVEL", "GETOBJEKTAS", "PATIENTIDTYPE"},
              {3, QStringLiteral("Gammal server"), 2, QStringLiteral("F"), QStringLiteral("F"), QStringLiteral("F"), 0,
               QStringLiteral("OLDPACS"), QStringLiteral("127.0.0.1"), 104, QVariant(), QStringLiteral("F"),
               QStringLiteral("F"), QStringLiteral("F"), 0, QStringLiteral("STUDY"), 0, QStringLiteral("0")});
    db.insert("DICOMDIRS",
              {"LOPNR", "SERVERNAMN", "SORTIX", "FARG", "AUTOCONNECT", "DICOMDIR", "GETONLYTHUMBS",
               "IFNOTHUMBGETIMAGE", "INCLUDEINBILDGRUPPERING", "INCLUDEINMOVE", "DOSTORE", "PATIENTIDSUBDIRS",
               "SUBDIRSSTYLE", "PATIENTIDTYPE"},
              {2, QStringLiteral("Dicomkatalog"), 1, 255, QStringLiteral("T"),
               finalFolder + u'/' + dicomDirName + u'/', QStringLiteral("F"), QStringLiteral("T"), QStringLiteral("T"),
               QStringLiteral("F"), QStringLiteral("T"), QStringLiteral("T"), QString(), QStringLiteral("1")});

    db.insert("BILDSERIER", {"LOPNR", "NAMN", "BILDFORMAT", "DICOMSERVER"}, {1, QStringLiteral("Dicomkatalog"), 1, 2});
    db.insert("BILDSERIER", {"LOPNR", "NAMN", "BILDFORMAT", "DICOMSERVER"}, {2, QStringLiteral("PACS"), 1, 1});
    db.insert("BILDSERIER", {"LOPNR", "NAMN", "BILDFORMAT", "DICOMSERVER"}, {3, QStringLiteral("Gamla bilder"), 0, QVariant()});

    // Category settings, the same for both series with a store. Category 16 ("Övrigt") has
    // none on purpose; 12 is grey (ANTAL with 0x80001); 13 is set for tab 2 only; the SOP class
    // names differ in letter case from DICOMSOPCLASSES on purpose.
    const struct {
        int category;
        QVariant tab;
        const char* modality;
        const char* sopClass;
        const char* description;
        int antal;
    } mains[] = {
        {10, QVariant(), "XC", "VL Photographic Image Storage", "Intraorala foton", 0},
        {11, 1, "XC", "vl photographic image storage", "Extraorala foton", 0},
        {11, 5, "OT", "Secondary Capture Image Storage", "Extraorala skanningar", 0},
        {12, QVariant(), "IO", "Digital Intra-oral X-Ray Image Storage - For Presentation", "Intraoral röntgen", 0x80001},
        {13, 2, "PX", "DIGITAL X-RAY IMAGE STORAGE - FOR PRESENTATION", "Panoramaröntgen", 0},
        {15, QVariant(), "OT", "SECONDARY CAPTURE IMAGE STORAGE", "Dokument", 0},
        {15, 4, "OT", "Secondary Capture Image Storage", "Dokument", 0},
    };
    int mainNr = 0, subNr = 0;
    for (int series : {1, 2}) {
        for (const auto& m : mains) {
            ++mainNr;
            db.insert("BILDSERIEHUVUDKAT",
                      {"LOPNR", "BILDSERIE", "BILDKAT", "BILDFLIK", "MODALITY", "SOPCLASS", "STUDYDESCRIPTION", "ANTAL"},
                      {mainNr, series, m.category, m.tab, QString::fromUtf8(m.modality), QString::fromUtf8(m.sopClass),
                       QString::fromUtf8(m.description), m.antal});
            // Model scans count as intraoral photos, bitewings as intraoral radiographs.
            if (m.category == 10)
                db.insert("BILDSERIEUNDERKAT", {"LOPNR", "BILDHUVUDKAT", "BILDKAT"}, {++subNr, mainNr, 14});
            if (m.category == 12)
                db.insert("BILDSERIEUNDERKAT", {"LOPNR", "BILDHUVUDKAT", "BILDKAT"}, {++subNr, mainNr, 17});
        }
    }
    // A main category without modality is not a setting at all.
    db.insert("BILDSERIEHUVUDKAT",
              {"LOPNR", "BILDSERIE", "BILDKAT", "BILDFLIK", "MODALITY", "SOPCLASS", "STUDYDESCRIPTION", "ANTAL"},
              {++mainNr, 3, 16, QVariant(), QVariant(), QStringLiteral("Secondary Capture Image Storage"), QVariant(), 0});

    // Standard tags: one row per placeholder, fixed values, a tag the system sets itself
    // (skipped), one it overrides, and a row that is not a standard tag.
    const struct {
        int group, element;
        const char* value;
        const char* standard;
    } tags[] = {
        {0x0008, 0x0080, "%KLINIK%", "T"},         {0x0008, 0x0090, "%REMKLINIK%", "T"},
        {0x0010, 0x1001, "%PATIENTNAMN%", "T"},    {0x0010, 0x1040, "%PATIENTADRESS%", "T"},
        {0x0010, 0x2152, "%PATIENTORT%", "T"},     {0x0010, 0x1010, "%PATIENTALDER%", "T"},
        {0x0032, 0x4000, "%CURRENTDATE%", "T"},    {0x0040, 0x0280, "%CURRENTTIME%", "T"},
        {0x0008, 0x1010, "DEMOSTATION", "T"},      {0x0008, 0x1040, "Tandvård", "T"},
        {0x0010, 0x0010, "Ska inte skrivas", "T"}, {0x0008, 0x1030, "Ersätts av studiebeskrivningen", "T"},
        {0x0008, 0x0081, "Används inte", "F"},
    };
    int tagNr = 0;
    for (const auto& t : tags)
        db.insert("DICOMTAGS", {"LOPNR", "GROUPID", "ITEMID", "DEFVALUE", "STANDARDTAG"},
                  {++tagNr, t.group, t.element, QString::fromUtf8(t.value), QString::fromUtf8(t.standard)});

    const char* clinics[] = {"Folktandvården Centrum", "Folktandvården Väster", "Specialisttandvården Ortodonti"};
    const char* referrers[] = {"Tandläkarna Norra", "Käkkirurgiska kliniken", "Vårdcentralen Söder"};
    for (int i = 0; i < 3; ++i) {
        db.insert("KLINIK", {"KLINIKNR", "KLINIK"}, {i + 1, QString::fromUtf8(clinics[i])});
        db.insert("TRKLINIK", {"KLINIKNR", "KLINIK"}, {i + 1, QString::fromUtf8(referrers[i])});
    }

    Built built;
    int regNr = 0;
    const QString stagePictures = stage + u'/' + picturesName + u'/';
    int assetTurn = 0;
    for (int index = 0; index < static_cast<int>(std::size(patients)); ++index) {
        const Patient& p = patients[index];
        const int patientNr = firstPatientNr + index;
        const QDate birth(pick(1935, 2012), pick(1, 12), pick(1, 28));
        const QString sex = patientNr == emptySexPatient ? QString() : QString(p.male ? u'M' : u'K');
        const QVariant birthDate = patientNr == noBirthDatePatient ? QVariant() : QVariant(dateTimeText(birth));
        db.insert("KUNDER", {"PATIENTNR", "PERSONNR", "F_RNAMN", "EFTERNAMN", "KON", "FODELSEDAG", "ADRESS", "ORT"},
                  {patientNr, personalNumber(birth, pick(100, 999), p.male), QString::fromUtf8(p.first),
                   QString::fromUtf8(p.last), sex, birthDate, QString::fromUtf8(p.street), QString::fromUtf8(p.town)});
        ++built.patients;

        // Clinic registrations over time.
        if (patientNr != unregisteredPatient) {
            QDate reg(pick(2005, 2010), pick(1, 12), pick(1, 28));
            const int count = pick(1, 3);
            for (int r = 0; r < count; ++r) {
                ++regNr;
                db.insert("PATREG", {"LOPNR", "KLINIK", "TRKLINIKNR"},
                          {regNr, pick(1, 3), r == 0 ? QVariant() : QVariant(pick(1, 3))});
                db.insert("BEHUPPG", {"LOPNR", "PATIENTNR", "BEHNR", "REGDATUM"},
                          {regNr, patientNr, regNr, dateTimeText(reg, 9, 0)});
                reg = reg.addDays(pick(300, 1500));
            }
            if (patientNr % 6 == 0) {
                // A registration row without a date does not count.
                ++regNr;
                db.insert("PATREG", {"LOPNR", "KLINIK", "TRKLINIKNR"}, {regNr, 2, 2});
                db.insert("BEHUPPG", {"LOPNR", "PATIENTNR", "BEHNR", "REGDATUM"}, {regNr, patientNr, regNr, QVariant()});
            }
        }

        // Pictures over a few visits.
        const int visits = pick(1, 4);
        QDate visit(pick(2008, 2016), pick(1, 12), pick(1, 28));
        int lopnr = 0;
        std::vector<int> numbers;
        for (int v = 0; v < visits; ++v) {
            const int count = pick(1, 3) + (v == 0 ? 1 : 0) + (index % 5 == 0 ? 2 : 0);
            for (int k = 0; k < count; ++k) {
                ++lopnr;
                const Asset& a = assets[assetTurn++ % std::size(assets)];
                const QString ext = QFileInfo(QString::fromUtf8(a.file)).suffix();
                const QString name = QStringLiteral("%1_%2_%3.%4").arg(QString::fromUtf8(a.kind)).arg(patientNr).arg(lopnr).arg(ext);
                QVariant tab = a.tab;
                int category = a.category;
                if ((built.pictures + 1) % 17 == 0)
                    tab = QVariant(); // not placed under a tab: never selected for conversion
                if (patientNr == 1009 && lopnr == 1) {
                    category = 13;    // a panorama under the status tab, which has no setting
                    tab = 3;
                }
                copyResource(QStringLiteral(":/db/demo/pictures/") + QString::fromUtf8(a.file),
                             stagePictures + catalogs[a.catalog - 1] + u'/' + name);
                db.insert("PATBILDER", {"PATIENTNR", "LOPNR", "DATUM", "BILDNAMN", "BILDKATALOG", "KATEGORI", "BILDFLIK"},
                          {patientNr, lopnr, dateTimeText(visit, pick(8, 16), pick(0, 59)), name, a.catalog, category, tab});
                numbers.push_back(lopnr);
                ++built.pictures;

                if (category <= 11 || category == 14) {
                    if (pick(0, 9) < 4)
                        db.insert("PATBILDEREXTRA", {"PATIENTNR", "LOPNR", "RESOLUTION", "ZOOM"},
                                  {patientNr, lopnr, QVariant(double(std::vector<int>{72, 150, 300, 600}[pick(0, 3)])),
                                   QVariant(double(pick(2, 4)) / 2.0)});
                } else if (category == 12 || category == 13 || category == 17) {
                    if (pick(0, 9) < 5) {
                        const double horres[] = {96.0, 300.0, 508.0, 0.005, 0.0};
                        db.insert("PATANALYSER", {"PATIENTNR", "LOPNR", "BILDNR", "HORRES", "ZOOM"},
                                  {patientNr, lopnr, lopnr, QVariant(horres[pick(0, 4)]), QVariant(double(pick(1, 4)))});
                    } else if (pick(0, 1) == 0) {
                        db.insert("PATBILDEREXTRA", {"PATIENTNR", "LOPNR", "RESOLUTION", "ZOOM"},
                                  {patientNr, lopnr, QVariant(600.0), QVariant(1.0)});
                    }
                }
            }
            visit = visit.addDays(pick(60, 700));
        }

        if (patientNr == bigPicturePatient) {
            ++lopnr;
            // A colour photo, so that its 42 MB of raw pixels meet the 40 MB limit.
            const QString name = QStringLiteral("intraoral-stor_%1_%2.jpg").arg(patientNr).arg(lopnr);
            writeBigJpeg(stagePictures + catalogs[1] + u'/' + name);
            db.insert("PATBILDER", {"PATIENTNR", "LOPNR", "DATUM", "BILDNAMN", "BILDKATALOG", "KATEGORI", "BILDFLIK"},
                      {patientNr, lopnr, dateTimeText(visit, 10, 15), name, 2, 10, 2});
            numbers.push_back(lopnr);
            ++built.pictures;
        }
        if (patientNr == missingFilePatient) {
            ++lopnr;
            db.insert("PATBILDER", {"PATIENTNR", "LOPNR", "DATUM", "BILDNAMN", "BILDKATALOG", "KATEGORI", "BILDFLIK"},
                      {patientNr, lopnr, dateTimeText(visit, 11, 0), QStringLiteral("borttagen_%1_%2.jpg").arg(patientNr).arg(lopnr),
                       1, 10, 1});
            ++built.pictures;
        }

        // References to pictures: the status picture, finding pictures by file name.
        if (index % 3 == 0 && !numbers.empty()) {
            const int status = numbers[static_cast<size_t>(pick(0, static_cast<int>(numbers.size()) - 1))];
            db.script(QStringLiteral("UPDATE KUNDER SET PATSTATUS = %1 WHERE PATIENTNR = %2").arg(status).arg(patientNr));
        }
        if (index % 2 == 1 && !numbers.empty()) {
            const int a = numbers.front();
            const int b = numbers.back();
            db.insert("BESBILDER", {"PATIENTNR", "LOPNR", "BILD1", "BILD2", "BILD3"},
                      {patientNr, 1, QStringLiteral("fynd_%1_%2.jpg").arg(patientNr).arg(a),
                       QStringLiteral("Status_%1_%2.PNG").arg(patientNr).arg(b),
                       // Looks alike but names picture a*10: must not be taken for picture a.
                       QStringLiteral("fynd_%1_%2.jpg").arg(patientNr).arg(a * 10)});
        }
    }

    // Pictures of a patient that is no longer in the register.
    for (int lopnr = 1; lopnr <= 2; ++lopnr) {
        const QString name = QStringLiteral("intraoral_%1_%2.jpg").arg(orphanPatientNr).arg(lopnr);
        copyResource(QStringLiteral(":/db/demo/pictures/foto_a.jpg"), stagePictures + catalogs[0] + u'/' + name);
        db.insert("PATBILDER", {"PATIENTNR", "LOPNR", "DATUM", "BILDNAMN", "BILDKATALOG", "KATEGORI", "BILDFLIK"},
                  {orphanPatientNr, lopnr, dateTimeText(QDate(2012, 5, 4), 9, lopnr), name, 1, 10, 1});
        ++built.pictures;
    }

    // One patient already has a DICOM object known to the practice system.
    db.insert("DICOMBILDER", {"PATIENTNR", "LOPNR", "SOPINSTANCEUID"},
              {1002, -1, QStringLiteral("1.2.826.0.1.3680043.10.1134.1002.10.99")});

    db.script(QStringLiteral("COMMIT"));
    return built;
}

void removePath(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return;
    const bool ok = info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
    if (!ok)
        throw DemoPracticeError(QStringLiteral("Kunde inte ta bort %1").arg(path));
}

} // namespace

QString practiceSchemaSqlite()
{
    return readResource(QStringLiteral(":/db/schema/practice-sqlite.sql"));
}

QString practiceSchemaSqlServer()
{
    return readResource(QStringLiteral(":/db/schema/practice-sqlserver.sql"));
}

DemoPracticeInfo createDemoPractice(const QString& dir, bool force)
{
    if (dir.trimmed().isEmpty())
        throw DemoPracticeError(QStringLiteral("Ingen katalog angiven för demopraktiken."));
    const QFileInfo target(dir);
    const QString folder = target.absoluteFilePath();
    if (target.exists() && !target.isDir())
        throw DemoPracticeError(QStringLiteral("%1 finns redan och är ingen katalog.").arg(folder));
    const QStringList own = {databaseName, dataLinkName, picturesName, dicomDirName};
    if (target.exists() && !force) {
        const QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        if (!entries.isEmpty())
            throw DemoPracticeError(QStringLiteral("Katalogen %1 finns redan och är inte tom; ingenting har ändrats. "
                                                   "Ange --force för att skapa demopraktiken på nytt.")
                                        .arg(folder));
    }

    const QString parent = target.absolutePath();
    if (!QDir().mkpath(parent))
        throw DemoPracticeError(QStringLiteral("Kunde inte skapa katalogen %1").arg(parent));
    QTemporaryDir stage(parent + QStringLiteral("/.demopraktik-XXXXXX"));
    if (!stage.isValid())
        throw DemoPracticeError(QStringLiteral("Kunde inte skapa en arbetskatalog i %1").arg(parent));

    DemoPracticeInfo info;
    info.folder = folder;
    info.databaseFile = folder + u'/' + databaseName;
    info.dataLinkFile = folder + u'/' + dataLinkName;
    info.connectionString = QStringLiteral("Provider=SQLite;Data Source=") + info.databaseFile;
    info.dicomDirFolder = folder + u'/' + dicomDirName + u'/';

    const Built built = buildPractice(stage.filePath(databaseName), stage.path(), folder);
    info.patients = built.patients;
    info.pictures = built.pictures;
    writeDataLink(stage.filePath(dataLinkName), info.connectionString);
    if (!QDir().mkpath(stage.filePath(dicomDirName)))
        throw DemoPracticeError(QStringLiteral("Kunde inte skapa katalogen %1").arg(dicomDirName));

    if (!QDir().mkpath(folder))
        throw DemoPracticeError(QStringLiteral("Kunde inte skapa katalogen %1").arg(folder));
    for (const QString& name : own) {
        removePath(folder + u'/' + name);
        if (name == databaseName)
            removePath(folder + u'/' + name + QStringLiteral("-journal"));
        if (!QDir().rename(stage.filePath(name), folder + u'/' + name))
            throw DemoPracticeError(QStringLiteral("Kunde inte flytta %1 till %2").arg(name, folder));
    }
    return info;
}

} // namespace b2d
