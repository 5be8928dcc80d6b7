#pragma once

#include <QDialog>

class QPlainTextEdit;

namespace b2d {

// The help window: how to prepare the practice database and the converter, and how to convert.
class TfrmHelp : public QDialog {
    Q_OBJECT
public:
    explicit TfrmHelp(QWidget* parent = nullptr);
    QPlainTextEdit* Memo1 = nullptr;
    static QString helpText();
};

} // namespace b2d
