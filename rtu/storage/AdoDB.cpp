#include "rtu/storage/AdoDB.h"

#include "rtu/common/Log.h"
#include "rtu/storage/ConnectionString.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace rtu::storage {

namespace {

// The ODBC environment: one for the process, created on first use and kept
// to the end. Handles allocated from it may be used on any thread.
SQLHENV Environment()
{
    static SQLHENV env = [] {
        SQLHENV handle = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &handle))) {
            RTU_LOG_ERROR("ODBC environment could not be created");
            return SQLHENV(SQL_NULL_HENV);
        }
        SQLSetEnvAttr(handle, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        return handle;
    }();
    return env;
}

constexpr SQLULEN kLoginTimeoutSeconds = 5;

// Connections are opened and closed one at a time per kind of driver;
// statements run in parallel. The PostgreSQL driver sets the process locale
// while it connects, and setlocale must not run on two threads at once (the
// same lock serves every driver but SQLite's). The SQLite driver keeps a list
// of its connections that it changes without a lock of its own: connecting
// and disconnecting on several threads at once corrupts it. It has a lock of
// its own, so a server that is slow to answer a connect never holds up the
// SQLite connections.
std::mutex& ConnectLock()
{
    static std::mutex lock;
    return lock;
}

std::mutex& SqliteConnectLock()
{
    static std::mutex lock;
    return lock;
}

std::mutex& ConnectLockFor(const std::string& connectionString)
{
    std::string driver = ConnectionStringValue(connectionString, "driver");
    std::transform(driver.begin(), driver.end(), driver.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return driver.find("sqlite") == std::string::npos ? ConnectLock() : SqliteConnectLock();
}

void AppendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8(const std::vector<SQLWCHAR>& in)
{
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        std::uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

ValueKind KindOf(SQLSMALLINT sqlType)
{
    switch (sqlType) {
    case SQL_CHAR: case SQL_VARCHAR: case SQL_LONGVARCHAR:
    case SQL_WCHAR: case SQL_WVARCHAR: case SQL_WLONGVARCHAR:
    case SQL_GUID:
        return ValueKind::Text;
    case SQL_BIT:
        return ValueKind::Boolean;
    case SQL_TINYINT: case SQL_SMALLINT: case SQL_INTEGER: case SQL_BIGINT:
        return ValueKind::Integer;
    case SQL_REAL: case SQL_FLOAT: case SQL_DOUBLE:
        return ValueKind::Float;
    case SQL_DECIMAL: case SQL_NUMERIC:
        return ValueKind::Decimal;
    case SQL_TYPE_TIMESTAMP: case SQL_TIMESTAMP:
        return ValueKind::DateTime;
    case SQL_TYPE_DATE: case SQL_DATE:
        return ValueKind::Date;
    case SQL_TYPE_TIME: case SQL_TIME:
        return ValueKind::Time;
    case SQL_BINARY: case SQL_VARBINARY: case SQL_LONGVARBINARY:
        return ValueKind::Binary;
    default:
        return ValueKind::Unknown;
    }
}

bool IsWide(SQLSMALLINT sqlType)
{
    return sqlType == SQL_WCHAR || sqlType == SQL_WVARCHAR || sqlType == SQL_WLONGVARCHAR;
}

// Reads a character column in pieces; false on a driver error.
// `isNull` is set for a NULL value.
bool ReadText(SQLHSTMT stmt, SQLUSMALLINT column, bool wide, std::string& out, bool& isNull)
{
    out.clear();
    isNull = false;
    if (wide) {
        std::vector<SQLWCHAR> all;
        SQLWCHAR buffer[1024];
        for (;;) {
            SQLLEN indicator = 0;
            const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_WCHAR, buffer, sizeof buffer, &indicator);
            if (rc == SQL_NO_DATA)
                break;
            if (!SQL_SUCCEEDED(rc))
                return false;
            if (indicator == SQL_NULL_DATA) {
                isNull = true;
                return true;
            }
            const std::size_t capacity = sizeof buffer / sizeof buffer[0] - 1;
            std::size_t got = capacity;
            if (indicator != SQL_NO_TOTAL && static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR) < capacity)
                got = static_cast<std::size_t>(indicator) / sizeof(SQLWCHAR);
            all.insert(all.end(), buffer, buffer + got);
            if (rc == SQL_SUCCESS)
                break;
        }
        out = Utf16ToUtf8(all);
        return true;
    }
    char buffer[4096];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(stmt, column, SQL_C_CHAR, buffer, sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc))
            return false;
        if (indicator == SQL_NULL_DATA) {
            isNull = true;
            return true;
        }
        const std::size_t capacity = sizeof buffer - 1;
        std::size_t got = capacity;
        if (indicator != SQL_NO_TOTAL && static_cast<std::size_t>(indicator) < capacity)
            got = static_cast<std::size_t>(indicator);
        out.append(buffer, got);
        if (rc == SQL_SUCCESS)
            break;
    }
    return true;
}

