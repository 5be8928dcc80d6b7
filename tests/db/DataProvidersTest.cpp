#include "common/Messages.h"
#include "common/Settings.h"
#include "db/BlowfishTables.h"
#include "db/StoredLoginCipher.h"
#include "db/Udataproviders.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <cstring>

using namespace b2d;

TEST(ConnectionStringFields, GetAndSet)
{
    EXPECT_EQ(GetConnectionStringField("Provider=P;Data Source=S", "Data Source=", ";"), "S");
    EXPECT_EQ(GetConnectionStringField("Provider=P;Data Source=S", "User ID=", ";"), "");
    EXPECT_EQ(GetConnectionStringField("Provider=P;User Id=u", "User ID=", ";"), ""); // keys are case-sensitive
    EXPECT_EQ(GetConnectionStringField("Provider=P;Password=;X=1", "Password=", ";"), "");

    struct Case {
        QString text, key, value, expected;
    };
    const Case cases[] = {
        {"A=1;B=2", "A=", "9", "A=9;B=2"},
        {"A=1;B=2", "C=", "3", "A=1;B=2;C=3"},
        {"A=1;B=2", "C=", "", "A=1;B=2"},
        {"A=1;B=2", "B=", "", "A=1;B="},
        {"X;A=1", "A=", "22", "X;A=22"},
    };
    for (const Case& c : cases) {
        QString text = c.text;
        SetConnectionStringField(text, c.key, ";", c.value);
        EXPECT_EQ(text, c.expected) << c.text << " " << c.key;
    }
}

namespace {

QByteArray utf16(const QString& text, bool littleEndian)
{
    QByteArray out = littleEndian ? QByteArray("\xFF\xFE", 2) : QByteArray("\xFE\xFF", 2);
    for (QChar c : text) {
        const char lo = char(c.unicode() & 0xFF), hi = char(c.unicode() >> 8);
        out.append(littleEndian ? lo : hi).append(littleEndian ? hi : lo);
    }
    return out;
}

const QString udlText = "[oledb]\r\n; Everything after this line is an OLE DB initstring\r\n"
                        "Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;Initial Catalog=Tandvård;Data Source=srv\r\n";

} // namespace

TEST(ReadIniValue, ReadsUtf16EitherOrderAnd8BitFiles)
{
    QTemporaryDir dir;
    const QString expected = "SQLOLEDB.1;Persist Security Info=False;User ID=sa;Initial Catalog=Tandvård;Data Source=srv";
    const std::pair<const char*, QByteArray> files[] = {
        {"le.udl", utf16(udlText, true)},
        {"be.udl", utf16(udlText, false)},
        {"ansi.udl", udlText.toLatin1()},
    };
    for (const auto& [name, bytes] : files) {
        test::writeAll(dir.filePath(name), bytes);
        EXPECT_EQ(ReadIniValue(dir.filePath(name), "oledb", "Provider"), expected) << name;
        EXPECT_EQ(ReadIniValue(dir.filePath(name), "OLEDB", "provider"), expected) << name;
        EXPECT_EQ(ReadIniValue(dir.filePath(name), "other", "Provider"), "") << name;
        EXPECT_EQ(ReadIniValue(dir.filePath(name), "oledb", "Missing"), "") << name;
    }
    EXPECT_EQ(ReadIniValue(dir.filePath("none.udl"), "oledb", "Provider"), "");

    test::writeAll(dir.filePath("long.udl"), utf16("[oledb]\r\nProvider=" + QString(300, 'x') + "\r\n", true));
    EXPECT_EQ(ReadIniValue(dir.filePath("long.udl"), "oledb", "Provider"), QString(255, 'x'));
}

namespace {

// Plain Blowfish (with the usual key schedule) to check the tables against the published vectors.
struct PlainBlowfish {
    uint32_t p[18];
    uint32_t s[4][256];
    uint32_t f(uint32_t x) const
    {
        return ((s[0][x >> 24] + s[1][(x >> 16) & 255]) ^ s[2][(x >> 8) & 255]) + s[3][x & 255];
    }
    void encipher(uint32_t& l, uint32_t& r) const
    {
        for (int i = 0; i < 16; ++i) {
            l ^= p[i];
            r ^= f(l);
            std::swap(l, r);
        }
        std::swap(l, r);
        r ^= p[16];
        l ^= p[17];
    }
    explicit PlainBlowfish(const std::vector<uint8_t>& key)
    {
        std::memcpy(p, blowfish::initialP, sizeof p);
        std::memcpy(s, blowfish::initialS, sizeof s);
        size_t k = 0;
        for (uint32_t& w : p) {
            uint32_t v = 0;
            for (int i = 0; i < 4; ++i)
                v = v << 8 | key[k++ % key.size()];
            w ^= v;
        }
        uint32_t l = 0, r = 0;
        for (int i = 0; i < 18; i += 2) {
            encipher(l, r);
            p[i] = l;
            p[i + 1] = r;
        }
        for (auto& box : s)
            for (int i = 0; i < 256; i += 2) {
                encipher(l, r);
                box[i] = l;
                box[i + 1] = r;
            }
    }
};

StoredLoginCipher::Key testKey()
{
    StoredLoginCipher::Key key;
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = uint8_t(0x11 * i + 3);
    return key;
}

} // namespace

