#include "app/CommandLine.h"
#include "app/PreConversionCheck.h"
#include "app/RunSession.h"
#include "common/Messages.h"
#include "common/Settings.h"
#include "db/DemoPractice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <iostream>
#include <map>
#include <optional>

#include <unistd.h>

namespace b2d {

namespace {

std::atomic<bool> interruptRequested{false};

extern "C" void onInterrupt(int)
{
    interruptRequested = true;
    std::signal(SIGINT, SIG_DFL); // a second Ctrl-C ends the program at once
}

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Flags of the form --name or --name VALUE.
class Flags {
public:
    Flags(const QStringList& args, const std::map<QString, bool>& known) // name -> takes a value
    {
        for (qsizetype i = 0; i < args.size(); ++i) {
            const QString& a = args[i];
            if (!a.startsWith("--")) {
                positional << a;
                continue;
            }
            const auto it = known.find(a);
            if (it == known.end())
                throw UsageError("unknown option " + a.toStdString());
            if (it->second) {
                if (i + 1 >= args.size())
                    throw UsageError("option " + a.toStdString() + " needs a value");
                m_values[a] = args[++i];
            } else {
                m_values[a] = QString();
            }
        }
    }
    bool has(const char* name) const { return m_values.count(QLatin1String(name)) > 0; }
    QString value(const char* name, const QString& fallback = {}) const
    {
        const auto it = m_values.find(QLatin1String(name));
        return it == m_values.end() ? fallback : it->second;
    }
    QStringList positional;

private:
    std::map<QString, QString> m_values;
};

// Progress of a run or check on the terminal: a bar with the count, the patient and the
// remaining time; elsewhere plain lines. Ctrl-C acts as "Avbryt" on the job attached.
class ConsoleRunObserver : public RunObserver {
public:
    ConsoleRunObserver(std::ostream& out) : m_out(out), m_tty(isatty(STDERR_FILENO)) {}
    void attach(RunSession& session, ConversionJob& job)
    {
        m_job = &job;
        QObject::connect(&session.logs.ok, &RunLog::added, [this](const QString& line, bool) { logLine(line); });
        QObject::connect(&session.logs.failed, &RunLog::added, [this](const QString& line, bool) { logLine(line); });
    }
    void statusText(const QString& text) override
    {
        m_status = text;
        // The run clears its status when it ends: the bar goes, so that the closing message
        // stands on a line of its own.
        if (text.isEmpty())
            endBar();
        else if (m_tty)
            drawBar();
    }
    void counts(int successes, int failures) override
    {
        m_successes = successes;
        m_failures = failures;
        if (m_tty)
            drawBar();
    }
    void headersWithoutCounts() override { m_showCounts = false; }
    void progress(int done, int total, int patientNr) override
    {
        m_done = done;
        m_total = total;
        m_patient = patientNr;
    }
    void processEvents() override
    {
        if (interruptRequested && m_job && !m_job->interrupted) {
            m_job->interrupted = true;
            statusText(QStringLiteral("AVBRYTER ..... (vänta tills pågående bild är klar)"));
            if (!m_tty)
                std::cerr << "Avbryter: den pågående bilden görs klar." << std::endl;
        }
    }
    void endBar()
    {
        if (m_tty && m_barShown)
            std::cerr << "\r\033[K" << std::flush;
        m_barShown = false;
    }

private:
    void logLine(const QString& line)
    {
        // Picture lines only; the header, rule and closing lines are in the log files.
        if (!line.startsWith("Patientnr: ") && !line.startsWith("FAILED - ") && !line.startsWith("Ohanterat fel")
            && !line.startsWith("Error in UPDATE"))
            return;
        endBar();
        std::ostream& stream = line.startsWith("Patientnr: ") ? m_out : std::cerr;
        if (!m_tty || !line.startsWith("Patientnr: "))
            stream << messageToPlainText(line).toStdString() << std::endl;
        if (m_tty)
            drawBar();
    }
    void drawBar()
    {
        QString text = m_showCounts ? QStringLiteral("%1 klara, %2 misslyckade  ").arg(m_successes).arg(m_failures)
                                    : QString();
        text += m_status;
        QString bar;
        if (m_total > 0) {
            const int width = 24;
            const int filled = int(qint64(std::clamp(m_done, 0, m_total)) * width / m_total);
            bar = "[" + QString(filled, '#') + QString(width - filled, '-') + "] "
                  + QStringLiteral("%1/%2  Patientnr %3  ").arg(m_done).arg(m_total).arg(m_patient);
        }
        std::cerr << "\r\033[K" << (bar + text).left(150).toStdString() << std::flush;
        m_barShown = true;
    }

