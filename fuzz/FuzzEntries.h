#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace b2d::fuzz {

// One input's run through a reader, shared by the fuzz targets and by the tests that replay the
// inputs the fuzzer once found. Each entry swallows the clean errors its code is meant to give
// (PictureFormatError, DatabaseError, CipherError); anything else escapes, and a broken invariant
// raises InvariantBroken, so that both the fuzzer and the tests see it.
class InvariantBroken : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// The extension a picture input is loaded under: extension itself, except that ".jp2" and
// ".j2k" share one target and the input's first bytes choose (a JP2 signature box means ".jp2").
QString pictureExtension(const QString& extension, const uint8_t* data, size_t size);

// Loads data through LoadPictureFile from a scratch file named with the extension and checks
// that a loaded bitmap's buffer matches its size and layout.
void loadPicture(const QString& extension, const uint8_t* data, size_t size);

// Reads the provider of a data-link file holding data, as the program does at start-up, and
// translates the resulting connection string.
void readDataLink(const uint8_t* data, size_t size);

// Parses and translates a connection string and sets and gets one of its fields.
void connectionStringFields(const uint8_t* data, size_t size);

// Deciphers data as a stored login; enciphers and deciphers it again under a key taken from it.
void storedLogin(const uint8_t* data, size_t size);

// Runs SQL Server's LIKE and comparison, directly and through the shims of an SQLite connection.
void sqlServerLikeShim(const uint8_t* data, size_t size);

// The scratch folder for files handed to readers: under /dev/shm when there is one.
QString scratchFolder();

// The inputs kept for target (short name, "bmp"): the crashing inputs once found, then the
// corpus, each as its file under sourceDir/fuzz and its bytes. Throws when one cannot be read.
struct KeptInput {
    QString file;
    QByteArray bytes;
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(bytes.constData()); }
    size_t size() const { return size_t(bytes.size()); }
};
std::vector<KeptInput> keptInputs(const QString& sourceDir, const QString& target);

} // namespace b2d::fuzz
