#pragma once

#include <QStringList>

#include <functional>
#include <ostream>

namespace b2d {

// Exit statuses of the command line.
enum ExitStatus : int {
    ExitOk = 0,          // every picture succeeded, nothing missing
    ExitSomeFailed = 1,  // some pictures failed (or the check found something missing)
    ExitUsage = 2,       // usage, connection or set-up error
    ExitInterrupted = 130,
};

// One command of the command line: `bild2dicom NAME ...`.
struct Command {
    const char* name;
    const char* synopsis; // shown by --help
    std::function<int(const QStringList& args, std::ostream& out, std::ostream& err)> run;
};

// The commands this build offers, in the order --help lists them.
const std::vector<Command>& commands();

// Runs the command line (args without the program name): "--version", "--help" or a command.
// Returns the exit status.
int runCommandLine(const QStringList& args, std::ostream& out, std::ostream& err);

} // namespace b2d