    std::ostream& m_out;
    bool m_tty;
    bool m_barShown = false;
    ConversionJob* m_job = nullptr;
    bool m_showCounts = true;
    QString m_status;
    int m_successes = 0, m_failures = 0;
    int m_done = 0, m_total = 0, m_patient = 0;
};

std::optional<FilterKind> filterByName(const QString& name)
{
    static const char* names[] = {"SplineFilter", "BellFilter", "TriangleFilter", "BoxFilter",
                                  "HermiteFilter", "Lanczos3Filter", "MitchellFilter"};
    for (int i = 0; i < 7; ++i) {
        const QString full = QLatin1String(names[i]);
        if (name.compare(full, Qt::CaseInsensitive) == 0 || name.compare(full.chopped(6), Qt::CaseInsensitive) == 0)
            return FilterKind(i);
    }
    return std::nullopt;
}

const std::map<QString, bool> runFlags = {
    {"--udl", true}, {"--series", true}, {"--user", true}, {"--password", true}, {"--from", true},
    {"--to", true}, {"--method", true}, {"--shrink", true}, {"--no-shrink", false}, {"--max-mb", true},
    {"--one-study-per-patient", false}, {"--zlib", false}, {"--erase", false}, {"--single-category", false},
    {"--detail-log", false}, {"--no-succeed-log", false}, {"--no-failed-log", false}, {"--yes", false},
    {"--log-dir", true},
};

RunOptions runOptionsFrom(const Flags& flags)
{
    RunOptions o;
    o.startNr = flags.value("--from");
    o.stopNr = flags.value("--to");
    for (const QString& nr : {o.startNr, o.stopNr}) {
        bool ok = true;
        if (!nr.isEmpty())
            nr.toInt(&ok);
        if (!ok)
            throw UsageError("--from and --to take patient numbers");
    }
    const QString method = flags.value("--method", QStringLiteral("kategori")).toLower();
    if (method != "kategori" && method != "bildflik")
        throw UsageError("--method is kategori or bildflik");
    o.urval = method == "bildflik" ? 1 : 0;
    if (flags.has("--shrink") && flags.has("--no-shrink"))
        throw UsageError("--shrink and --no-shrink exclude each other");
    if (flags.has("--shrink")) {
        const auto filter = filterByName(flags.value("--shrink"));
        if (!filter)
            throw UsageError("unknown filter " + flags.value("--shrink").toStdString()
                             + " (Spline, Bell, Triangle, Box, Hermite, Lanczos3, Mitchell)");
        o.shrink = true;
        o.filter = *filter;
    }
    o.maxMByte = flags.value("--max-mb", QStringLiteral("40"));
    bool ok = false;
    const uint mb = o.maxMByte.toUInt(&ok);
    if (!ok || mb == 0 || mb > 4294)
        throw UsageError("--max-mb takes a whole number of megabytes from 1 to 4294");
    o.singleFlik = flags.has("--one-study-per-patient");
    o.zlib = flags.has("--zlib");
    o.erase = flags.has("--erase");
    o.singleCategory = flags.has("--single-category");
    o.detailLog = flags.has("--detail-log");
    return o;
}

QString folderWithSeparator(const QString& folder)
{
    QString f = QDir(folder).absolutePath();
    return f.endsWith('/') ? f : f + '/';
}

// Connects to the data-link file's database and selects the series; the exit status when that
// fails.
std::optional<int> openSession(RunSession& session, const QString& udl, const QString& series, const Flags& flags,
                               std::ostream& err)
{
    if (!QFileInfo(udl).isFile()) {
        err << "bild2dicom: the data-link file " << udl.toStdString() << " does not exist\n";
        return ExitUsage;
    }
    if (!session.connect(udl, flags.value("--user"), flags.value("--password"), nullptr))
        return ExitUsage;
    if (!session.selectSeries(series)) {
        err << "bild2dicom: no picture series " << series.toStdString() << " with an image store; there are: "
            << session.seriesNames().join(", ").toStdString() << "\n";
        return ExitUsage;
    }
    return std::nullopt;
}

// Runs job with Ctrl-C acting as "Avbryt"; whether Ctrl-C was pressed.
bool interruptible(const std::function<void()>& job)
{
    interruptRequested = false;
    std::signal(SIGINT, onInterrupt);
    job();
    std::signal(SIGINT, SIG_DFL);
    return interruptRequested;
}

// Connects, selects the series and runs; the exit status.
int convert(const QString& udl, const QString& series, const Flags& flags, const QString& logFolder,
            std::ostream& out, std::ostream& err)
{
    const RunOptions options = runOptionsFrom(flags);
    auto settings = Settings::createDefault(currentWorkFolder());
    ConsoleMessages messages(true); // nothing of the run needs the user's answer on the command line
    ConsoleRunObserver observer(out);
    RunSession session(*settings, messages, observer, logFolder);
    observer.attach(session, session.run);
    session.logs.ok.setActive(!flags.has("--no-succeed-log"));
    session.logs.failed.setActive(!flags.has("--no-failed-log"));
    if (const auto status = openSession(session, udl, series, flags, err))
        return *status;

    const bool interrupted = interruptible([&] { session.run.btnExecuteClick(options); });
    observer.endBar();

    out << "\nSUCCEED: " << session.run.successes << "  FAILED: " << session.run.failures << "\n"
        << "Loggar: " << session.logs.ok.fileName().toStdString() << "\n"
        << "        " << session.logs.failed.fileName().toStdString() << "\n";
    if (!session.run.completed)
        return ExitUsage; // no store for the series, or an error before the first picture
    if (interrupted)
        return ExitInterrupted;
    return session.run.failures > 0 ? ExitSomeFailed : ExitOk;
}

int runCommand(const QStringList& args, std::ostream& out, std::ostream& err)
{
    try {
        const Flags flags(args, runFlags);
        if (!flags.positional.isEmpty())
            throw UsageError("unexpected argument " + flags.positional.front().toStdString());
        if (!flags.has("--udl") || !flags.has("--series"))
            throw UsageError("run needs --udl FILE and --series NAME-OR-NUMBER");
        const QString logFolder = folderWithSeparator(flags.value("--log-dir", QDir::currentPath()));
        return convert(flags.value("--udl"), flags.value("--series"), flags, logFolder, out, err);
    } catch (const UsageError& e) {
        err << "bild2dicom run: " << e.what() << "\nRun 'bild2dicom --help' for the options.\n";
        return ExitUsage;
    }
}

const std::map<QString, bool> checkFlags = {
    {"--udl", true},  {"--series", true}, {"--user", true},     {"--password", true},     {"--from", true},
    {"--to", true},   {"--method", true}, {"--per-tab", false}, {"--show-numbers", false}, {"--detail-log", false},
    {"--log-dir", true},
};

int checkCommand(const QStringList& args, std::ostream& out, std::ostream& err)
{
    try {
        const Flags flags(args, checkFlags);
        if (!flags.positional.isEmpty())
            throw UsageError("unexpected argument " + flags.positional.front().toStdString());
        if (!flags.has("--udl") || !flags.has("--series"))
            throw UsageError("check needs --udl FILE and --series NAME-OR-NUMBER");
        const QString logFolder = folderWithSeparator(flags.value("--log-dir", QDir::currentPath()));
        const RunOptions options = runOptionsFrom(flags);

        auto settings = Settings::createDefault(currentWorkFolder());
        ConsoleMessages messages(true);
        ConsoleRunObserver observer(out);
        RunSession session(*settings, messages, observer, logFolder);
        TPreConversionCheck check(session.db, session.logs, messages, observer);
        observer.attach(session, check);
        if (const auto status = openSession(session, flags.value("--udl"), flags.value("--series"), flags, err))
            return *status;
        check.minPatientNr = session.db.minPatientNr;
        check.maxPatientNr = session.db.maxPatientNr;

        const CheckAnswers answers{flags.has("--per-tab"), flags.has("--show-numbers")};
        interruptible([&] { check.btnCheckClick(options, answers); });
        observer.endBar();

        for (const QString& line : check.report)
            out << line.toStdString() << "\n";
        out << "\nLogg: "
            << (check.missing.isEmpty() ? session.logs.ok : session.logs.failed).fileName().toStdString() << "\n";
        switch (check.outcome) {
        case TPreConversionCheck::Outcome::Finished:
            return check.missing.isEmpty() ? ExitOk : ExitSomeFailed;
        case TPreConversionCheck::Outcome::Interrupted:
            return ExitInterrupted;
        case TPreConversionCheck::Outcome::NotStarted:
        case TPreConversionCheck::Outcome::Failed:
            break;
        }
        return ExitUsage;
    } catch (const UsageError& e) {
        err << "bild2dicom check: " << e.what() << "\nRun 'bild2dicom --help' for the options.\n";
        return ExitUsage;
    }
}

int demoCommand(const QStringList& args, std::ostream& out, std::ostream& err)
{
    try {
        const Flags flags(args, {{"--create", false}, {"--force", false}});
        if (flags.positional.size() > 1)
            throw UsageError("demo takes one folder");
        const QString dir = QDir(flags.positional.isEmpty() ? QStringLiteral("demo") : flags.positional.front()).absolutePath();
        const QString udl = dir + "/praktik.udl";
        if (flags.has("--create") || flags.has("--force") || !QFileInfo(udl).isFile()) {
            const DemoPracticeInfo info = createDemoPractice(dir, flags.has("--force"));
            out << "Demopraktik skapad i " << info.folder.toStdString() << ": " << info.patients << " patienter, "
                << info.pictures << " bilder\n";
            if (flags.has("--create"))
                return ExitOk;
        }
        out << "Konverterar alla patienter till DICOM-katalogen " << (dir + "/DicomDir/").toStdString() << "\n";
        const QStringList runArgs = {"--yes"};
        const Flags runFlagsParsed(runArgs, runFlags);
        const int status = convert(udl, QStringLiteral("Dicomkatalog"), runFlagsParsed, dir + "/", out, err);
        out << "DICOM-objekten finns i " << (dir + "/DicomDir/").toStdString() << "\n";
        // The demo practice has a category without settings and an over-large picture on purpose.
        return status == ExitSomeFailed ? ExitOk : status;
    } catch (const DemoPracticeError& e) {
        err << "bild2dicom demo: " << e.text().toStdString() << "\n";
        return ExitUsage;
    } catch (const UsageError& e) {
        err << "bild2dicom demo: " << e.what() << "\n";
        return ExitUsage;
    }
}

} // namespace

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        {"run",
         "run --udl FILE --series NAME-OR-NUMBER [--user U --password P] [--from N] [--to N]\n"
         "                   [--method kategori|bildflik] [--shrink FILTER | --no-shrink] [--max-mb N]\n"
         "                   [--one-study-per-patient] [--zlib] [--erase] [--single-category] [--detail-log]\n"
         "                   [--no-succeed-log] [--no-failed-log] [--yes] [--log-dir DIR]\n"
         "                          convert the pictures of a patient range",
         runCommand},
        {"check",
         "check --udl FILE --series NAME-OR-NUMBER [--user U --password P] [--from N] [--to N]\n"
         "                   [--method kategori|bildflik] [--per-tab] [--show-numbers] [--detail-log]\n"
         "                   [--log-dir DIR]\n"
         "                          find the pictures of a patient range whose category or tab has\n"
         "                          no DICOM settings in the series; exits 1 when some have none",
         checkCommand},
        {"demo",
         "demo [DIR] [--create] [--force]\n"
         "                          make the demo practice in DIR (default ./demo) and convert it",
         demoCommand},
    };
    return table;
}

} // namespace b2d
