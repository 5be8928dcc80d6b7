#include "FuzzEntries.h"

#include "common/Bitmap.h"
#include "common/PictureFormatError.h"
#include "db/ConnectionString.h"
#include "db/DatabaseError.h"
#include "db/SqlServerDialect.h"
#include "db/StoredLoginCipher.h"
#include "db/Udataproviders.h"
#include "pictures/gfx_files.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace b2d::fuzz {

namespace {

void check(bool condition, const std::string& what)
{
    if (!condition)
        throw InvariantBroken(what);
}

// Writes data to a file of the scratch folder, replacing what the last input left there.
QString writeScratchFile(const QString& name, const uint8_t* data, size_t size)
{
    const QString path = scratchFolder() + u'/' + name;
    const QByteArray local = QFile::encodeName(path);
    FILE* f = std::fopen(local.constData(), "wb");
    if (!f)
        throw std::runtime_error("cannot write the scratch file " + local.toStdString());
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written)
        throw std::runtime_error("cannot write the scratch file " + local.toStdString());
    return path;
}

void checkBitmap(const Bitmap& bitmap)
{
    if (bitmap.isEmpty())
        return;
    check(bitmap.width() > 0 && bitmap.height() > 0, "negative bitmap size");
    const int bits = bitmap.bitsPerPixel();
    check(bits == 1 || bits == 4 || bits == 8 || bits == 24 || bits == 32, "unknown pixel format");
    const size_t row = (size_t(bitmap.width()) * size_t(bits) + 7) / 8;
    check(bitmap.bytesPerRow() == row, "row length does not match width and bits");
    check(bitmap.byteCount() == row * size_t(bitmap.height()), "buffer does not match the rows");
    if (bits <= 8)
        check(bitmap.palette().size() <= (size_t(1) << bits), "palette larger than the pixel format allows");
    // Touch the first and last pixel so that a buffer shorter than it says shows under ASan.
    (void)bitmap.pixel(0, 0);
    (void)bitmap.pixel(bitmap.width() - 1, bitmap.height() - 1);
}

// Splits an input into up to count parts at 0xFF bytes (which never occur in the UTF-8 the
// parts are read as), so that one input can hold several texts.
QList<QString> splitTexts(const uint8_t* data, size_t size, int count)
{
    QList<QString> parts;
    size_t start = 0;
    for (size_t i = 0; i <= size && parts.size() + 1 < count; ++i) {
        if (i == size || data[i] == 0xFF) {
            parts << QString::fromUtf8(reinterpret_cast<const char*>(data + start), qsizetype(i - start));
            start = i + 1;
        }
    }
    if (parts.size() + 1 == count || start <= size)
        parts << QString::fromUtf8(reinterpret_cast<const char*>(data + start), qsizetype(size - std::min(start, size)));
    while (parts.size() < count)
        parts << QString();
    return parts;
}

int sign(int v) { return (v > 0) - (v < 0); }

// Runs "text LIKE pattern [ESCAPE escape]" on an SQLite connection with the shims; -1 for NULL,
// -2 for an SQLite error.
int likeThroughSqlite(sqlite3* db, const QString& text, const QString& pattern, const QString* escape)
{
    sqlite3_stmt* stmt = nullptr;
    const char* sql = escape ? "SELECT ?1 LIKE ?2 ESCAPE ?3" : "SELECT ?1 LIKE ?2";
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_bind_text16(stmt, 1, text.utf16(), int(text.size() * 2), SQLITE_TRANSIENT);
    sqlite3_bind_text16(stmt, 2, pattern.utf16(), int(pattern.size() * 2), SQLITE_TRANSIENT);
    if (escape)
        sqlite3_bind_text16(stmt, 3, escape->utf16(), int(escape->size() * 2), SQLITE_TRANSIENT);
    int result = -2;
    if (sqlite3_step(stmt) == SQLITE_ROW)
        result = sqlite3_column_type(stmt, 0) == SQLITE_NULL ? -1 : sqlite3_column_int(stmt, 0);
    sqlite3_finalize(stmt);
    return result;
}

