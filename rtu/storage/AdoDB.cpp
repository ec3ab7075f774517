#include "rtu/storage/AdoDB.h"

#include "rtu/runtime/Log.h"
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
    return true;
}

bool CAdoDB::IsOpen() const
{
    return m_connection != nullptr && m_open;
}

void CAdoDB::Close()
{
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
    return 1;
}

bool CAdoDB::CommitTrans()
{
    if (!IsOpen())
        return false;
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, m_connection, SQL_COMMIT)))
        return Fail(SQL_HANDLE_DBC, m_connection, "CommitTrans");
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
    if (!ok)
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
    bool ok = true;
    auto finish = [&](bool result) {
        if (!result)
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
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)))
        return finish(false);
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
    return finish(ok);
}

}  // namespace rtu::storage
