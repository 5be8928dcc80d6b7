#pragma once

#include "common/Messages.h"

class QWidget;

namespace b2d {

// Messages as the platform's standard modal boxes, owned by a parent window.
class QtMessages : public Messages {
public:
    explicit QtMessages(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }

    void show(MessageKind kind, const QString& text) override;
    bool askYesNo(const QString& text) override;

private:
    QWidget* m_parent;
};

} // namespace b2d