std::string Trimmed(std::string text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

// The shortest "%.Ng" text that reads back as the same double.
std::string ShortestDouble(double value)
{
    char buf[64];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, value);
        if (std::strtod(buf, nullptr) == value)
            break;
    }
    return buf;
}

std::string Fixed2(double value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", value);
    return buf;
}

// Statements kept prepared per connection; beyond this the least recently
// used one is freed (the program sends a few dozen fixed texts).
constexpr std::size_t kPreparedCapacity = 64;

// Values up to this size are declared with this one column size, so a
// statement keeps one parameter declaration whatever the lengths of its
// values; longer ones are declared long text.
constexpr SQLULEN kVarcharSize = 8000;

struct Binding {
    SQLSMALLINT sqlType;
    SQLULEN columnSize;
};

// The SQL type a parameter is declared with. Every kind is declared as
// character data, on every dialect, so that the driver hands the text to the
// server untouched and the server converts it where it lands, as it converted
// the quoted literal of the statement texts this replaces:
//  - SQLite: the driver binds SQL_C_CHAR data as text whatever the declared
//    type; a quoted literal is text too, and the column's affinity does the
//    rest in both cases.
//  - PostgreSQL: the driver sends character parameters untyped, so the server
//    infers each one's type from its place (column, procedure argument,
//    comparison) exactly as for a quoted literal. Declared SQL_TYPE_TIMESTAMP,
//    the driver parses the text itself and sends "0000-00-00 00:00:00" for a
//    text it cannot read; with server-side prepare turned off in the
//    connection string it sends SQL_INTEGER and SQL_DOUBLE values typed (a
//    double text then loses its trailing zeros on the way to a text column).
//  - SQL Server: a character parameter converts to the column's type by the
//    same rules as the character literal it replaces (rounding into decimal
//    columns, the session's date format); a float parameter would be
//    converted from its binary value instead of from the text.
// The kind is kept in Param to say what the value is, and is here for a
// driver that one day needs a typed declaration.
Binding BindingFor(ParamType /*type*/, std::size_t length)
{
    if (length <= kVarcharSize)
        return {SQL_VARCHAR, kVarcharSize};
    return {SQL_LONGVARCHAR, static_cast<SQLULEN>(length)};
}

