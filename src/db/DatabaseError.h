#pragma once

#include <QString>

#include <stdexcept>

namespace b2d {

// A failure of the database layer: the connection, a statement or a use of a query. The text
// is the driver's own where the driver gave one, so that it can be shown to the user as it is.
class DatabaseError : public std::runtime_error {
public:
    explicit DatabaseError(const QString& text)
        : std::runtime_error(text.toStdString()), m_text(text)
    {
    }
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

} // namespace b2d
