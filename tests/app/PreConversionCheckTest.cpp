#include "app/PreConversionCheck.h"
#include "app/uMain.h"
#include "db/DemoPractice.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>

using namespace b2d;

namespace {

const MissingItem item{"Patient:19800101-1234, Anna Andersson", "Status", 3, "Röntgen", 12, "/bilder/rtg_1001_2.png"};

} // namespace

TEST(PreConversionCheck, MissingItemLineFormats)
{
    struct Case {
        int urval;
        bool perTab, showNumbers, detail;
        const char* line;
    };
    const Case cases[] = {
        // "Kategori"
        {0, false, false, false, R"(Kategori "Röntgen" saknas)"},
        {0, false, true, false, R"(Kategori "Röntgen" (12) saknas)"},
        {0, true, false, false, R"(Flik "Status", Kategori "Röntgen" saknas)"},
        {0, true, true, false, R"(Flik "Status" (3), Kategori "Röntgen" (12) saknas)"},
        {0, false, false, true, R"(Patient:19800101-1234, Anna Andersson,  Kategori "Röntgen" saknas, Bild: /bilder/rtg_1001_2.png)"},
        {0, false, true, true, R"(Patient:19800101-1234, Anna Andersson,  Kategori "Röntgen" (12) saknas, Bild: /bilder/rtg_1001_2.png)"},
        {0, true, false, true, R"(Patient:19800101-1234, Anna Andersson,  Flik "Status",  Kategori "Röntgen" saknas, Bild: /bilder/rtg_1001_2.png)"},
        {0, true, true, true, R"(Patient:19800101-1234, Anna Andersson,  Flik "Status" (3),  Kategori "Röntgen" (12) saknas, Bild: /bilder/rtg_1001_2.png)"},
        // "Bildflik": the numbers are always shown
        {1, false, false, false, R"(Kategori "Röntgen" (12) saknas)"},
        {1, true, false, false, R"(Flik "Status" (3), Kategori "Röntgen" (12) saknas)"},
        {1, false, false, true, R"(Patient:19800101-1234, Anna Andersson,  Kategori "Röntgen" (12) saknas, Bild: /bilder/rtg_1001_2.png)"},
        {1, true, true, true, R"(Patient:19800101-1234, Anna Andersson,  Flik "Status" (3),  Kategori "Röntgen" (12) saknas, Bild: /bilder/rtg_1001_2.png)"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(missingItemLine(item, c.urval, c.perTab, c.showNumbers, c.detail), QString::fromUtf8(c.line))
            << c.urval << c.perTab << c.showNumbers << c.detail;
}

TEST(PreConversionCheck, SortLinesComparesUtf16CodesOrdinally)
{
    // Upper case before lower case, "Ö" (U+00D6) after "Z", and a character outside the basic
    // plane (a surrogate pair, D83D DE00) before U+FFFD although its code point is larger.
    QStringList lines{QString::fromUtf8("Ö"), "b", "Z", QString::fromUtf8("\xEF\xBF\xBD"),
                      QString::fromUtf8("\xF0\x9F\x98\x80"), "B", "Flik \"Status\"", "Flik \"Foto\""};
    TPreConversionCheck::sortLines(lines);
    EXPECT_EQ(lines, (QStringList{"B", "Flik \"Foto\"", "Flik \"Status\"", "Z", "b", QString::fromUtf8("Ö"),
                                  QString::fromUtf8("\xF0\x9F\x98\x80"), QString::fromUtf8("\xEF\xBF\xBD")}));

    for (QStringList few : {QStringList{}, QStringList{"x"}}) {
        const QStringList before = few;
        TPreConversionCheck::sortLines(few);
        EXPECT_EQ(few, before);
    }
}

namespace {

// The main window connected to a demo practice, its questions answered by a script.
struct CheckWindow : ::testing::Test {
    QTemporaryDir dir;
    DemoPracticeInfo demo = createDemoPractice(dir.filePath("demo"), false);
    ScriptedMessages messages;
    std::unique_ptr<TfrmMain> window;

    void SetUp() override
    {
        auto settings = std::make_unique<Settings>("/srv/conv/", std::make_unique<IniSettingsBranch>(dir.path() + "/u"),
                                                   std::make_unique<IniSettingsBranch>(dir.path() + "/m"));
        window = std::make_unique<TfrmMain>(std::move(settings));
        window->setMessages(&messages);
        window->logs().ok.setFileName(dir.filePath("SUCCEED_LOGG.TXT"));
        window->logs().failed.setFileName(dir.filePath("FAILED_LOGG.TXT"));
        window->dataProvider().DataProviderFile = demo.dataLinkFile;
        window->dataProvider().CurrentConnectionString.clear();
        window->show();
        window->BitBtn1Click();
        ASSERT_TRUE(window->dbON);
        messages.shown.clear();
    }
    QStringList texts(MessageKind kind) const
    {
        QStringList t;
        for (const auto& s : messages.shown)
            if (s.kind == kind)
                t << s.text;
        return t;
    }
    void expectIdle() const
    {
        EXPECT_FALSE(window->running);
        EXPECT_FALSE(window->checking);
        EXPECT_FALSE(window->interrupted);
        EXPECT_TRUE(window->btnCheck->isEnabled());
        EXPECT_TRUE(window->btnExecute->isEnabled());
        EXPECT_FALSE(window->btnCancel->isEnabled());
        EXPECT_TRUE(window->eStartNr->isEnabled());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }
};

} // namespace

TEST_F(CheckWindow, ChecksTheMarkedSeriesAsksItsQuestionsAndReturnsToIdle)
{
    // Leftover lines: the check asks before it empties the lists.
    window->logs().failed.add("från förra körningen");
    messages.answers = {true, false, false}; // empty the lists; not per tab; no numbers
    bool sawRunning = false;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (window->running && window->checking && !window->btnCheck->isEnabled() && window->btnCancel->isEnabled()
            && QApplication::overrideCursor())
            sawRunning = true;
    });
    probe.start(0);
    window->btnCheck->click();
    probe.stop();

    EXPECT_TRUE(sawRunning);
    expectIdle();
    // The detail queries it had no use for are open again for the run.
    const TMainDatabase& db = window->database();
    EXPECT_TRUE(db.qryKunder.Active() && db.qryPatbilderextra.Active() && db.qryKategorier.Active());
    EXPECT_EQ(db.qryPatanalyser.Active(), db.patanalyserOpen);
    ASSERT_GE(messages.shown.size(), 5u);
    EXPECT_EQ(messages.shown[0].kind, MessageKind::Information);
    EXPECT_TRUE(messages.shown[0].text.startsWith("OBS! Tänk på att endast den bildserie som är markerad kontrolleras!\r\r"));
    EXPECT_EQ(texts(MessageKind::Question),
              (QStringList{"Innehållet i listboxar kommer att raderas\r\rFortsätt?", "Skall varje flik kontrolleras separat?",
                           "Skall kategorinr och ev. fliknr visas i loggen?"}));
    EXPECT_EQ(messages.shown.back().text, "Klar !");

    // The demo's category without settings is reported in the FAILED list and file.
    const TPreConversionCheck& check = window->check();
    EXPECT_EQ(check.outcome, TPreConversionCheck::Outcome::Finished);
    EXPECT_TRUE(check.missing.contains(QString::fromUtf8("Kategori \"Övrigt\" saknas")));
    EXPECT_TRUE(window->logs().ok.lines().isEmpty());
    const QStringList listed = window->logs().failed.lines();
    EXPECT_EQ(listed, (QStringList{"Denna logg finns sparad i filen", "", window->logs().failed.fileName()}));
    const QStringList file = QString::fromLatin1(test::readAll(window->logs().failed.fileName())).split("\r\n");
    ASSERT_GE(file.size(), 8);
    EXPECT_TRUE(file[0].startsWith("Kontroll startad ")) << file[0];
    EXPECT_EQ(file[1], QString(53, '-'));
    EXPECT_EQ(file[2], "Patient nr " + QString::number(window->minPatientNr) + " till " + QString::number(window->maxPatientNr));
    EXPECT_EQ(file[4], "Modality/SOPClass kan ej sättas för alla bilder eftersom:");
    EXPECT_EQ(file[file.size() - 2], "**** KLART ****");
    EXPECT_EQ(test::readAll(window->logs().ok.fileName()), QByteArray());
}