// Reads the result of an executed statement: one row of texts per record
// into `rows`, or the first column of the first record into `value`. False on
// a driver error (the rows read so far stay).
bool ReadResult(SQLHSTMT stmt, Rows* rows, std::string* value, TextForm form)
{
    bool ok = true;
    SQLRETURN rc = SQL_SUCCESS;
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)))
        return false;
    std::vector<SQLSMALLINT> types(static_cast<std::size_t>(columns), SQL_UNKNOWN_TYPE);
    for (SQLSMALLINT c = 0; c < columns; ++c) {
        SQLCHAR name[256];
        SQLSMALLINT nameLength = 0, decimals = 0, nullable = 0;
        SQLULEN size = 0;
        SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(c + 1), name, sizeof name, &nameLength,
                       &types[static_cast<std::size_t>(c)], &size, &decimals, &nullable);
    }
    const SQLSMALLINT wanted = value != nullptr ? std::min<SQLSMALLINT>(columns, 1) : columns;
    while (ok) {
        rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA)
            break;
        if (!SQL_SUCCEEDED(rc)) {
            ok = false;
            break;
        }
        Row row;
        row.reserve(static_cast<std::size_t>(wanted));
        for (SQLSMALLINT c = 0; c < wanted && ok; ++c) {
            const auto column = static_cast<SQLUSMALLINT>(c + 1);
            const SQLSMALLINT sqlType = types[static_cast<std::size_t>(c)];
            ValueKind kind = KindOf(sqlType);
            std::string raw;
            double number = 0.0;
            bool isNull = false;
            SQLLEN indicator = 0;
            switch (kind) {
            case ValueKind::Boolean: {
                unsigned char bit = 0;
                ok = SQL_SUCCEEDED(SQLGetData(stmt, column, SQL_C_BIT, &bit, sizeof bit, &indicator));
                isNull = indicator == SQL_NULL_DATA;
                number = bit;
                break;
            }
            case ValueKind::Float:
                ok = SQL_SUCCEEDED(SQLGetData(stmt, column, SQL_C_DOUBLE, &number, sizeof number, &indicator));
                isNull = indicator == SQL_NULL_DATA;
                break;
            case ValueKind::DateTime:
            case ValueKind::Date: {
                SQL_TIMESTAMP_STRUCT ts{};
                ok = SQL_SUCCEEDED(SQLGetData(stmt, column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &indicator));
                isNull = indicator == SQL_NULL_DATA;
                if (ok && !isNull) {
                    char buf[40];
                    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", ts.year, ts.month, ts.day,
                                  ts.hour, ts.minute, ts.second);
                    raw = buf;
                }
                break;
            }
            case ValueKind::Time: {
                SQL_TIME_STRUCT tm{};
                ok = SQL_SUCCEEDED(SQLGetData(stmt, column, SQL_C_TYPE_TIME, &tm, sizeof tm, &indicator));
                isNull = indicator == SQL_NULL_DATA;
                if (ok && !isNull) {
                    char buf[32];
                    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.hour, tm.minute, tm.second);
                    raw = buf;
                }
                break;
            }
            case ValueKind::Binary:
            case ValueKind::Unknown: {
                // Only NULL-ness is read; the text does not depend on the bytes.
                char probe[1];
                const SQLRETURN got = SQLGetData(stmt, column, SQL_C_BINARY, probe, 0, &indicator);
                isNull = SQL_SUCCEEDED(got) && indicator == SQL_NULL_DATA;
                break;
            }
            default:
                ok = ReadText(stmt, column, IsWide(sqlType), raw, isNull);
                break;
            }
            if (!ok)
                break;
            row.push_back(VariantToText(isNull ? ValueKind::Null : kind, raw, number, form));
        }
        if (!ok)
            break;
        if (value != nullptr) {
            if (!row.empty())
                *value = row.front();
            break;
        }
        rows->push_back(std::move(row));
    }
    return ok;
}

}  // namespace

std::string VariantToText(ValueKind kind, const std::string& raw, double number, TextForm form)
{
    switch (kind) {
    case ValueKind::Null:
        return {};
    case ValueKind::Boolean:
        return number != 0.0 ? "TRUE" : "FALSE";
    case ValueKind::Integer:
        return Trimmed(raw);
    case ValueKind::Float:
        if (form == TextForm::Display)
            return Fixed2(number);
        return std::isfinite(number) ? ShortestDouble(number) : Trimmed(raw);
    case ValueKind::Decimal: {
        std::string text = Trimmed(raw);
        if (form == TextForm::Display)
            return Fixed2(std::strtod(text.c_str(), nullptr));
        // Some drivers give ".5" and "-.5" for decimals below one.
        if (!text.empty() && text.front() == '.')
            text.insert(text.begin(), '0');
        else if (text.size() > 1 && text[0] == '-' && text[1] == '.')
            text.insert(text.begin() + 1, '0');
        return text;
    }
    case ValueKind::DateTime:
    case ValueKind::Date:
    case ValueKind::Time:
    case ValueKind::Text:
        return raw;
    case ValueKind::Binary:
        return "[BLOB]";
    case ValueKind::Unknown:
        break;
    }
    return "UN_KNOW";
}

