// Connection strings of the two databases, built from the settings of one
// section of server.ini (`Set` for the main database, `SetThird` for the
// secondary one). The caller reads the settings; this file only builds text.
#pragma once

#include <string>
#include <string_view>

namespace rtu::storage {

// The settings of one database section, as read from server.ini.
struct DbSettings {
    std::string driver;      // key Driver: empty, "SQLite3", "PostgreSQL Unicode", "FreeTDS", or another ODBC driver name
    std::string source;      // key Source: server host (host:port allowed for PostgreSQL and FreeTDS)
    std::string name;        // key Name: database name, or the database file for SQLite
    std::string user;        // key User
    std::string pwd;         // key Pwd
    std::string tdsVersion;  // key TDS_Version: protocol version for FreeTDS (default 7.4)
};

// Builds the connection string for the settings:
//   no driver           driver={SQL Server};Server=S;DATABASE=N;UID=U;PWD=P
//   SQLite3             Driver={SQLite3};Database=N;Timeout=30000;JournalMode=WAL;SyncPragma=NORMAL
//                       (N is the file, relative to the current directory)
//   PostgreSQL ...      Driver={PostgreSQL Unicode};Server=H;Port=P;Database=N;UID=U;PWD=P;BoolsAsChar=0
//                       (S is "host" or "host:port")
//   FreeTDS             Driver={FreeTDS};Server=H;Port=P;Database=N;UID=U;PWD=P;TDS_Version=V;ClientCharset=UTF-8
//                       (V defaults to 7.4)
//   any other driver    the SQL Server form with that driver name
// Values containing ';', '{' or '}' (or blanks at their ends) are put in braces,
// so no setting can end its value early or add keys of its own.
std::string BuildConnectionString(const DbSettings& settings);

// One value of a connection string, braced (with '}' doubled) when needed.
std::string QuoteConnectionValue(std::string_view value);

// The value of a key in a connection string (keys compared without case),
// braces removed; empty when the key is absent.
std::string ConnectionStringValue(std::string_view connection, std::string_view key);

}  // namespace rtu::storage
