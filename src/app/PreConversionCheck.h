#pragma once

#include "app/ConversionRun.h"

#include <QSet>
#include <QStringList>

#include <optional>

namespace b2d {

// The two questions of the check, answered beforehand (the command line's flags); an answer
// left empty is asked.
struct CheckAnswers {
    std::optional<bool> perTab;      // "Skall varje flik kontrolleras separat?"
    std::optional<bool> showNumbers; // "Skall kategorinr och ev. fliknr visas i loggen?"
};

// What one missing-item line names.
struct MissingItem {
    QString identity; // "Patient:" + PERSONNR + ", " + F_RNAMN + " " + EFTERNAMN
    QString tabName;
    int tab = 0;
    QString category;
    int katnr = 0;
    QString file;
};

// The line of a picture whose settings are missing, in the format the options ask for.
QString missingItemLine(const MissingItem& item, int urval, bool perTab, bool showNumbers, bool detailLog);

// "Kontrollera": whether modality and SOP class can be found for every picture of the patient
// range, with the lookups the run uses. Writes nothing to the database; reports into the logs.
class TPreConversionCheck : public ConversionJob {
public:
    using ConversionJob::ConversionJob;

    enum class Outcome { NotStarted, Finished, Interrupted, Failed };

    // Runs the whole check; returns when it has ended (or did not start).
    void btnCheckClick(const RunOptions& options, const CheckAnswers& answers = {});

    // Appends line unless the list of missing items already holds an equal one.
    void addMissingLine(const QString& line);
    // Ascending by the 16-bit character codes; lists of fewer than two lines stay as they are.
    static void sortLines(QStringList& list);
    // FIELDNAME of the tab-name row whose COUNTER is tab, or empty.
    QString tabName(int tab);

    // The last check: how it ended, the missing items (sorted), its range and the report
    // lines it composed for the logs.
    Outcome outcome = Outcome::NotStarted;
    QStringList missing;
    QStringList report;
    int start = 0;
    int stop = 0;

private:
    void checkRow(const RunOptions& options, bool perTab, bool showNumbers);
    void writeReport(bool wasInterrupted);

    QSet<QString> m_missingSet;
};

} // namespace b2d
