// A connection to an SQLite database file through the SQLite library, for
// the writer of that database: its statements are compiled once and run
// again and again with new values, which the SQLite ODBC driver cannot do (it
// compiles a statement anew at every execution, a fifth of the speed).
// The file, the busy time-out, the journal mode and the sync level come from
// the same connection string the ODBC connections of the program use.
#pragma once

#include "rtu/storage/BoundConnection.h"

#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace rtu::storage {

class SqliteConnection : public BoundConnection {
public:
    SqliteConnection() = default;
    ~SqliteConnection() override;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Opens the file named by the connection string's Database key (it must
    // exist or be creatable), with its Timeout, JournalMode and SyncPragma.
    bool Open(const std::string& connectionString);

    bool IsOpen() const override { return db_ != nullptr; }
    void Close() override;
    int BeginTrans() override;
    bool CommitTrans() override;
    bool RollbackTrans() override;
    bool Execute(const std::string& statement) override;
    bool QueryValue(const std::string& statement, std::string& value, TextForm form) override;
    bool ExecuteBound(const std::string& statement, const std::vector<Param>& params,
                      long long* rowsAffected) override;
    bool QueryValueBound(const std::string& statement, const std::vector<Param>& params, std::string& value,
                         TextForm form) override;
    bool Savepoint(const std::string& name) override;
    bool RollbackToSavepoint(const std::string& name) override;
    bool ReleaseSavepoint(const std::string& name) override;
    SqlDialect Dialect() const override { return SqlDialect::Sqlite; }
    const std::string& LastError() const override { return error_; }
    bool LastErrorWasConnection() const override { return wholeDatabase_; }

private:
    sqlite3_stmt* Prepared(const std::string& statement);
    bool Run(const std::string& statement, const std::vector<Param>& params, long long* rowsAffected,
             std::string* value);
    bool Fail(int code, const char* what);

    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> prepared_;
    std::string error_;
    bool wholeDatabase_ = false;
};

}  // namespace rtu::storage
