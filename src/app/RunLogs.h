#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace b2d {

// One run log (SUCCEED or FAILED): a list of lines, mirrored into a text file in portions while
// a run goes on and completely at its end. The window shows the list; the command line prints it.
class RunLog : public QObject {
    Q_OBJECT
public:
    // Lines moved to the file once a list has grown to this many.
    static constexpr int PartialFlushLines = 100;

    RunLog(QString title, QString fileName, QObject* owner = nullptr);

    const QString& title() const { return m_title; }
    const QString& fileName() const { return m_fileName; }
    void setFileName(const QString& fileName) { m_fileName = fileName; }
    // The "Log aktiv" switch.
    bool active() const { return m_active; }
    void setActive(bool active) { m_active = active; }

    const QStringList& lines() const { return m_lines; }
    // Index of the selected line, -1 when none.
    int selected() const { return m_selected; }
    QString selectedLine() const { return m_selected >= 0 ? m_lines[m_selected] : QString(); }
    void select(int index);

    // Creates the file, or empties it. Throws std::runtime_error naming the file on failure.
    void createLogFile();
    void clear();
    void add(const QString& line, bool select = false);
    // Partial: when the list holds at least 100 lines, moves half of them plus one to the file.
    // Final: moves every line, then adds "Denna logg finns sparad i filen", "" and the path.
    // Throws std::runtime_error on a write failure.
    void flushLog(bool final);

    // The header caption with its count, "SUCCEED (3)".
    QString header(int count) const { return m_title + " (" + QString::number(count) + ")"; }

Q_SIGNALS:
    void cleared();
    void added(const QString& line, bool selected);
    void removedFromFront(int count);
    void selectionChanged(int index);

private:
    QString m_title;
    QString m_fileName;
    bool m_active = true;
    QStringList m_lines;
    int m_selected = -1;
};

// The two logs of the program.
class RunLogs {
public:
    RunLogs(const QString& okFile, const QString& failedFile)
        : ok(QStringLiteral("SUCCEED"), okFile), failed(QStringLiteral("FAILED"), failedFile) {}
    RunLog ok;
    RunLog failed;

    // Start of a run or check: each active log gets a fresh file and list with the header lines.
    void start(const QStringList& headerLines);
    // Partial flush of each active log.
    void flushPartial();
    // End of a run or check: each active log gets an empty line, the closing lines (the last one
    // selected) and its final flush.
    void finish(const QStringList& closingLines);
    bool anyLines() const { return !ok.lines().isEmpty() || !failed.lines().isEmpty(); }
};

// A line of 106 hyphens, under the header of a run or check.
QString logRule();

} // namespace b2d
