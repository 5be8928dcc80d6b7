#include "app/ConversionRun.h"

#include "app/MainDatabase.h"
#include "app/PictureWorkers.h"
#include "app/RunLogs.h"
#include "common/Messages.h"
#include "db/uKolm.h"
#include "db/uRegFinder.h"
#include "dicom/uDicom.h"
#include "stores/ImageData.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <set>

namespace b2d {

namespace {

// Pictures made ready on worker threads beyond the one being stored.
constexpr int LookAhead = 2;
// Rows read ahead at most (rows that fail before any work cost nothing but a line).
constexpr size_t MaxTurnsQueued = 32;

// One picture row's turn: what the run shows, logs and writes for it, in picture order. The
// picture itself may still be worked on by a worker thread until its turn comes.
struct PictureTurn {
    int recNo = 0; // 0: the turn only logs an error
    int patientNr = 0;
    int lopnr = 0;
    QString file;
    QString who;
    ConversionJob::CategorySettings cat;
    QString failedLine;     // the row failed before any work on the picture
    bool unhandled = false; // failedLine is an unexpected error: no counter changes
    std::shared_ptr<PictureJob> job;
};

// The line of an error the conversion of a picture did not expect.
QString unhandledLine(const QString& file, const std::exception& e)
{
    return "Ohanterat fel i konverteringen av bild " + file + ": " + QString::fromUtf8(e.what());
}

int intOf(const QVariant& v)
{
    return v.isNull() ? 0 : v.toInt();
}

// The field of the current row, or null when the query has no current row.
QVariant fieldOrNull(const TVTAdoQuery& query, const char* name)
{
    if (!query.Active() || query.IsEmpty())
        return {};
    return query.FieldByName(QLatin1String(name));
}

bool takeSettings(const TVTAdoQuery& q, ConversionJob::CategorySettings& out, bool withDescription)
{
    if (withDescription)
        out.studyDescription = q.FieldByName("STUDYDESCRIPTION").toString();
    out.modality = q.FieldByName("MODALITY").toString();
    out.sopClass = q.FieldByName("SOPCLASS").toString();
    out.sopClassUid = q.FieldByName("SOPCLASSUID").toString();
    const qint64 antal = q.FieldByName("ANTAL").toLongLong();
    out.grey = (antal & 0x80001) == 0x80001;
    return !out.modality.isEmpty() && !out.sopClass.isEmpty() && !out.sopClassUid.isEmpty();
}

// The first row of q whose BILDKAT is category and BILDFLIK tab; else the first with BILDKAT
// category, which counts only when it has no tab.
bool findCategoryRow(TVTAdoQuery& q, int category, int tab, ConversionJob::CategorySettings& out)
{
    if (!q.Active() || q.IsEmpty())
        return false;
    for (q.First(); !q.Eof(); q.Next()) {
        const QVariant flik = q.FieldByName("BILDFLIK");
        if (intOf(q.FieldByName("BILDKAT")) == category && !flik.isNull() && flik.toInt() == tab)
            return takeSettings(q, out, true);
    }
    for (q.First(); !q.Eof(); q.Next()) {
        if (intOf(q.FieldByName("BILDKAT")) == category) {
            if (!q.FieldByName("BILDFLIK").isNull())
                return false;
            return takeSettings(q, out, true);
        }
    }
    return false;
}

} // namespace

QString logTimestamp(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString rangeSelectionSql(const QString& startText, const QString& stopText)
{
    return QStringLiteral("SELECT B.LOPNR, B.DATUM, B.BILDNAMN, B.PATIENTNR, K.BILDKATDIR, B.BILDFLIK FROM PATBILDER B "
                          "LEFT JOIN PATBILDKATALOG K ON (B.BILDKATALOG = K.BILDKATALOG) ")
           + "WHERE ((SELECT COUNT(*) FROM KUNDER WHERE PATIENTNR = B.PATIENTNR)>0) "
           + "AND (B.PATIENTNR >= " + startText + ") AND (B.PATIENTNR <= " + stopText + ") "
           + "AND (B.BILDFLIK IS NOT NULL) "
           + "GROUP BY B.PATIENTNR, B.LOPNR, B.BILDNAMN, K.BILDKATDIR, B.DATUM, B.BILDFLIK "
           + "ORDER BY B.PATIENTNR, DATUM, LOPNR ";
}

void ConversionJob::setRunning(bool value)
{
    running = value;
    if (!value)
        interrupted = false;
    m_observer.runStateChanged();
}

QString ConversionJob::rangeText(const QString& edit, int fallback)
{
    return edit.trimmed().isEmpty() ? QString::number(fallback) : edit;
}

void ConversionJob::clampRange(const RunOptions& options, int& start, int& stop) const
{
    start = rangeText(options.startNr, minPatientNr).toInt();
    if (start < minPatientNr || start > maxPatientNr)
        start = minPatientNr;
    stop = rangeText(options.stopNr, maxPatientNr).toInt();
    if (stop > maxPatientNr)
        stop = maxPatientNr;
    else if (stop < start)
        stop = start;
}

QString ConversionJob::detail(bool detailLog) const
{
    if (!detailLog)
        return {};
    const TVTAdoQuery& k = m_db.qryKunder;
    return ", " + fieldOrNull(k, "PERSONNR").toString() + ", " + fieldOrNull(k, "F_RNAMN").toString() + " "
           + fieldOrNull(k, "EFTERNAMN").toString();
}

bool ConversionJob::findInMainCategories(int category, int tab, CategorySettings& out)
{
    return findCategoryRow(m_db.qryBildseriehuvudkat, category, tab, out);
}

bool ConversionJob::findInSubCategories(int category, int tab, CategorySettings& out)
{
    return findCategoryRow(m_db.qryBildserieunderkat, category, tab, out);
}

bool ConversionJob::findByTab(int tab, CategorySettings& out)
{
    TVTAdoQuery& q = m_db.qryBildseriehuvudkat;
    if (!q.Active() || q.IsEmpty())
        return false;
    for (q.First(); !q.Eof(); q.Next()) {
        const QVariant flik = q.FieldByName("BILDFLIK");
        if (!flik.isNull() && flik.toInt() == tab)
            return takeSettings(q, out, false);
    }
    return false;
}

bool ConversionJob::findModality(int urval, CategorySettings& out)
{
    out.modality.clear();
    out.sopClass.clear();
    out.sopClassUid.clear();
    const int tab = intOf(m_db.qryPatbilder.FieldByName("BILDFLIK"));
    if (urval != 0)
        return findByTab(tab, out);

    TVTAdoQuery& cats = m_db.qryKategorier;
    // Each pass looks at the current row before testing for the end, so a picture without a
    // category row is looked up once, as category 0.
    using Finder = bool (ConversionJob::*)(int, int, CategorySettings&);
    for (Finder find : {&ConversionJob::findInMainCategories, &ConversionJob::findInSubCategories}) {
        if (cats.Active())
            cats.First();
        do {
            const int category = intOf(fieldOrNull(cats, "KATNR"));
            if ((this->*find)(category, tab, out))
                return true;
            if (cats.Active())
                cats.Next();
        } while (cats.Active() && !cats.Eof());
    }
    return false;
}

QString ConversionJob::buildImageComments(bool singleCategory)
{
    QString text;
    TVTAdoQuery& cats = m_db.qryKategorier;
    TVTAdoQuery& q = m_db.qryImageComments;
    if (!cats.Active() || cats.IsEmpty())
        return text;
    for (cats.First(); !cats.Eof(); cats.Next()) {
        q.Close();
        const QVariant katnr = cats.FieldByName("KATNR");
        q.ParamByName("BILDKAT1").Value = katnr;
        q.ParamByName("BILDKAT2").Value = katnr;
        q.Open();
        if (q.IsEmpty())
            return text;
        q.First();
        const QString own = q.FieldByName("KATEGORI").toString();
        text += own + '\r';
        // "Tillåt endast en kategori": the comment names the category itself only.
        if (singleCategory)
            return text;
        for (q.Next(); !q.Eof(); q.Next()) {
            const QString name = q.FieldByName("KATEGORI").toString();
            if (name.compare(own, Qt::CaseInsensitive) != 0)
                text += name + '\r';
        }
    }
    return text;
}

void ConversionJob::getPixelSpacing(float& spacing, float& zoom)
{
    spacing = 0;
    zoom = 0;
    try {
        if (m_db.patanalyserOpen && m_db.qryPatanalyser.Active() && !m_db.qryPatanalyser.IsEmpty()) {
            spacing = m_db.qryPatanalyser.FieldByName("HORRES").toFloat();
            zoom = m_db.qryPatanalyser.FieldByName("ZOOM").toFloat();
        } else if (m_db.qryPatbilderextra.Active() && !m_db.qryPatbilderextra.IsEmpty()) {
            spacing = m_db.qryPatbilderextra.FieldByName("RESOLUTION").toFloat();
            zoom = m_db.qryPatbilderextra.FieldByName("ZOOM").toFloat();
        }
    } catch (const std::exception&) {
        // What was read so far stands.
    }
    if (std::fabs(spacing) > 0.01f)
        spacing = float(25.4 / double(spacing)); // dots per inch to millimetres per pixel
}

int ConversionJob::firstRecordOf(int patientNr)
{
    TVTAdoQuery& q = m_db.qryPatbilder;
    int count = 0;
    for (q.First(); !q.Eof(); q.Next()) {
        if (++count % 1000 == 0)
            m_observer.processEvents();
        if (q.FieldByName("PATIENTNR").toInt() >= patientNr)
            return q.RecNo();
    }
    return q.RecordCount();
}

int ConversionJob::lastRecordOf(int patientNr)
{
    TVTAdoQuery& q = m_db.qryPatbilder;
    int count = 0;
    for (q.Last(); !q.Bof(); q.Prior()) {
        if (++count % 1000 == 0)
            m_observer.processEvents();
        if (q.FieldByName("PATIENTNR").toInt() <= patientNr)
            return q.RecNo();
        if (q.RecNo() == 1)
            break;
    }
    return 1;
}

void ConversionJob::btnCancelClick()
{
    const QString question = checking ? QStringLiteral("Vill du avbryta kontrollen?")
                                      : QStringLiteral("Vill du avbryta konverteringen?");
    if (m_messages.AskYesNo(question) != mrYes)
        return;
    interrupted = true;
    m_observer.statusText(QStringLiteral("AVBRYTER ..... (vänta tills pågående bild är klar)"));
    m_observer.runStateChanged();
}

QString TConversionRun::remainingTimeText(int recNo, const QDateTime& now) const
{
    const qint64 elapsed = startTime.secsTo(now);
    if (!(recNo < m_last && recNo > m_first + 50 && elapsed >= 60 && !interrupted))
        return {};
    const qint64 r = elapsed * qint64(m_last - recNo) / qint64(recNo - m_first);
    const qint64 h = r / 3600, m = (r % 3600) / 60, s = r % 60;
    QString text = QStringLiteral("    Beräknad återstående tid: ");
    if (h > 0)
        text += QString::number(h) + " tim, ";
    if (h > 0 || m > 0)
        text += QString::number(m) + " min";
    else
        text += QString::number(s) + " sek";
    return text;
}

void TConversionRun::btnExecuteClick(const RunOptions& options)
{
    completed = false;
    if (!m_db.ADOCon_Tasvik.Connected())
        return;
    ImageHandler* handler = nullptr;
    try {
        handler = selectImageHandler(m_db.qryBildserier.FieldByName("DICOMSERVER").toInt(), m_handlers,
                                     m_db.SharedQuery, m_settings, m_messages);
    } catch (const std::exception&) {
        handler = nullptr;
    }
    if (!handler) {
        m_messages.ShowErrorMessage(QStringLiteral("Kunde inte ansluta till Dicomserver"));
        return;
    }
    if (m_logs.anyLines()
        && m_messages.AskYesNo(QStringLiteral("Innehållet i listboxar kommer att raderas\r\rFortsätt?")) != mrYes)
        return;

    setRunning(true);
    successes = failures = 0;
    startTime = QDateTime::currentDateTime();
    try {
        int start = 0, stop = 0;
        clampRange(options, start, stop);
        bool maxOk = false;
        const uint32_t maxMByte = options.maxMByte.trimmed().toUInt(&maxOk);
        if (!maxOk)
            throw std::runtime_error(QStringLiteral("'%1' är inte ett giltigt heltal").arg(options.maxMByte).toStdString());
        // The limit is counted in bytes in 32 bits: a larger number would wrap round to a small limit.
        if (maxMByte > 4294)
            throw std::runtime_error(
                QStringLiteral("Max bildstorlek %1 MB är för stor; högst 4294 MB går att ange").arg(maxMByte).toStdString());

        m_logs.start({"Konvertering startad " + logTimestamp(startTime) + ", Pat.nr: " + QString::number(start) + " - "
                          + QString::number(stop),
                      logRule()});
        m_observer.counts(0, 0);
        m_observer.statusText(QStringLiteral("Initiating ...."));

        m_db.qryPatbilder.Close();
        m_db.qryPatbilder.setSQL({rangeSelectionSql(rangeText(options.startNr, minPatientNr),
                                                    rangeText(options.stopNr, maxPatientNr))});
        m_db.qryPatbilder.Open();

        // Counting rows moves the picture query: keep its detail queries from following.
        for (TVTAdoQuery* q : {&m_db.qryKategorier, &m_db.qryKunder, &m_db.qryPatanalyser, &m_db.qryPatbilderextra})
            q->Close();
        m_first = firstRecordOf(start);
        m_last = lastRecordOf(stop);
        m_db.qryKategorier.Open();
        m_db.qryKunder.Open();
        if (m_db.patanalyserOpen)
            m_db.qryPatanalyser.Open();
        m_db.qryPatbilderextra.Open();

        const std::vector<StandardTag> tags = readStandardTags(m_db.qryDicomtags);
        auto clinicName = [this](const QDateTime& datum, int patientNr, const QString& field) -> std::optional<QString> {
            if (!m_regFinder.regFind(datum, patientNr))
                return std::nullopt;
            const QVariant v = m_regFinder.getField(field);
            return v.isNull() ? std::nullopt : std::optional<QString>(v.toString());
        };

        ConvertInput in;
        in.maximumBytes = maxMByte * 1'000'000u;
        in.zlibCode = options.zlib ? 25 : -1;
        in.patientIdKind = m_db.qryBildserier.FieldByName("PATIENTIDTYPE").toInt();
        in.oneTab = options.singleFlik;
        in.shrink = options.shrink;
        in.filter = options.filter;

        // The register is asked for clinic names only when a standard tag shows one.
        std::set<QString> clinicFields;
        for (const StandardTag& tag : tags)
            if (const QString field = clinicFieldOf(tag.value); !field.isEmpty())
                clinicFields.insert(field);

        // The rows are read on this thread a little ahead of the pictures being stored: the
        // workers load and encode the next pictures while this thread stores the current one
        // and updates the database. Every turn's lines, counters and texts come in picture order.
        PictureWorkers workers(LookAhead, &tags, handler);
        std::deque<PictureTurn> turns;
        const int total = m_last - m_first + 1;
        int counter = 0, currentPatient = 0, lastPicture = 0;
        qint64 currentDate = 0;
        QDateTime firstDate;
        TVTAdoQuery& pics = m_db.qryPatbilder;
        pics.First();
        bool moreRows = !pics.Eof();

        // Reads the current row into a turn (none for a row that is not converted) and moves on.
        auto readRow = [&]() {
            std::optional<PictureTurn> turn;
            auto pushTurn = [&] {
                if (turn)
                    turns.push_back(std::move(*turn));
                turn.reset();
            };
            QString file;
            int p = 0;
            try {
                const QDateTime datum = pics.FieldByName("DATUM").toDateTime();
                const qint64 d = datum.date().toJulianDay();
                p = pics.FieldByName("PATIENTNR").toInt();
                // A picture number that is missing or no whole number would give the object a
                // number of another picture and leave the row behind: such a picture fails.
                const QVariant lopnrField = pics.FieldByName("LOPNR");
                bool lopnrOk = false;
                const int lopnr = lopnrField.isNull() ? 0 : lopnrField.toString().trimmed().toInt(&lopnrOk);
                if (p != currentPatient) {
                    lastPicture = lopnr;
                    counter = 1;
                    currentPatient = p;
                    currentDate = d;
                    firstDate = datum;
                } else if (lopnrOk && lopnr == lastPicture) {
                    pics.Next(); // the same picture again, as the join can give: not handled
                    moreRows = !pics.Eof();
                    return;
                } else {
                    lastPicture = lopnr;
                }
                if (d != currentDate && !options.singleFlik) {
                    counter = 1;
                    currentDate = d;
                }
                float spacing = 0, zoom = 0;
                getPixelSpacing(spacing, zoom);

                if (start <= p && p <= stop) {
                    turn.emplace();
                    turn->recNo = pics.RecNo();
                    turn->patientNr = p;
                    file = pics.FieldByName("BILDKATDIR").toString() + pics.FieldByName("BILDNAMN").toString();
                    turn->file = file;
                    turn->who = "Patientnr: " + QString::number(p) + detail(options.detailLog);
                    if (!lopnrOk) {
                        turn->failedLine = "FAILED - " + turn->who + ", Bild: " + file
                                           + " - LOPNR i PATBILDER är inget heltal: \""
                                           + (lopnrField.isNull() ? QString() : lopnrField.toString()) + "\"";
                    } else if (findModality(options.urval, turn->cat)) {
                        const CategorySettings& cat = turn->cat;
                        auto job = std::make_shared<PictureJob>();
                        job->in = in;
                        job->in.file = file;
                        job->in.modality = cat.modality;
                        job->in.sopClassUid = cat.sopClassUid;
                        job->in.instanceCounter = counter;
                        job->in.grey = cat.grey;
                        job->in.imageComments = buildImageComments(options.singleCategory);
                        job->in.firstDate = firstDate;
                        job->in.pixelSpacing = spacing;
                        job->in.zoom = zoom;
                        job->in.studyDescription = cat.studyDescription;

                        PictureRows& rows = job->rows;
                        rows.PATIENTNR = p;
                        rows.LOPNR = lopnr;
                        rows.DATUM = datum;
                        rows.KATNR = fieldOrNull(m_db.qryKategorier, "KATNR");
                        const TVTAdoQuery& k = m_db.qryKunder;
                        rows.EFTERNAMN = fieldOrNull(k, "EFTERNAMN").toString();
                        rows.F_RNAMN = fieldOrNull(k, "F_RNAMN").toString();
                        rows.PERSONNR = fieldOrNull(k, "PERSONNR").toString();
                        rows.FODELSEDAG = fieldOrNull(k, "FODELSEDAG");
                        rows.KON = fieldOrNull(k, "KON").toString();
                        rows.ADRESS = fieldOrNull(k, "ADRESS").toString();
                        rows.ORT = fieldOrNull(k, "ORT").toString();
                        for (const QString& field : clinicFields)
                            job->clinicNames[field] = clinicName(datum, p, field);
                        turn->lopnr = lopnr;
                        workers.start(job);
                        turn->job = std::move(job);
                    } else {
                        turn->failedLine = "FAILED - " + turn->who + ", Bild: " + file
                                           + " - Modality/SOPClass not found (Kategori: "
                                           + fieldOrNull(m_db.qryKategorier, "KATEGORI").toString()
                                           + ", Bildflik: " + pics.FieldByName("BILDFLIK").toString() + ")";
                    }
                }
            } catch (const std::exception& e) {
                turn.emplace();
                turn->unhandled = true;
                turn->failedLine = unhandledLine(file, e);
            }
            ++counter;
            const int before = pics.RecNo();
            try {
                if (p > stop)
                    pics.Last();
                else
                    pics.Next();
            } catch (const std::exception& e) {
                // The error shows after the row's own lines: a turn of its own.
                pushTurn();
                turn.emplace();
                turn->unhandled = true;
                turn->failedLine = unhandledLine(file, e);
                if (pics.RecNo() == before && !pics.Eof()) {
                    try {
                        pics.Next();
                    } catch (const std::exception&) {
                    }
                    if (pics.RecNo() == before)
                        moreRows = false; // the picture query cannot move on: end the run rather than loop
                }
            }
            pushTurn();
            if (pics.Eof())
                moreRows = false;
        };

        // Shows, stores and logs a turn's picture.
        auto takeTurn = [&](PictureTurn& turn) {
            try {
                if (turn.recNo > 0) {
                    m_observer.progress(turn.recNo - m_first + 1, total, turn.patientNr);
                    m_observer.statusText("Record: " + QString::number(turn.recNo - m_first + 1) + " ("
                                          + QString::number(total) + ")"
                                          + remainingTimeText(turn.recNo, QDateTime::currentDateTime()));
                }
                if (turn.job) {
                    PictureWorkers::wait(*turn.job, [this] { m_observer.processEvents(); });
                    // "Avbryt" while the picture was made ready: it is not stored.
                    if (interrupted)
                        return;
                    PreparedDicom& prepared = turn.job->prepared;
                    const ConvertOutput& out = prepared.out;
                    if (storeDicom(prepared)) {
                        m_kolm.KolmUpdate(turn.patientNr, turn.lopnr, out.sopInstanceUid, options.erase,
                                          m_db.patanalyserOpen);
                        const QString line = turn.who + ", Bild: " + turn.file + " (" + QString::number(out.size)
                                             + " byte)" + (out.resized ? QStringLiteral(", resized") : QString());
                        if (m_logs.ok.active())
                            m_logs.ok.add(line, true);
                        ++successes;
                    } else {
                        const CategorySettings& cat = turn.cat;
                        const QString line = "FAILED - " + turn.who + ", Bild: " + turn.file + " ("
                                             + QString::number(out.size) + " byte) - " + out.errorText
                                             + ", Modality: " + cat.modality + ", SOPClass: " + cat.sopClass
                                             + ", SOPClassUID: " + cat.sopClassUid;
                        if (m_logs.failed.active())
                            m_logs.failed.add(line, true);
                        ++failures;
                    }
                    m_observer.counts(successes, failures);
                } else if (turn.unhandled) {
                    m_logs.failed.add(turn.failedLine, true);
                } else if (!turn.failedLine.isEmpty()) {
                    if (m_logs.failed.active())
                        m_logs.failed.add(turn.failedLine, true);
                    ++failures;
                    m_observer.counts(successes, failures);
                }
            } catch (const std::exception& e) {
                m_logs.failed.add(unhandledLine(turn.file, e), true);
            }
            m_observer.processEvents();
            try {
                m_logs.flushPartial();
            } catch (const std::exception& e) {
                m_logs.failed.add(unhandledLine(turn.file, e), true);
            }
        };

        auto picturesQueued = [&] {
            return std::count_if(turns.begin(), turns.end(), [](const PictureTurn& t) { return bool(t.job); });
        };
        while (!interrupted) {
            // The current picture and at most LookAhead after it are worked on.
            while (moreRows && picturesQueued() <= LookAhead && turns.size() < MaxTurnsQueued)
                readRow();
            if (turns.empty())
                break;
            takeTurn(turns.front());
            turns.pop_front();
        }
        // What was worked on ahead of a stop is dropped, not stored.
        turns.clear();
        workers.dropAll([this] { m_observer.processEvents(); });
        finish();
    } catch (const std::exception& e) {
        // An error before the loop ends the run; the window returns to its idle state.
        m_observer.statusText(QString());
        setRunning(false);
        m_messages.ShowErrorMessage(QString::fromUtf8(e.what()));
    }
}

void TConversionRun::finish()
{
    completed = true;
    const bool wasInterrupted = interrupted;
    m_logs.finish({wasInterrupted ? QStringLiteral("**** KONVERTERING AVBRUTEN ****") : QStringLiteral("**** KLART ****"),
                   logTimestamp(QDateTime::currentDateTime())});
    m_observer.statusText(QString());
    if (!wasInterrupted)
        m_messages.ShowInformation(QStringLiteral("Konvertering färdig!"));
    setRunning(false);
}

} // namespace b2d
