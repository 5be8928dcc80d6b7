#include "app/uMain.h"

#include "app/uHelp.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QUrl>
#include <QFileInfo>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace b2d {

const QStringList TfrmMain::filterNames = {"SplineFilter", "BellFilter", "TriangleFilter", "BoxFilter",
                                           "HermiteFilter", "Lanczos3Filter", "MitchellFilter"};

namespace {

const char* const productTitle = "bild2dicom - DICOM-konvertering av bildarkiv";

template <typename W>
W* named(W* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLineEdit* digitEdit(const char* name)
{
    auto* e = named(new QLineEdit, name);
    e->setAlignment(Qt::AlignRight);
    e->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), e));
    return e;
}

QFrame* mark(const char* name)
{
    auto* f = named(new QFrame, name);
    f->setFrameShape(QFrame::HLine);
    f->setFixedWidth(12);
    return f;
}

QPushButton* boldButton(const QString& text, const char* name)
{
    auto* b = named(new QPushButton(text), name);
    QFont f = b->font();
    f.setBold(true);
    b->setFont(f);
    return b;
}

QLabel* coverPanel(const char* name)
{
    auto* p = named(new QLabel(QStringLiteral("Anslut till databasen")), name);
    p->setAlignment(Qt::AlignCenter);
    p->setFrameShape(QFrame::Panel);
    p->setFrameShadow(QFrame::Raised);
    p->setAutoFillBackground(true);
    QFont f = p->font();
    f.setBold(true);
    p->setFont(f);
    return p;
}

// The log header: a grey bold caption with its check boxes on the right.
QFrame* logHeader(const QString& caption, const char* name, std::initializer_list<QCheckBox*> boxes, QLabel*& title)
{
    auto* pnl = named(new QFrame, name);
    pnl->setFrameShape(QFrame::Panel);
    pnl->setFrameShadow(QFrame::Raised);
    pnl->setAutoFillBackground(true);
    QPalette pal = pnl->palette();
    pal.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
    // Disabled captions must stay readable on the grey header.
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        pal.setColor(QPalette::Disabled, role, QColor(0x70, 0x70, 0x70));
    pnl->setPalette(pal);
    auto* row = new QHBoxLayout(pnl);
    row->setContentsMargins(6, 2, 6, 2);
    title = new QLabel(caption);
    QFont f = title->font();
    f.setBold(true);
    title->setFont(f);
    row->addWidget(title);
    row->addStretch();
    for (QCheckBox* b : boxes)
        row->addWidget(b);
    return pnl;
}

} // namespace

// The picture series of qryBildserier as the grid shows them: NAMN as "Bildserie", SERVERNAMN as
// "DICOMServer". The rows are copied when the query opens, so that drawing never moves the query.
class SeriesModel : public QAbstractTableModel {
public:
    explicit SeriesModel(QObject* parent) : QAbstractTableModel(parent) {}

    void reload(TVTAdoQuery& query)
    {
        beginResetModel();
        m_rows.clear();
        if (query.Active() && !query.IsEmpty()) {
            const int current = query.RecNo();
            for (query.First(); !query.Eof(); query.Next())
                m_rows.push_back({query.FieldByName("NAMN").toString(), query.FieldByName("SERVERNAMN").toString()});
            query.setRecNo(current);
        }
        endResetModel();
    }
    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(m_rows.size()); }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 2; }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role != Qt::DisplayRole || !index.isValid())
            return {};
        const auto& row = m_rows[size_t(index.row())];
        return index.column() == 0 ? row.first : row.second;
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        return section == 0 ? QStringLiteral("Bildserie") : QStringLiteral("DICOMServer");
    }

private:
    std::vector<std::pair<QString, QString>> m_rows;
};

QString logFileIn(const QString& folder, const QString& name)
{
    if (folder.endsWith('/') || folder.endsWith('\\'))
        return folder + name;
    return folder + '/' + name;
}

