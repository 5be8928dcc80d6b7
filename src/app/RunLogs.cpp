#include "app/RunLogs.h"

#include <QFile>

#include <stdexcept>

namespace b2d {

namespace {

[[noreturn]] void fileError(const QFile& file, const char* what)
{
    throw std::runtime_error(QStringLiteral("Kan inte %1 loggfilen %2: %3")
                                 .arg(QLatin1String(what), file.fileName(), file.errorString())
                                 .toStdString());
}

} // namespace

QString logRule()
{
    return QString(106, '-');
}

RunLog::RunLog(QString title, QString fileName, QObject* owner)
    : QObject(owner)
    , m_title(std::move(title))
    , m_fileName(std::move(fileName))
{
}

void RunLog::select(int index)
{
    m_selected = index >= 0 && index < m_lines.size() ? index : -1;
    emit selectionChanged(m_selected);
}

void RunLog::createLogFile()
{
    QFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fileError(file, "skapa");
}

void RunLog::clear()
{
    m_lines.clear();
    m_selected = -1;
    emit cleared();
}

void RunLog::add(const QString& line, bool select)
{
    m_lines.append(line);
    if (select)
        m_selected = int(m_lines.size()) - 1;
    emit added(line, select);
}

void RunLog::flushLog(bool final)
{
    qsizetype count = m_lines.size();
    if (!final) {
        if (count < PartialFlushLines)
            return;
        count = count / 2 + 1;
    }
    QFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        fileError(file, "öppna");
    QByteArray text;
    for (qsizetype i = 0; i < count; ++i) {
        // The log files are 8-bit text as they have always been, lines ended by CR LF.
        text += m_lines[i].toLatin1();
        text += "\r\n";
    }
    if (file.write(text) != text.size() || !file.flush())
        fileError(file, "skriva");
    file.close();
    m_lines.remove(0, count);
    m_selected = m_selected >= count ? m_selected - int(count) : -1;
    emit removedFromFront(int(count));
    if (final) {
        add(QStringLiteral("Denna logg finns sparad i filen"));
        add(QString());
        add(m_fileName);
    }
}

void RunLogs::start(const QStringList& headerLines)
{
    for (RunLog* log : {&ok, &failed}) {
        if (!log->active())
            continue;
        log->createLogFile();
        log->clear();
        for (const QString& line : headerLines)
            log->add(line);
    }
}

void RunLogs::flushPartial()
{
    for (RunLog* log : {&ok, &failed})
        if (log->active())
            log->flushLog(false);
}

void RunLogs::finish(const QStringList& closingLines)
{
    for (RunLog* log : {&ok, &failed}) {
        if (!log->active())
            continue;
        log->add(QString());
        for (qsizetype i = 0; i < closingLines.size(); ++i)
            log->add(closingLines[i], i + 1 == closingLines.size());
        log->flushLog(true);
    }
}

} // namespace b2d
