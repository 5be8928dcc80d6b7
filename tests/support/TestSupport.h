#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace b2d::test {

// Result of running an outside program to completion.
struct ProcessResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs program with args and waits (at most timeoutMs); a program that cannot start gives
// exitCode -1 and the reason in err.
ProcessResult runProcess(const QString& program, const QStringList& args, int timeoutMs = 120000,
                         const QString& workingDir = {});

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeTcpPort();

// Path of a file beside the tests: B2D_TEST_DATA of the calling test folder + "/" + name.
QString dataPath(const char* testDataRoot, const QString& name);

QByteArray readAll(const QString& path);
void writeAll(const QString& path, const QByteArray& data);

} // namespace b2d::test