TfrmMain::TfrmMain(std::unique_ptr<Settings> settings, QWidget* parent)
    : QMainWindow(parent)
    , m_settings(settings ? std::move(settings) : Settings::createDefault(currentWorkFolder()))
    , m_messages(this)
    , m_session(std::make_unique<RunSession>(*m_settings, m_forward, static_cast<RunObserver&>(*this),
                                             currentWorkFolder()))
    , m_check(std::make_unique<TPreConversionCheck>(m_session->db, m_session->logs, m_forward,
                                                    static_cast<RunObserver&>(*this)))
{
    setObjectName(QStringLiteral("frmMain"));
    buildControls();
    FormCreate();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::FormCreate()
{
    dbON = running = interrupted = checking = false;
    workLib = currentWorkFolder();
    minPatientNr = maxPatientNr = 0;
    setWindowTitle(QString::fromUtf8(productTitle) + " - version " + m_fileInfo.FileVersion());
    fNameOkLogg = logFileIn(workLib, QStringLiteral("SUCCEED_LOGG.TXT"));
    fNameFailLogg = logFileIn(workLib, QStringLiteral("FAILED_LOGG.TXT"));
    m_session->logs.ok.setFileName(fNameOkLogg);
    m_session->logs.failed.setFileName(fNameFailLogg);
    m_session->db.ADOCon_Tasvik.setCommandTimeout(60);
    m_chooser = std::make_unique<DialogDataProviderChooser>(m_session->dataProvider, *m_settings, m_forward, this);
    m_activeChooser = m_chooser.get();
    bindLog(m_session->logs.ok, lbOK, cbOkLoggActive);
    bindLog(m_session->logs.failed, lbFailed, cbFailedLoggActive);
    openFile = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };

    // Database side: the default data provider, the shared query, the cipher.
    if (LoadStartupDataProvider(dataProvider(), *m_settings, defaultDataLinksFolder()))
        lblDataProvider->setText(QFileInfo(dataProvider().DataProviderFile).fileName());
    connect(&database().ADOCon_Tasvik, &TADOConnection::AfterConnect, this, &TfrmMain::ADOCon_TasvikAfterConnect);
    connect(&database().ADOCon_Tasvik, &TADOConnection::AfterDisconnect, this, &TfrmMain::ADOCon_TasvikAfterDisconnect);
    updateControls();
}

void TfrmMain::BitBtn3Click()
{
    const QString name = m_activeChooser->ChooseDataProvider(QStringLiteral("DefaultDataProvider"));
    dataProvider().DataProviderFile = dataProvider().DataLinksFolder + name;
    lblDataProvider->setText(QFileInfo(dataProvider().DataProviderFile).fileName());
}

void TfrmMain::BitBtn1Click()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    TMainDatabase& db = database();
    LoginServices services{*m_settings, messages(), m_activeChooser, m_session->cipher, &TMainDatabase::readStoredLogin};
    bool closeProgram = false;
    const bool connected = db.connectDatabase(dataProvider(), services, UserName->text(), Password->text(),
                                              &closeProgram);
    QApplication::restoreOverrideCursor();
    lblDataProvider->setText(QFileInfo(dataProvider().DataProviderFile).fileName());
    if (closeProgram) {
        close();
        return;
    }
    m_seriesModel->reload(db.qryBildserier);
    if (connected && db.qryBildserier.RecNo() > 0)
        wwDBGrid1->selectRow(db.qryBildserier.RecNo() - 1);
    if (connected && db.maxPatientNr > 0) {
        minPatientNr = db.minPatientNr;
        maxPatientNr = db.maxPatientNr;
        eStartNr->setText(QString::number(minPatientNr));
        eStopNr->setText(QString::number(maxPatientNr));
    }
    setConnectPanelsShown(!db.ADOCon_Tasvik.Connected());
    updateControls();
}