int compareThroughSqlite(sqlite3* db, const QString& a, const QString& b)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT ?1 < ?2 COLLATE DATABASE_DEFAULT, ?1 = ?2 COLLATE DATABASE_DEFAULT", -1,
                           &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    sqlite3_bind_text16(stmt, 1, a.utf16(), int(a.size() * 2), SQLITE_TRANSIENT);
    sqlite3_bind_text16(stmt, 2, b.utf16(), int(b.size() * 2), SQLITE_TRANSIENT);
    int result = -2;
    if (sqlite3_step(stmt) == SQLITE_ROW)
        result = sqlite3_column_int(stmt, 0) ? -1 : (sqlite3_column_int(stmt, 1) ? 0 : 1);
    sqlite3_finalize(stmt);
    return result;
}

sqlite3* shimConnection()
{
    static sqlite3* db = [] {
        sqlite3* d = nullptr;
        if (sqlite3_open_v2(":memory:", &d, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK ||
            registerSqlServerShims(d) != SQLITE_OK)
            throw std::runtime_error("cannot open an SQLite connection with the shims");
        return d;
    }();
    return db;
}

} // namespace

QString scratchFolder()
{
    // Removed with everything in it when the process ends normally.
    static const QTemporaryDir folder(
        (QFileInfo(QStringLiteral("/dev/shm")).isDir() ? QStringLiteral("/dev/shm") : QDir::tempPath())
        + QStringLiteral("/b2d-fuzz-XXXXXX"));
    if (!folder.isValid())
        throw std::runtime_error("cannot make a scratch folder: " + folder.errorString().toStdString());
    return folder.path();
}

std::vector<KeptInput> keptInputs(const QString& sourceDir, const QString& target)
{
    std::vector<KeptInput> inputs;
    for (const char* kind : {"regressions", "corpus"}) {
        const QDir dir(sourceDir + QStringLiteral("/fuzz/%1/%2").arg(QLatin1String(kind), target));
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                throw std::runtime_error((file.fileName() + ": " + file.errorString()).toStdString());
            inputs.push_back({file.fileName(), file.readAll()});
        }
    }
    return inputs;
}

QString pictureExtension(const QString& extension, const uint8_t* data, size_t size)
{
    if (extension != QLatin1String(".jp2") && extension != QLatin1String(".j2k"))
        return extension;
    static const uint8_t jp2Signature[] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
    const bool jp2 = size >= sizeof jp2Signature && std::memcmp(data, jp2Signature, sizeof jp2Signature) == 0;
    return jp2 ? QStringLiteral(".jp2") : QStringLiteral(".j2k");
}

void loadPicture(const QString& extension, const uint8_t* data, size_t size)
{
    const QString path = writeScratchFile(QStringLiteral("input") + pictureExtension(extension, data, size), data, size);
    // B2D_FUZZ_VERBOSE=1 tells what each input gave, for looking into a slow or odd input.
    static const bool verbose = qEnvironmentVariableIsSet("B2D_FUZZ_VERBOSE");
    Bitmap bitmap;
    try {
        LoadPictureFile(bitmap, path);
    } catch (const PictureFormatError& e) {
        if (verbose)
            std::fprintf(stderr, "fuzz: %s\n", e.what());
        return;
    }
    if (verbose)
        std::fprintf(stderr, "fuzz: loaded %dx%d, %d bits\n", bitmap.width(), bitmap.height(), bitmap.bitsPerPixel());
    checkBitmap(bitmap);
}

void readDataLink(const uint8_t* data, size_t size)
{
    const QString path = writeScratchFile(QStringLiteral("input.udl"), data, size);
    const QString provider = ReadIniValue(path, QStringLiteral("oledb"), QStringLiteral("Provider"));
    check(provider.size() <= 255, "data-link value longer than 255 characters");
    const QString connectionString = QStringLiteral("Provider=") + provider;
    (void)GetConnectionStringField(connectionString, QStringLiteral("Data Source="), QStringLiteral(";"));
    try {
        (void)translateConnectionString(connectionString);
    } catch (const DatabaseError&) {
    }
}

