#include "app/Udataproviders_gui.h"

#include "common/Messages.h"
#include "common/Settings.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QUrl>
#include <QVBoxLayout>

namespace b2d {

namespace {

// Rows 17 pixels high; the default in green, the selected row on silver, text 2 pixels in.
class DataProviderDelegate : public QStyledItemDelegate {
public:
    explicit DataProviderDelegate(const TfrmDataProviders* owner) : QStyledItemDelegate(const_cast<TfrmDataProviders*>(owner)), m_owner(owner) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QString name = index.data().toString();
        const bool selected = option.state & QStyle::State_Selected;
        painter->save();
        painter->fillRect(option.rect, selected ? QColor(192, 192, 192) : QColor(Qt::white));
        const bool isDefault = name.compare(m_owner->defaultName(), Qt::CaseInsensitive) == 0;
        painter->setPen(isDefault ? QColor(0, 128, 0) : option.palette.color(QPalette::Text));
        painter->setFont(option.font);
        painter->drawText(option.rect.adjusted(2, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, name);
        painter->restore();
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), 17};
    }

private:
    const TfrmDataProviders* m_owner;
};

} // namespace

TfrmDataProviders::TfrmDataProviders(DataProviderState& state, Settings& settings, Messages& messages, QWidget* parent)
    : QDialog(parent)
    , m_state(state)
    , m_settings(settings)
    , m_messages(messages)
{
    setObjectName(QStringLiteral("frmDataProviders"));
    setWindowTitle(QStringLiteral("DataProviders"));
    setFixedSize(209, 250);

    GroupBox1 = new QGroupBox(QStringLiteral("DataProviders"));
    btnAdd = new QPushButton(QStringLiteral("Lägg till..."));
    btnEdit = new QPushButton(QStringLiteral("Redigera..."));
    btnDefault = new QPushButton(QStringLiteral("Välj som standard"));
    btnDelete = new QPushButton(QStringLiteral("Radera"));
    Label1 = new QLabel(QStringLiteral("Befintliga DataProviders"));
    lbDataProviders = new QListWidget;
    lbDataProviders->setObjectName(QStringLiteral("lbDataProviders"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(13);
    lbDataProviders->setFont(font);
    lbDataProviders->setItemDelegate(new DataProviderDelegate(this));
    btnOK = new QPushButton(QStringLiteral("OK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Avbryt"));

    auto* buttons = new QGridLayout;
    buttons->addWidget(btnAdd, 0, 0);
    buttons->addWidget(btnEdit, 0, 1);
    buttons->addWidget(btnDefault, 1, 0);
    buttons->addWidget(btnDelete, 1, 1);
    auto* group = new QVBoxLayout(GroupBox1);
    group->addLayout(buttons);
    group->addWidget(Label1);
    group->addWidget(lbDataProviders, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(btnOK);
    bottom->addWidget(btnCancel);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(4, 4, 4, 4);
    root->addWidget(GroupBox1, 1);
    root->addLayout(bottom);

    askNewName = [this]() -> std::optional<QString> {
        bool ok = false;
        const QString name = QInputDialog::getText(this, QStringLiteral("Ny DataProvider"),
                                                   QStringLiteral("DataProviderns namn:"), QLineEdit::Normal, {}, &ok);
        return ok ? std::optional<QString>(name) : std::nullopt;
    };
    openFile = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };

    connect(btnOK, &QPushButton::clicked, this, &TfrmDataProviders::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(btnDefault, &QPushButton::clicked, this, &TfrmDataProviders::btnDefaultClick);
    connect(btnAdd, &QPushButton::clicked, this, &TfrmDataProviders::btnAddClick);
    connect(btnEdit, &QPushButton::clicked, this, &TfrmDataProviders::btnEditClick);
    connect(btnDelete, &QPushButton::clicked, this, &TfrmDataProviders::btnDeleteClick);
    connect(lbDataProviders, &QListWidget::itemDoubleClicked, this, &TfrmDataProviders::btnEditClick);
}

QString TfrmDataProviders::defaultName() const
{
    return QFileInfo(m_settings.ReadSetting(QStringLiteral("DataProvider"), IniTextPosision)).fileName();
}

QString TfrmDataProviders::selectedName() const
{
    const QListWidgetItem* item = lbDataProviders->currentItem();
    return item && item->isSelected() ? item->text() : QString();
}

void TfrmDataProviders::refreshList(const QString& name)
{
    lbDataProviders->clear();
    const QStringList names = QDir(m_state.DataLinksFolder).entryList({QStringLiteral("*.udl")}, QDir::Files, QDir::Unsorted);
    lbDataProviders->addItems(names);
    for (int i = 0; i < lbDataProviders->count(); ++i) {
        if (lbDataProviders->item(i)->text().compare(name, Qt::CaseInsensitive) == 0) {
            lbDataProviders->setCurrentRow(i);
            return;
        }
    }
    lbDataProviders->setCurrentRow(-1);
}

void TfrmDataProviders::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    refreshList(defaultName());
}

bool TfrmDataProviders::requireSelection()
{
    if (!selectedName().isEmpty())
        return true;
    m_messages.ShowInformation(QStringLiteral("Välj en DataProvider först!"));
    lbDataProviders->setFocus();
    return false;
}

void TfrmDataProviders::btnOKClick()
{
    if (!requireSelection())
        return;
    m_state.CurrentConnectionString.clear();
    accept();
}

void TfrmDataProviders::btnDefaultClick()
{
    if (!requireSelection())
        return;
    m_settings.WriteSetting(QStringLiteral("DataProvider"), IniTextPosision, selectedName());
    lbDataProviders->viewport()->update();
}

void TfrmDataProviders::btnAddClick()
{
    const std::optional<QString> name = askNewName();
    if (!name)
        return;
    QDir().mkpath(m_state.DataLinksFolder);
    const QString path = m_state.DataLinksFolder + *name + ".udl";
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.close();
    openFile(path);
    refreshList(*name + ".udl");
}

void TfrmDataProviders::btnEditClick()
{
    if (!requireSelection())
        return;
    openFile(m_state.DataLinksFolder + selectedName());
}

void TfrmDataProviders::btnDeleteClick()
{
    if (!requireSelection())
        return;
    const QString name = selectedName();
    if (m_messages.AskYesNo(QStringLiteral("Radera DataProvider-filen ") + name) != mrYes)
        return;
    QFile::remove(m_state.DataLinksFolder + name);
    refreshList(QString());
}

QString DialogDataProviderChooser::ChooseDataProvider(const QString& valueName)
{
    QString result = QFileInfo(m_state.DataProviderFile).fileName();
    TfrmDataProviders dialog(m_state, m_settings, m_messages, m_parent);
    dialog.IniTextPosision = valueName;
    if (dialog.exec() == QDialog::Accepted)
        result = dialog.selectedName();
    return result;
}

} // namespace b2d