CAdoDB::CAdoDB()
{
    SQLHENV env = Environment();
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (env == SQL_NULL_HENV || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        RTU_LOG_DEBUG("ODBC connection handle could not be created");
        return;
    }
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), 0);
    m_connection = dbc;
}

CAdoDB::~CAdoDB()
{
    Close();
    if (m_connection != nullptr) {
        std::unique_lock<std::mutex> freeing;
        if (m_connectLock != nullptr)
            freeing = std::unique_lock<std::mutex>(*m_connectLock);
        SQLFreeHandle(SQL_HANDLE_DBC, m_connection);
    }
}

bool CAdoDB::Open(const std::string& connectionString, int /*connectOptions*/)
{
    m_connectionString = connectionString;
    m_lastError.clear();
    m_connectionFault = false;
    if (connectionString.empty()) {
        m_lastError = "no connection string";
        return false;
    }
    if (m_connection == nullptr) {
        m_lastError = "no connection handle";
        m_connectionFault = true;
        return false;
    }
    if (m_open)
        Close();
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    m_connectLock = &ConnectLockFor(connectionString);
    std::unique_lock<std::mutex> connecting(*m_connectLock);
    const SQLRETURN rc = SQLDriverConnect(
        m_connection, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
        static_cast<SQLSMALLINT>(std::min<std::size_t>(connectionString.size(), 32767)), out, sizeof out,
        &outLength, SQL_DRIVER_NOPROMPT);
    connecting.unlock();
    if (!SQL_SUCCEEDED(rc)) {
        Fail(SQL_HANDLE_DBC, m_connection, "open");
        m_connectionFault = true;
        return false;
    }
    m_open = true;
    char dbms[128] = {};
    SQLSMALLINT dbmsLength = 0;
    m_dialect = SqlDialect::SqlServer;
    if (SQL_SUCCEEDED(SQLGetInfo(m_connection, SQL_DBMS_NAME, dbms, sizeof dbms, &dbmsLength))) {
        std::string name(dbms);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (name.find("sqlite") != std::string::npos)
            m_dialect = SqlDialect::Sqlite;
        else if (name.find("postgres") != std::string::npos)
            m_dialect = SqlDialect::PostgreSql;
    }
    SQLUSMALLINT onCommit = SQL_CB_PRESERVE, onRollback = SQL_CB_PRESERVE;
    SQLGetInfo(m_connection, SQL_CURSOR_COMMIT_BEHAVIOR, &onCommit, sizeof onCommit, nullptr);
    SQLGetInfo(m_connection, SQL_CURSOR_ROLLBACK_BEHAVIOR, &onRollback, sizeof onRollback, nullptr);
    m_preparedEndWithTransaction = onCommit == SQL_CB_DELETE || onRollback == SQL_CB_DELETE;
    return true;
}

bool CAdoDB::IsOpen() const
{
    return m_connection != nullptr && m_open;
}

void CAdoDB::Close()
{
    // The prepared statements belong to this connection: they go before it.
    FreePrepared();
    m_inTransaction = false;
    if (m_recordset != nullptr) {
        SQLFreeHandle(SQL_HANDLE_STMT, m_recordset);
        m_recordset = nullptr;
    }
    if (m_connection != nullptr && m_open) {
        // An unfinished transaction ends with the connection.
        SQLEndTran(SQL_HANDLE_DBC, m_connection, SQL_ROLLBACK);
        std::unique_lock<std::mutex> closing(*m_connectLock);
        SQLDisconnect(m_connection);
        m_open = false;
    }
}

int CAdoDB::BeginTrans()
{
    if (!IsOpen())
        return -1;
    const SQLRETURN rc = SQLSetConnectAttr(m_connection, SQL_ATTR_AUTOCOMMIT,
                                           reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), SQL_IS_UINTEGER);
    if (!SQL_SUCCEEDED(rc)) {
        Fail(SQL_HANDLE_DBC, m_connection, "BeginTrans");
        return -1;
    }
    m_inTransaction = true;
    m_transactionUsed = false;
    return 1;
}