RunOptions TfrmMain::options() const
{
    RunOptions o;
    o.startNr = eStartNr->text();
    o.stopNr = eStopNr->text();
    o.urval = rgUrvalIndex();
    o.shrink = rgOmskalningIndex() == 0;
    o.filter = FilterKind(cbType->currentIndex());
    o.maxMByte = eMaxMByte->text();
    o.singleFlik = cbSingleFlik->isChecked();
    o.zlib = cbZLIB->isChecked();
    o.erase = cbErase->isChecked();
    o.singleCategory = cbImageComments->isChecked();
    o.detailLog = cbDetaljKontrLog->isChecked();
    return o;
}

void TfrmMain::btnExecuteClick()
{
    if (!dbON || running)
        return;
    TConversionRun& run = m_session->run;
    run.minPatientNr = minPatientNr;
    run.maxPatientNr = maxPatientNr;
    run.btnExecuteClick(options());
}

void TfrmMain::btnCheckClick()
{
    if (!dbON || running)
        return;
    m_check->minPatientNr = minPatientNr;
    m_check->maxPatientNr = maxPatientNr;
    m_check->btnCheckClick(options());
}

void TfrmMain::btnCancelClick()
{
    if (m_check->running)
        m_check->btnCancelClick();
    else
        m_session->run.btnCancelClick();
}

void TfrmMain::runStateChanged()
{
    const bool wasRunning = running;
    const ConversionJob& job = m_check->running ? static_cast<const ConversionJob&>(*m_check) : m_session->run;
    running = job.running;
    interrupted = job.interrupted;
    checking = job.checking;
    startTime = m_session->run.startTime;
    if (running && !wasRunning)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else if (!running && wasRunning)
        QApplication::restoreOverrideCursor();
    updateControls();
}

void TfrmMain::statusText(const QString& text)
{
    StatusPanel->setText(text);
}

void TfrmMain::counts(int successes, int failures)
{
    m_okHeader->setText(m_session->logs.ok.header(successes));
    m_failedHeader->setText(m_session->logs.failed.header(failures));
}

void TfrmMain::headersWithoutCounts()
{
    m_okHeader->setText(m_session->logs.ok.title());
    m_failedHeader->setText(m_session->logs.failed.title());
}

void TfrmMain::processEvents()
{
    QApplication::processEvents();
}

void TfrmMain::ADOCon_TasvikAfterConnect()
{
    logs().ok.clear();
    logs().failed.clear();
    updateControls();
}

void TfrmMain::bindLog(RunLog& log, QListWidget* list, QCheckBox* active)
{
    log.setActive(active->isChecked());
    connect(active, &QCheckBox::toggled, &log, &RunLog::setActive);
    connect(&log, &RunLog::cleared, list, &QListWidget::clear);
    connect(&log, &RunLog::added, list, [list](const QString& line, bool selected) {
        list->addItem(line);
        if (selected) {
            list->setCurrentRow(list->count() - 1);
            list->scrollToBottom();
        }
    });
    connect(&log, &RunLog::removedFromFront, list, [list](int count) {
        for (int i = 0; i < count && list->count() > 0; ++i)
            delete list->takeItem(0);
    });
    connect(list, &QListWidget::currentRowChanged, &log, [&log](int row) {
        if (row != log.selected())
            log.select(row);
    });
}

void TfrmMain::openLogLine(const RunLog& log)
{
    const QString line = log.selectedLine();
    if (!line.isEmpty() && QFileInfo(line).isFile())
        openFile(line);
}

void TfrmMain::lbOKDblClick() { openLogLine(logs().ok); }
void TfrmMain::lbFailedDblClick() { openLogLine(logs().failed); }

void TfrmMain::ADOCon_TasvikAfterDisconnect()
{
    updateControls();
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    // Closing mid-run would pull the queries away under the current picture: stop first.
    if (running) {
        event->ignore();
        if (!interrupted)
            btnCancelClick();
        return;
    }
    database().closeQueries();
    QMainWindow::closeEvent(event);
}

