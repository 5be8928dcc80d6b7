#include "db/SqlServerDialect.h"

#include <QRegularExpression>

#include <sqlite3.h>

#include <mutex>
#include <vector>

namespace b2d {

namespace {

struct PatternElement {
    enum Kind { AnyText, AnyChar, Literal, Set };
    PatternElement(Kind k, QChar c = {}) : kind(k), ch(c) {}
    Kind kind;
    QChar ch;                                    // Literal, folded
    bool negated = false;                        // Set
    std::vector<std::pair<QChar, QChar>> ranges; // Set, folded bounds
};

QChar fold(QChar c) { return c.toCaseFolded(); }

std::vector<PatternElement> parsePattern(const QString& pattern, QChar escape)
{
    std::vector<PatternElement> out;
    const qsizetype n = pattern.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = pattern.at(i);
        if (!escape.isNull() && c == escape && i + 1 < n) {
            out.emplace_back(PatternElement::Literal, fold(pattern.at(++i)));
        } else if (c == u'%') {
            // Consecutive % mean the same as one.
            if (out.empty() || out.back().kind != PatternElement::AnyText)
                out.push_back(PatternElement(PatternElement::AnyText));
        } else if (c == u'_') {
            out.push_back(PatternElement(PatternElement::AnyChar));
        } else if (c == u'[') {
            const qsizetype close = pattern.indexOf(u']', i + 2 <= n ? i + 2 : n);
            if (close < 0) {
                // An unclosed bracket stands for itself.
                out.emplace_back(PatternElement::Literal, fold(c));
                continue;
            }
            PatternElement set(PatternElement::Set);
            qsizetype j = i + 1;
            if (pattern.at(j) == u'^' && j + 1 < close) {
                set.negated = true;
                ++j;
            }
            for (; j < close; ++j) {
                const QChar lo = pattern.at(j);
                if (j + 2 < close && pattern.at(j + 1) == u'-') {
                    set.ranges.emplace_back(fold(lo), fold(pattern.at(j + 2)));
                    j += 2;
                } else {
                    set.ranges.emplace_back(fold(lo), fold(lo));
                }
            }
            out.push_back(std::move(set));
            i = close;
        } else {
            out.emplace_back(PatternElement::Literal, fold(c));
        }
    }
    return out;
}

bool matchesOne(const PatternElement& e, QChar folded)
{
    switch (e.kind) {
    case PatternElement::AnyChar:
        return true;
    case PatternElement::Literal:
        return e.ch == folded;
    case PatternElement::Set: {
        bool in = false;
        for (const auto& [lo, hi] : e.ranges) {
            if (lo <= folded && folded <= hi) {
                in = true;
                break;
            }
        }
        return in != e.negated;
    }
    case PatternElement::AnyText:
        break;
    }
    return false;
}

// Iterative wildcard matching: every element but % consumes exactly one character, so
// returning to the last % is enough and the time stays linear in practice.
bool matchElements(const std::vector<PatternElement>& pat, const QString& text)
{
    const qsizetype n = text.size();
    const qsizetype m = static_cast<qsizetype>(pat.size());
    qsizetype t = 0, p = 0, starP = -1, starT = 0;
    while (t < n) {
        if (p < m && pat[p].kind == PatternElement::AnyText) {
            starP = p++;
            starT = t;
        } else if (p < m && matchesOne(pat[p], fold(text.at(t)))) {
            ++p;
            ++t;
        } else if (starP >= 0) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < m && pat[p].kind == PatternElement::AnyText)
        ++p;
    return p == m;
}

QString valueText(sqlite3_value* v)
{
    const void* data = sqlite3_value_text16(v);
    const int bytes = sqlite3_value_bytes16(v);
    return QString(static_cast<const QChar*>(data), bytes / 2);
}

void likeFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    for (int i = 0; i < argc; ++i) {
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL) {
            sqlite3_result_null(ctx);
            return;
        }
    }
    // SQLite calls like(pattern, text[, escape]) for "text LIKE pattern [ESCAPE escape]".
    const QString pattern = valueText(argv[0]);
    const QString text = valueText(argv[1]);
    QChar escape;
    if (argc == 3) {
        const QString e = valueText(argv[2]);
        if (e.size() != 1) {
            sqlite3_result_error(ctx, "ESCAPE expression must be a single character", -1);
            return;
        }
        escape = e.at(0);
    }
    sqlite3_result_int(ctx, sqlServerLike(text, pattern, escape) ? 1 : 0);
}