bool CAdoDB::CommitTrans()
{
    if (!IsOpen())
        return false;
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, m_connection, SQL_COMMIT)))
        return Fail(SQL_HANDLE_DBC, m_connection, "CommitTrans");
    m_inTransaction = false;
    m_transactionUsed = false;
    if (m_preparedEndWithTransaction)
        FreePrepared();
    SQLSetConnectAttr(m_connection, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      SQL_IS_UINTEGER);
    return true;
}

bool CAdoDB::RollbackTrans()
{
    if (!IsOpen())
        return false;
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, m_connection, SQL_ROLLBACK)))
        return Fail(SQL_HANDLE_DBC, m_connection, "RollbackTrans");
    m_inTransaction = false;
    m_transactionUsed = false;
    if (m_preparedEndWithTransaction)
        FreePrepared();
    SQLSetConnectAttr(m_connection, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON),
                      SQL_IS_UINTEGER);
    return true;
}

bool CAdoDB::Fail(short handleType, void* handle, const char* what)
{
    m_lastError.clear();
    m_connectionFault = false;
    SQLCHAR state[6];
    SQLINTEGER native = 0;
    SQLCHAR message[1024];
    SQLSMALLINT length = 0;
    for (SQLSMALLINT record = 1; record <= 8; ++record) {
        const SQLRETURN rc = SQLGetDiagRec(handleType, handle, record, state, &native, message, sizeof message, &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        const std::string sqlState(reinterpret_cast<char*>(state));
        if (sqlState.compare(0, 2, "08") == 0 || sqlState.compare(0, 3, "HYT") == 0)
            m_connectionFault = true;
        if (!m_lastError.empty())
            m_lastError += "; ";
        m_lastError += "[" + sqlState + "] " + reinterpret_cast<char*>(message);
    }
    if (m_lastError.empty())
        m_lastError = std::string(what) + " failed";
    // One line for the log: drivers end or split their messages with newlines.
    for (char& c : m_lastError)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    while (!m_lastError.empty() && m_lastError.back() == ' ')
        m_lastError.pop_back();
    if (m_open && !m_connectionFault) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        if (SQL_SUCCEEDED(SQLGetConnectAttr(m_connection, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr)) &&
            dead == SQL_CD_TRUE)
            m_connectionFault = true;
    }
    return false;
}

bool CAdoDB::Execute(const std::string& statement)
{
    if (!IsOpen()) {
        m_lastError = "not connected";
        m_connectionFault = true;
        return false;
    }
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_connection, &stmt)))
        return Fail(SQL_HANDLE_DBC, m_connection, "Execute");
    m_recordset = stmt;
    SQLSetStmtAttr(stmt, SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
    const std::string text = RewriteForDialect(m_dialect, statement);
    SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                                 static_cast<SQLINTEGER>(text.size()));
    bool ok = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
    // Later results of a batch may carry errors of their own.
    while (ok) {
        rc = SQLMoreResults(stmt);
        if (rc == SQL_NO_DATA)
            break;
        ok = SQL_SUCCEEDED(rc);
    }
    if (ok)
        m_transactionUsed = true;
    else
        Fail(SQL_HANDLE_STMT, stmt, "Execute");
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    m_recordset = nullptr;
    return ok;
}

bool CAdoDB::QueryRows(const std::string& statement, Rows& rows, TextForm form)
{
    return RunQuery(statement, &rows, nullptr, form);
}

bool CAdoDB::QueryValue(const std::string& statement, std::string& value, TextForm form)
{
    return RunQuery(statement, nullptr, &value, form);
}

bool CAdoDB::RunQuery(const std::string& statement, Rows* rows, std::string* value, TextForm form)
{
    if (!IsOpen()) {
        m_lastError = "not connected";
        m_connectionFault = true;
        return false;
    }
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_connection, &stmt)))
        return Fail(SQL_HANDLE_DBC, m_connection, "Query");
    m_recordset = stmt;
    SQLSetStmtAttr(stmt, SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
    const std::string text = RewriteForDialect(m_dialect, statement);
    auto finish = [&](bool result) {
        if (result)
            m_transactionUsed = true;
        else
            Fail(SQL_HANDLE_STMT, stmt, "Query");
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        m_recordset = nullptr;
        return result;
    };
    SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                                 static_cast<SQLINTEGER>(text.size()));
    if (rc == SQL_NO_DATA)
        return finish(true);
    if (!SQL_SUCCEEDED(rc))
        return finish(false);
    return finish(ReadResult(stmt, rows, value, form));
}

