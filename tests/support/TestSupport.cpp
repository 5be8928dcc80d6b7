#include "support/TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>

#include <stdexcept>

namespace b2d::test {

ProcessResult runProcess(const QString& program, const QStringList& args, int timeoutMs,
                         const QString& workingDir)
{
    QProcess p;
    if (!workingDir.isEmpty())
        p.setWorkingDirectory(workingDir);
    p.start(program, args);
    ProcessResult r;
    if (!p.waitForStarted()) {
        r.err = p.errorString().toUtf8();
        return r;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = "timed out";
        return r;
    }
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

int freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("no free port on 127.0.0.1");
    return server.serverPort();
}

QString dataPath(const char* testDataRoot, const QString& name)
{
    return QString::fromUtf8(testDataRoot) + "/" + name;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

} // namespace b2d::test