void TfrmMain::buildControls()
{
    resize(1052, 722);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    auto* central = new QWidget;
    setCentralWidget(central);
    auto* root = new QVBoxLayout(central);

    // Upper half: connection, series and options.
    auto* top = new QHBoxLayout;
    root->addLayout(top, 0);

    auto* connectBox = new QGroupBox(QStringLiteral("Dataprovider"));
    auto* connectLayout = new QGridLayout(connectBox);
    lblDataProvider = named(new QLabel(QStringLiteral("(ingen vald)")), "lblDataProvider");
    lblDataProvider->setFrameShape(QFrame::Panel);
    lblDataProvider->setFrameShadow(QFrame::Sunken);
    lblDataProvider->setStyleSheet(QStringLiteral("color: blue"));
    lblDataProvider->setMinimumWidth(160);
    BitBtn3 = named(new QPushButton(QStringLiteral("Välj...")), "BitBtn3");
    UserName = named(new QLineEdit, "UserName");
    Password = named(new QLineEdit, "Password");
    Password->setEchoMode(QLineEdit::Password);
    BitBtn1 = named(new QPushButton(QStringLiteral("Anslut")), "BitBtn1");
    connectLayout->addWidget(lblDataProvider, 0, 0, 1, 2);
    connectLayout->addWidget(BitBtn3, 1, 1);
    connectLayout->addWidget(new QLabel(QStringLiteral("Namn:")), 2, 0, 1, 2);
    connectLayout->addWidget(UserName, 3, 0, 1, 2);
    connectLayout->addWidget(new QLabel(QStringLiteral("Lösenord:")), 4, 0, 1, 2);
    connectLayout->addWidget(Password, 5, 0, 1, 2);
    connectLayout->addWidget(BitBtn1, 6, 1);
    connectLayout->setRowStretch(7, 1);
    top->addWidget(connectBox, 0);

    auto* seriesColumn = new QVBoxLayout;
    lblBildserie = named(new QLabel(QStringLiteral("Bildserie")), "lblBildserie");
    seriesColumn->addWidget(lblBildserie);
    wwDBGrid1 = named(new QTableView, "wwDBGrid1");
    wwDBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    wwDBGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    wwDBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    wwDBGrid1->verticalHeader()->hide();
    m_seriesModel = new SeriesModel(this);
    wwDBGrid1->setModel(m_seriesModel);
    const int charWidth = wwDBGrid1->fontMetrics().averageCharWidth();
    wwDBGrid1->horizontalHeader()->resizeSection(0, 23 * charWidth);
    wwDBGrid1->horizontalHeader()->resizeSection(1, 30 * charWidth);
    connect(wwDBGrid1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (current.isValid() && database().qryBildserier.Active() && !running)
                    database().qryBildserier.setRecNo(current.row() + 1);
            });
    pnlAnslutfirst = coverPanel("pnlAnslutfirst");
    m_seriesCover = new QStackedWidget;
    m_seriesCover->addWidget(wwDBGrid1);
    m_seriesCover->addWidget(pnlAnslutfirst);
    seriesColumn->addWidget(m_seriesCover, 1);
    top->addLayout(seriesColumn, 1);

    auto* options = new QGridLayout;
    top->addLayout(options, 2);

    gbImageComments = named(new QGroupBox(QStringLiteral("ImageComments")), "gbImageComments");
    auto* icLayout = new QVBoxLayout(gbImageComments);
    cbImageComments = named(new QCheckBox(QStringLiteral("Tillåt endast en kategori")), "cbImageComments");
    auto* tagNote = new QLabel(QStringLiteral("Tag: (0020,4000)"));
    tagNote->setStyleSheet(QStringLiteral("color: gray"));
    icLayout->addWidget(cbImageComments);
    icLayout->addWidget(tagNote);
    options->addWidget(gbImageComments, 0, 0);

    gbPatientnr = named(new QGroupBox(QStringLiteral("Patientnr")), "gbPatientnr");
    auto* rangeLayout = new QGridLayout(gbPatientnr);
    lblStartNr = named(new QLabel(QStringLiteral("Fr.o.m:")), "lblStartNr");
    lblStopNr = named(new QLabel(QStringLiteral("T.o.m:")), "lblStopNr");
    eStartNr = digitEdit("eStartNr");
    eStopNr = digitEdit("eStopNr");
    shStartNr = mark("shStartNr");
    shStopNr = mark("shStopNr");
    btnMin = named(new QPushButton(QStringLiteral("Min")), "btnMin");
    btnMax = named(new QPushButton(QStringLiteral("Max")), "btnMax");
    rangeLayout->addWidget(lblStartNr, 0, 0);
    rangeLayout->addWidget(eStartNr, 0, 1);
    rangeLayout->addWidget(shStartNr, 0, 2);
    rangeLayout->addWidget(btnMin, 0, 3);
    rangeLayout->addWidget(lblStopNr, 1, 0);
    rangeLayout->addWidget(eStopNr, 1, 1);
    rangeLayout->addWidget(shStopNr, 1, 2);
    rangeLayout->addWidget(btnMax, 1, 3);
    pnlAnslutfirst2 = coverPanel("pnlAnslutfirst2");
    m_optionsCover = new QStackedWidget;
    m_optionsCover->addWidget(gbPatientnr);
    m_optionsCover->addWidget(pnlAnslutfirst2);
    options->addWidget(m_optionsCover, 1, 0);

    rgUrval = named(new QGroupBox(QStringLiteral("Urvalsmetod")), "rgUrval");
    auto* urvalLayout = new QVBoxLayout(rgUrval);
    m_urval = new QButtonGroup(this);
    const QStringList urvalItems = {QStringLiteral("Kategori"), QStringLiteral("Bildflik")};
    for (int i = 0; i < urvalItems.size(); ++i) {
        auto* r = new QRadioButton(urvalItems[i]);
        r->setObjectName(QStringLiteral("rgUrval%1").arg(i));
        m_urval->addButton(r, i);
        urvalLayout->addWidget(r);
    }
    options->addWidget(rgUrval, 0, 1);

    rgOmskalning = named(new QGroupBox(QStringLiteral("Hantering av för stora bilder")), "rgOmskalning");
    auto* omskLayout = new QGridLayout(rgOmskalning);
    m_omskalning = new QButtonGroup(this);
    const QStringList omskItems = {QStringLiteral("Minska upplösning"), QStringLiteral("Konvertera ej")};
    for (int i = 0; i < omskItems.size(); ++i) {
        auto* r = new QRadioButton(omskItems[i]);
        r->setObjectName(QStringLiteral("rgOmskalning%1").arg(i));
        m_omskalning->addButton(r, i);
        omskLayout->addWidget(r, i, 0, 1, 3);
    }
    shType = mark("shType");
    lblType = named(new QLabel(QStringLiteral("Metod:")), "lblType");
    cbType = named(new QComboBox, "cbType");
    cbType->addItems(filterNames);
    // The filter row keeps its place while hidden, so that nothing below it moves.
    for (QWidget* w : std::initializer_list<QWidget*>{shType, lblType, cbType}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
    omskLayout->addWidget(shType, 2, 0);
    omskLayout->addWidget(lblType, 2, 1);
    omskLayout->addWidget(cbType, 2, 2);
    options->addWidget(rgOmskalning, 1, 1);

    auto* sizeRow = new QHBoxLayout;
    lblMaxMByte = named(new QLabel(QStringLiteral("Max bildstorlek (MB):")), "lblMaxMByte");
    eMaxMByte = digitEdit("eMaxMByte");
    eMaxMByte->setMaximumWidth(60);
    sizeRow->addWidget(lblMaxMByte);
    sizeRow->addWidget(eMaxMByte);
    sizeRow->addStretch();
    options->addLayout(sizeRow, 2, 1);

    cbErase = named(new QCheckBox(QStringLiteral("Radera bildreferens (Ovrel/Tasvik/Kolm) efter konverteringen")), "cbErase");
    cbZLIB = named(new QCheckBox(QStringLiteral("DICOM-Dir med ZLIB")), "cbZLIB");
    cbSingleFlik = named(new QCheckBox(QStringLiteral("Lägg alla bilder för en patient under en flik i DICOM-servern")),
                         "cbSingleFlik");
    options->addWidget(cbZLIB, 2, 0);
    options->addWidget(cbErase, 3, 0, 1, 2);
    options->addWidget(cbSingleFlik, 4, 0, 1, 2);

    auto* buttons = new QHBoxLayout;
    btnCheck = named(new QPushButton(QStringLiteral("Kontrollera")), "btnCheck");
    btnExecute = boldButton(QStringLiteral("Starta konvertering"), "btnExecute");
    btnCancel = boldButton(QStringLiteral("Avbryt"), "btnCancel");
    SpeedButton1 = named(new QToolButton, "SpeedButton1");
    SpeedButton1->setText(QStringLiteral("?"));
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setToolTip(QStringLiteral("Hjälp"));
    buttons->addWidget(btnCheck);
    buttons->addWidget(btnExecute);
    buttons->addWidget(btnCancel);
    buttons->addStretch();
    buttons->addWidget(SpeedButton1);
    options->addLayout(buttons, 5, 0, 1, 2);

    // Lower half: the two logs, SUCCEED above FAILED, with a splitter between them.
    cbOkLoggActive = named(new QCheckBox(QStringLiteral("Log aktiv")), "cbOkLoggActive");
    cbDetaljKontrLog = named(new QCheckBox(QStringLiteral("Detalj. log")), "cbDetaljKontrLog");
    cbFailedLoggActive = named(new QCheckBox(QStringLiteral("Log aktiv")), "cbFailedLoggActive");
    pnlOK = logHeader(QStringLiteral("SUCCEED"), "pnlOK", {cbDetaljKontrLog, cbOkLoggActive}, m_okHeader);
    pnlFailed = logHeader(QStringLiteral("FAILED"), "pnlFailed", {cbFailedLoggActive}, m_failedHeader);
    lbOK = named(new QListWidget, "lbOK");
    lbFailed = named(new QListWidget, "lbFailed");
    auto* okBox = new QWidget;
    auto* okLayout = new QVBoxLayout(okBox);
    okLayout->setContentsMargins(0, 0, 0, 0);
    okLayout->setSpacing(0);
    okLayout->addWidget(pnlOK);
    okLayout->addWidget(lbOK);
    auto* failedBox = new QWidget;
    auto* failedLayout = new QVBoxLayout(failedBox);
    failedLayout->setContentsMargins(0, 0, 0, 0);
    failedLayout->setSpacing(0);
    failedLayout->addWidget(pnlFailed);
    failedLayout->addWidget(lbFailed);
    auto* splitter = named(new QSplitter(Qt::Vertical), "Splitter1");
    splitter->addWidget(okBox);
    splitter->addWidget(failedBox);
    root->addWidget(splitter, 1);

    StatusBar = named(new QStatusBar, "StatusBar");
    StatusPanel = named(new QLabel, "StatusPanel");
    StatusPanel->setAlignment(Qt::AlignCenter);
    StatusBar->addWidget(StatusPanel, 1);
    setStatusBar(StatusBar);

    // Defaults.
    cbOkLoggActive->setChecked(true);
    cbFailedLoggActive->setChecked(true);
    setRgUrvalIndex(0);
    setRgOmskalningIndex(1);
    cbType->setCurrentIndex(filterNames.indexOf(QStringLiteral("MitchellFilter")));
    eMaxMByte->setText(QStringLiteral("40"));
    setConnectPanelsShown(true);

    m_help = new TfrmHelp(this);

    connect(lbOK, &QListWidget::itemDoubleClicked, this, &TfrmMain::lbOKDblClick);
    connect(lbFailed, &QListWidget::itemDoubleClicked, this, &TfrmMain::lbFailedDblClick);
    connect(btnExecute, &QPushButton::clicked, this, &TfrmMain::btnExecuteClick);
    connect(btnCheck, &QPushButton::clicked, this, &TfrmMain::btnCheckClick);
    connect(btnCancel, &QPushButton::clicked, this, &TfrmMain::btnCancelClick);
    connect(BitBtn3, &QPushButton::clicked, this, &TfrmMain::BitBtn3Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TfrmMain::BitBtn1Click);
    connect(btnMin, &QPushButton::clicked, this, &TfrmMain::btnMinClick);
    connect(btnMax, &QPushButton::clicked, this, &TfrmMain::btnMaxClick);
    connect(m_omskalning, &QButtonGroup::idClicked, this, &TfrmMain::rgOmskalningClick);
    connect(SpeedButton1, &QToolButton::clicked, this, &TfrmMain::SpeedButton1Click);
}

