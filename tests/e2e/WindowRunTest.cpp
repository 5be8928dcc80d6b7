#include "E2eSupport.h"

#include "app/ConversionRun.h"
#include "app/uMain.h"
#include "common/Messages.h"
#include "db/DemoPractice.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <optional>

using namespace b2d;
using namespace b2d::test;

namespace {

// The main window of the program on the demo practice, with scripted answers; its logs are
// written into the demo folder.
struct DemoWindow {
    explicit DemoWindow(DemoFixture& demo)
    {
        auto settings = std::make_unique<Settings>(settingsDir.path() + "/",
                                                   std::make_unique<IniSettingsBranch>(settingsDir.path() + "/u"),
                                                   std::make_unique<IniSettingsBranch>(settingsDir.path() + "/m"));
        w = std::make_unique<TfrmMain>(std::move(settings));
        w->setMessages(&messages);
        w->logs().ok.setFileName(demo.info.folder + "/SUCCEED_LOGG.TXT");
        w->logs().failed.setFileName(demo.info.folder + "/FAILED_LOGG.TXT");
        w->show();
    }
    void connectTo(const QString& dataLinkFile)
    {
        w->dataProvider().DataProviderFile = dataLinkFile;
        w->dataProvider().CurrentConnectionString.clear();
        w->BitBtn1->click();
    }
    QString header(QFrame* panel) const
    {
        for (QLabel* label : panel->findChildren<QLabel*>())
            if (label->text().startsWith("SUCCEED") || label->text().startsWith("FAILED"))
                return label->text();
        return {};
    }
    // Whether text was shown, as kind when one is given.
    bool shown(const QString& text, std::optional<MessageKind> kind = std::nullopt) const
    {
        return std::any_of(messages.shown.begin(), messages.shown.end(), [&](const ScriptedMessages::Shown& s) {
            return s.text == text && (!kind || s.kind == *kind);
        });
    }
    QStringList items(const QListWidget* list) const
    {
        QStringList lines;
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
    void expectIdle() const
    {
        EXPECT_FALSE(w->running);
        EXPECT_FALSE(w->interrupted);
        EXPECT_TRUE(w->btnExecute->isEnabled());
        EXPECT_FALSE(w->btnCancel->isEnabled());
        EXPECT_TRUE(w->eStartNr->isEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }

    QTemporaryDir settingsDir;
    ScriptedMessages messages;
    std::unique_ptr<TfrmMain> w;
};

int countPrefix(const QStringList& lines, const QString& prefix)
{
    return int(std::count_if(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(prefix); }));
}

// The lines a log received in a run, in order, as the window's list was given them.
struct LogRecorder {
    explicit LogRecorder(RunLog& log, const QListWidget* list)
    {
        QObject::connect(&log, &RunLog::added, &context, [this, list](const QString& line, bool) {
            lines << line;
            longestList = std::max(longestList, list->count());
        });
        QObject::connect(&log, &RunLog::removedFromFront, &context, [this](int) { ++flushes; });
    }
    QObject context;
    QStringList lines;
    int longestList = 0;
    int flushes = 0;
};

} // namespace

TEST(WindowRun, ConnectsToTheDemoAndRefusesAMissingDatabase)
{
    DemoFixture demo;
    {
        // A data-link file whose database file does not exist.
        DemoWindow dw(demo);
        const QString udl = demo.dir.filePath("fel.udl");
        writeAll(udl, QByteArray("[oledb]\r\nProvider=SQLite;Data Source=") + demo.dir.filePath("saknas.db").toUtf8()
                          + "\r\n");
        dw.connectTo(udl);
        ASSERT_FALSE(dw.messages.shown.empty());
        EXPECT_TRUE(dw.messages.shown.back().text.startsWith("Det gick inte att ansluta till databasen "))
            << dw.messages.shown.back().text;
        EXPECT_TRUE(dw.messages.shown.back().text.contains("saknas.db")) << dw.messages.shown.back().text;
        EXPECT_FALSE(dw.w->dbON);
        EXPECT_EQ(dw.w->StatusPanel->text(), "Not connected");
        EXPECT_TRUE(dw.w->pnlAnslutfirst->isVisible());
        EXPECT_TRUE(dw.w->pnlAnslutfirst2->isVisible());
        EXPECT_FALSE(dw.w->btnExecute->isEnabled());
        EXPECT_TRUE(dw.w->eStartNr->text().isEmpty());
    }

    DemoWindow dw(demo);
    dw.connectTo(demo.info.dataLinkFile);
    EXPECT_TRUE(dw.messages.shown.empty()) << dw.messages.shown.front().text;
    ASSERT_TRUE(dw.w->dbON);
    // The login stored enciphered in VELTARONUSER was read and deciphered.
    EXPECT_EQ(dw.w->dataProvider().login.Username, demoLogin().first);
    EXPECT_EQ(dw.w->dataProvider().login.Password, demoLogin().second);
    EXPECT_EQ(dw.w->StatusPanel->text(), "Connected to: " + demo.info.databaseFile);
    EXPECT_FALSE(dw.w->pnlAnslutfirst->isVisible());
    EXPECT_FALSE(dw.w->pnlAnslutfirst2->isVisible());
    EXPECT_TRUE(dw.w->wwDBGrid1->isVisible());

    // The grid: every series with a store, by name and store name.
    const QAbstractItemModel* model = dw.w->wwDBGrid1->model();
    QStringList grid;
    for (int row = 0; row < model->rowCount(); ++row)
        grid << model->index(row, 0).data().toString() + "|" + model->index(row, 1).data().toString();
    grid.sort();
    EXPECT_EQ(grid, QStringList({"Dicomkatalog|Dicomkatalog", "PACS|PACS"}));

    const QString withPatient = "FROM PATBILDER B WHERE EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)";
    EXPECT_EQ(dw.w->eStartNr->text(), demo.scalar("SELECT MIN(B.PATIENTNR) " + withPatient).toString());
    EXPECT_EQ(dw.w->eStopNr->text(), demo.scalar("SELECT MAX(B.PATIENTNR) " + withPatient).toString());
    EXPECT_EQ(dw.w->eStartNr->text(), "1001");
    EXPECT_TRUE(dw.w->btnExecute->isEnabled());
    dw.expectIdle();
}

TEST(WindowRun, RunsOverAHundredLinesIntoListsAndFiles)
{
    DemoFixture demo;
    // More pictures than the demo has, so that the SUCCEED list is flushed in portions: copies of
    // the photos and documents under new numbers.
    demo.exec("INSERT INTO PATBILDER (PATIENTNR, LOPNR, DATUM, BILDNAMN, BILDKATALOG, KATEGORI, BILDFLIK) "
              "SELECT PATIENTNR, LOPNR + 500, DATUM, BILDNAMN, BILDKATALOG, KATEGORI, BILDFLIK FROM PATBILDER "
              "WHERE KATEGORI IN (10, 11, 15) AND BILDFLIK IS NOT NULL AND BILDNAMN NOT LIKE 'intraoral-stor%'");
    const int selected = demo.count("SELECT COUNT(*) FROM PATBILDER B WHERE BILDFLIK IS NOT NULL AND "
                                    "EXISTS (SELECT 1 FROM KUNDER K WHERE K.PATIENTNR = B.PATIENTNR)");
    ASSERT_GT(selected, 150);

    DemoWindow dw(demo);
    dw.connectTo(demo.info.dataLinkFile);
    ASSERT_TRUE(dw.w->dbON);
    LogRecorder ok(dw.w->logs().ok, dw.w->lbOK);
    LogRecorder failed(dw.w->logs().failed, dw.w->lbFailed);
    // Both lists' picture lines as they came: pictures are made ready ahead on other threads,
    // yet every line, success or failure, must come in the pictures' own order.
    QStringList pictureLines;
    QObject context;
    for (RunLog* log : {&dw.w->logs().ok, &dw.w->logs().failed})
        QObject::connect(log, &RunLog::added, &context, [&](const QString& line, bool) {
            if (line.contains("Patientnr: "))
                pictureLines << line;
        });
    const QStringList order = demo.rows(
        "SELECT PATIENTNR, BILDKATDIR || BILDNAMN FROM ("
            + rangeSelectionSql(dw.w->eStartNr->text(), dw.w->eStopNr->text()) + ")",
        true);
    dw.w->btnExecute->click();

    ASSERT_EQ(pictureLines.size(), order.size());
    for (qsizetype i = 0; i < order.size(); ++i) {
        const QStringList row = order[i].split('|');
        EXPECT_TRUE(pictureLines[i].contains("Patientnr: " + row[0])
                    && pictureLines[i].contains("Bild: " + row[1] + " "))
            << "line " << i << ": " << pictureLines[i].toStdString() << "\nexpected picture " << order[i].toStdString();
    }

    const int successes = countPrefix(ok.lines, "Patientnr: ");
    const int failures = countPrefix(failed.lines, "FAILED - Patientnr: ");
    ASSERT_GT(successes, 100);
    EXPECT_EQ(successes + failures, selected);
    EXPECT_GT(failures, 0); // the category without settings, the too-large and the missing picture
    EXPECT_EQ(dw.header(dw.w->pnlOK), QStringLiteral("SUCCEED (%1)").arg(successes));
    EXPECT_EQ(dw.header(dw.w->pnlFailed), QStringLiteral("FAILED (%1)").arg(failures));
    EXPECT_TRUE(dw.shown("Konvertering färdig!", MessageKind::Information));
    EXPECT_EQ(dw.w->StatusPanel->text(), "Connected to: " + demo.info.databaseFile);
    dw.expectIdle();

    // The list was moved to its file in portions and never grew past the flush size.
    EXPECT_GE(ok.flushes, 2);
    EXPECT_LE(ok.longestList, RunLog::PartialFlushLines + 1);
    // The file holds every line the list was given, in order; the list keeps the file's name.
    const QString okFile = demo.info.folder + "/SUCCEED_LOGG.TXT";
    EXPECT_EQ(dw.items(dw.w->lbOK), QStringList({"Denna logg finns sparad i filen", "", okFile}));
    ASSERT_GE(ok.lines.size(), 3);
    EXPECT_EQ(demo.logLines("SUCCEED_LOGG.TXT"), ok.lines.mid(0, ok.lines.size() - 3));
    EXPECT_EQ(demo.logLines("FAILED_LOGG.TXT"), failed.lines.mid(0, failed.lines.size() - 3));
    const QStringList file = demo.logLines("SUCCEED_LOGG.TXT");
    EXPECT_TRUE(file.front().startsWith("Konvertering startad ")) << file.front();
    EXPECT_EQ(file[file.size() - 2], "**** KLART ****");
    EXPECT_TRUE(demo.logLines("FAILED_LOGG.TXT").filter("Modality/SOPClass not found (Kategori: Övrigt").size() > 0);

    // A second run asks before it clears the lists; No leaves them as they are.
    dw.messages.answers = {false};
    dw.w->btnExecute->click();
    EXPECT_EQ(dw.messages.shown.back().text, "Innehållet i listboxar kommer att raderas\r\rFortsätt?");
    EXPECT_EQ(dw.items(dw.w->lbOK), QStringList({"Denna logg finns sparad i filen", "", okFile}));
    dw.expectIdle();
}

TEST(WindowRun, AvbrytStopsAfterThePictureInHand)
{
    DemoFixture demo;
    DemoWindow dw(demo);
    dw.connectTo(demo.info.dataLinkFile);
    ASSERT_TRUE(dw.w->dbON);
    dw.messages.answers = {true}; // "Vill du avbryta konverteringen?"
    LogRecorder ok(dw.w->logs().ok, dw.w->lbOK);
    LogRecorder failed(dw.w->logs().failed, dw.w->lbFailed);
    const auto pictureLines = [&] {
        return countPrefix(ok.lines, "Patientnr: ") + countPrefix(failed.lines, "FAILED - ");
    };

    // The user clicks "Avbryt" once three pictures are done; the click reaches the window while
    // the run hands control to the event loop.
    QString statusAfterCancel;
    bool cancelEnabledAfterCancel = true;
    int linesAtClick = 0;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (countPrefix(ok.lines, "Patientnr: ") < 3 || !statusAfterCancel.isEmpty())
            return;
        linesAtClick = pictureLines();
        dw.w->btnCancel->click();
        statusAfterCancel = dw.w->StatusPanel->text();
        cancelEnabledAfterCancel = dw.w->btnCancel->isEnabled();
    });
    clicker.start(0);
    dw.w->btnExecute->click();
    clicker.stop();

    ASSERT_FALSE(statusAfterCancel.isEmpty()) << "the run never let the click through";
    EXPECT_EQ(statusAfterCancel, "AVBRYTER ..... (vänta tills pågående bild är klar)");
    EXPECT_FALSE(cancelEnabledAfterCancel);
    EXPECT_TRUE(dw.shown("Vill du avbryta konverteringen?", MessageKind::Question));
    EXPECT_FALSE(dw.shown("Konvertering färdig!"));
    dw.expectIdle();

    const QStringList file = demo.logLines("SUCCEED_LOGG.TXT");
    ASSERT_GE(file.size(), 3);
    EXPECT_EQ(file[file.size() - 2], "**** KONVERTERING AVBRUTEN ****");
    // The picture in hand when the click came was finished, and no further one was started.
    const int successes = countPrefix(file, "Patientnr: ");
    const int failures = countPrefix(demo.logLines("FAILED_LOGG.TXT"), "FAILED - ");
    EXPECT_EQ(successes + failures, linesAtClick);
    EXPECT_EQ(pictureLines(), linesAtClick);
    // Pictures made ready ahead of the click were dropped: only the logged ones are stored.
    EXPECT_EQ(dicomFiles(demo.info.dicomDirFolder).size(), successes);
    EXPECT_EQ(demo.logLines("FAILED_LOGG.TXT")[demo.logLines("FAILED_LOGG.TXT").size() - 2],
              "**** KONVERTERING AVBRUTEN ****");
    EXPECT_EQ(dw.header(dw.w->pnlOK), QStringLiteral("SUCCEED (%1)").arg(successes));
}

// A size limit that cannot be counted in 32 bits, or no number at all, ends the run before any
// picture, with the error shown and the window idle again.
TEST(WindowRun, AnUnusableSizeLimitEndsTheRunBeforeAnyPicture)
{
    DemoFixture demo;
    DemoWindow dw(demo);
    dw.connectTo(demo.info.dataLinkFile);
    ASSERT_TRUE(dw.w->dbON);
    const std::pair<QString, QString> cases[] = {
        {"5000", "Max bildstorlek 5000 MB är för stor; högst 4294 MB går att ange"},
        {"", "'' är inte ett giltigt heltal"},
    };
    for (const auto& [limit, message] : cases) {
        dw.messages.shown.clear();
        dw.w->eMaxMByte->setText(limit);
        dw.w->btnExecute->click();
        EXPECT_TRUE(dw.shown(message)) << limit;
        EXPECT_FALSE(dw.shown("Konvertering färdig!"));
        dw.expectIdle();
    }
    EXPECT_FALSE(QFile::exists(demo.info.folder + "/SUCCEED_LOGG.TXT"));
    EXPECT_TRUE(QDir(demo.info.dicomDirFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
}