bool CAdoDB::ExecuteBound(const std::string& statement, const std::vector<Param>& params, long long* rowsAffected)
{
    return RunBound(statement, params, rowsAffected, nullptr, TextForm::Exact);
}

bool CAdoDB::QueryValueBound(const std::string& statement, const std::vector<Param>& params, std::string& value,
                             TextForm form)
{
    return RunBound(statement, params, nullptr, &value, form);
}

void* CAdoDB::Prepared(const std::string& statement)
{
    const auto found = m_prepared.find(statement);
    if (found != m_prepared.end()) {
        found->second.lastUse = ++m_useCounter;
        return found->second.handle;
    }
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, m_connection, &stmt))) {
        Fail(SQL_HANDLE_DBC, m_connection, "Prepare");
        return nullptr;
    }
    SQLSetStmtAttr(stmt, SQL_ATTR_NOSCAN, reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0);
    const std::string text = RewriteForDialect(m_dialect, statement);
    if (!SQL_SUCCEEDED(SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
                                  static_cast<SQLINTEGER>(text.size())))) {
        Fail(SQL_HANDLE_STMT, stmt, "Prepare");
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return nullptr;
    }
    if (m_prepared.size() >= kPreparedCapacity) {
        auto oldest = m_prepared.begin();
        for (auto it = m_prepared.begin(); it != m_prepared.end(); ++it)
            if (it->second.lastUse < oldest->second.lastUse)
                oldest = it;
        SQLFreeHandle(SQL_HANDLE_STMT, oldest->second.handle);
        m_prepared.erase(oldest);
    }
    m_prepared[statement] = PreparedStatement{stmt, ++m_useCounter};
    return stmt;
}

void CAdoDB::ForgetPrepared(const std::string& statement)
{
    const auto found = m_prepared.find(statement);
    if (found == m_prepared.end())
        return;
    SQLFreeHandle(SQL_HANDLE_STMT, found->second.handle);
    m_prepared.erase(found);
}

void CAdoDB::FreePrepared()
{
    for (auto& entry : m_prepared)
        SQLFreeHandle(SQL_HANDLE_STMT, entry.second.handle);
    m_prepared.clear();
}

