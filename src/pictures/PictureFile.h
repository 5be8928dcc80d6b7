#pragma once

#include <QByteArray>
#include <QString>

#include <string>

namespace b2d {

// Reads a whole picture file into memory, so that every reader parses a buffer of known length
// and cannot run past its end. A file that cannot be opened or read in full, or that is larger
// than any picture the program accepts, raises PictureFormatError(errorMessage).
QByteArray ReadWholeFile(const QString& fileName, const char* errorMessage);

// A reader's error text: the format's fixed message, then ": " and the library's reason if any.
std::string WithReason(const char* message, const std::string& reason);

} // namespace b2d
