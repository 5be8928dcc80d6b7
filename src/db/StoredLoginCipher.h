#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace b2d {

class CipherError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The cipher of the login stored in the practice database (table VELTARONUSER): Base64 text of
// 8-byte blocks, each enciphered on its own with a Blowfish variant whose round function always
// reads the block as it was on entry (so each half is in effect combined with a key-dependent
// constant). The stored form must stay readable by the practice system, so the variant is kept
// exactly. The last block's last byte tells how many of its bytes are text.
class StoredLoginCipher {
public:
    using Key = std::array<uint8_t, 16>;

    explicit StoredLoginCipher(const Key& key);

    // The key compiled into this build (B2D_LOGIN_KEY, 32 hexadecimal digits).
    static Key installationKey();

    // Throws CipherError: "Invalid Base64 Character", "Invalid file format", or "Invalid padding"
    // when the last block does not say how much of it is text.
    QString decipher(const QString& stored) const;
    QString encipher(const QString& plain) const;

    void encipherBlock(uint8_t block[8]) const;
    void decipherBlock(uint8_t block[8]) const;

    static QByteArray base64Decode(const QByteArray& text);

private:
    uint32_t f(uint32_t word) const;

    uint32_t m_p[18];
    uint32_t m_s[4][256];
};

} // namespace b2d