TEST(StoredLoginCipher, TablesAreThePublishedOnes)
{
    // Eric Young's test vectors for Blowfish.
    struct Vector {
        std::vector<uint8_t> key;
        uint32_t l, r, cl, cr;
    };
    const Vector vectors[] = {
        {{0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 0x4EF99745, 0x6198DD78},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFF, 0xFFFFFFFF, 0x51866FD5, 0xB85ECB8A},
        {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 0x11111111, 0x11111111, 0x61F9C380, 0x2281B096},
    };
    for (const Vector& v : vectors) {
        PlainBlowfish bf(v.key);
        uint32_t l = v.l, r = v.r;
        bf.encipher(l, r);
        EXPECT_EQ(l, v.cl);
        EXPECT_EQ(r, v.cr);
    }
}

TEST(StoredLoginCipher, EachHalfIsCombinedWithAKeyConstant)
{
    // The round function always reads the block as it was on entry, so enciphering is linear
    // under exclusive or: E(a) ^ E(b) == a ^ b.
    const StoredLoginCipher cipher(testKey());
    uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {200, 100, 50, 25, 12, 6, 3, 1};
    uint8_t ea[8], eb[8];
    std::memcpy(ea, a, 8);
    std::memcpy(eb, b, 8);
    cipher.encipherBlock(ea);
    cipher.encipherBlock(eb);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ea[i] ^ eb[i], a[i] ^ b[i]);
    EXPECT_NE(std::memcmp(ea, a, 8), 0);
    cipher.decipherBlock(ea);
    EXPECT_EQ(std::memcmp(ea, a, 8), 0);
}

TEST(StoredLoginCipher, RoundTripsEveryLengthAndRefusesWhatItDidNotMake)
{
    const StoredLoginCipher cipher(testKey());
    for (int n = 0; n <= 17; ++n) {
        const QString plain = QString("sysadmåäö1234567890").left(n);
        const QString stored = cipher.encipher(plain);
        EXPECT_EQ(stored.size() % 4, 0);
        EXPECT_EQ(cipher.decipher(stored), plain) << n;
    }
    const StoredLoginCipher other(StoredLoginCipher::installationKey());
    EXPECT_NE(other.encipher("sa"), cipher.encipher("sa"));

    struct Case {
        QString stored;
        const char* error;
    };
    const Case cases[] = {
        {"", "Invalid file format"},
        {"QUJD", "Invalid file format"},       // 3 bytes: no whole block
        {"QUJD*ERG", "Invalid Base64 Character"}, // below '+'
        {"QUJD{ERG", "Invalid Base64 Character"}, // above 'z'
    };
    for (const Case& c : cases) {
        try {
            cipher.decipher(c.stored);
            ADD_FAILURE() << "no error for " << c.stored;
        } catch (const CipherError& e) {
            EXPECT_STREQ(e.what(), c.error) << c.stored;
        }
    }
    // A block whose count byte says more than a block holds was not made by this cipher.
    uint8_t block[8] = {'a', 'b', 'c', 0, 0, 0, 0, 200};
    cipher.encipherBlock(block);
    const QString bad = QString::fromLatin1(QByteArray(reinterpret_cast<char*>(block), 8).toBase64());
    EXPECT_THROW(cipher.decipher(bad), CipherError);
}

namespace {

struct LoginFixture : ::testing::Test {
    QTemporaryDir dir;
    Settings settings{"/srv/conv/", std::make_unique<IniSettingsBranch>(dir.path() + "/u"),
                      std::make_unique<IniSettingsBranch>(dir.path() + "/m")};
    ScriptedMessages messages;
    StoredLoginCipher cipher{testKey()};
    QStringList attempts; // connection strings the stored-login reader was asked to use
    std::function<std::pair<QString, QString>(const QString&)> reader;
    DataProviderState state;

    QString links() const { return dir.path() + "/links/"; }
    void writeUdl(const QString& name, const QString& provider)
    {
        QDir().mkpath(links());
        test::writeAll(links() + name, utf16("[oledb]\r\n; comment\r\nProvider=" + provider + "\r\n", true));
    }
    bool prepare(const QString& user = "typed", const QString& password = "secret")
    {
        LoginServices services{settings, messages, nullptr, cipher, [this](const QString& cs) {
                                   attempts << cs;
                                   return reader(cs);
                               }};
        return PrepareDatabaseLogin(state, services, user, password);
    }
};

} // namespace

TEST_F(LoginFixture, StartupFindsTheDefaultInTheDataLinksFolder)
{
    EXPECT_FALSE(LoadStartupDataProvider(state, settings, links()));
    EXPECT_EQ(state.DataProviderFile, links() + "ERROR");
    EXPECT_EQ(state.CurrentConnectionString, "");

    writeUdl("demo.udl", "SQLite;Data Source=/tmp/x.db");
    settings.WriteSetting("DataProvider", "DefaultDataProvider", "demo.udl");
    EXPECT_TRUE(LoadStartupDataProvider(state, settings, links()));
    EXPECT_EQ(state.DataProviderFile, links() + "demo.udl");
    EXPECT_EQ(state.CurrentConnectionString, "Provider=SQLite;Data Source=/tmp/x.db");
}