int TfrmMain::rgUrvalIndex() const { return m_urval->checkedId(); }
void TfrmMain::setRgUrvalIndex(int index) { m_urval->button(index)->setChecked(true); }
int TfrmMain::rgOmskalningIndex() const { return m_omskalning->checkedId(); }

void TfrmMain::setRgOmskalningIndex(int index)
{
    m_omskalning->button(index)->setChecked(true);
    rgOmskalningClick();
}

void TfrmMain::setConnectPanelsShown(bool shown)
{
    m_seriesCover->setCurrentWidget(shown ? static_cast<QWidget*>(pnlAnslutfirst) : wwDBGrid1);
    m_optionsCover->setCurrentWidget(shown ? static_cast<QWidget*>(pnlAnslutfirst2) : gbPatientnr);
}

void TfrmMain::updateControls()
{
    const TMainDatabase& db = m_session->db;
    dbON = db.ADOCon_Tasvik.Connected();
    if (!running)
        StatusPanel->setText(dbON ? QStringLiteral("Connected to: ") + db.ADOCon_Tasvik.DefaultDatabase()
                                  : QStringLiteral("Not connected"));

    const bool free = dbON && !running;
    for (QWidget* w : std::initializer_list<QWidget*>{
             lblBildserie, lblStartNr, lblStopNr, lblMaxMByte, lblType, cbType, eStartNr, eStopNr, cbImageComments,
             eMaxMByte, btnMin, btnMax, shStartNr, shStopNr, rgUrval, rgOmskalning, cbSingleFlik, cbErase,
             cbOkLoggActive, cbFailedLoggActive})
        w->setEnabled(free);
    cbZLIB->setEnabled(true);
    // Connecting or choosing another data provider mid-run would pull the queries away.
    BitBtn1->setEnabled(!running);
    BitBtn3->setEnabled(!running);
    wwDBGrid1->setEnabled(!running);

    const bool shrinking = rgOmskalningIndex() == 0;
    lblType->setVisible(shrinking);
    cbType->setVisible(shrinking);
    shType->setVisible(shrinking && lblType->isEnabled());

    const bool canStart = dbON && db.seriesOpenWithRows() && db.qryPatbilder.Active() && !running && !interrupted;
    btnExecute->setEnabled(canStart);
    btnCheck->setEnabled(canStart);
    cbDetaljKontrLog->setEnabled(canStart);
    btnCancel->setEnabled(running && !interrupted);
}

void TfrmMain::btnMinClick() { eStartNr->setText(QString::number(minPatientNr)); }
void TfrmMain::btnMaxClick() { eStopNr->setText(QString::number(maxPatientNr)); }
void TfrmMain::rgOmskalningClick() { updateControls(); }

void TfrmMain::SpeedButton1Click()
{
    m_help->show();
    m_help->raise();
}

} // namespace b2d
