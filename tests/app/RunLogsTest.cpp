#include "app/RunLogs.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace b2d;

TEST(RunLogs, PartialFlushesKeepTheListShortAndTheFileWholeInOrder)
{
    QTemporaryDir dir;
    RunLogs logs(dir.filePath("SUCCEED_LOGG.TXT"), dir.filePath("FAILED_LOGG.TXT"));
    test::writeAll(logs.ok.fileName(), "old content\r\n");
    logs.start({"Konvertering startad", logRule()});
    EXPECT_EQ(test::readAll(logs.ok.fileName()), "");
    int flushedAt100 = -1;
    for (int i = 1; i <= 150; ++i) {
        logs.ok.add(QStringLiteral("Patientnr: %1, Bild: å.jpg").arg(i), true);
        const qsizetype before = logs.ok.lines().size();
        logs.flushPartial();
        if (before == 100)
            flushedAt100 = int(logs.ok.lines().size());
    }
    EXPECT_EQ(flushedAt100, 49); // 100 lines: 51 go to the file
    logs.finish({"**** KLART ****", "2026-12-11 12:00:00"});

    const QStringList list = logs.ok.lines();
    ASSERT_GE(list.size(), 3);
    EXPECT_EQ(list.mid(list.size() - 3), (QStringList{"Denna logg finns sparad i filen", "", logs.ok.fileName()}));

    const QByteArray file = test::readAll(logs.ok.fileName());
    QStringList expected{"Konvertering startad", logRule()};
    for (int i = 1; i <= 150; ++i)
        expected << QStringLiteral("Patientnr: %1, Bild: å.jpg").arg(i);
    expected << "" << "**** KLART ****" << "2026-12-11 12:00:00";
    EXPECT_EQ(file, (expected.join("\r\n") + "\r\n").toLatin1());
    // The FAILED log was active too: header, closing lines.
    EXPECT_TRUE(test::readAll(logs.failed.fileName()).startsWith("Konvertering startad\r\n"));
}

TEST(RunLogs, AnInactiveLogKeepsItsListAndFile)
{
    QTemporaryDir dir;
    RunLogs logs(dir.filePath("S.TXT"), dir.filePath("F.TXT"));
    test::writeAll(logs.failed.fileName(), "from an earlier run\r\n");
    logs.failed.add("earlier line");
    logs.failed.setActive(false);
    logs.start({"header"});
    logs.flushPartial();
    logs.finish({"**** KLART ****"});
    EXPECT_EQ(logs.failed.lines(), QStringList{"earlier line"});
    EXPECT_EQ(test::readAll(logs.failed.fileName()), "from an earlier run\r\n");
}

TEST(RunLogs, AFileThatCannotBeWrittenIsAnError)
{
    QTemporaryDir dir;
    RunLogs logs(dir.filePath("missing-folder/S.TXT"), dir.filePath("F.TXT"));
    EXPECT_THROW(logs.start({"header"}), std::runtime_error);
    logs.ok.add("line");
    EXPECT_THROW(logs.ok.flushLog(true), std::runtime_error);
    EXPECT_EQ(logs.ok.lines(), QStringList{"line"}); // nothing lost
}
