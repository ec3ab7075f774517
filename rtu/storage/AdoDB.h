// One database connection and its result cursor, over ODBC. A CAdoDB is
// owned by one thread at a time and never shared: the pool's workers each hold
// their own, and every synchronous query builds a fresh one.
#pragma once

#include "rtu/storage/BoundConnection.h"
#include "rtu/storage/SqlDialect.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace rtu::storage {

// The kind of a column value, as the text rules tell them apart.
enum class ValueKind {
    Null, Integer, Float, Decimal, DateTime, Date, Time, Text, Boolean, Binary, Unknown
};

// The text of one column value (the raw text as the driver gives it, or for
// Float the number, for DateTime "YYYY-MM-DD hh:mm:ss"):
//   Null "" · Boolean "TRUE"/"FALSE" · Integer exact · Decimal exact (or "%.2f")
//   Float shortest exact (or "%.2f") · DateTime "%Y-%m-%d %H:%M:%S" · Text as is
//   Binary "[BLOB]" · Unknown "UN_KNOW"
std::string VariantToText(ValueKind kind, const std::string& raw, double number, TextForm form);

class CAdoDB : public BoundConnection {
public:
    CAdoDB();
    ~CAdoDB() override;
    CAdoDB(const CAdoDB&) = delete;
    CAdoDB& operator=(const CAdoDB&) = delete;

    // Opens a connection with the string (empty: false at once). An open
    // connection is closed first. connectOptions is accepted for callers that
    // pass -1 (unspecified) and otherwise unused.
    bool Open(const std::string& connectionString, int connectOptions = -1);
    bool IsOpen() const override;
    void Close() override;

    // A transaction: BeginTrans returns the nesting level (1), or -1 on failure.
    int BeginTrans() override;
    bool CommitTrans() override;
    bool RollbackTrans() override;

    // Runs one statement (rewritten for the server's dialect). True when the
    // server accepted it, an update that touched no row included.
    bool Execute(const std::string& statement) override;

    // Runs a query and appends one row of texts per record. True when the
    // query ran; on failure the rows read so far stay in `rows`.
    bool QueryRows(const std::string& statement, Rows& rows, TextForm form = TextForm::Exact);

    // Sets `value` to the first column of the first record; with no record
    // (or on failure) `value` is left as it was. True when the query ran.
    bool QueryValue(const std::string& statement, std::string& value, TextForm form = TextForm::Exact) override;

    // Runs `statement` with `params` bound in order to its '?' markers (SQL
    // Server form, rewritten for the server's dialect like Execute's). The
    // statement is prepared once per connection and kept, by its text, until
    // Close. rowsAffected, when given, receives the rows the statement touched
    // (-1 when the driver cannot tell or the statement failed). True when the
    // server accepted it, an update that touched no row included. A parameter
    // count that differs from the statement's markers is refused unrun.
    bool ExecuteBound(const std::string& statement, const std::vector<Param>& params,
                      long long* rowsAffected = nullptr) override;

    // QueryValue with bound parameters: the first column of the first record
    // into `value`, left as it was with no record (or on failure).
    bool QueryValueBound(const std::string& statement, const std::vector<Param>& params, std::string& value,
                         TextForm form = TextForm::Exact) override;

    // One execution with a parameter array of up to 256 rows at a time.
    bool ExecuteBoundRows(const std::string& statement, const std::vector<const std::vector<Param>*>& rows) override;

    // Savepoints inside a transaction opened with BeginTrans (false outside
    // one). `name` is an identifier: a letter or '_', then letters, digits or
    // '_', at most 32 characters. SQL Server has no release: ReleaseSavepoint
    // is true there without sending anything.
    bool Savepoint(const std::string& name) override;
    bool RollbackToSavepoint(const std::string& name) override;
    bool ReleaseSavepoint(const std::string& name) override;

    // The dialect of the connected server (from the server's product name).
    SqlDialect Dialect() const override { return m_dialect; }
    const std::string& ConnectionString() const { return m_connectionString; }

    // The last failure: the driver's and server's messages ("[SQLSTATE] text").
    const std::string& LastError() const override { return m_lastError; }
    // True when the last failure was the connection itself (refused, broken,
    // timed out) rather than the statement.
    bool LastErrorWasConnection() const override { return m_connectionFault; }

private:
    bool Fail(short handleType, void* handle, const char* what);
    bool RunQuery(const std::string& statement, Rows* rows, std::string* value, TextForm form);
    bool RunBound(const std::string& statement, const std::vector<Param>& params, long long* rowsAffected,
                  std::string* value, TextForm form);
    void* Prepared(const std::string& statement);
    void ForgetPrepared(const std::string& statement);
    void FreePrepared();
    bool SavepointStatement(const char* what, const std::string& name, const std::string& statement);

    // Statements prepared on this connection, by their text, with the
    // sequence number of their last use (the least recently used is freed
    // when the cache is full).
    struct PreparedStatement {
        void* handle = nullptr;  // SQLHSTMT
        std::uint64_t lastUse = 0;
    };

    std::string m_connectionString;
    void* m_connection = nullptr;  // SQLHDBC, allocated in the constructor
    void* m_recordset = nullptr;   // SQLHSTMT of the statement being run
    bool m_open = false;
    std::mutex* m_connectLock = nullptr;  // the lock its driver is opened and closed under
    SqlDialect m_dialect = SqlDialect::SqlServer;
    std::string m_lastError;
    bool m_connectionFault = false;
    bool m_inTransaction = false;
    bool m_transactionUsed = false;  // a statement has run since BeginTrans
    // The driver drops prepared statements when a transaction ends.
    bool m_preparedEndWithTransaction = false;
    std::unordered_map<std::string, PreparedStatement> m_prepared;
    std::uint64_t m_useCounter = 0;
};

}  // namespace rtu::storage
