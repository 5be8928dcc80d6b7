#include "db/VTComponents.h"

#include "db/ConnectionString.h"
#include "db/SqlServerDialect.h"

#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlIndex>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QTime>

#include <sqlite3.h>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <atomic>
#include <deque>
#include <cstring>

namespace b2d {

namespace {

QString errorText(const QSqlError& e)
{
    QString t = e.databaseText().trimmed();
    if (t.isEmpty())
        t = e.driverText().trimmed();
    if (t.isEmpty())
        t = QStringLiteral("Unknown database error");
    return t;
}

sqlite3* sqliteHandle(const QSqlDatabase& db)
{
    const QVariant v = db.driver()->handle();
    if (v.isValid() && qstrcmp(v.typeName(), "sqlite3*") == 0)
        return *static_cast<sqlite3* const*>(v.constData());
    return nullptr;
}

SQLHANDLE odbcHandle(const QSqlDatabase& db)
{
    // Qt's ODBC driver hands out its connection handle as a void*.
    if (db.driverName() != QLatin1String("QODBC"))
        return nullptr;
    const QVariant v = db.driver()->handle();
    if (v.isValid() && (qstrcmp(v.typeName(), "SQLHANDLE") == 0 || qstrcmp(v.typeName(), "void*") == 0))
        return *static_cast<const SQLHANDLE*>(v.constData());
    return nullptr;
}

// Qt's ODBC driver talks to the driver manager in UTF-16, so do we.
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t));

QString odbcInfo(SQLHANDLE dbc, SQLUSMALLINT what)
{
    SQLWCHAR buffer[256] = {};
    SQLSMALLINT length = 0;
    if (!dbc || !SQL_SUCCEEDED(SQLGetInfoW(dbc, what, buffer, sizeof buffer - sizeof(SQLWCHAR), &length)))
        return {};
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer));
}

// Reads "YYYY-MM-DD", "YYYY-MM-DD HH:MM", "YYYY-MM-DD HH:MM:SS[.fff]" (space or T), as SQLite
// keeps dates in text; anything else gives an invalid QDateTime.
QDateTime parseSqliteDateTime(const char* s, qsizetype size)
{
    auto num = [&](qsizetype at, int digits, int& out) {
        if (at + digits > size)
            return false;
        int v = 0;
        for (int i = 0; i < digits; ++i) {
            const char c = s[at + i];
            if (c < '0' || c > '9')
                return false;
            v = v * 10 + (c - '0');
        }
        out = v;
        return true;
    };
    int y, mo, d, h = 0, mi = 0, sec = 0, ms = 0;
    if (size < 10 || !num(0, 4, y) || s[4] != '-' || !num(5, 2, mo) || s[7] != '-' || !num(8, 2, d))
        return {};
    if (size > 10) {
        if ((s[10] != ' ' && s[10] != 'T') || !num(11, 2, h) || size < 16 || s[13] != ':' || !num(14, 2, mi))
            return {};
        if (size > 16) {
            if (s[16] != ':' || !num(17, 2, sec))
                return {};
            if (size > 19) {
                if (s[19] != '.')
                    return {};
                qsizetype i = 20;
                int scale = 100;
                for (; i < size && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10)
                    ms += (s[i] - '0') * scale;
                if (i != size)
                    return {};
            }
        }
    }
    const QDate date(y, mo, d);
    const QTime time(h, mi, sec, ms);
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time);
}

// The type a column's values take, from its declared type, as SQL Server's would arrive:
// SQLite keeps dates as text, and a NULL still has its column's type.
QMetaType sqliteColumnType(const char* declared)
{
    if (!declared)
        return QMetaType::fromType<QString>();
    const QByteArray t = QByteArray(declared).toUpper();
    if (t.contains("DATE") || t.contains("TIME"))
        return QMetaType::fromType<QDateTime>();
    if (t.contains("INT"))
        return QMetaType::fromType<qlonglong>();
    if (t.contains("REAL") || t.contains("FLOA") || t.contains("DOUB") || t.contains("NUMERIC") || t.contains("DECIMAL"))
        return QMetaType::fromType<double>();
    if (t.contains("BLOB") || t.contains("BINARY"))
        return QMetaType::fromType<QByteArray>();
    return QMetaType::fromType<QString>();
}

QVariant sqliteParameter(const QVariant& v)
{
    if (v.isNull())
        return v;
    switch (v.typeId()) {
    case QMetaType::QDateTime: {
        const QDateTime dt = v.toDateTime();
        return dt.toString(dt.time().msec() ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                            : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    }
    case QMetaType::QDate:
        return v.toDate().toString(QStringLiteral("yyyy-MM-dd"));
    default:
        return v;
    }
}

bool isString(const QVariant& v)
{
    return v.typeId() == QMetaType::QString;
}

bool sameValue(const QVariant& field, const QVariant& wanted, int options)
{
    if (field.isNull() || wanted.isNull())
        return field.isNull() && wanted.isNull();
    if (isString(field) || isString(wanted) || options) {
        const QString a = field.toString();
        const QString b = wanted.toString();
        const Qt::CaseSensitivity cs =
            (options & loCaseInsensitive) ? Qt::CaseInsensitive : Qt::CaseSensitive;
        if (options & loPartialKey)
            return a.startsWith(b, cs);
        if (a.compare(b, cs) == 0)
            return true;
        // A number held as text in one of the two still equals the number.
        if (!isString(field) || !isString(wanted)) {
            bool okA = false, okB = false;
            const double x = a.toDouble(&okA), y = b.toDouble(&okB);
            return okA && okB && x == y;
        }
        return false;
    }
    return QVariant::compare(field, wanted) == QPartialOrdering::Equivalent;
}

std::atomic<int> connectionCounter{0};

} // namespace

