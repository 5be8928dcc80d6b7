#include "db/SqlServerDialect.h"

#include <gtest/gtest.h>

namespace b2d {
namespace {

TEST(SqlServerLike, MatchesAsSqlServerDoes)
{
    const struct {
        const char* text;
        const char* pattern;
        bool matches;
    } cases[] = {
        // The finding-picture pattern: patient 1234, picture 17.
        {"scan_1234_17.jpg", "%1234[_]17.%", true},
        {"SCAN_1234_17.JPG", "%1234[_]17.%", true},
        {"scan_1234_170.jpg", "%1234[_]17.%", false},
        {"scan_1234x17.jpg", "%1234[_]17.%", false},
        {"x_11234_17.bmp", "%1234[_]17.%", true},
        {"1234_17.", "%1234[_]17.%", true},
        {"abc", "a_c", true},
        {"ac", "a_c", false},
        {"abc", "ABC", true},
        {"Åsa", "åSA", true},
        {"b", "[a-c]", true},
        {"d", "[a-c]", false},
        {"d", "[^a-c]", true},
        {"B", "[^a-c]", false},
        {"50%", "50[%]", true},
        {"500", "50[%]", false},
        {"a[b", "a[b", true},
        {"", "%", true},
        {"", "_", false},
        {"aaab", "%a%b", true},
        {"mississippi", "%sip%", true},
        {"mississippi", "%sip", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sqlServerLike(QString::fromUtf8(c.text), QString::fromUtf8(c.pattern)), c.matches)
            << c.text << " LIKE " << c.pattern;
    EXPECT_TRUE(sqlServerLike(QStringLiteral("10%"), QStringLiteral("10!%"), u'!'));
    EXPECT_FALSE(sqlServerLike(QStringLiteral("100"), QStringLiteral("10!%"), u'!'));
}

TEST(SqlServerCompare, IgnoresCaseAndTrailingBlanks)
{
    EXPECT_EQ(sqlServerCompare(u"Secondary Capture Image Storage", u"SECONDARY CAPTURE IMAGE STORAGE  "), 0);
    EXPECT_LT(sqlServerCompare(u"abc", u"ABD"), 0);
    EXPECT_GT(sqlServerCompare(u"abcd", u"ABC"), 0);
}

TEST(UnwrapParenthesisedCompound, OnlyTheCompoundQueryFollowedByOrderBy)
{
    const QString imageComments = QStringLiteral(
        "(SELECT KATEGORI, 'HUVUDKAT' AS TYP FROM PATBILDKATEGORI\nWHERE KATNR = ?\nUNION\n"
        "SELECT DISTINCT K.KATEGORI, 'UNDERKAT' AS TYP FROM BILDSERIEHUVUDKAT HK\n"
        "JOIN BILDSERIEUNDERKAT UK ON HK.LOPNR=UK.BILDHUVUDKAT\nJOIN PATBILDKATEGORI K ON UK.BILDKAT=K.KATNR \n"
        "WHERE HK.BILDKAT = ?)\nORDER BY TYP, KATEGORI");
    const QString unwrapped = unwrapParenthesisedCompound(imageComments);
    EXPECT_TRUE(unwrapped.startsWith(QStringLiteral("SELECT KATEGORI, 'HUVUDKAT'")));
    EXPECT_TRUE(unwrapped.endsWith(QStringLiteral("WHERE HK.BILDKAT = ? \nORDER BY TYP, KATEGORI")));

    const char* unchanged[] = {
        "SELECT * FROM KUNDER WHERE (PATIENTNR = ?)",
        "(SELECT A FROM T) ORDER BY A",                  // not compound
        "(SELECT A FROM T UNION SELECT B FROM U) WHERE 1", // not followed by ORDER BY
        "(SELECT ')' FROM T UNION SELECT B FROM U",        // never closed
    };
    for (const char* sql : unchanged)
        EXPECT_EQ(unwrapParenthesisedCompound(QString::fromUtf8(sql)), QString::fromUtf8(sql));
    // A parenthesis inside a literal does not end the compound.
    EXPECT_EQ(unwrapParenthesisedCompound(QStringLiteral("(SELECT ')' AS A UNION SELECT 'b') ORDER BY A")),
              QStringLiteral("SELECT ')' AS A UNION SELECT 'b'  ORDER BY A"));
}

} // namespace
} // namespace b2d
