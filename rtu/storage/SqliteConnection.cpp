#include "rtu/storage/SqliteConnection.h"

#include "rtu/storage/AdoDB.h"
#include "rtu/storage/ConnectionString.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace rtu::storage {

namespace {

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Failures of the file as a whole (it cannot be opened, read or written, or
// is busy past the time-out) against failures of one statement.
bool IsWholeDatabase(int code)
{
    switch (code & 0xFF) {
    case SQLITE_CANTOPEN:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_PERM:
    case SQLITE_NOMEM:
        return true;
    default:
        return false;
    }
}

bool PlainName(const std::string& name)
{
    if (name.empty() || name.size() > 32 || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}

}  // namespace

SqliteConnection::~SqliteConnection() { Close(); }

bool SqliteConnection::Fail(int code, const char* what)
{
    error_ = std::string("[") + what + "] " + (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    wholeDatabase_ = IsWholeDatabase(code);
    return false;
}

bool SqliteConnection::Open(const std::string& connectionString)
{
    Close();
    error_.clear();
    wholeDatabase_ = false;
    const std::string file = ConnectionStringValue(connectionString, "database");
    if (file.empty()) {
        error_ = "no database file in the connection string";
        wholeDatabase_ = true;
        return false;
    }
    const int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        Fail(rc, "open");
        Close();
        wholeDatabase_ = true;
        return false;
    }
    const std::string timeout = ConnectionStringValue(connectionString, "timeout");
    sqlite3_busy_timeout(db_, timeout.empty() ? 30000 : std::atoi(timeout.c_str()));
    // The same pragmas the ODBC driver sets from these keys.
    std::string mode = Upper(ConnectionStringValue(connectionString, "journalmode"));
    std::string sync = Upper(ConnectionStringValue(connectionString, "syncpragma"));
    const auto word = [](const std::string& w) {
        return !w.empty() && std::all_of(w.begin(), w.end(), [](unsigned char c) { return std::isalpha(c); });
    };
    if (word(mode) && !Execute("PRAGMA journal_mode=" + mode)) {
        Close();
        wholeDatabase_ = true;
        return false;
    }
    if (word(sync)) Execute("PRAGMA synchronous=" + sync);
    // The writer inserts into several indexes of a growing file: with the
    // default cache of 2 MB most of its time went to reading pages back from
    // the operating system. 64 MB of cache and reads through a memory map.
    Execute("PRAGMA cache_size=-65536");
    Execute("PRAGMA mmap_size=1073741824");
    // Pages written again and again between two checkpoints are copied into
    // the file once: checkpoints every 40 MB of log instead of every 4 MB.
    Execute("PRAGMA wal_autocheckpoint=10000");
    // A file that is not a database is found at its first read.
    std::string tables;
    if (!QueryValue("select count(*) from sqlite_master", tables, TextForm::Exact)) {
        const std::string why = error_;
        Close();
        error_ = why;
        wholeDatabase_ = true;
        return false;
    }
    return true;
}

void SqliteConnection::Close()
{
    for (auto& entry : prepared_) sqlite3_finalize(entry.second);
    prepared_.clear();
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

int SqliteConnection::BeginTrans() { return Execute("BEGIN IMMEDIATE") ? 1 : -1; }

bool SqliteConnection::CommitTrans() { return Execute("COMMIT"); }

bool SqliteConnection::RollbackTrans()
{
    if (db_ == nullptr || sqlite3_get_autocommit(db_)) return db_ != nullptr;
    return Execute("ROLLBACK");
}

bool SqliteConnection::Execute(const std::string& statement)
{
    if (db_ == nullptr) {
        error_ = "not connected";
        wholeDatabase_ = true;
        return false;
    }
    const std::string text = RewriteForDialect(SqlDialect::Sqlite, statement);
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || Fail(rc, "Execute");
}

bool SqliteConnection::QueryValue(const std::string& statement, std::string& value, TextForm /*form*/)
{
    return Run(statement, {}, nullptr, &value);
}

bool SqliteConnection::ExecuteBound(const std::string& statement, const std::vector<Param>& params,
                                    long long* rowsAffected)
{
    return Run(statement, params, rowsAffected, nullptr);
}

bool SqliteConnection::QueryValueBound(const std::string& statement, const std::vector<Param>& params,
                                       std::string& value, TextForm /*form*/)
{
    return Run(statement, params, nullptr, &value);
}

sqlite3_stmt* SqliteConnection::Prepared(const std::string& statement)
{
    const auto found = prepared_.find(statement);
    if (found != prepared_.end()) return found->second;
    const std::string text = RewriteForDialect(SqlDialect::Sqlite, statement);
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v3(db_, text.c_str(), static_cast<int>(text.size()), SQLITE_PREPARE_PERSISTENT,
                                      &stmt, nullptr);
    if (rc != SQLITE_OK) {
        Fail(rc, "Prepare");
        sqlite3_finalize(stmt);
        return nullptr;
    }
    prepared_.emplace(statement, stmt);
    return stmt;
}

bool SqliteConnection::Run(const std::string& statement, const std::vector<Param>& params, long long* rowsAffected,
                           std::string* value)
{
    if (rowsAffected != nullptr) *rowsAffected = -1;
    if (db_ == nullptr) {
        error_ = "not connected";
        wholeDatabase_ = true;
        return false;
    }
    sqlite3_stmt* stmt = Prepared(statement);
    if (stmt == nullptr) return false;
    if (static_cast<std::size_t>(sqlite3_bind_parameter_count(stmt)) != params.size()) {
        error_ = "[Bind] " + std::to_string(params.size()) + " values for " +
                 std::to_string(sqlite3_bind_parameter_count(stmt)) + " parameters";
        wholeDatabase_ = false;
        return false;
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        // Every value is text, as the quoted literal it replaces: the column's
        // affinity converts it the same way. Zero bytes are dropped likewise.
        const std::string& v = params[i].value;
        if (v.find('\0') == std::string::npos) {
            sqlite3_bind_text(stmt, static_cast<int>(i + 1), v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
        } else {
            std::string clean = v;
            clean.erase(std::remove(clean.begin(), clean.end(), '\0'), clean.end());
            sqlite3_bind_text(stmt, static_cast<int>(i + 1), clean.data(), static_cast<int>(clean.size()),
                              SQLITE_TRANSIENT);
        }
    }
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW && value != nullptr) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        *value = text != nullptr ? text : "";
    }
    while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
    const bool ok = rc == SQLITE_DONE;
    if (ok && rowsAffected != nullptr) *rowsAffected = sqlite3_changes(db_);
    if (!ok) Fail(rc, "Execute");
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return ok;
}

bool SqliteConnection::Savepoint(const std::string& name)
{
    return PlainName(name) ? Execute("SAVEPOINT " + name) : Fail(SQLITE_MISUSE, "Savepoint");
}

bool SqliteConnection::RollbackToSavepoint(const std::string& name)
{
    return PlainName(name) ? Execute("ROLLBACK TO SAVEPOINT " + name) : Fail(SQLITE_MISUSE, "Savepoint");
}

bool SqliteConnection::ReleaseSavepoint(const std::string& name)
{
    return PlainName(name) ? Execute("RELEASE SAVEPOINT " + name) : Fail(SQLITE_MISUSE, "Savepoint");
}

std::unique_ptr<BoundConnection> OpenWriterConnection(const std::string& connectionString, std::string& error)
{
    std::string driver = ConnectionStringValue(connectionString, "driver");
    std::transform(driver.begin(), driver.end(), driver.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (driver.find("sqlite") != std::string::npos) {
        auto db = std::make_unique<SqliteConnection>();
        if (db->Open(connectionString)) return db;
        error = db->LastError();
        return nullptr;
    }
    auto db = std::make_unique<CAdoDB>();
    if (db->Open(connectionString)) return db;
    error = db->LastError();
    return nullptr;
}

}  // namespace rtu::storage