TADOConnection::TADOConnection(QObject* owner)
    : QObject(owner),
      m_connectionName(QStringLiteral("b2d-connection-%1").arg(++connectionCounter))
{
}

TADOConnection::~TADOConnection()
{
    try {
        Close();
    } catch (...) {
        // Nothing more can be done for a connection that is going away.
    }
    for (const auto& q : std::as_const(m_queries)) {
        if (q)
            q->m_connection = nullptr;
    }
}

QSqlDatabase TADOConnection::database() const
{
    return QSqlDatabase::database(m_connectionName, false);
}

void TADOConnection::Open(const QString& connectionString)
{
    setConnectionString(connectionString);
    Open();
}

void TADOConnection::Open()
{
    if (m_connected)
        return;
    const DriverConnection target = translateConnectionString(m_connectionString);
    // SQLite connections made inside the ODBC driver are only reachable this way.
    registerSqlServerShimsForNewConnections();

    const bool native = target.qtDriver == QLatin1String("QSQLITE");
    if (native && !QFileInfo(target.databaseName).isFile())
        throw DatabaseError(QStringLiteral("The database file \"%1\" does not exist").arg(target.databaseName));

    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(target.qtDriver, m_connectionName);
        if (!db.isValid()) {
            failure = QStringLiteral("The database driver %1 is not available").arg(target.qtDriver);
        } else {
            db.setDatabaseName(target.databaseName);
            if (!db.open()) {
                failure = errorText(db.lastError());
            } else if (native) {
                sqlite3* handle = sqliteHandle(db);
                if (!handle || registerSqlServerShims(handle) != SQLITE_OK)
                    failure = QStringLiteral("The SQL Server shims could not be set up on SQLite");
                m_sqlite = true;
            } else {
                m_sqlite = odbcInfo(odbcHandle(db), SQL_DBMS_NAME)
                               .contains(QStringLiteral("SQLite"), Qt::CaseInsensitive);
            }
            if (!failure.isEmpty())
                db.close();
        }
    }
    if (!failure.isEmpty()) {
        QSqlDatabase::removeDatabase(m_connectionName);
        m_sqlite = false;
        throw DatabaseError(failure);
    }
    m_nativeSqlite = native;
    m_connected = true;
    setCommandTimeout(m_commandTimeout);
    Q_EMIT AfterConnect();
}

void TADOConnection::Close()
{
    if (!m_connected)
        return;
    // Marked closed first, so that no detail query re-opens while its master closes.
    m_connected = false;
    for (const auto& q : std::as_const(m_queries)) {
        if (q)
            q->connectionClosing();
    }
    {
        QSqlDatabase db = database();
        if (m_inTransaction)
            db.rollback();
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
    m_inTransaction = false;
    m_sqlite = m_nativeSqlite = false;
    Q_EMIT AfterDisconnect();
}

void TADOConnection::requireOpen() const
{
    if (!m_connected)
        throw DatabaseError(QStringLiteral("The database connection is not open"));
}

void TADOConnection::setCommandTimeout(int seconds)
{
    m_commandTimeout = std::max(0, seconds);
    if (m_connected && m_nativeSqlite) {
        // SQLite has no server to wait for, only locks held by other connections.
        if (sqlite3* handle = sqliteHandle(database()))
            sqlite3_busy_timeout(handle, m_commandTimeout * 1000);
    }
}

void TADOConnection::BeginTrans()
{
    requireOpen();
    if (m_inTransaction)
        throw DatabaseError(QStringLiteral("The connection is already in a transaction"));
    QSqlDatabase db = database();
    if (!db.transaction())
        throw DatabaseError(errorText(db.lastError()));
    m_inTransaction = true;
}

void TADOConnection::CommitTrans()
{
    requireOpen();
    if (!m_inTransaction)
        throw DatabaseError(QStringLiteral("No transaction is open"));
    QSqlDatabase db = database();
    // A failed commit leaves the transaction open, for the caller to roll back.
    if (!db.commit())
        throw DatabaseError(errorText(db.lastError()));
    m_inTransaction = false;
}

void TADOConnection::RollbackTrans()
{
    requireOpen();
    if (!m_inTransaction)
        throw DatabaseError(QStringLiteral("No transaction is open"));
    QSqlDatabase db = database();
    m_inTransaction = false;
    if (!db.rollback())
        throw DatabaseError(errorText(db.lastError()));
}

QString TADOConnection::DefaultDatabase() const
{
    if (!m_connected)
        return {};
    const QSqlDatabase db = database();
    if (m_nativeSqlite)
        return db.databaseName();
    if (SQLHANDLE dbc = odbcHandle(db)) {
        SQLWCHAR buffer[512] = {};
        SQLINTEGER length = 0;
        if (SQL_SUCCEEDED(SQLGetConnectAttrW(dbc, SQL_ATTR_CURRENT_CATALOG, buffer,
                                             sizeof buffer - sizeof(SQLWCHAR), &length)))
            return QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer));
    }
    return {};
}

