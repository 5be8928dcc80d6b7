#include "app/uHelp.h"
#include "app/uMain.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QListWidget>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QToolButton>

using namespace b2d;

namespace {

std::unique_ptr<TfrmMain> makeWindow(const QTemporaryDir& dir)
{
    auto settings = std::make_unique<Settings>("/srv/conv/", std::make_unique<IniSettingsBranch>(dir.path() + "/u"),
                                               std::make_unique<IniSettingsBranch>(dir.path() + "/m"));
    auto w = std::make_unique<TfrmMain>(std::move(settings));
    w->show();
    return w;
}

template <typename W>
QString captionOf(const TfrmMain& w, const char* name)
{
    auto* widget = w.findChild<W*>(QLatin1String(name));
    if (!widget)
        return QStringLiteral("<missing %1>").arg(name);
    if constexpr (std::is_same_v<W, QGroupBox>)
        return widget->title();
    else
        return widget->text();
}

} // namespace

TEST(MainWindow, StartsUnconnectedWithItsDefaults)
{
    QTemporaryDir dir;
    auto w = makeWindow(dir);
    EXPECT_EQ(w->size(), QSize(1052, 722));
    EXPECT_TRUE(w->windowTitle().endsWith(" - version " + QStringLiteral(B2D_VERSION))) << w->windowTitle();
    EXPECT_EQ(w->StatusPanel->text(), "Not connected");
    EXPECT_FALSE(w->dbON);
    EXPECT_EQ(w->minPatientNr, 0);
    EXPECT_EQ(w->maxPatientNr, 0);

    const std::pair<QString, QString> captions[] = {
        {captionOf<QLabel>(*w, "lblDataProvider"), "(ingen vald)"},
        {captionOf<QPushButton>(*w, "BitBtn3"), "Välj..."},
        {captionOf<QPushButton>(*w, "BitBtn1"), "Anslut"},
        {captionOf<QLabel>(*w, "lblBildserie"), "Bildserie"},
        {captionOf<QCheckBox>(*w, "cbImageComments"), "Tillåt endast en kategori"},
        {captionOf<QGroupBox>(*w, "gbImageComments"), "ImageComments"},
        {captionOf<QCheckBox>(*w, "cbErase"), "Radera bildreferens (Ovrel/Tasvik/Kolm) efter konverteringen"},
        {captionOf<QCheckBox>(*w, "cbZLIB"), "DICOM-Dir med ZLIB"},
        {captionOf<QLabel>(*w, "lblStartNr"), "Fr.o.m:"},
        {captionOf<QLabel>(*w, "lblStopNr"), "T.o.m:"},
        {captionOf<QPushButton>(*w, "btnMin"), "Min"},
        {captionOf<QPushButton>(*w, "btnMax"), "Max"},
        {captionOf<QGroupBox>(*w, "rgUrval"), "Urvalsmetod"},
        {captionOf<QRadioButton>(*w, "rgUrval0"), "Kategori"},
        {captionOf<QRadioButton>(*w, "rgUrval1"), "Bildflik"},
        {captionOf<QGroupBox>(*w, "rgOmskalning"), "Hantering av för stora bilder"},
        {captionOf<QRadioButton>(*w, "rgOmskalning0"), "Minska upplösning"},
        {captionOf<QRadioButton>(*w, "rgOmskalning1"), "Konvertera ej"},
        {captionOf<QLabel>(*w, "lblType"), "Metod:"},
        {captionOf<QLabel>(*w, "lblMaxMByte"), "Max bildstorlek (MB):"},
        {captionOf<QLineEdit>(*w, "eMaxMByte"), "40"},
        {captionOf<QCheckBox>(*w, "cbSingleFlik"), "Lägg alla bilder för en patient under en flik i DICOM-servern"},
        {captionOf<QPushButton>(*w, "btnCheck"), "Kontrollera"},
        {captionOf<QPushButton>(*w, "btnExecute"), "Starta konvertering"},
        {captionOf<QPushButton>(*w, "btnCancel"), "Avbryt"},
        {captionOf<QCheckBox>(*w, "cbOkLoggActive"), "Log aktiv"},
        {captionOf<QCheckBox>(*w, "cbDetaljKontrLog"), "Detalj. log"},
        {captionOf<QCheckBox>(*w, "cbFailedLoggActive"), "Log aktiv"},
        {captionOf<QLabel>(*w, "pnlAnslutfirst"), "Anslut till databasen"},
        {captionOf<QLabel>(*w, "pnlAnslutfirst2"), "Anslut till databasen"},
        {w->cbType->currentText(), "MitchellFilter"},
    };
    for (const auto& [actual, expected] : captions)
        EXPECT_EQ(actual, expected);

    EXPECT_EQ(w->cbType->count(), 7);
    EXPECT_EQ(w->cbType->itemText(0), "SplineFilter");
    EXPECT_EQ(w->cbType->itemText(5), "Lanczos3Filter");
    EXPECT_EQ(w->rgUrvalIndex(), 0);
    EXPECT_EQ(w->rgOmskalningIndex(), 1);
    EXPECT_TRUE(w->cbOkLoggActive->isChecked());
    EXPECT_TRUE(w->cbFailedLoggActive->isChecked());
    EXPECT_FALSE(w->cbDetaljKontrLog->isChecked());
    EXPECT_FALSE(w->cbErase->isChecked());
    EXPECT_FALSE(w->cbZLIB->isChecked());
    EXPECT_EQ(w->Password->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(w->pnlAnslutfirst->isVisible());
    EXPECT_TRUE(w->pnlAnslutfirst2->isVisible());
}

TEST(MainWindow, BeforeConnectingInputsAreDisabledButZlibIsNot)
{
    QTemporaryDir dir;
    auto w = makeWindow(dir);
    for (QWidget* input : {static_cast<QWidget*>(w->cbType), static_cast<QWidget*>(w->eStartNr),
                           static_cast<QWidget*>(w->eStopNr), static_cast<QWidget*>(w->cbImageComments),
                           static_cast<QWidget*>(w->eMaxMByte), static_cast<QWidget*>(w->btnMin),
                           static_cast<QWidget*>(w->btnMax), static_cast<QWidget*>(w->rgUrval),
                           static_cast<QWidget*>(w->rgOmskalning), static_cast<QWidget*>(w->cbSingleFlik),
                           static_cast<QWidget*>(w->cbErase), static_cast<QWidget*>(w->cbOkLoggActive),
                           static_cast<QWidget*>(w->cbFailedLoggActive), static_cast<QWidget*>(w->lblMaxMByte),
                           static_cast<QWidget*>(w->btnExecute), static_cast<QWidget*>(w->btnCheck),
                           static_cast<QWidget*>(w->btnCancel), static_cast<QWidget*>(w->cbDetaljKontrLog)})
        EXPECT_FALSE(input->isEnabled()) << input->objectName().toStdString();
    EXPECT_TRUE(w->cbZLIB->isEnabled());
    EXPECT_TRUE(w->BitBtn1->isEnabled());
    EXPECT_TRUE(w->BitBtn3->isEnabled());
}

TEST(MainWindow, FilterChoiceShowsOnlyWhileShrinkingAndKeepsItsValue)
{
    QTemporaryDir dir;
    auto w = makeWindow(dir);
    EXPECT_FALSE(w->cbType->isVisible());
    EXPECT_FALSE(w->lblType->isVisible());
    w->setRgOmskalningIndex(0);
    EXPECT_TRUE(w->cbType->isVisible());
    EXPECT_TRUE(w->lblType->isVisible());
    EXPECT_FALSE(w->shType->isVisible()); // the mark shows only while the label is enabled
    w->cbType->setCurrentIndex(2);
    w->setRgOmskalningIndex(1);
    EXPECT_FALSE(w->cbType->isVisible());
    w->setRgOmskalningIndex(0);
    EXPECT_EQ(w->cbType->currentText(), "TriangleFilter");
}

TEST(MainWindow, MinAndMaxFillTheRange)
{
    QTemporaryDir dir;
    auto w = makeWindow(dir);
    w->minPatientNr = 17;
    w->maxPatientNr = 4711;
    w->btnMinClick();
    w->btnMaxClick();
    EXPECT_EQ(w->eStartNr->text(), "17");
    EXPECT_EQ(w->eStopNr->text(), "4711");
}

TEST(MainWindow, LogFilesLieInTheWorkFolder)
{
    EXPECT_EQ(logFileIn("/srv/conv/", "SUCCEED_LOGG.TXT"), "/srv/conv/SUCCEED_LOGG.TXT");
    EXPECT_EQ(logFileIn("/srv/conv", "FAILED_LOGG.TXT"), "/srv/conv/FAILED_LOGG.TXT");
    EXPECT_EQ(logFileIn("C:\\Conv\\", "FAILED_LOGG.TXT"), "C:\\Conv\\FAILED_LOGG.TXT");
    QTemporaryDir dir;
    auto w = makeWindow(dir);
    EXPECT_EQ(w->fNameOkLogg, logFileIn(w->workLib, "SUCCEED_LOGG.TXT"));
    EXPECT_EQ(w->fNameFailLogg, logFileIn(w->workLib, "FAILED_LOGG.TXT"));
}

TEST(MainWindow, HelpWindowShowsItsThreeSectionsReadOnly)
{
    QTemporaryDir dir;
    auto w = makeWindow(dir);
    w->SpeedButton1->click();
    TfrmHelp* help = w->helpWindow();
    ASSERT_TRUE(help->isVisible());
    EXPECT_FALSE(help->isModal());
    EXPECT_EQ(help->windowTitle(), "Converter - Help");
    EXPECT_TRUE(help->Memo1->isReadOnly());
    EXPECT_EQ(help->Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    const QString text = help->Memo1->toPlainText();
    for (const char* section : {"FÖRBEREDELSER I JOURNALSYSTEMET", "FÖRBEREDELSER I KONVERTERAREN", "KONVERTERINGEN"})
        EXPECT_TRUE(text.contains(QString::fromUtf8(section))) << section;
}

TEST(MainWindow, DoubleClickOpensOnlyALineThatNamesAFile)
{
    QTemporaryDir dir;
    auto w = makeWindow(dir);
    QStringList opened;
    w->openFile = [&](const QString& path) { opened << path; };
    const QString logFile = dir.filePath("SUCCEED_LOGG.TXT");
    QFile(logFile).open(QIODevice::WriteOnly);
    w->logs().ok.add("Patientnr: 1001, Bild: /finns/inte.jpg (10 byte)");
    w->logs().ok.add(logFile);
    w->lbOK->setCurrentRow(0);
    w->lbOKDblClick();
    EXPECT_TRUE(opened.isEmpty());
    w->lbOK->setCurrentRow(1);
    w->lbOKDblClick();
    EXPECT_EQ(opened, QStringList{logFile});
    EXPECT_EQ(w->lbOK->count(), 2); // the list mirrors the log
}