int collationCompare(void*, int lenA, const void* a, int lenB, const void* b)
{
    return sqlServerCompare(QStringView(static_cast<const char16_t*>(a), lenA / 2),
                            QStringView(static_cast<const char16_t*>(b), lenB / 2));
}

int autoExtensionEntry(sqlite3* db, const char**, const sqlite3_api_routines*)
{
    return registerSqlServerShims(db);
}

} // namespace

bool sqlServerLike(const QString& text, const QString& pattern, QChar escape)
{
    return matchElements(parsePattern(pattern, escape), text);
}

int sqlServerCompare(QStringView a, QStringView b)
{
    while (!a.isEmpty() && a.back() == u' ')
        a.chop(1);
    while (!b.isEmpty() && b.back() == u' ')
        b.chop(1);
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t x = a.at(i).toCaseFolded().unicode();
        const char16_t y = b.at(i).toCaseFolded().unicode();
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

QString unwrapParenthesisedCompound(const QString& sql)
{
    qsizetype start = 0;
    while (start < sql.size() && sql.at(start).isSpace())
        ++start;
    if (start >= sql.size() || sql.at(start) != u'(')
        return sql;

    // Find the parenthesis that closes the first one, skipping literals, quoted names and
    // comments.
    int depth = 0;
    qsizetype close = -1;
    for (qsizetype i = start; i < sql.size() && close < 0; ++i) {
        const QChar c = sql.at(i);
        if (c == u'\'' || c == u'"' || c == u'[') {
            const QChar end = c == u'[' ? QChar(u']') : c;
            qsizetype j = i + 1;
            while (j < sql.size()) {
                if (sql.at(j) == end) {
                    if (end != u']' && j + 1 < sql.size() && sql.at(j + 1) == end) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            i = j;
        } else if (c == u'-' && i + 1 < sql.size() && sql.at(i + 1) == u'-') {
            while (i < sql.size() && sql.at(i) != u'\n')
                ++i;
        } else if (c == u'/' && i + 1 < sql.size() && sql.at(i + 1) == u'*') {
            const qsizetype e = sql.indexOf(QStringLiteral("*/"), i + 2);
            i = e < 0 ? sql.size() : e + 1;
        } else if (c == u'(') {
            ++depth;
        } else if (c == u')') {
            if (--depth == 0)
                close = i;
        }
    }
    if (close < 0)
        return sql;

    static const QRegularExpression selectStart(QStringLiteral("^\\s*SELECT\\b"),
                                                QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression compound(QStringLiteral("\\b(UNION|INTERSECT|EXCEPT)\\b"),
                                             QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression orderBy(QStringLiteral("^\\s*(ORDER\\s+BY\\b.*)?$"),
                                            QRegularExpression::CaseInsensitiveOption |
                                                QRegularExpression::DotMatchesEverythingOption);
    const QString inner = sql.mid(start + 1, close - start - 1);
    const QString rest = sql.mid(close + 1);
    if (!selectStart.match(inner).hasMatch() || !compound.match(inner).hasMatch() ||
        !orderBy.match(rest).hasMatch())
        return sql;
    return inner + u' ' + rest;
}

int registerSqlServerShims(sqlite3* db)
{
    int rc = sqlite3_create_collation_v2(db, "DATABASE_DEFAULT", SQLITE_UTF16, nullptr,
                                         &collationCompare, nullptr);
    for (int argc : {2, 3}) {
        if (rc == SQLITE_OK)
            rc = sqlite3_create_function_v2(db, "like", argc, SQLITE_UTF16 | SQLITE_DETERMINISTIC,
                                            nullptr, &likeFunction, nullptr, nullptr, nullptr);
    }
    return rc;
}

void registerSqlServerShimsForNewConnections()
{
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_auto_extension(reinterpret_cast<void (*)(void)>(&autoExtensionEntry));
    });
}

} // namespace b2d