int TADOConnection::Execute(const QString& sql)
{
    TVTAdoQuery query;
    query.setConnection(this);
    query.SQLAdd(sql);
    return query.ExecSQL();
}

void TADOConnection::attach(TVTAdoQuery* query)
{
    m_queries.removeAll(nullptr);
    if (!m_queries.contains(query))
        m_queries.append(query);
}

void TADOConnection::detach(TVTAdoQuery* query)
{
    m_queries.removeAll(query);
    m_queries.removeAll(nullptr);
}

TDataSource::~TDataSource()
{
    for (const auto& d : std::as_const(m_details)) {
        if (d && d->m_dataSource == this)
            d->m_dataSource = nullptr;
    }
}

void TDataSource::setDataSet(TVTAdoQuery* dataSet)
{
    if (m_dataSet == dataSet)
        return;
    if (m_dataSet)
        m_dataSet->m_sources.removeAll(this);
    m_dataSet = dataSet;
    if (dataSet)
        dataSet->m_sources.append(this);
    notifyDetails();
}

void TDataSource::notifyDetails()
{
    m_details.removeAll(nullptr);
    const auto details = m_details;
    for (const auto& d : details) {
        if (d)
            d->masterChanged();
    }
    Q_EMIT DataChange();
}

TVTAdoQuery::TVTAdoQuery(QObject* owner) : QObject(owner) {}

TVTAdoQuery::~TVTAdoQuery()
{
    if (m_connection)
        m_connection->detach(this);
    if (m_dataSource)
        m_dataSource->m_details.removeAll(this);
    for (const auto& s : std::as_const(m_sources)) {
        if (s && s->m_dataSet == this)
            s->m_dataSet = nullptr;
    }
}

void TVTAdoQuery::setConnection(TADOConnection* connection)
{
    if (m_connection == connection)
        return;
    Close();
    if (m_connection)
        m_connection->detach(this);
    m_connection = connection;
    if (connection)
        connection->attach(this);
}

void TVTAdoQuery::setSQL(const QStringList& lines)
{
    Close();
    m_sql = lines;
    parseParameters();
}

void TVTAdoQuery::SQLAdd(const QString& line)
{
    QStringList lines = m_sql;
    lines.append(line);
    setSQL(lines);
}

