#pragma once

// Lets GoogleTest print Qt values readably in failure messages; included into every test.
#include <QByteArray>
#include <QString>
#include <QVariant>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QByteArray& b, std::ostream* os) { *os << '"' << b.toStdString() << '"'; }
inline void PrintTo(const QVariant& v, std::ostream* os) { *os << "QVariant(" << v.toString().toStdString() << ')'; }
inline std::ostream& operator<<(std::ostream& os, const QString& s) { return os << s.toStdString(); }
