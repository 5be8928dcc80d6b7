#pragma once

#include "pictures/gfx_effects.h"

#include <QDateTime>
#include <QString>

#include <cstdint>

namespace b2d {

class ImageMultiHandler;
class Messages;
class RunLogs;
class Settings;
class TMainDatabase;
class TdmKolm;
class TdmRegFinder;

// The option controls of the window, one field each; the command line fills the same.
struct RunOptions {
    QString startNr;          // eStartNr, as typed
    QString stopNr;           // eStopNr, as typed
    int urval = 0;            // rgUrval: 0 "Kategori", 1 "Bildflik"
    bool shrink = false;      // rgOmskalning: "Minska upplösning" (true) or "Konvertera ej"
    FilterKind filter = DefaultFilterKind; // cbType
    QString maxMByte = QStringLiteral("40"); // eMaxMByte
    bool singleFlik = false;  // cbSingleFlik: one study per patient
    bool zlib = false;        // cbZLIB
    bool erase = false;       // cbErase
    bool singleCategory = false; // cbImageComments
    bool detailLog = false;   // cbDetaljKontrLog
};

// How a run reports while it goes on: the window shows it, the command line prints it.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    // running or interrupted changed.
    virtual void runStateChanged() {}
    virtual void statusText(const QString& text) { (void)text; }
    virtual void counts(int successes, int failures) { (void)successes, (void)failures; }
    // The run has come to picture `done` of `total` in its range, of patient patientNr.
    virtual void progress(int done, int total, int patientNr) { (void)done, (void)total, (void)patientNr; }
    // The list headers show their titles alone ("SUCCEED", "FAILED"), as during a check.
    virtual void headersWithoutCounts() {}
    // Called after each picture row (and now and then while counting rows): lets the user's
    // "Avbryt" reach the run.
    virtual void processEvents() {}
};

// What a run and a check share: the program's database side, logs and message routines, and
// the lookups of a picture's category settings.
class ConversionJob {
public:
    ConversionJob(TMainDatabase& db, RunLogs& logs, Messages& messages, RunObserver& observer)
        : m_db(db), m_logs(logs), m_messages(messages), m_observer(observer) {}
    virtual ~ConversionJob() = default;

    bool running = false;
    bool interrupted = false;
    bool checking = false;
    int minPatientNr = 0;
    int maxPatientNr = 0;

    struct CategorySettings {
        QString modality;
        QString sopClass;
        bool grey = false;
        QString studyDescription;
        QString sopClassUid;
    };

    // The category settings of the current picture: by its categories (urval 0) or its tab.
    bool findModality(int urval, CategorySettings& out);
    bool findInMainCategories(int category, int tab, CategorySettings& out);
    bool findInSubCategories(int category, int tab, CategorySettings& out);
    bool findByTab(int tab, CategorySettings& out);
    // The image-comment text: the category's own name, then the names of the sub-categories used
    // under it, each followed by a carriage return. With singleCategory only the own name.
    QString buildImageComments(bool singleCategory);
    // Millimetres per pixel and zoom of the current picture, 0 when unknown.
    void getPixelSpacing(float& spacing, float& zoom);
    int firstRecordOf(int patientNr);
    int lastRecordOf(int patientNr);

    // "Avbryt": asks, and on Yes marks the run to stop after the current picture.
    void btnCancelClick();

    // The clamped range; an empty edit means the smallest or largest patient number.
    void clampRange(const RunOptions& options, int& start, int& stop) const;

protected:
    // Text of the edit, or the number it stands for when empty.
    static QString rangeText(const QString& edit, int fallback);
    // ", PERSONNR, F_RNAMN EFTERNAMN" with "Detalj. log", else empty.
    QString detail(bool detailLog) const;
    void setRunning(bool value);

    TMainDatabase& m_db;
    RunLogs& m_logs;
    Messages& m_messages;
    RunObserver& m_observer;
};

// "Starta konvertering": every picture of the range into the selected series' store.
class TConversionRun : public ConversionJob {
public:
    TConversionRun(TMainDatabase& db, RunLogs& logs, Messages& messages, RunObserver& observer, Settings& settings,
                   ImageMultiHandler& handlers, TdmKolm& kolm, TdmRegFinder& regFinder)
        : ConversionJob(db, logs, messages, observer), m_settings(settings), m_handlers(handlers), m_kolm(kolm),
          m_regFinder(regFinder) {}

    int successes = 0;
    int failures = 0;
    QDateTime startTime;
    // The last run went through its pictures to its closing lines (interrupted or not); false
    // when it did not start or an error ended it before the loop.
    bool completed = false;

    // Runs the whole conversion; returns when it has ended (or did not start). Errors before
    // the loop end the run with a message and leave it idle.
    void btnExecuteClick(const RunOptions& options);

    // Text of the estimated remaining time at record recNo (empty in the first minute and
    // the first 50 rows).
    QString remainingTimeText(int recNo, const QDateTime& now) const;

private:
    void finish();

    Settings& m_settings;
    ImageMultiHandler& m_handlers;
    TdmKolm& m_kolm;
    TdmRegFinder& m_regFinder;
    int m_first = 0;
    int m_last = 0;
};

// The statement that selects the pictures of a range (with a tab), in patient, date and number order.
QString rangeSelectionSql(const QString& startText, const QString& stopText);

// "yyyy-MM-dd HH:mm:ss", the date and time texts of log headers and closing lines.
QString logTimestamp(const QDateTime& when);

} // namespace b2d