// Turns each :NAME outside literals, quoted names and comments into a positional ?.
void TVTAdoQuery::parseParameters()
{
    const QString text = CommandText();
    m_positional.clear();
    m_positionalNames.clear();
    m_params.clear();
    const qsizetype n = text.size();
    qsizetype i = 0;
    auto isNameStart = [](QChar c) { return c.isLetter() || c == u'_'; };
    auto isNameChar = [](QChar c) { return c.isLetterOrNumber() || c == u'_'; };
    while (i < n) {
        const QChar c = text.at(i);
        if (c == u'\'' || c == u'"' || c == u'[') {
            const QChar end = c == u'[' ? QChar(u']') : c;
            qsizetype j = i + 1;
            while (j < n) {
                if (text.at(j) == end) {
                    if (end != u']' && j + 1 < n && text.at(j + 1) == end) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            j = std::min(j + 1, n);
            m_positional += QStringView(text).mid(i, j - i);
            i = j;
        } else if (c == u'-' && i + 1 < n && text.at(i + 1) == u'-') {
            qsizetype j = text.indexOf(u'\n', i);
            j = j < 0 ? n : j;
            m_positional += QStringView(text).mid(i, j - i);
            i = j;
        } else if (c == u'/' && i + 1 < n && text.at(i + 1) == u'*') {
            qsizetype j = text.indexOf(QStringLiteral("*/"), i + 2);
            j = j < 0 ? n : j + 2;
            m_positional += QStringView(text).mid(i, j - i);
            i = j;
        } else if (c == u':' && i + 1 < n && text.at(i + 1) == u':') {
            m_positional += QStringLiteral("::");
            i += 2;
        } else if (c == u':' && i + 1 < n && isNameStart(text.at(i + 1))) {
            qsizetype j = i + 1;
            while (j < n && isNameChar(text.at(j)))
                ++j;
            const QString name = text.mid(i + 1, j - i - 1);
            m_positional += u'?';
            m_positionalNames.append(name);
            bool known = false;
            for (const auto& p : std::as_const(m_params))
                known = known || p.Name.compare(name, Qt::CaseInsensitive) == 0;
            if (!known)
                m_params.append({name, QVariant()});
            i = j;
        } else {
            m_positional += c;
            ++i;
        }
    }
}

TParameter& TVTAdoQuery::ParamByName(const QString& name)
{
    for (auto& p : m_params) {
        if (p.Name.compare(name, Qt::CaseInsensitive) == 0)
            return p;
    }
    throw DatabaseError(QStringLiteral("Parameter '%1' not found").arg(name));
}

QVariantList TVTAdoQuery::boundValues() const
{
    QVariantList values;
    values.reserve(m_positionalNames.size());
    for (const QString& name : m_positionalNames) {
        for (const auto& p : m_params) {
            if (p.Name.compare(name, Qt::CaseInsensitive) == 0) {
                values.append(p.Value);
                break;
            }
        }
    }
    return values;
}

void TVTAdoQuery::setDataSource(TDataSource* source)
{
    if (m_dataSource == source)
        return;
    if (m_dataSource)
        m_dataSource->m_details.removeAll(this);
    m_dataSource = source;
    if (source)
        source->m_details.append(this);
}

void TVTAdoQuery::notifyDetails(bool swallowErrors)
{
    m_sources.removeAll(nullptr);
    const auto sources = m_sources;
    for (const auto& s : sources) {
        if (!s)
            continue;
        if (!swallowErrors) {
            s->notifyDetails();
            continue;
        }
        try {
            s->notifyDetails();
        } catch (const DatabaseError&) {
            // Closing cannot fail; a detail that cannot re-open stays closed.
        }
    }
}

void TVTAdoQuery::takeMasterValues()
{
    if (!m_dataSource || !m_dataSource->DataSet())
        return;
    const TVTAdoQuery* master = m_dataSource->DataSet();
    for (auto& p : m_params) {
        const int index = master->fieldIndex(p.Name);
        if (index < 0)
            continue;
        p.Value = master->Active() && !master->IsEmpty() ? master->Fields(index) : QVariant();
    }
}

void TVTAdoQuery::masterChanged()
{
    if (!Active())
        return;
    Close();
    try {
        Open();
    } catch (...) {
        // The detail stays closed; its own details follow it.
        notifyDetails(true);
        throw;
    }
}

void TVTAdoQuery::connectionClosing()
{
    Close();
}

void TVTAdoQuery::requireConnection() const
{
    if (!m_connection)
        throw DatabaseError(QStringLiteral("The query has no connection"));
    m_connection->requireOpen();
    if (m_sql.join(QString()).trimmed().isEmpty())
        throw DatabaseError(QStringLiteral("The query has no SQL text"));
}

QString TVTAdoQuery::statementText() const
{
    return m_connection && m_connection->isSqlite() ? unwrapParenthesisedCompound(m_positional)
                                                    : m_positional;
}

std::unique_ptr<QSqlQuery> TVTAdoQuery::prepare(const QString& sql, const QVariantList& values) const
{
    auto q = std::make_unique<QSqlQuery>(m_connection->database());
    q->setForwardOnly(true);
    if (!q->prepare(sql))
        throw DatabaseError(errorText(q->lastError()));
    if (!m_connection->isNativeSqlite()) {
        // A driver that does not know the attribute keeps its own time-out.
        const QVariant h = q->result()->handle();
        if (h.isValid() && (qstrcmp(h.typeName(), "SQLHANDLE") == 0 || qstrcmp(h.typeName(), "void*") == 0)) {
            if (SQLHANDLE stmt = *static_cast<const SQLHANDLE*>(h.constData()))
                SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                               reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(m_connection->CommandTimeout())), 0);
        }
    }
    const bool native = m_connection->isNativeSqlite();
    for (int i = 0; i < values.size(); ++i) {
        const QVariant& v = values.at(i);
        if (native)
            q->bindValue(i, sqliteParameter(v));
        else if (!v.isValid())
            q->bindValue(i, QVariant(QMetaType::fromType<QString>()));
        else
            q->bindValue(i, v);
    }
    if (!q->exec())
        throw DatabaseError(errorText(q->lastError()));
    return q;
}

void TVTAdoQuery::Open()
{
    if (Active())
        return;
    requireConnection();
    takeMasterValues();
    const QString sql = statementText();
    if (m_connection->isNativeSqlite())
        readSqlite(sql, boundValues());
    else
        readDriver(sql, boundValues());
    m_row = m_rowCount > 0 ? 0 : -1;
    m_bof = true;
    m_eof = m_rowCount == 0;
    m_state = TDataSetState::dsBrowse;
    Q_EMIT AfterOpen();
    notifyDetails();
    Q_EMIT AfterScroll();
}