void connectionStringFields(const uint8_t* data, size_t size)
{
    const QList<QString> parts = splitTexts(data, size, 4);
    const QString& text = parts[0];
    (void)parseConnectionString(text);
    try {
        const DriverConnection connection = translateConnectionString(text);
        check(connection.qtDriver == QLatin1String("QSQLITE") || connection.qtDriver == QLatin1String("QODBC"),
              "unknown Qt driver");
    } catch (const DatabaseError&) {
    }

    const QString& key = parts[1];
    const QString& separator = parts[2];
    const QString& value = parts[3];
    const bool keyWasThere = text.contains(key);
    QString changed = text;
    SetConnectionStringField(changed, key, separator, value);
    const QString read = GetConnectionStringField(changed, key, separator);
    if (!keyWasThere)
        return;
    // The value stands right after the first key; it reads back as set unless a separator
    // starts inside it (one of its own, or one made of its end and the text after it).
    const qsizetype valueStart = changed.indexOf(key) + key.size();
    check(QStringView(changed).mid(valueStart, value.size()) == value, "a field set is not where its key is");
    const qsizetype next = separator.isEmpty() ? -1 : changed.indexOf(separator, valueStart);
    if (!separator.isEmpty() && (next < 0 || next >= valueStart + value.size()))
        check(read == value, "a field set does not read back");
}

void storedLogin(const uint8_t* data, size_t size)
{
    const QString stored = QString::fromLatin1(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const QString plain = StoredLoginCipher(StoredLoginCipher::installationKey()).decipher(stored);
        check(plain.size() <= stored.size(), "deciphered text longer than its cipher");
    } catch (const CipherError&) {
    }

    if (size < 16)
        return;
    StoredLoginCipher::Key key;
    std::memcpy(key.data(), data, key.size());
    const StoredLoginCipher cipher(key);
    const QString plain = QString::fromLatin1(reinterpret_cast<const char*>(data + 16), qsizetype(size - 16));
    check(cipher.decipher(cipher.encipher(plain)) == plain, "decipher does not undo encipher");
    uint8_t block[8];
    std::memcpy(block, data + 16, std::min<size_t>(8, size - 16));
    if (size - 16 < 8)
        std::memset(block + (size - 16), 0, 8 - (size - 16));
    uint8_t original[8];
    std::memcpy(original, block, 8);
    cipher.encipherBlock(block);
    cipher.decipherBlock(block);
    check(std::memcmp(block, original, 8) == 0, "block decipher does not undo block encipher");
}

void sqlServerLikeShim(const uint8_t* data, size_t size)
{
    const QList<QString> parts = splitTexts(data, size, 3);
    const QString& text = parts[0];
    const QString& pattern = parts[1];
    const QString& escape = parts[2];

    sqlite3* db = shimConnection();
    check(likeThroughSqlite(db, text, pattern, nullptr) == (sqlServerLike(text, pattern) ? 1 : 0),
          "LIKE through SQLite differs from the direct call");
    // SQLite hands any ESCAPE operand to the shim, which takes one character only.
    const int escaped = likeThroughSqlite(db, text, pattern, &escape);
    if (escape.size() == 1)
        check(escaped == (sqlServerLike(text, pattern, escape.at(0)) ? 1 : 0),
              "LIKE ... ESCAPE through SQLite differs from the direct call");
    else
        check(escaped == -2, "an ESCAPE operand of more than one character was taken");

    check(sqlServerLike(text, QStringLiteral("%")), "% does not match every text");
    // Every character of the text made literal with an escape matches the text itself.
    QString literal;
    for (QChar c : text)
        literal += QStringLiteral("!") + c;
    check(sqlServerLike(text, literal, u'!'), "an escaped text does not match itself");

    const int ab = sqlServerCompare(text, pattern);
    check(sign(ab) == -sign(sqlServerCompare(pattern, text)), "comparison not antisymmetric");
    check(sqlServerCompare(text, text + QStringLiteral("  ")) == 0, "trailing blanks count");
    check(compareThroughSqlite(db, text, pattern) == sign(ab), "collation through SQLite differs");

    (void)unwrapParenthesisedCompound(text);
}

} // namespace b2d::fuzz