TEST_F(CheckWindow, NoAtTheListQuestionLeavesEverythingAsItWas)
{
    window->logs().ok.add("behålls");
    messages.answers = {false};
    window->btnCheck->click();
    EXPECT_EQ(window->check().outcome, TPreConversionCheck::Outcome::NotStarted);
    EXPECT_EQ(window->logs().ok.lines(), QStringList{"behålls"});
    EXPECT_EQ(texts(MessageKind::Question).size(), 1);
    expectIdle();
}

TEST_F(CheckWindow, CancellingClosesWithTheInterruptedLineAndNoKlar)
{
    messages.answers = {false, false, true}; // not per tab; no numbers; yes, stop the check
    QTimer::singleShot(0, window->btnCancel, [this] { window->btnCancel->click(); });
    window->btnCheck->click();

    EXPECT_EQ(window->check().outcome, TPreConversionCheck::Outcome::Interrupted);
    const QStringList questions = texts(MessageKind::Question);
    ASSERT_EQ(questions.size(), 3);
    EXPECT_EQ(questions[2], "Vill du avbryta kontrollen?");
    for (const auto& s : messages.shown)
        EXPECT_NE(s.text, "Klar !");
    const QStringList& report = window->check().report;
    ASSERT_FALSE(report.isEmpty());
    EXPECT_EQ(report.back(), "**** KONTROLL AVBRUTEN ****");
    expectIdle();
}