void TVTAdoQuery::readDriver(const QString& sql, const QVariantList& values)
{
    std::unique_ptr<QSqlQuery> q = prepare(sql, values);
    if (!q->isSelect())
        throw DatabaseError(QStringLiteral("The statement returns no rows"));
    const QSqlRecord record = q->record();
    const int columns = record.count();
    QStringList names;
    for (int i = 0; i < columns; ++i)
        names.append(record.fieldName(i));
    std::deque<QVariant> cells;
    qsizetype rows = 0;
    while (q->next()) {
        for (int i = 0; i < columns; ++i) {
            QVariant v = q->value(i);
            if (rows > 0 && isString(v) && !v.isNull()) {
                // Texts often repeat from row to row (folders, categories): share them.
                const QVariant& above = cells[static_cast<size_t>((rows - 1) * columns + i)];
                if (isString(above) &&
                    *static_cast<const QString*>(above.constData()) == *static_cast<const QString*>(v.constData()))
                    v = above;
            }
            cells.push_back(std::move(v));
        }
        ++rows;
    }
    if (q->lastError().isValid())
        throw DatabaseError(errorText(q->lastError()));
    q->finish();
    m_fieldNames = names;
    m_cells = std::move(cells);
    m_rowCount = rows;
}

namespace {

// Owns one SQLite statement.
struct SqliteStatement {
    sqlite3_stmt* stmt = nullptr;
    ~SqliteStatement() { sqlite3_finalize(stmt); }
};

} // namespace

// The embedded database is read with SQLite's own calls on the driver's connection: the
// whole result goes into memory, and this is where a large selection spends its time.
void TVTAdoQuery::readSqlite(const QString& sql, const QVariantList& values)
{
    sqlite3* db = sqliteHandle(m_connection->database());
    if (!db)
        throw DatabaseError(QStringLiteral("The SQLite connection is not available"));
    SqliteStatement s;
    const QByteArray utf8 = sql.toUtf8();
    if (sqlite3_prepare_v2(db, utf8.constData(), static_cast<int>(utf8.size()), &s.stmt, nullptr) != SQLITE_OK)
        throw DatabaseError(QString::fromUtf8(sqlite3_errmsg(db)));
    if (!s.stmt || sqlite3_column_count(s.stmt) == 0)
        throw DatabaseError(QStringLiteral("The statement returns no rows"));
    for (int i = 0; i < values.size(); ++i) {
        const QVariant v = sqliteParameter(values.at(i));
        int rc;
        if (v.isNull()) {
            rc = sqlite3_bind_null(s.stmt, i + 1);
        } else {
            switch (v.typeId()) {
            case QMetaType::Bool:
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::Long:
            case QMetaType::LongLong:
            case QMetaType::Short:
            case QMetaType::UShort:
                rc = sqlite3_bind_int64(s.stmt, i + 1, v.toLongLong());
                break;
            case QMetaType::Double:
            case QMetaType::Float:
                rc = sqlite3_bind_double(s.stmt, i + 1, v.toDouble());
                break;
            case QMetaType::QByteArray: {
                const QByteArray b = v.toByteArray();
                rc = sqlite3_bind_blob64(s.stmt, i + 1, b.constData(), static_cast<sqlite3_uint64>(b.size()),
                                         SQLITE_TRANSIENT);
                break;
            }
            default: {
                const QByteArray t = v.toString().toUtf8();
                rc = sqlite3_bind_text64(s.stmt, i + 1, t.constData(), static_cast<sqlite3_uint64>(t.size()),
                                         SQLITE_TRANSIENT, SQLITE_UTF8);
                break;
            }
            }
        }
        if (rc != SQLITE_OK)
            throw DatabaseError(QString::fromUtf8(sqlite3_errmsg(db)));
    }

    const int columns = sqlite3_column_count(s.stmt);
    QStringList names;
    std::vector<QMetaType> types;
    for (int i = 0; i < columns; ++i) {
        names.append(QString::fromUtf8(sqlite3_column_name(s.stmt, i)));
        types.push_back(sqliteColumnType(sqlite3_column_decltype(s.stmt, i)));
    }
    // The previous row's text of each column: a repeated text shares the QString above it.
    std::vector<QByteArray> lastText(static_cast<size_t>(columns));
    QHash<QByteArray, QVariant> dateCache;
    std::deque<QVariant> cells;
    qsizetype rows = 0;
    int rc;
    while ((rc = sqlite3_step(s.stmt)) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i) {
            const size_t col = static_cast<size_t>(i);
            switch (sqlite3_column_type(s.stmt, i)) {
            case SQLITE_NULL:
                cells.emplace_back(types[col]);
                break;
            case SQLITE_INTEGER:
                cells.emplace_back(static_cast<qlonglong>(sqlite3_column_int64(s.stmt, i)));
                break;
            case SQLITE_FLOAT:
                cells.emplace_back(sqlite3_column_double(s.stmt, i));
                break;
            case SQLITE_BLOB: {
                const char* data = static_cast<const char*>(sqlite3_column_blob(s.stmt, i));
                cells.emplace_back(QByteArray(data, sqlite3_column_bytes(s.stmt, i)));
                break;
            }
            default: {
                const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s.stmt, i));
                const int size = sqlite3_column_bytes(s.stmt, i);
                if (types[col] == QMetaType::fromType<QDateTime>()) {
                    // Pictures share their dates (one per visit), and making a local QDateTime
                    // is the dearest step of reading a row: each distinct text is made once.
                    const QByteArray key = QByteArray::fromRawData(text, size);
                    auto found = dateCache.constFind(key);
                    if (found == dateCache.cend()) {
                        const QDateTime dt = parseSqliteDateTime(text, size);
                        const QVariant v = dt.isValid() ? QVariant(dt) : QVariant(QString::fromUtf8(text, size));
                        if (dateCache.size() > 100000)
                            dateCache.clear();
                        found = dateCache.insert(QByteArray(text, size), v);
                    }
                    cells.push_back(found.value());
                    break;
                }
                const size_t above = static_cast<size_t>((rows - 1) * columns + i);
                QByteArray& last = lastText[col];
                if (rows > 0 && last.size() == size && std::memcmp(last.constData(), text, static_cast<size_t>(size)) == 0 &&
                    isString(cells[above])) {
                    cells.push_back(cells[above]);
                } else {
                    last = QByteArray(text, size);
                    cells.emplace_back(QString::fromUtf8(text, size));
                }
                break;
            }
            }
        }
        ++rows;
    }
    if (rc != SQLITE_DONE)
        throw DatabaseError(QString::fromUtf8(sqlite3_errmsg(db)));
    m_fieldNames = names;
    m_cells = std::move(cells);
    m_rowCount = rows;
}

