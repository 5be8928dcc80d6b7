#include "E2eSupport.h"

#include <QDirIterator>
#include <QSqlError>
#include <QSqlRecord>
#include <QUuid>

#include <stdexcept>

namespace b2d::test {

DemoFixture::DemoFixture()
    : info(createDemoPractice(dir.filePath("demo"), false))
    , m_connection(QUuid::createUuid().toString())
{
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", m_connection);
    db.setDatabaseName(info.databaseFile);
    if (!db.open())
        throw std::runtime_error("cannot open the demo database");
}

DemoFixture::~DemoFixture()
{
    QSqlDatabase::database(m_connection).close();
    QSqlDatabase::removeDatabase(m_connection);
}

QVariant DemoFixture::scalar(const QString& sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(sql))
        throw std::runtime_error((sql + ": " + q.lastError().text()).toStdString());
    return q.next() ? q.value(0) : QVariant();
}

void DemoFixture::exec(const QString& sql)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(sql))
        throw std::runtime_error((sql + ": " + q.lastError().text()).toStdString());
}

QStringList DemoFixture::rows(const QString& sql, bool keepOrder)
{
    QSqlQuery q(QSqlDatabase::database(m_connection));
    if (!q.exec(sql))
        throw std::runtime_error((sql + ": " + q.lastError().text()).toStdString());
    QStringList out;
    while (q.next()) {
        QStringList values;
        for (int i = 0; i < q.record().count(); ++i)
            values << (q.value(i).isNull() ? QStringLiteral("NULL") : q.value(i).toString());
        out << values.join('|');
    }
    if (!keepOrder)
        out.sort();
    return out;
}

ProcessResult DemoFixture::run(const QStringList& args, int timeoutMs)
{
    return runProcess(B2D_BINARY, args, timeoutMs, info.folder);
}

QStringList DemoFixture::logLines(const char* name) const
{
    const QString text = QString::fromLatin1(readAll(info.folder + "/" + name));
    QStringList lines = text.split("\r\n");
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList dicomFiles(const QString& root)
{
    QStringList files;
    QDirIterator it(root, {"*.dcm"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

} // namespace b2d::test
