#pragma once

#include "db/DatabaseError.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <deque>
#include <memory>
#include <vector>

class QSqlQuery;

namespace b2d {

class TVTAdoQuery;

// The program's connection to the practice database, opened from an OLE DB connection string
// (see ConnectionString.h). Errors are DatabaseError with the driver's text.
class TADOConnection : public QObject {
    Q_OBJECT
public:
    explicit TADOConnection(QObject* owner = nullptr);
    ~TADOConnection() override;

    QString ConnectionString() const { return m_connectionString; }
    // Takes effect at the next Open.
    void setConnectionString(const QString& connectionString) { m_connectionString = connectionString; }

    void Open();
    void Open(const QString& connectionString);
    // Closes every query on this connection first; an open transaction is rolled back.
    void Close();
    bool Connected() const { return m_connected; }

    void BeginTrans();
    void CommitTrans();
    void RollbackTrans();
    bool InTransaction() const { return m_inTransaction; }

    // Seconds a statement may wait (for a lock, for the server) before it fails; ADO's 30 by
    // default. Applies to statements run from now on.
    int CommandTimeout() const { return m_commandTimeout; }
    void setCommandTimeout(int seconds);

    // The database the connection stands in: the catalogue on a server, the file for SQLite.
    QString DefaultDatabase() const;

    // Runs one statement without a result; returns the rows it affected.
    int Execute(const QString& sql);

    // True when the database behind the connection is SQLite (directly or through ODBC): SQL
    // texts then go through the SQL Server shims.
    bool isSqlite() const { return m_sqlite; }
    // True for QSQLITE, where SQLite's own handle is reachable.
    bool isNativeSqlite() const { return m_nativeSqlite; }
    QSqlDatabase database() const;

Q_SIGNALS:
    void AfterConnect();
    void AfterDisconnect();

private:
    friend class TVTAdoQuery;
    void attach(TVTAdoQuery* query);
    void detach(TVTAdoQuery* query);
    void requireOpen() const;

    QString m_connectionString;
    QString m_connectionName;
    int m_commandTimeout = 30;
    bool m_connected = false;
    bool m_inTransaction = false;
    bool m_sqlite = false;
    bool m_nativeSqlite = false;
    QList<QPointer<TVTAdoQuery>> m_queries;
};

enum class TLockType { ltReadOnly, ltOptimistic };

enum class TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

// Options of Locate.
enum TLocateOption { loCaseInsensitive = 1, loPartialKey = 2 };

// The link of a detail query to its master: whenever the master's current row changes (or it
// opens or closes), each open detail query re-opens with its parameters set from the master's
// fields of the same name.
class TDataSource : public QObject {
    Q_OBJECT
public:
    explicit TDataSource(QObject* owner = nullptr) : QObject(owner) {}
    ~TDataSource() override;
    void setDataSet(TVTAdoQuery* dataSet);
    TVTAdoQuery* DataSet() const { return m_dataSet; }

Q_SIGNALS:
    // For views; the detail queries are told directly, so that a failing re-open reaches
    // whoever moved the master.
    void DataChange();

private:
    friend class TVTAdoQuery;
    void notifyDetails();

    QPointer<TVTAdoQuery> m_dataSet;
    QList<QPointer<TVTAdoQuery>> m_details;
};

struct TParameter {
    QString Name;
    QVariant Value; // null until set
};

// A query over a TADOConnection with a client-side result: Open reads every row into memory,
// record numbers are 1-based, and moving never goes back to the database.
class TVTAdoQuery : public QObject {
    Q_OBJECT
public:
    explicit TVTAdoQuery(QObject* owner = nullptr);
    ~TVTAdoQuery() override;

    TADOConnection* Connection() const { return m_connection; }
    void setConnection(TADOConnection* connection);

    TLockType LockType() const { return m_lockType; }
    void setLockType(TLockType lockType) { m_lockType = lockType; }