bool CAdoDB::ExecuteBoundRows(const std::string& statement, const std::vector<const std::vector<Param>*>& rows)
{
    constexpr std::size_t kRowsPerExecution = 256;
    if (rows.size() <= 1)
        return rows.empty() || ExecuteBound(statement, *rows.front(), nullptr);
    if (!IsOpen()) {
        m_lastError = "not connected";
        m_connectionFault = true;
        return false;
    }
    SQLHSTMT stmt = Prepared(statement);
    if (stmt == SQL_NULL_HSTMT)
        return false;
    const std::size_t columns = rows.front()->size();
    SQLSMALLINT markers = 0;
    bool ok = SQL_SUCCEEDED(SQLNumParams(stmt, &markers)) && static_cast<std::size_t>(markers) == columns;
    for (const std::vector<Param>* row : rows)
        ok = ok && row->size() == columns;
    if (!ok) {
        m_lastError = "ExecuteBoundRows: the rows' values do not match the statement's parameters";
        m_connectionFault = false;
        return false;
    }
    for (std::size_t first = 0; ok && first < rows.size(); first += kRowsPerExecution) {
        const std::size_t count = std::min(kRowsPerExecution, rows.size() - first);
        // Column-wise buffers: each column's values side by side, as wide as
        // its longest value; zero bytes dropped as for a single execution.
        std::vector<std::vector<char>> buffers(columns);
        std::vector<std::vector<SQLLEN>> lengths(columns, std::vector<SQLLEN>(count));
        std::vector<std::size_t> widths(columns, 1);
        for (std::size_t r = 0; r < count; ++r)
            for (std::size_t c = 0; c < columns; ++c)
                widths[c] = std::max(widths[c], (*rows[first + r])[c].value.size() + 1);
        SQLFreeStmt(stmt, SQL_RESET_PARAMS);
        std::vector<SQLUSMALLINT> status(count, SQL_PARAM_UNUSED);
        SQLULEN processed = 0;
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(count), 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
        for (std::size_t c = 0; ok && c < columns; ++c) {
            buffers[c].assign(widths[c] * count, '\0');
            std::size_t longest = 0;
            for (std::size_t r = 0; r < count; ++r) {
                char* at = buffers[c].data() + r * widths[c];
                std::size_t n = 0;
                for (char ch : (*rows[first + r])[c].value)
                    if (ch != '\0') at[n++] = ch;
                lengths[c][r] = static_cast<SQLLEN>(n);
                longest = std::max(longest, n);
            }
            const Binding binding = BindingFor((*rows[first])[c].type, longest);
            ok = SQL_SUCCEEDED(SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(c + 1), SQL_PARAM_INPUT, SQL_C_CHAR,
                                                binding.sqlType, binding.columnSize, 0, buffers[c].data(),
                                                static_cast<SQLLEN>(widths[c]), lengths[c].data()));
        }
        SQLRETURN rc = ok ? SQLExecute(stmt) : SQL_ERROR;
        ok = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
        for (std::size_t r = 0; ok && r < count; ++r)
            ok = status[r] == SQL_PARAM_SUCCESS || status[r] == SQL_PARAM_SUCCESS_WITH_INFO ||
                 status[r] == SQL_PARAM_UNUSED;
        while (ok) {
            rc = SQLMoreResults(stmt);
            if (rc == SQL_NO_DATA)
                break;
            ok = SQL_SUCCEEDED(rc);
        }
        if (!ok)
            Fail(SQL_HANDLE_STMT, stmt, "ExecuteBoundRows");
        SQLFreeStmt(stmt, SQL_CLOSE);
        SQLFreeStmt(stmt, SQL_RESET_PARAMS);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_STATUS_PTR, nullptr, 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, nullptr, 0);
    }
    if (!ok)
        ForgetPrepared(statement);
    return ok;
}

bool CAdoDB::RunBound(const std::string& statement, const std::vector<Param>& params, long long* rowsAffected,
                      std::string* value, TextForm form)
{
    if (rowsAffected != nullptr)
        *rowsAffected = -1;
    if (!IsOpen()) {
        m_lastError = "not connected";
        m_connectionFault = true;
        return false;
    }
    const char* what = value != nullptr ? "QueryValueBound" : "ExecuteBound";
    if (params.size() > 32767) {
        m_lastError = std::string(what) + ": too many parameters";
        m_connectionFault = false;
        return false;
    }
    SQLHSTMT stmt = Prepared(statement);
    if (stmt == SQL_NULL_HSTMT)
        return false;
    // A statement run with fewer values than markers would fail in the
    // driver; with more, some drivers would run it and ignore the rest.
    SQLSMALLINT markers = 0;
    if (SQL_SUCCEEDED(SQLNumParams(stmt, &markers)) && static_cast<std::size_t>(markers) != params.size()) {
        m_lastError = std::string(what) + ": " + std::to_string(params.size()) + " values for " +
                      std::to_string(markers) + " parameters";
        m_connectionFault = false;
        return false;
    }

    // The values as sent: a zero byte cannot be part of a text value (the
    // quoted literals never carried one either).
    std::vector<std::string> cleaned(params.size());
    std::vector<SQLLEN> lengths(params.size());
    SQLFreeStmt(stmt, SQL_RESET_PARAMS);
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string* text = &params[i].value;
        if (text->find('\0') != std::string::npos) {
            cleaned[i] = *text;
            cleaned[i].erase(std::remove(cleaned[i].begin(), cleaned[i].end(), '\0'), cleaned[i].end());
            text = &cleaned[i];
        }
        lengths[i] = static_cast<SQLLEN>(text->size());
        const Binding binding = BindingFor(params[i].type, text->size());
        const SQLRETURN rc =
            SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_CHAR, binding.sqlType,
                             binding.columnSize, 0, const_cast<char*>(text->data()),
                             static_cast<SQLLEN>(text->size()), &lengths[i]);
        if (!SQL_SUCCEEDED(rc)) {
            Fail(SQL_HANDLE_STMT, stmt, what);
            ForgetPrepared(statement);
            return false;
        }
    }

    SQLRETURN rc = SQLExecute(stmt);
    bool ok = SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
    if (ok && value != nullptr) {
        ok = rc == SQL_NO_DATA || ReadResult(stmt, nullptr, value, form);
    } else if (ok) {
        SQLLEN count = -1;
        if (rowsAffected != nullptr && SQL_SUCCEEDED(SQLRowCount(stmt, &count)))
            *rowsAffected = count;
        // Later results of a batch may carry errors of their own.
        while (ok) {
            rc = SQLMoreResults(stmt);
            if (rc == SQL_NO_DATA)
                break;
            ok = SQL_SUCCEEDED(rc);
        }
    }
    if (!ok) {
        Fail(SQL_HANDLE_STMT, stmt, what);
        if (rowsAffected != nullptr)
            *rowsAffected = -1;
        // Prepared again on the next use: a refusal may have left the
        // driver's statement in a state not worth trusting.
        ForgetPrepared(statement);
        return false;
    }
    // Closes the cursor (an unfinished read would hold SQLite's lock); the
    // statement stays prepared.
    SQLFreeStmt(stmt, SQL_CLOSE);
    SQLFreeStmt(stmt, SQL_RESET_PARAMS);
    m_transactionUsed = true;
    return true;
}

