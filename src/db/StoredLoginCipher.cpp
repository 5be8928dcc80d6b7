#include "db/StoredLoginCipher.h"

#include "db/BlowfishTables.h"

#include <cstring>

namespace b2d {

namespace {

uint32_t readLE(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void writeLE(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

} // namespace

StoredLoginCipher::StoredLoginCipher(const Key& key)
{
    std::memcpy(m_p, blowfish::initialP, sizeof m_p);
    std::memcpy(m_s, blowfish::initialS, sizeof m_s);
    size_t k = 0;
    for (uint32_t& p : m_p) {
        uint32_t word = 0;
        for (int i = 0; i < 4; ++i)
            word = word << 8 | key[k++ % key.size()];
        p ^= word;
    }
    uint8_t block[8] = {};
    auto next = [&](uint32_t& left, uint32_t& right) {
        encipherBlock(block);
        left = readLE(block);
        right = readLE(block + 4);
    };
    for (int i = 0; i < 18; i += 2)
        next(m_p[i], m_p[i + 1]);
    for (auto& box : m_s)
        for (int i = 0; i < 256; i += 2)
            next(box[i], box[i + 1]);
}

StoredLoginCipher::Key StoredLoginCipher::installationKey()
{
    const QByteArray bytes = QByteArray::fromHex(QByteArrayLiteral(B2D_LOGIN_KEY));
    Key key{};
    if (bytes.size() != int(key.size()))
        throw CipherError("The login key must be 32 hexadecimal digits");
    std::memcpy(key.data(), bytes.constData(), key.size());
    return key;
}

uint32_t StoredLoginCipher::f(uint32_t x) const
{
    return ((m_s[0][x >> 24] + m_s[1][(x >> 16) & 0xFF]) ^ m_s[2][(x >> 8) & 0xFF]) + m_s[3][x & 0xFF];
}

void StoredLoginCipher::encipherBlock(uint8_t block[8]) const
{
    // The round function reads the halves as they were on entry, in every round.
    const uint32_t fLeft = f(readLE(block));
    const uint32_t fRight = f(readLE(block + 4));
    uint32_t left = readLE(block) ^ m_p[0];
    uint32_t right = readLE(block + 4);
    for (int i = 1; i <= 15; i += 2) {
        right ^= m_p[i] ^ fLeft;
        left ^= m_p[i + 1] ^ fRight;
    }
    right ^= m_p[17];
    writeLE(block, left);
    writeLE(block + 4, right);
}

void StoredLoginCipher::decipherBlock(uint8_t block[8]) const
{
    const uint32_t fLeft = f(readLE(block));
    const uint32_t fRight = f(readLE(block + 4));
    uint32_t left = readLE(block);
    uint32_t right = readLE(block + 4) ^ m_p[17];
    for (int i = 16; i >= 2; i -= 2) {
        left ^= m_p[i] ^ fRight;
        right ^= m_p[i - 1] ^ fLeft;
    }
    left ^= m_p[0];
    writeLE(block, left);
    writeLE(block + 4, right);
}

QByteArray StoredLoginCipher::base64Decode(const QByteArray& text)
{
    QByteArray out;
    out.reserve(text.size() / 4 * 3);
    for (qsizetype i = 0; i + 4 <= text.size(); i += 4) {
        int v[4];
        int padding = 0;
        for (int j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=' && j >= 2) {
                v[j] = 0;
                ++padding;
                continue;
            }
            v[j] = base64Value(c);
            if (v[j] < 0 || padding > 0)
                throw CipherError("Invalid Base64 Character");
        }
        const uint32_t group = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | uint32_t(v[3]);
        out.append(char(group >> 16));
        if (padding < 2)
            out.append(char(group >> 8));
        if (padding < 1)
            out.append(char(group));
    }
    return out;
}

QString StoredLoginCipher::decipher(const QString& stored) const
{
    const QByteArray bytes = base64Decode(stored.toLatin1());
    const qsizetype blocks = bytes.size() / 8;
    if (blocks == 0)
        throw CipherError("Invalid file format");
    QByteArray plain;
    uint8_t block[8];
    for (qsizetype b = 0; b < blocks; ++b) {
        std::memcpy(block, bytes.constData() + b * 8, 8);
        decipherBlock(block);
        if (b + 1 < blocks) {
            plain.append(reinterpret_cast<const char*>(block), 8);
        } else {
            // Data not made with this key gives a count past the block: not a login.
            if (block[7] > 8)
                throw CipherError("Invalid padding");
            plain.append(reinterpret_cast<const char*>(block), block[7]);
        }
    }
    return QString::fromLatin1(plain);
}

QString StoredLoginCipher::encipher(const QString& plain) const
{
    QByteArray bytes = plain.toLatin1();
    const int rest = int(bytes.size() % 8);
    QByteArray last(8, '\0');
    std::memcpy(last.data(), bytes.constData() + bytes.size() - rest, size_t(rest));
    last[7] = char(rest);
    bytes.truncate(bytes.size() - rest);
    bytes.append(last);
    for (qsizetype b = 0; b < bytes.size(); b += 8)
        encipherBlock(reinterpret_cast<uint8_t*>(bytes.data() + b));
    return QString::fromLatin1(bytes.toBase64());
}

} // namespace b2d
