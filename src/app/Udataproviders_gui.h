#pragma once

#include "db/Udataproviders.h"

#include <QDialog>

#include <functional>

class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace b2d {

class Messages;
class Settings;

// The chooser of data-provider files in the data-links folder.
class TfrmDataProviders : public QDialog {
    Q_OBJECT
public:
    TfrmDataProviders(DataProviderState& state, Settings& settings, Messages& messages, QWidget* parent = nullptr);

    // The setting value name (section "DataProvider") that holds the default file.
    QString IniTextPosision;

    // Asks for the name of a new data provider; nothing when cancelled. Replaceable for tests.
    std::function<std::optional<QString>()> askNewName;
    // Opens a file with the desktop's "open" action. Replaceable for tests.
    std::function<void(const QString&)> openFile;

    QGroupBox* GroupBox1 = nullptr;
    QPushButton* btnAdd = nullptr;
    QPushButton* btnEdit = nullptr;
    QPushButton* btnDefault = nullptr;
    QPushButton* btnDelete = nullptr;
    QLabel* Label1 = nullptr;
    QListWidget* lbDataProviders = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

    // Refills the list from the data-links folder and selects name (letter case ignored).
    void refreshList(const QString& name);
    // File-name part of the default setting.
    QString defaultName() const;
    QString selectedName() const;

    void btnOKClick();
    void btnDefaultClick();
    void btnAddClick();
    void btnEditClick();
    void btnDeleteClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool requireSelection();

    DataProviderState& m_state;
    Settings& m_settings;
    Messages& m_messages;
};

// The window's chooser: shows TfrmDataProviders modally.
class DialogDataProviderChooser : public DataProviderChooser {
public:
    DialogDataProviderChooser(DataProviderState& state, Settings& settings, Messages& messages, QWidget* parent)
        : m_state(state), m_settings(settings), m_messages(messages), m_parent(parent) {}
    QString ChooseDataProvider(const QString& valueName) override;

private:
    DataProviderState& m_state;
    Settings& m_settings;
    Messages& m_messages;
    QWidget* m_parent;
};

} // namespace b2d