bool CAdoDB::SavepointStatement(const char* what, const std::string& name, const std::string& statement)
{
    bool valid = !name.empty() && name.size() <= 32 &&
                 (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_');
    for (char c : name)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!valid) {
        m_lastError = std::string(what) + ": not a savepoint name: " + name;
        m_connectionFault = false;
        return false;
    }
    if (!IsOpen()) {
        m_lastError = "not connected";
        m_connectionFault = true;
        return false;
    }
    // Outside a transaction SQLite would open one of its own that the driver
    // never commits; the other servers refuse.
    if (!m_inTransaction) {
        m_lastError = std::string(what) + ": no transaction is open";
        m_connectionFault = false;
        return false;
    }
    if (statement.empty())
        return true;
    // A savepoint must not be what opens the transaction; a statement of no
    // effect opens it first. The PostgreSQL driver undoes a failed statement
    // alone (a savepoint of its own around each one) except after a savepoint
    // of ours that opened the transaction: there it rolls the whole
    // transaction back, our savepoint with it. SQL Server, in the implicit
    // transactions its driver uses, opens none for SAVE TRANSACTION (nor for
    // a select from no table) and refuses it.
    if (!m_transactionUsed) {
        const char* opener = m_dialect == SqlDialect::PostgreSql ? "select 1"
                             : m_dialect == SqlDialect::SqlServer ? "select top 0 1 from sys.objects"
                                                                   : nullptr;
        if (opener != nullptr && !Execute(opener))
            return false;
    }
    return Execute(statement);
}

bool CAdoDB::Savepoint(const std::string& name)
{
    return SavepointStatement("Savepoint", name,
                              (m_dialect == SqlDialect::SqlServer ? "SAVE TRANSACTION " : "SAVEPOINT ") + name);
}

bool CAdoDB::RollbackToSavepoint(const std::string& name)
{
    return SavepointStatement(
        "RollbackToSavepoint", name,
        (m_dialect == SqlDialect::SqlServer ? "ROLLBACK TRANSACTION " : "ROLLBACK TO SAVEPOINT ") + name);
}

bool CAdoDB::ReleaseSavepoint(const std::string& name)
{
    return SavepointStatement("ReleaseSavepoint", name,
                              m_dialect == SqlDialect::SqlServer ? std::string() : "RELEASE SAVEPOINT " + name);
}

}  // namespace rtu::storage
