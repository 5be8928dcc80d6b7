#include "app/QtMessages.h"

#include <QApplication>
#include <QMessageBox>

namespace b2d {

void QtMessages::show(MessageKind kind, const QString& text)
{
    const QString plain = messageToPlainText(text);
    const QString caption = QApplication::applicationDisplayName();
    if (kind == MessageKind::Warning)
        QMessageBox::warning(m_parent, caption, plain);
    else
        QMessageBox::information(m_parent, caption, plain);
}

bool QtMessages::askYesNo(const QString& text)
{
    // Escape and closing the box answer No.
    return QMessageBox::question(m_parent, QApplication::applicationDisplayName(), messageToPlainText(text),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
           == QMessageBox::Yes;
}

} // namespace b2d
