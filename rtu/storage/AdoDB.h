// One database connection and its result cursor, over ODBC. A CAdoDB is
// owned by one thread at a time and never shared: the pool's workers each hold
// their own, and every synchronous query builds a fresh one.
#pragma once

#include "rtu/storage/SqlDialect.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace rtu::storage {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// How a column value becomes text. Exact is what the program computes with
// and writes back: whole numbers and decimals digit for digit, floating-point
// values in the shortest form that reads back to the same number. Display
// gives floating-point and decimal values as "%.2f", for showing to people.
enum class TextForm { Exact, Display };

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

class CAdoDB {
public:
    CAdoDB();
    virtual ~CAdoDB();
    CAdoDB(const CAdoDB&) = delete;
    CAdoDB& operator=(const CAdoDB&) = delete;

    // Opens a connection with the string (empty: false at once). An open
    // connection is closed first. connectOptions is accepted for callers that
    // pass -1 (unspecified) and otherwise unused.
    bool Open(const std::string& connectionString, int connectOptions = -1);
    bool IsOpen() const;
    void Close();

    // A transaction: BeginTrans returns the nesting level (1), or -1 on failure.
    int BeginTrans();
    bool CommitTrans();
    bool RollbackTrans();

    // Runs one statement (rewritten for the server's dialect). True when the
    // server accepted it, an update that touched no row included.
    bool Execute(const std::string& statement);

    // Runs a query and appends one row of texts per record. True when the
    // query ran; on failure the rows read so far stay in `rows`.
    bool QueryRows(const std::string& statement, Rows& rows, TextForm form = TextForm::Exact);

    // Sets `value` to the first column of the first record; with no record
    // (or on failure) `value` is left as it was. True when the query ran.
    bool QueryValue(const std::string& statement, std::string& value, TextForm form = TextForm::Exact);

    // The dialect of the connected server (from the server's product name).
    SqlDialect Dialect() const { return m_dialect; }
    const std::string& ConnectionString() const { return m_connectionString; }

    // The last failure: the driver's and server's messages ("[SQLSTATE] text").
    const std::string& LastError() const { return m_lastError; }
    // True when the last failure was the connection itself (refused, broken,
    // timed out) rather than the statement.
    bool LastErrorWasConnection() const { return m_connectionFault; }

private:
    bool Fail(short handleType, void* handle, const char* what);
    bool RunQuery(const std::string& statement, Rows* rows, std::string* value, TextForm form);

    std::string m_connectionString;
    void* m_connection = nullptr;  // SQLHDBC, allocated in the constructor
    void* m_recordset = nullptr;   // SQLHSTMT of the statement being run
    bool m_open = false;
    std::mutex* m_connectLock = nullptr;  // the lock its driver is opened and closed under
    SqlDialect m_dialect = SqlDialect::SqlServer;
    std::string m_lastError;
    bool m_connectionFault = false;
};

}  // namespace rtu::storage