TEST_F(CheckWindow, AfterARunOfAnotherRangeEveryPictureOfTheCheckedRangeIsLookedAt)
{
    // What a run of 1001 to 1003 leaves behind: the picture query holds those patients only,
    // none of whose pictures lacks settings.
    TVTAdoQuery& pics = window->database().qryPatbilder;
    const QStringList runSelection{rangeSelectionSql("1001", "1003")};
    pics.Close();
    pics.setSQL(runSelection);
    pics.Open();

    messages.defaultAnswer = false;
    window->eStartNr->setText("1001");
    window->eStopNr->setText("1003");
    window->btnCheck->click();
    EXPECT_EQ(window->check().outcome, TPreConversionCheck::Outcome::Finished);
    EXPECT_TRUE(window->check().missing.isEmpty());
    EXPECT_EQ(pics.SQL(), runSelection); // the run's own range: its selection stands

    messages.defaultAnswer = true; // empty the lists; per tab; numbers
    window->eStopNr->setText("1025");
    window->btnCheck->click();
    EXPECT_EQ(window->check().report.first(), "Patient nr 1001 till 1025");
    EXPECT_TRUE(window->check().missing.contains(QString::fromUtf8(R"(Flik "Dokument" (4), Kategori "Övrigt" (16) saknas)")))
        << window->check().missing.join('\n').toStdString();
    expectIdle();
}

TEST_F(CheckWindow, ALogFileThatCannotBeMadeEndsTheCheckWithoutAResult)
{
    window->logs().failed.setFileName(dir.filePath("saknas/FAILED_LOGG.TXT"));
    messages.defaultAnswer = false;
    window->btnCheck->click();
    EXPECT_EQ(window->check().outcome, TPreConversionCheck::Outcome::Failed);
    EXPECT_TRUE(window->check().report.isEmpty());
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_TRUE(messages.shown.back().text.contains("FAILED_LOGG.TXT")) << messages.shown.back().text.toStdString();
    for (const auto& s : messages.shown)
        EXPECT_NE(s.text, "Klar !");
    expectIdle();
}
