// Statement texts: making a value safe to put between single quotes, and the
// rewrite of the few SQL Server constructs the program's statements use into
// what SQLite and PostgreSQL understand.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rtu::storage {

enum class SqlDialect { SqlServer, Sqlite, PostgreSql };

// A value for a quoted text literal of a statement ('%s'): every single
// quote doubled, zero bytes dropped. Every value from a station, a settings
// file or a database row goes through this before it is formatted into a
// statement, so no value can end its literal and add SQL of its own.
std::string SqlEscape(std::string_view value);

// The statement as the dialect wants it. SQL Server texts are returned
// unchanged. For SQLite and PostgreSQL, outside quoted literals:
//   exec/EXEC proc args      SQLite: insert into proc values(args)
//                            PostgreSQL: call proc(args)
//   select top N ...         ... limit N   (at the start of the statement)
//   getdate()/GETDATE()      SQLite: datetime('now','localtime')
//                            PostgreSQL: localtimestamp(0)
//   [name]                   SQLite: "name"; PostgreSQL: "name" in lower case
//                            (unquoted names fold to lower case there)
std::string RewriteForDialect(SqlDialect dialect, std::string_view statement);

// Splits a script into its statements at the semicolons that end them,
// leaving semicolons inside literals, comments, $$-bodies and
// CREATE TRIGGER ... BEGIN ... END blocks alone. Empty statements are skipped.
std::vector<std::string> SplitSqlScript(std::string_view script);

}  // namespace rtu::storage
