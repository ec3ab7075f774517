// The tables and procedure stand-ins of the embedded SQLite database, built
// into the program from config/sql/sqlite.sql so it works from any folder.
#pragma once

#include <string_view>

namespace rtu::storage {

class BoundConnection;

// The text of config/sql/sqlite.sql as it was at build time.
std::string_view SqliteSchemaScript();

// Creates the schema when the connected SQLite database holds no table yet.
// True when the schema is there afterwards (created now or found).
bool InstallSqliteSchemaIfEmpty(BoundConnection& db);

}  // namespace rtu::storage
