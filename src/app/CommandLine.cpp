#include "app/CommandLine.h"

#include "common/DCAppFileInformation.h"

namespace b2d {

namespace {

void printHelp(std::ostream& out)
{
    out << "bild2dicom " << compiledVersion().toStdString()
        << " - converts a clinic's picture archive into DICOM objects\n\n"
           "Usage:\n"
           "  bild2dicom              open the window\n"
           "  bild2dicom --version    print the version\n"
           "  bild2dicom --help       print this text\n";
    for (const Command& c : commands())
        out << "  bild2dicom " << c.synopsis << "\n";
}

} // namespace

int runCommandLine(const QStringList& args, std::ostream& out, std::ostream& err)
{
    if (args.isEmpty() || args[0] == "--help" || args[0] == "-h") {
        printHelp(out);
        return ExitOk;
    }
    if (args[0] == "--version") {
        out << "bild2dicom " << compiledVersion().toStdString() << "\n";
        return ExitOk;
    }
    for (const Command& c : commands()) {
        if (args[0] == QLatin1String(c.name))
            return c.run(args.mid(1), out, err);
    }
    err << "bild2dicom: unknown command or option '" << args[0].toStdString() << "'\n"
        << "Run 'bild2dicom --help' for the commands.\n";
    return ExitUsage;
}

} // namespace b2d
