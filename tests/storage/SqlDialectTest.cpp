#include "rtu/storage/SqlDialect.h"

#include <gtest/gtest.h>

namespace rtu::storage {
namespace {

TEST(SqlEscape, DoublesQuotesAndDropsZeroBytes)
{
    EXPECT_EQ(SqlEscape("plain 12.5"), "plain 12.5");
    EXPECT_EQ(SqlEscape("O'Neil"), "O''Neil");
    EXPECT_EQ(SqlEscape("'); drop table DeviceInfo; --"), "''); drop table DeviceInfo; --");
    EXPECT_EQ(SqlEscape(std::string("a\0b''", 5)), "ab''''");
    EXPECT_EQ(SqlEscape(""), "");
}

struct RewriteCase {
    const char* sqlServer;
    const char* sqlite;
    const char* postgres;
};

TEST(SqlDialect, RewritesTheConstructsTheStatementsUse)
{
    const RewriteCase cases[] = {
        {"exec proc_InsertReceive 'a','32','7E7E'",
         "insert into proc_InsertReceive values('a','32','7E7E')",
         "call proc_InsertReceive('a','32','7E7E')"},
        {"EXEC proc_updateRgzs '','s','35','f','2014-05-06 07:08:09','Rainfall','0.500000','x','1','2','3','','01','4','0'",
         "insert into proc_updateRgzs values('','s','35','f','2014-05-06 07:08:09','Rainfall','0.500000','x','1','2','3','','01','4','0')",
         "call proc_updateRgzs('','s','35','f','2014-05-06 07:08:09','Rainfall','0.500000','x','1','2','3','','01','4','0')"},
        {"SELECT top 1 Z from ST_RIVER_R where STCD='00000101' ORDER BY TM DESC",
         "SELECT Z from ST_RIVER_R where STCD='00000101' ORDER BY TM DESC limit 1",
         "SELECT Z from ST_RIVER_R where STCD='00000101' ORDER BY TM DESC limit 1"},
        {"select top 10 Id from T where a=1 ; ",
         "select Id from T where a=1 limit 10",
         "select Id from T where a=1 limit 10"},
        {"update DeviceInfo set RefreshDate = GETDATE() where YCZNo in ('1','2')",
         "update DeviceInfo set RefreshDate = datetime('now','localtime') where YCZNo in ('1','2')",
         "update DeviceInfo set RefreshDate = localtimestamp(0) where YCZNo in ('1','2')"},
        {"values('a',getdate( ),'b')",
         "values('a',datetime('now','localtime'),'b')",
         "values('a',localtimestamp(0),'b')"},
        {"update SendCommandInfo set Status=1 where [YCZNo]='0000000101' and [Id]='5000000000'",
         "update SendCommandInfo set Status=1 where \"YCZNo\"='0000000101' and \"Id\"='5000000000'",
         "update SendCommandInfo set Status=1 where \"yczno\"='0000000101' and \"id\"='5000000000'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RewriteForDialect(SqlDialect::SqlServer, c.sqlServer), c.sqlServer);
        EXPECT_EQ(RewriteForDialect(SqlDialect::Sqlite, c.sqlServer), c.sqlite) << c.sqlServer;
        EXPECT_EQ(RewriteForDialect(SqlDialect::PostgreSql, c.sqlServer), c.postgres) << c.sqlServer;
    }
}

TEST(SqlDialect, LeavesQuotedValuesAndLookalikeWordsAlone)
{
    // A station's text may hold anything; once escaped, nothing in it is rewritten.
    const std::string value = SqlEscape("exec x [y] getdate() select top 5 ' ;");
    const std::string statement = "update DeviceInfo set PeriodRainfall='" + value + "' where YCZNo='1'";
    EXPECT_EQ(RewriteForDialect(SqlDialect::Sqlite, statement), statement);
    EXPECT_EQ(RewriteForDialect(SqlDialect::PostgreSql, statement), statement);
    // Words that merely contain the keywords stay.
    EXPECT_EQ(RewriteForDialect(SqlDialect::PostgreSql, "select topic, getdates() from executions"),
              "select topic, getdates() from executions");
    EXPECT_EQ(RewriteForDialect(SqlDialect::Sqlite, "insert into t values(1) -- exec top [x]"),
              "insert into t values(1) -- exec top [x]");
}

TEST(SqlDialect, ScriptSplitsAtStatementEndsOnly)
{
    const auto parts = SplitSqlScript(
        "-- heading; with a semicolon\n"
        "CREATE TABLE a (x TEXT DEFAULT 'a;b');\n"
        "/* block; */ CREATE TRIGGER t INSTEAD OF INSERT ON v WHEN NEW.x IN ('1')\n"
        "BEGIN UPDATE a SET x = CASE WHEN NEW.x = '1' THEN 'y' ELSE x END; INSERT INTO a VALUES (1); END;\n"
        "CREATE PROCEDURE p() LANGUAGE sql AS $$ INSERT INTO a VALUES ('$'); SELECT 1; $$;\n"
        "CREATE FUNCTION f() RETURNS int LANGUAGE sql AS $body$ SELECT 1; $body$;\n"
        ";;\n-- trailing comment\n");
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0], "CREATE TABLE a (x TEXT DEFAULT 'a;b')");
    EXPECT_EQ(parts[1].substr(0, 16), "CREATE TRIGGER t");
    EXPECT_EQ(parts[1].substr(parts[1].size() - 29), "INSERT INTO a VALUES (1); END");
    EXPECT_EQ(parts[2], "CREATE PROCEDURE p() LANGUAGE sql AS $$ INSERT INTO a VALUES ('$'); SELECT 1; $$");
    EXPECT_EQ(parts[3], "CREATE FUNCTION f() RETURNS int LANGUAGE sql AS $body$ SELECT 1; $body$");
}

}  // namespace
}  // namespace rtu::storage
