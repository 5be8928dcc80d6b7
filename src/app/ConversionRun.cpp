#include "app/ConversionRun.h"

#include "app/MainDatabase.h"
#include "app/RunLogs.h"
#include "common/Messages.h"
#include "db/uKolm.h"
#include "db/uRegFinder.h"
#include "dicom/uDicom.h"
#include "stores/ImageData.h"

#include <cmath>

namespace b2d {

namespace {

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
        ConversionContext context;
        context.standardTags = &tags;
        context.handler = handler;
        context.clinic = [this](const QDateTime& datum, int patientNr, const QString& field) -> std::optional<QString> {
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

        const int total = m_last - m_first + 1;
        int counter = 0, currentPatient = 0, lastPicture = 0;
        qint64 currentDate = 0;
        QDateTime firstDate;
        TVTAdoQuery& pics = m_db.qryPatbilder;
        pics.First();
        while (!pics.Eof() && !interrupted) {
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
                    continue;
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
                    m_observer.progress(pics.RecNo() - m_first + 1, total, p);
                    m_observer.statusText("Record: " + QString::number(pics.RecNo() - m_first + 1) + " ("
                                          + QString::number(total) + ")"
                                          + remainingTimeText(pics.RecNo(), QDateTime::currentDateTime()));
                    file = pics.FieldByName("BILDKATDIR").toString() + pics.FieldByName("BILDNAMN").toString();
                    const QString who = "Patientnr: " + QString::number(p) + detail(options.detailLog);
                    CategorySettings cat;
                    if (!lopnrOk) {
                        const QString line = "FAILED - " + who + ", Bild: " + file + " - LOPNR i PATBILDER är inget heltal: \""
                                             + (lopnrField.isNull() ? QString() : lopnrField.toString()) + "\"";
                        if (m_logs.failed.active())
                            m_logs.failed.add(line, true);
                        ++failures;
                    } else if (findModality(options.urval, cat)) {
                        in.file = file;
                        in.modality = cat.modality;
                        in.sopClassUid = cat.sopClassUid;
                        in.instanceCounter = counter;
                        in.grey = cat.grey;
                        in.imageComments = buildImageComments(options.singleCategory);
                        in.firstDate = firstDate;
                        in.pixelSpacing = spacing;
                        in.zoom = zoom;
                        in.studyDescription = cat.studyDescription;

                        PictureRows rows;
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

                        ConvertOutput out;
                        if (convertToDicom(in, rows, context, out)) {
                            m_kolm.KolmUpdate(p, lopnr, out.sopInstanceUid, options.erase, m_db.patanalyserOpen);
                            const QString line = who + ", Bild: " + file + " (" + QString::number(out.size) + " byte)"
                                                 + (out.resized ? QStringLiteral(", resized") : QString());
                            if (m_logs.ok.active())
                                m_logs.ok.add(line, true);
                            ++successes;
                        } else {
                            const QString line = "FAILED - " + who + ", Bild: " + file + " ("
                                                 + QString::number(out.size) + " byte) - " + out.errorText
                                                 + ", Modality: " + cat.modality + ", SOPClass: " + cat.sopClass
                                                 + ", SOPClassUID: " + cat.sopClassUid;
                            if (m_logs.failed.active())
                                m_logs.failed.add(line, true);
                            ++failures;
                        }
                    } else {
                        const QString line = "FAILED - " + who + ", Bild: " + file
                                             + " - Modality/SOPClass not found (Kategori: "
                                             + fieldOrNull(m_db.qryKategorier, "KATEGORI").toString()
                                             + ", Bildflik: " + pics.FieldByName("BILDFLIK").toString() + ")";
                        if (m_logs.failed.active())
                            m_logs.failed.add(line, true);
                        ++failures;
                    }
                    m_observer.counts(successes, failures);
                }
            } catch (const std::exception& e) {
                m_logs.failed.add("Ohanterat fel i konverteringen av bild " + file + ": " + QString::fromUtf8(e.what()), true);
            }
            m_observer.processEvents();
            ++counter;
            const int before = pics.RecNo();
            try {
                if (p > stop)
                    pics.Last();
                else
                    pics.Next();
                m_logs.flushPartial();
            } catch (const std::exception& e) {
                m_logs.failed.add("Ohanterat fel i konverteringen av bild " + file + ": " + QString::fromUtf8(e.what()), true);
                if (pics.RecNo() == before && !pics.Eof()) {
                    try {
                        pics.Next();
                    } catch (const std::exception&) {
                    }
                    if (pics.RecNo() == before)
                        break; // the picture query cannot move on: end the run rather than loop
                }
            }
        }
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