    // The statement as lines; the command text is the lines joined with line breaks. Every
    // change closes the query when it is open and re-reads the parameters.
    const QStringList& SQL() const { return m_sql; }
    void setSQL(const QStringList& lines);
    void SQLClear() { setSQL({}); }
    void SQLAdd(const QString& line);
    QString CommandText() const { return m_sql.join(u'\n'); }

    // Named parameters (":NAME") of the statement, in first-use order; every use of a name
    // takes the same value.
    QList<TParameter>& Parameters() { return m_params; }
    TParameter& ParamByName(const QString& name); // throws DatabaseError for an unknown name

    void setDataSource(TDataSource* source);
    TDataSource* DataSource() const { return m_dataSource; }

    void Open();
    void Close();
    bool Active() const { return m_state != TDataSetState::dsInactive; }
    TDataSetState State() const { return m_state; }
    // Runs the statement without a result; returns the rows it affected.
    int ExecSQL();

    int RecordCount() const { return static_cast<int>(m_rowCount); }
    bool IsEmpty() const { return m_rowCount == 0; }
    // 1-based; 0 when there is no current row.
    int RecNo() const;
    void setRecNo(int recNo);
    void First();
    void Last();
    void Next();
    void Prior();
    void MoveBy(int distance);
    // Eof: a move forward found no further row (also right after Last, and on an empty
    // result). Bof: the same backwards (also right after First).
    bool Eof() const { return m_eof; }
    bool Bof() const { return m_bof; }

    // Moves to the first row whose fields equal the values; keeps the position when none does.
    bool Locate(const QStringList& fieldNames, const QVariantList& values, int options = 0);
    bool Locate(const QString& fieldName, const QVariant& value, int options = 0);

    int FieldCount() const { return static_cast<int>(m_fieldNames.size()); }
    const QStringList& FieldNames() const { return m_fieldNames; }
    bool FindField(const QString& name) const { return fieldIndex(name) >= 0; }
    // The current row's value (null QVariant for SQL NULL); throws DatabaseError when the
    // query has no such field or no current row.
    QVariant FieldByName(const QString& name) const;
    QVariant Fields(int index) const;

    // Editing (optimistic lock type only; the statement must read one table).
    void Edit();
    void Insert();
    void Append() { Insert(); }
    void setFieldValue(const QString& name, const QVariant& value);
    void Post();
    void Cancel();
    void Delete();

Q_SIGNALS:
    void AfterOpen();
    void AfterClose();
    // The current row changed.
    void AfterScroll();

private:
    friend class TADOConnection;
    friend class TDataSource;
    int fieldIndex(const QString& name) const;
    void requireConnection() const;
    void requireBrowse(const char* what) const;
    void parseParameters();
    void takeMasterValues();
    void masterChanged();
    void notifyDetails(bool swallowErrors = false);
    void connectionClosing();
    QString statementText() const;
    void readDriver(const QString& sql, const QVariantList& values);
    void readSqlite(const QString& sql, const QVariantList& values);
    std::unique_ptr<QSqlQuery> prepare(const QString& sql, const QVariantList& values) const;
    QVariantList boundValues() const;
    void moveTo(qsizetype row, bool eof, bool bof);
    QString editableTable() const;

    QPointer<TADOConnection> m_connection;
    TLockType m_lockType = TLockType::ltReadOnly;
    QStringList m_sql;
    QString m_positional;        // the command text with each :NAME turned into ?
    QStringList m_positionalNames; // the parameter name of each ?, in order
    QList<TParameter> m_params;
    QPointer<TDataSource> m_dataSource;       // my master
    QList<QPointer<TDataSource>> m_sources;   // the sources that show me

    TDataSetState m_state = TDataSetState::dsInactive;
    QStringList m_fieldNames;
    // Row-major; a deque grows without copying what it holds, which keeps a large result's
    // peak memory near its size.
    std::deque<QVariant> m_cells;
    qsizetype m_rowCount = 0;
    qsizetype m_row = -1;
    bool m_eof = true;
    bool m_bof = true;

    std::vector<QVariant> m_editRow;  // the row being edited or inserted
    std::vector<bool> m_editChanged;
    qsizetype m_rowBeforeInsert = -1;
};

} // namespace b2d