void TVTAdoQuery::Close()
{
    if (!Active())
        return;
    m_state = TDataSetState::dsInactive;
    m_cells = {};
    m_editRow.clear();
    m_rowCount = 0;
    m_row = -1;
    m_eof = m_bof = true;
    Q_EMIT AfterClose();
    notifyDetails(true);
    Q_EMIT AfterScroll();
}

int TVTAdoQuery::ExecSQL()
{
    requireConnection();
    std::unique_ptr<QSqlQuery> q = prepare(statementText(), boundValues());
    const int affected = q->numRowsAffected();
    q->finish();
    return affected;
}

int TVTAdoQuery::fieldIndex(const QString& name) const
{
    for (int i = 0; i < m_fieldNames.size(); ++i) {
        if (m_fieldNames.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

QVariant TVTAdoQuery::FieldByName(const QString& name) const
{
    if (!Active())
        throw DatabaseError(QStringLiteral("Cannot read field '%1' of a closed query").arg(name));
    const int index = fieldIndex(name);
    if (index < 0)
        throw DatabaseError(QStringLiteral("Field '%1' not found").arg(name));
    return Fields(index);
}

QVariant TVTAdoQuery::Fields(int index) const
{
    if (!Active() || index < 0 || index >= m_fieldNames.size())
        throw DatabaseError(QStringLiteral("Field index %1 out of range").arg(index));
    if (m_state == TDataSetState::dsEdit || m_state == TDataSetState::dsInsert)
        return m_editRow[static_cast<size_t>(index)];
    // An empty result has its fields, all null.
    return m_row < 0 ? QVariant() : m_cells[static_cast<size_t>(m_row * m_fieldNames.size() + index)];
}

int TVTAdoQuery::RecNo() const
{
    if (!Active() || m_row < 0)
        return 0;
    return static_cast<int>(m_row + 1);
}

void TVTAdoQuery::requireBrowse(const char* what) const
{
    if (!Active())
        throw DatabaseError(QStringLiteral("Cannot %1 a closed query").arg(QLatin1String(what)));
}

void TVTAdoQuery::moveTo(qsizetype row, bool eof, bool bof)
{
    // Moving away from an edited row saves it first.
    if (m_state == TDataSetState::dsEdit || m_state == TDataSetState::dsInsert)
        Post();
    const bool changed = row != m_row;
    m_row = row;
    m_eof = eof;
    m_bof = bof;
    if (changed) {
        // Details first, so that whoever hears of the move sees them follow.
        notifyDetails();
        Q_EMIT AfterScroll();
    }
}

void TVTAdoQuery::setRecNo(int recNo)
{
    requireBrowse("move in");
    if (recNo < 1 || recNo > m_rowCount)
        throw DatabaseError(QStringLiteral("Record number %1 out of range 1 to %2").arg(recNo).arg(m_rowCount));
    moveTo(recNo - 1, false, false);
}

void TVTAdoQuery::First()
{
    requireBrowse("move in");
    moveTo(m_rowCount > 0 ? 0 : -1, m_rowCount == 0, true);
}

void TVTAdoQuery::Last()
{
    requireBrowse("move in");
    moveTo(m_rowCount - 1, true, m_rowCount == 0);
}

void TVTAdoQuery::Next()
{
    requireBrowse("move in");
    if (m_row + 1 < m_rowCount)
        moveTo(m_row + 1, false, false);
    else
        moveTo(m_row, true, m_bof && m_rowCount == 0);
}

void TVTAdoQuery::Prior()
{
    requireBrowse("move in");
    if (m_row > 0)
        moveTo(m_row - 1, false, false);
    else
        moveTo(m_row, m_eof && m_rowCount == 0, true);
}

void TVTAdoQuery::MoveBy(int distance)
{
    requireBrowse("move in");
    if (m_rowCount == 0)
        return;
    const qsizetype target = m_row + distance;
    if (target >= m_rowCount)
        moveTo(m_rowCount - 1, true, false);
    else if (target < 0)
        moveTo(0, false, true);
    else
        moveTo(target, false, false);
}

bool TVTAdoQuery::Locate(const QString& fieldName, const QVariant& value, int options)
{
    return Locate(QStringList{fieldName}, QVariantList{value}, options);
}

bool TVTAdoQuery::Locate(const QStringList& fieldNames, const QVariantList& values, int options)
{
    requireBrowse("locate in");
    if (fieldNames.size() != values.size())
        throw DatabaseError(QStringLiteral("Locate needs one value per field"));
    std::vector<int> indexes;
    for (const QString& name : fieldNames) {
        const int index = fieldIndex(name);
        if (index < 0)
            throw DatabaseError(QStringLiteral("Field '%1' not found").arg(name));
        indexes.push_back(index);
    }
    const qsizetype columns = m_fieldNames.size();
    for (qsizetype row = 0; row < m_rowCount; ++row) {
        const auto cells = m_cells.cbegin() + row * columns;
        bool all = true;
        for (size_t k = 0; k < indexes.size() && all; ++k)
            all = sameValue(cells[indexes[k]], values.at(static_cast<qsizetype>(k)), options);
        if (all) {
            moveTo(row, false, false);
            return true;
        }
    }
    return false;
}

QString TVTAdoQuery::editableTable() const
{
    static const QRegularExpression oneTable(
        QStringLiteral("^\\s*SELECT\\s.+?\\sFROM\\s+\\[?([A-Za-z_][A-Za-z0-9_]*)\\]?"
                       "(\\s+(AS\\s+)?[A-Za-z_][A-Za-z0-9_]*)?\\s*(WHERE\\b.*|ORDER\\s+BY\\b.*)?$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression severalTables(QStringLiteral("\\b(JOIN|UNION|GROUP\\s+BY|DISTINCT)\\b"),
                                                  QRegularExpression::CaseInsensitiveOption);
    const QString text = CommandText();
    const auto m = oneTable.match(text);
    if (!m.hasMatch() || severalTables.match(text).hasMatch() || m.captured(2).trimmed().toUpper() == QLatin1String("WHERE"))
        throw DatabaseError(QStringLiteral("The query cannot be edited: it does not read one table"));
    return m.captured(1);
}

void TVTAdoQuery::Edit()
{
    requireBrowse("edit");
    if (m_lockType == TLockType::ltReadOnly)
        throw DatabaseError(QStringLiteral("Cannot modify a read-only dataset"));
    if (m_state != TDataSetState::dsBrowse)
        return;
    if (m_row < 0)
        throw DatabaseError(QStringLiteral("Cannot perform this operation on an empty dataset"));
    const qsizetype columns = m_fieldNames.size();
    m_editRow.assign(m_cells.begin() + m_row * columns, m_cells.begin() + (m_row + 1) * columns);
    m_editChanged.assign(static_cast<size_t>(columns), false);
    m_state = TDataSetState::dsEdit;
}

void TVTAdoQuery::Insert()
{
    requireBrowse("insert into");
    if (m_lockType == TLockType::ltReadOnly)
        throw DatabaseError(QStringLiteral("Cannot modify a read-only dataset"));
    if (m_state != TDataSetState::dsBrowse)
        Post();
    m_editRow.assign(static_cast<size_t>(m_fieldNames.size()), QVariant());
    m_editChanged.assign(static_cast<size_t>(m_fieldNames.size()), false);
    m_state = TDataSetState::dsInsert;
}

void TVTAdoQuery::setFieldValue(const QString& name, const QVariant& value)
{
    if (m_state != TDataSetState::dsEdit && m_state != TDataSetState::dsInsert)
        throw DatabaseError(QStringLiteral("Dataset not in edit or insert mode"));
    const int index = fieldIndex(name);
    if (index < 0)
        throw DatabaseError(QStringLiteral("Field '%1' not found").arg(name));
    m_editRow[static_cast<size_t>(index)] = value;
    m_editChanged[static_cast<size_t>(index)] = true;
}

void TVTAdoQuery::Cancel()
{
    if (m_state == TDataSetState::dsEdit || m_state == TDataSetState::dsInsert) {
        m_state = TDataSetState::dsBrowse;
        m_editRow.clear();
    }
}

namespace {

// The columns that find the row: its table's primary key when the result holds all of it,
// else every column.
QList<int> keyColumns(const QSqlDatabase& db, const QString& table, const QStringList& fieldNames)
{
    QList<int> keys;
    const QSqlIndex primary = db.primaryIndex(table);
    for (int i = 0; i < primary.count(); ++i) {
        int found = -1;
        for (int j = 0; j < fieldNames.size() && found < 0; ++j) {
            if (fieldNames.at(j).compare(primary.fieldName(i), Qt::CaseInsensitive) == 0)
                found = j;
        }
        if (found < 0) {
            keys.clear();
            break;
        }
        keys.append(found);
    }
    if (keys.isEmpty()) {
        for (int j = 0; j < fieldNames.size(); ++j)
            keys.append(j);
    }
    return keys;
}

} // namespace

void TVTAdoQuery::Post()
{
    if (m_state != TDataSetState::dsEdit && m_state != TDataSetState::dsInsert)
        throw DatabaseError(QStringLiteral("Dataset not in edit or insert mode"));
    requireConnection();
    const QString table = editableTable();
    const qsizetype columns = m_fieldNames.size();
    QStringList changed;
    QVariantList values;
    for (qsizetype i = 0; i < columns; ++i) {
        if (m_editChanged[static_cast<size_t>(i)]) {
            changed.append(m_fieldNames.at(i));
            values.append(m_editRow[static_cast<size_t>(i)]);
        }
    }

    if (m_state == TDataSetState::dsInsert) {
        QString sql;
        if (changed.isEmpty()) {
            sql = QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(table);
        } else {
            QStringList marks;
            for (qsizetype i = 0; i < changed.size(); ++i)
                marks.append(QStringLiteral("?"));
            sql = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                      .arg(table, changed.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
        }
        prepare(sql, values)->finish();
        m_cells.insert(m_cells.end(), m_editRow.begin(), m_editRow.end());
        ++m_rowCount;
        m_state = TDataSetState::dsBrowse;
        m_editRow.clear();
        m_row = m_rowCount - 1;
        m_eof = m_bof = false;
        // Details first, so that whoever hears of the move sees them follow.
        notifyDetails();
        Q_EMIT AfterScroll();
        return;
    }

    if (changed.isEmpty()) {
        m_state = TDataSetState::dsBrowse;
        m_editRow.clear();
        return;
    }
    const auto original = m_cells.begin() + m_row * columns;
    QList<int> criteria = keyColumns(m_connection->database(), table, m_fieldNames);
    for (qsizetype i = 0; i < columns; ++i) {
        if (m_editChanged[static_cast<size_t>(i)] && !criteria.contains(static_cast<int>(i)))
            criteria.append(static_cast<int>(i));
    }
    QStringList sets, where;
    for (const QString& c : std::as_const(changed))
        sets.append(c + QStringLiteral(" = ?"));
    for (int i : std::as_const(criteria)) {
        if (original[i].isNull()) {
            where.append(m_fieldNames.at(i) + QStringLiteral(" IS NULL"));
        } else {
            where.append(m_fieldNames.at(i) + QStringLiteral(" = ?"));
            values.append(original[i]);
        }
    }
    const QString sql = QStringLiteral("UPDATE %1 SET %2 WHERE %3")
                            .arg(table, sets.join(QStringLiteral(", ")), where.join(QStringLiteral(" AND ")));
    auto q = prepare(sql, values);
    const int affected = q->numRowsAffected();
    q->finish();
    if (affected < 1)
        throw DatabaseError(QStringLiteral(
            "Row cannot be located for updating. Some values may have been changed since it was last read."));
    std::copy(m_editRow.begin(), m_editRow.end(), original);
    m_state = TDataSetState::dsBrowse;
    m_editRow.clear();
    notifyDetails();
    Q_EMIT AfterScroll();
}

void TVTAdoQuery::Delete()
{
    requireBrowse("delete from");
    if (m_lockType == TLockType::ltReadOnly)
        throw DatabaseError(QStringLiteral("Cannot modify a read-only dataset"));
    Cancel();
    if (m_row < 0)
        throw DatabaseError(QStringLiteral("Cannot perform this operation on an empty dataset"));
    requireConnection();
    const QString table = editableTable();
    const qsizetype columns = m_fieldNames.size();
    const auto original = m_cells.cbegin() + m_row * columns;
    QStringList where;
    QVariantList values;
    for (int i : keyColumns(m_connection->database(), table, m_fieldNames)) {
        if (original[i].isNull()) {
            where.append(m_fieldNames.at(i) + QStringLiteral(" IS NULL"));
        } else {
            where.append(m_fieldNames.at(i) + QStringLiteral(" = ?"));
            values.append(original[i]);
        }
    }
    auto q = prepare(QStringLiteral("DELETE FROM %1 WHERE %2").arg(table, where.join(QStringLiteral(" AND "))), values);
    const int affected = q->numRowsAffected();
    q->finish();
    if (affected < 1)
        throw DatabaseError(QStringLiteral(
            "Row cannot be located for deleting. Some values may have been changed since it was last read."));
    m_cells.erase(m_cells.begin() + m_row * columns, m_cells.begin() + (m_row + 1) * columns);
    --m_rowCount;
    if (m_row >= m_rowCount)
        m_row = m_rowCount - 1;
    m_eof = m_rowCount == 0;
    m_bof = m_rowCount == 0;
    notifyDetails();
    Q_EMIT AfterScroll();
}

} // namespace b2d