TEST_F(LoginFixture, TheStoredLoginCompletesAFileWithoutOne)
{
    reader = [this](const QString& cs) -> std::pair<QString, QString> {
        if (cs.contains("Integrated Security=SSPI"))
            throw std::runtime_error("no Windows account here");
        return {cipher.encipher("dbuser"), cipher.encipher("dbpass")};
    };
    writeUdl("a.udl", "SQLOLEDB.1;Persist Security Info=False;User Id=x;Initial Catalog=Db;Data Source=Srv");
    state.DataLinksFolder = links();
    state.DataProviderFile = "a.udl";
    ASSERT_TRUE(prepare());
    ASSERT_EQ(attempts.size(), 2);
    EXPECT_EQ(attempts[0], "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;Initial Catalog=Db;Data Source=Srv");
    EXPECT_EQ(attempts[1], "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;User ID=typed;Initial Catalog=Db;Data Source=Srv");
    EXPECT_EQ(state.login.Username, "dbuser");
    EXPECT_EQ(state.login.Password, "dbpass");
    EXPECT_EQ(state.CurrentConnectionString,
              "Provider=SQLOLEDB.1;Persist Security Info=True;User Id=x;Initial Catalog=Db;Data Source=Srv;"
              "User ID=dbuser;Password=dbpass");
    EXPECT_TRUE(messages.shown.empty());

    // The completed string holds the login: a second call reads nothing again.
    attempts.clear();
    ASSERT_TRUE(prepare());
    EXPECT_TRUE(attempts.empty());
}

TEST_F(LoginFixture, FileLoginAndIntegratedSecurityAreUsedAsTheyAre)
{
    reader = [](const QString&) -> std::pair<QString, QString> { throw std::runtime_error("must not be called"); };
    const std::pair<QString, QString> cases[] = {
        {"SQLOLEDB.1;User ID=sa;Password=pw;Initial Catalog=Db;Data Source=Srv",
         "Provider=SQLOLEDB.1;User ID=sa;Password=pw;Initial Catalog=Db;Data Source=Srv;Persist Security Info=True"},
        {"SQLOLEDB.1;integrated security=sspi;Initial Catalog=Db;Data Source=Srv",
         "Provider=SQLOLEDB.1;integrated security=sspi;Initial Catalog=Db;Data Source=Srv"},
    };
    for (const auto& [provider, expected] : cases) {
        writeUdl("a.udl", provider);
        state = {};
        state.DataLinksFolder = links();
        state.DataProviderFile = links() + "a.udl";
        ASSERT_TRUE(prepare());
        EXPECT_EQ(state.CurrentConnectionString, expected);
    }
    EXPECT_TRUE(attempts.empty());
}

TEST_F(LoginFixture, AnUnreadableStoredLoginFallsBackSilently)
{
    const std::function<std::pair<QString, QString>(const QString&)> readers[] = {
        [](const QString&) -> std::pair<QString, QString> { throw std::runtime_error("no table"); },
        [](const QString&) { return std::pair<QString, QString>{"", ""}; },
        [](const QString&) { return std::pair<QString, QString>{"not*base64", "x"}; },
    };
    for (const auto& r : readers) {
        reader = r;
        writeUdl("a.udl", "SQLOLEDB.1;Initial Catalog=Db;Data Source=Srv");
        state = {};
        state.DataLinksFolder = links();
        state.DataProviderFile = links() + "a.udl";
        ASSERT_TRUE(prepare());
        EXPECT_EQ(state.login.Username, fallbackLogin().first);
        EXPECT_EQ(state.login.Password, fallbackLogin().second);
        EXPECT_TRUE(messages.shown.empty());
    }
}

TEST_F(LoginFixture, TheOnlyDataLinkFileBecomesTheDefault)
{
    reader = [](const QString&) -> std::pair<QString, QString> { throw std::runtime_error("none"); };
    writeUdl("only.udl", "SQLite;Data Source=/tmp/db;User ID=u;Password=p");
    state.DataLinksFolder = links();
    state.DataProviderFile = links() + "ERROR";
    ASSERT_TRUE(prepare());
    EXPECT_EQ(state.DataProviderFile, links() + "only.udl");
    EXPECT_EQ(settings.ReadSetting("DataProvider", "DefaultDataProvider"), links() + "only.udl");
}

TEST_F(LoginFixture, NoDataLinkFileAndNoChooserIsAnErrorNamingTheFile)
{
    state.DataLinksFolder = links();
    state.DataProviderFile = links() + "missing.udl";
    EXPECT_FALSE(prepare());
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_TRUE(messages.shown[0].text.startsWith("Kunde inte hitta den angivna DataProvider-filen \"" + links() + "missing.udl\"!\r"));
    EXPECT_TRUE(messages.shown[1].text.startsWith("Det gick inte att hämta användarnamn och lösenord till databasen!\r\r"));
    EXPECT_TRUE(messages.shown[1].text.contains("missing.udl"));
}
