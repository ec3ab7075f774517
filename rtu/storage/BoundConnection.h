// What the writer of a database needs of its connection: transactions,
// savepoints, and fixed statements run with bound values. Two kinds stand
// behind it: an ODBC connection (CAdoDB) for database servers, and the SQLite
// library itself for SQLite files, whose ODBC driver compiles a statement
// anew at every execution and so cannot run prepared statements.
#pragma once

#include "rtu/storage/SqlDialect.h"

#include <cstdint>
#include <memory>
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

// What a bound parameter holds. Every value travels as its text and the
// server converts it as it converts a quoted literal in a statement text, so
// a bound statement stores what the same statement with the values quoted in
// it stored.
enum class ParamType : std::uint8_t { Text, Integer, Real, DateTime };

// One parameter: its kind and its value as text ("7", "12.340000",
// "2014-05-06 07:08:00", any text). Zero bytes are dropped, as SqlEscape
// drops them from a quoted literal.
struct Param {
    ParamType type = ParamType::Text;
    std::string value;
};

class BoundConnection {
public:
    virtual ~BoundConnection() = default;

    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;

    // A transaction: BeginTrans returns the nesting level (1), or -1.
    virtual int BeginTrans() = 0;
    virtual bool CommitTrans() = 0;
    virtual bool RollbackTrans() = 0;

    // A statement without values (SQL Server form, rewritten for the dialect).
    virtual bool Execute(const std::string& statement) = 0;
    // The first column of the first record into `value` (unchanged without one).
    virtual bool QueryValue(const std::string& statement, std::string& value, TextForm form) = 0;

    // A fixed statement with '?' for each value, prepared once per connection,
    // run with `params` bound in order. rowsAffected (when given) receives the
    // rows it touched, -1 when unknown.
    virtual bool ExecuteBound(const std::string& statement, const std::vector<Param>& params,
                              long long* rowsAffected) = 0;
    virtual bool QueryValueBound(const std::string& statement, const std::vector<Param>& params, std::string& value,
                                 TextForm form) = 0;

    // Runs a statement once for each set of values, in their order. A
    // database server gets them as one parameter array (one round trip for
    // all, where one statement at a time costs a round trip each); this
    // default runs them one by one. False (and the caller rolls back) when
    // any of them failed.
    virtual bool ExecuteBoundRows(const std::string& statement, const std::vector<const std::vector<Param>*>& rows)
    {
        for (const std::vector<Param>* row : rows)
            if (!ExecuteBound(statement, *row, nullptr)) return false;
        return true;
    }

    // Savepoints inside a transaction; `name` is a plain identifier.
    virtual bool Savepoint(const std::string& name) = 0;
    virtual bool RollbackToSavepoint(const std::string& name) = 0;
    virtual bool ReleaseSavepoint(const std::string& name) = 0;

    virtual SqlDialect Dialect() const = 0;
    // The last failure with the server's message, and whether it was the
    // connection (refused, broken, timed out) rather than the statement.
    virtual const std::string& LastError() const = 0;
    virtual bool LastErrorWasConnection() const = 0;
};

// Opens the connection a database writer uses: SQLite files (Driver SQLite3)
// through the SQLite library, every other database through ODBC. Null with
// the reason when it cannot be opened.
std::unique_ptr<BoundConnection> OpenWriterConnection(const std::string& connectionString, std::string& error);

}  // namespace rtu::storage
