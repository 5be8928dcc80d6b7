#include "app/PreConversionCheck.h"

#include "app/MainDatabase.h"
#include "app/RunLogs.h"
#include "common/Messages.h"

#include <algorithm>
#include <vector>

namespace b2d {

namespace {

QString fieldText(const TVTAdoQuery& query, const char* name)
{
    if (!query.Active() || query.IsEmpty())
        return {};
    return query.FieldByName(QLatin1String(name)).toString();
}

int fieldInt(const TVTAdoQuery& query, const char* name)
{
    if (!query.Active() || query.IsEmpty())
        return 0;
    const QVariant v = query.FieldByName(QLatin1String(name));
    return v.isNull() ? 0 : v.toInt();
}

QString quoted(const QString& text)
{
    return u'"' + text + u'"';
}

bool ordinalLess(const QString& a, const QString& b)
{
    return std::lexicographical_compare(a.utf16(), a.utf16() + a.size(), b.utf16(), b.utf16() + b.size());
}

} // namespace

QString missingItemLine(const MissingItem& item, int urval, bool perTab, bool showNumbers, bool detailLog)
{
    const QString tabNr = " (" + QString::number(item.tab) + ")";
    const QString katNr = " (" + QString::number(item.katnr) + ")";
    // The lookup by tab always names the numbers: the tab alone says little about the picture.
    if (urval != 0)
        showNumbers = true;
    QString line;
    if (detailLog) {
        line = item.identity;
        if (perTab)
            line += ",  Flik " + quoted(item.tabName) + (showNumbers ? tabNr : QString());
        line += ",  Kategori " + quoted(item.category) + (showNumbers ? katNr : QString());
        return line + " saknas, Bild: " + item.file;
    }
    if (perTab)
        line = "Flik " + quoted(item.tabName) + (showNumbers ? tabNr + ", " : QStringLiteral(", "));
    line += "Kategori " + quoted(item.category) + (showNumbers ? katNr : QString());
    return line + " saknas";
}

void TPreConversionCheck::addMissingLine(const QString& line)
{
    if (m_missingSet.contains(line))
        return;
    m_missingSet.insert(line);
    missing << line;
}

void TPreConversionCheck::sortLines(QStringList& list)
{
    if (list.size() < 2)
        return;
    // Equal lines cannot be told apart, so any sort by this order gives the exchange sort's
    // result, in n log n rather than n² comparisons (a detailed check has a line per picture).
    std::sort(list.begin(), list.end(), ordinalLess);
}

QString TPreConversionCheck::tabName(int tab)
{
    TVTAdoQuery& q = m_db.qryFlikar;
    if (!q.Active() || q.IsEmpty())
        return {};
    for (q.First(); !q.Eof(); q.Next()) {
        const QVariant counter = q.FieldByName("COUNTER");
        if (!counter.isNull() && counter.toInt() == tab)
            return q.FieldByName("FIELDNAME").toString();
    }
    return {};
}

void TPreConversionCheck::checkRow(const RunOptions& options, bool perTab, bool showNumbers)
{
    const TVTAdoQuery& pics = m_db.qryPatbilder;
    MissingItem item;
    item.tab = fieldInt(pics, "BILDFLIK");
    // Only the picture's first category row is looked up.
    TVTAdoQuery& cats = m_db.qryKategorier;
    if (cats.Active() && !cats.IsEmpty())
        cats.First();
    item.katnr = fieldInt(cats, "KATNR");

    CategorySettings found;
    const bool ok = options.urval == 0
                        ? findInMainCategories(item.katnr, item.tab, found)
                              || findInSubCategories(item.katnr, item.tab, found)
                        : findByTab(item.tab, found);
    if (ok)
        return;

    // The tab name and the patient are read only for lines that show them.
    if (perTab)
        item.tabName = tabName(item.tab);
    item.category = fieldText(cats, "KATEGORI");
    if (options.detailLog) {
        const TVTAdoQuery& k = m_db.qryKunder;
        item.identity = "Patient:" + fieldText(k, "PERSONNR") + ", " + fieldText(k, "F_RNAMN") + " "
                        + fieldText(k, "EFTERNAMN");
        item.file = fieldText(pics, "BILDKATDIR") + fieldText(pics, "BILDNAMN");
    }
    addMissingLine(missingItemLine(item, options.urval, perTab, showNumbers, options.detailLog));
}

void TPreConversionCheck::writeReport(bool wasInterrupted)
{
    const QString range = "Patient nr " + QString::number(start) + " till " + QString::number(stop);
    const QString closing = wasInterrupted ? QStringLiteral("**** KONTROLL AVBRUTEN ****") : QStringLiteral("**** KLART ****");
    sortLines(missing);
    if (!missing.isEmpty()) {
        report = QStringList{range, QString(), QStringLiteral("Modality/SOPClass kan ej sättas för alla bilder eftersom:"),
                             QString()}
                 + missing + QStringList{QString(), closing};
        if (m_logs.failed.active()) {
            for (const QString& line : report)
                m_logs.failed.add(line);
            m_logs.ok.clear();
            m_logs.failed.flushLog(true);
        }
    } else {
        report = QStringList{range, QString(), QStringLiteral("Modality/SOPClass kan sättas för alla bilder."), QString(),
                             closing};
        if (m_logs.ok.active()) {
            for (const QString& line : report)
                m_logs.ok.add(line);
            m_logs.failed.clear();
            m_logs.ok.flushLog(true);
        }
    }
}

void TPreConversionCheck::btnCheckClick(const RunOptions& options, const CheckAnswers& answers)
{
    outcome = Outcome::NotStarted;
    if (running || !m_db.ADOCon_Tasvik.Connected() || !m_db.qryPatbilder.Active())
        return;
    m_messages.ShowInformation(QStringLiteral(
        "OBS! Tänk på att endast den bildserie som är markerad kontrolleras!\r\r"
        "Om flera bildserier används vid konverteringen kan eventuellt saknade kategorier/flikar finnas med i någon "
        "annan.\rDetta måste dock kontrolleras manuellt."));
    if (m_logs.anyLines()
        && m_messages.AskYesNo(QStringLiteral("Innehållet i listboxar kommer att raderas\r\rFortsätt?")) != mrYes)
        return;
    const bool perTab = answers.perTab ? *answers.perTab
                                       : m_messages.AskYesNo(QStringLiteral("Skall varje flik kontrolleras separat?")) == mrYes;
    const bool showNumbers =
        answers.showNumbers ? *answers.showNumbers
                            : m_messages.AskYesNo(QStringLiteral("Skall kategorinr och ev. fliknr visas i loggen?")) == mrYes;

    checking = true;
    setRunning(true);
    m_observer.headersWithoutCounts();
    missing.clear();
    m_missingSet.clear();
    report.clear();

    // The check reads no resolution, and the patient only for "Detalj. log": keep those detail
    // queries from re-opening at every row.
    std::vector<TVTAdoQuery*> unused{&m_db.qryPatanalyser, &m_db.qryPatbilderextra};
    if (!options.detailLog)
        unused.push_back(&m_db.qryKunder);
    std::vector<TVTAdoQuery*> closed;
    for (TVTAdoQuery* q : unused) {
        if (q->Active()) {
            q->Close();
            closed.push_back(q);
        }
    }
    // Quietly: the run re-opens them itself and reports what stands in its way.
    auto reopenUnused = [&] {
        for (TVTAdoQuery* q : closed) {
            try {
                q->Open();
            } catch (const std::exception&) {
            }
        }
    };

    QString error;
    try {
        const QDateTime now = QDateTime::currentDateTime();
        m_logs.start({"Kontroll startad " + now.toString(QStringLiteral("yyyy-MM-dd")) + ", "
                          + now.toString(QStringLiteral("HH:mm:ss")),
                      QString(53, u'-')});
        clampRange(options, start, stop);

        // A run leaves the picture query holding its own range only. Checked as it stands for
        // another range, the patients outside it would pass unseen, so the check then looks at
        // every picture again, as right after connecting.
        TVTAdoQuery& pics = m_db.qryPatbilder;
        const QStringList everyPicture{TMainDatabase::allPicturesSql()};
        const QStringList runOfThisRange{
            rangeSelectionSql(rangeText(options.startNr, minPatientNr), rangeText(options.stopNr, maxPatientNr))};
        if (pics.SQL() != everyPicture && pics.SQL() != runOfThisRange) {
            pics.Close();
            pics.setSQL(everyPicture);
            pics.Open();
        }
        pics.First();
        while (!pics.Eof() && !interrupted) {
            const int p = fieldInt(pics, "PATIENTNR");
            if (start <= p && p <= stop) {
                m_observer.statusText("Patient nr: " + QString::number(p));
                checkRow(options, perTab, showNumbers);
            }
            m_observer.processEvents();
            if (p > stop)
                pics.Last();
            else
                pics.Next();
            m_logs.flushPartial();
        }

        const bool wasInterrupted = interrupted;
        writeReport(wasInterrupted);
        m_observer.statusText(QString());
        if (!wasInterrupted)
            m_messages.ShowMessageText(QStringLiteral("Klar !"));
        outcome = wasInterrupted ? Outcome::Interrupted : Outcome::Finished;
    } catch (const std::exception& e) {
        // A picture that could not be looked at leaves the check without a result rather
        // than with a wrong one; the window returns to its idle state.
        outcome = Outcome::Failed;
        error = QString::fromUtf8(e.what());
        m_observer.statusText(QString());
    }
    reopenUnused();
    checking = false;
    setRunning(false);
    if (outcome == Outcome::Failed)
        m_messages.ShowErrorMessage(error);
}

} // namespace b2d
