#pragma once

#include "app/PreConversionCheck.h"
#include "app/QtMessages.h"
#include "app/RunSession.h"
#include "app/Udataproviders_gui.h"
#include "common/DCAppFileInformation.h"
#include "common/Settings.h"

#include <QDateTime>
#include <QMainWindow>

#include <memory>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QStatusBar;
class QTableView;
class QToolButton;

namespace b2d {

class TfrmHelp;

class SeriesModel;

// Names of the two log files in a folder, without a doubled separator.
QString logFileIn(const QString& folder, const QString& name);

// The converter's main window. Controls carry the names the rest of the program and the tests
// use (also as Qt object names); state fields as below.
class TfrmMain : public QMainWindow, private RunObserver {
    Q_OBJECT
public:
    explicit TfrmMain(std::unique_ptr<Settings> settings = {}, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Recomputes the enabled and visible states of the controls from the connection and run state.
    void updateControls();

    Settings& settings() { return *m_settings; }
    Messages& messages() { return m_forward; }
    // Lets tests answer the window's questions and read its messages.
    void setMessages(Messages* messages) { m_forward.setTarget(messages ? messages : &m_messages); }
    // Lets tests stand in for the chooser window.
    void setChooser(DataProviderChooser* chooser) { m_activeChooser = chooser ? chooser : m_chooser.get(); }
    RunSession& session() { return *m_session; }
    TMainDatabase& database() { return m_session->db; }
    DataProviderState& dataProvider() { return m_session->dataProvider; }
    RunLogs& logs() { return m_session->logs; }
    TPreConversionCheck& check() { return *m_check; }
    // The options of a run or check, as the controls show them.
    RunOptions options() const;
    // Opens a file with the desktop's "open" action; replaceable for tests.
    std::function<void(const QString&)> openFile;
    TfrmHelp* helpWindow() const { return m_help; }

    // State fields.
    bool dbON = false;
    bool running = false;
    bool interrupted = false;
    bool checking = false;
    QString workLib;
    int minPatientNr = 0;
    int maxPatientNr = 0;
    QDateTime startTime;
    QString fNameOkLogg;
    QString fNameFailLogg;

    // Controls.
    QLabel* lblDataProvider = nullptr;
    QPushButton* BitBtn3 = nullptr;
    QLineEdit* UserName = nullptr;
    QLineEdit* Password = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QLabel* lblBildserie = nullptr;
    QTableView* wwDBGrid1 = nullptr;
    QGroupBox* gbImageComments = nullptr;
    QCheckBox* cbImageComments = nullptr;
    QCheckBox* cbErase = nullptr;
    QCheckBox* cbZLIB = nullptr;
    QGroupBox* gbPatientnr = nullptr;
    QLabel* lblStartNr = nullptr;
    QLabel* lblStopNr = nullptr;
    QLineEdit* eStartNr = nullptr;
    QLineEdit* eStopNr = nullptr;
    QFrame* shStartNr = nullptr;
    QFrame* shStopNr = nullptr;
    QPushButton* btnMin = nullptr;
    QPushButton* btnMax = nullptr;
    QGroupBox* rgUrval = nullptr;
    QGroupBox* rgOmskalning = nullptr;
    QLabel* lblType = nullptr;
    QFrame* shType = nullptr;
    QComboBox* cbType = nullptr;
    QLabel* lblMaxMByte = nullptr;
    QLineEdit* eMaxMByte = nullptr;
    QCheckBox* cbSingleFlik = nullptr;
    QPushButton* btnCheck = nullptr;
    QPushButton* btnExecute = nullptr;
    QPushButton* btnCancel = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QFrame* pnlOK = nullptr;
    QListWidget* lbOK = nullptr;
    QCheckBox* cbOkLoggActive = nullptr;
    QCheckBox* cbDetaljKontrLog = nullptr;
    QFrame* pnlFailed = nullptr;
    QListWidget* lbFailed = nullptr;
    QCheckBox* cbFailedLoggActive = nullptr;
    QStatusBar* StatusBar = nullptr;
    QLabel* StatusPanel = nullptr;
    QLabel* pnlAnslutfirst = nullptr;
    QLabel* pnlAnslutfirst2 = nullptr;

    // The radio items of rgUrval ("Kategori" 0, "Bildflik" 1) and rgOmskalning ("Minska
    // upplösning" 0, "Konvertera ej" 1), as the ItemIndex of the original radio groups.
    int rgUrvalIndex() const;
    void setRgUrvalIndex(int index);
    int rgOmskalningIndex() const;
    void setRgOmskalningIndex(int index);

    static const QStringList filterNames;

public slots:
    void BitBtn3Click();
    void BitBtn1Click();
    void ADOCon_TasvikAfterConnect();
    void ADOCon_TasvikAfterDisconnect();
    void btnExecuteClick();
    void btnCheckClick();
    void btnCancelClick();
    void lbOKDblClick();
    void lbFailedDblClick();
    void btnMinClick();
    void btnMaxClick();
    void rgOmskalningClick();
    void SpeedButton1Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Shows or hides the "Anslut till databasen" panels over the series grid and the options.
    void setConnectPanelsShown(bool shown);

private:
    void FormCreate();
    void buildControls();

    // RunObserver: the run reports into the status bar and the list headers.
    void runStateChanged() override;
    void statusText(const QString& text) override;
    void counts(int successes, int failures) override;
    void headersWithoutCounts() override;
    void processEvents() override;

    std::unique_ptr<Settings> m_settings;
    QtMessages m_messages;
    ForwardingMessages m_forward{&m_messages};
    std::unique_ptr<RunSession> m_session;
    std::unique_ptr<TPreConversionCheck> m_check;
    std::unique_ptr<DialogDataProviderChooser> m_chooser;
    DataProviderChooser* m_activeChooser = nullptr;
    SeriesModel* m_seriesModel = nullptr;
    QLabel* m_okHeader = nullptr;
    QLabel* m_failedHeader = nullptr;

    void bindLog(RunLog& log, QListWidget* list, QCheckBox* active);
    void openLogLine(const RunLog& log);
    TDCAppFileInformation m_fileInfo;
    TfrmHelp* m_help = nullptr;
    QButtonGroup* m_urval = nullptr;
    QButtonGroup* m_omskalning = nullptr;
    QStackedWidget* m_seriesCover = nullptr;
    QStackedWidget* m_optionsCover = nullptr;
};

} // namespace b2d
