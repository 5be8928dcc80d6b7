#include "app/CommandLine.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace b2d;

TEST(CommandLine, VersionHelpAndUnknownCommand)
{
    struct Case {
        QStringList args;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {{"--version"}, ExitOk, std::string("bild2dicom ") + B2D_VERSION + "\n", ""},
        {{"--help"}, ExitOk, "bild2dicom --version", ""},
        {{"frobnicate"}, ExitUsage, "", "unknown command or option 'frobnicate'"},
    };
    for (const Case& c : cases) {
        std::ostringstream out, err;
        EXPECT_EQ(runCommandLine(c.args, out, err), c.status) << c.args.join(' ').toStdString();
        EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
        EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
    }
}

TEST(CommandLine, TheProgramPrintsItsVersionWithoutADisplay)
{
    const auto r = test::runProcess(B2D_BINARY, {"--version"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QByteArray("bild2dicom " B2D_VERSION "\n"));
}
