#include "rtu/storage/ConnectionString.h"

#include <gtest/gtest.h>

namespace rtu::storage {
namespace {

DbSettings Settings(std::string driver, std::string source, std::string name, std::string user, std::string pwd)
{
    DbSettings s;
    s.driver = std::move(driver);
    s.source = std::move(source);
    s.name = std::move(name);
    s.user = std::move(user);
    s.pwd = std::move(pwd);
    return s;
}

TEST(ConnectionString, WithoutDriverItIsTheSqlServerFormAsInstallationsHaveIt)
{
    EXPECT_EQ(BuildConnectionString(Settings("", "10.0.0.5", "Hydro", "sa", "secret")),
              "driver={SQL Server};Server=10.0.0.5;DATABASE=Hydro;UID=sa;PWD=secret");
    // Another driver name for SQL Server keeps the form.
    EXPECT_EQ(BuildConnectionString(Settings("ODBC Driver 18 for SQL Server", "db,1433", "Hydro", "sa", "pw")),
              "driver={ODBC Driver 18 for SQL Server};Server=db,1433;DATABASE=Hydro;UID=sa;PWD=pw");
}

TEST(ConnectionString, EachNamedDriverGetsItsOwnForm)
{
    EXPECT_EQ(BuildConnectionString(Settings("SQLite3", "ignored", "data/rtu.db", "", "")),
              "Driver={SQLite3};Database=data/rtu.db;Timeout=30000;JournalMode=WAL;SyncPragma=NORMAL");
    EXPECT_EQ(BuildConnectionString(Settings("PostgreSQL Unicode", "db.example:5433", "hydro", "rtu", "pw")),
              "Driver={PostgreSQL Unicode};Server=db.example;Port=5433;Database=hydro;UID=rtu;PWD=pw;BoolsAsChar=0");
    EXPECT_EQ(BuildConnectionString(Settings("PostgreSQL Unicode", "127.0.0.1", "hydro", "rtu", "pw")),
              "Driver={PostgreSQL Unicode};Server=127.0.0.1;Database=hydro;UID=rtu;PWD=pw;BoolsAsChar=0");
    DbSettings tds = Settings("FreeTDS", "sql.example:1433", "Hydro", "sa", "pw");
    EXPECT_EQ(BuildConnectionString(tds),
              "Driver={FreeTDS};Server=sql.example;Port=1433;Database=Hydro;UID=sa;PWD=pw;TDS_Version=7.4;"
              "ClientCharset=UTF-8");
    tds.tdsVersion = "7.3";
    EXPECT_NE(BuildConnectionString(tds).find(";TDS_Version=7.3;"), std::string::npos);
}

TEST(ConnectionString, ValuesThatWouldEndOrExtendTheStringAreBraced)
{
    const std::string conn =
        BuildConnectionString(Settings("", "host;Trusted_Connection=yes", "db", "sa", "p;w}d{x"));
    EXPECT_EQ(conn, "driver={SQL Server};Server={host;Trusted_Connection=yes};DATABASE=db;UID=sa;PWD={p;w}}d{x}");
    // Read back, every value is what was configured and no key was added.
    EXPECT_EQ(ConnectionStringValue(conn, "PWD"), "p;w}d{x");
    EXPECT_EQ(ConnectionStringValue(conn, "server"), "host;Trusted_Connection=yes");
    EXPECT_EQ(ConnectionStringValue(conn, "Trusted_Connection"), "");
    EXPECT_EQ(QuoteConnectionValue(" padded "), "{ padded }");
    EXPECT_EQ(QuoteConnectionValue("plain=value"), "plain=value");
}

TEST(ConnectionString, SourceWithoutAPortOrWithSeveralColonsStaysWhole)
{
    EXPECT_EQ(ConnectionStringValue(BuildConnectionString(Settings("PostgreSQL Unicode", "::1", "d", "u", "p")),
                                    "Server"),
              "::1");
    const std::string v6 = BuildConnectionString(Settings("PostgreSQL Unicode", "[::1]:6000", "d", "u", "p"));
    EXPECT_EQ(ConnectionStringValue(v6, "Server"), "::1");
    EXPECT_EQ(ConnectionStringValue(v6, "Port"), "6000");
    EXPECT_EQ(ConnectionStringValue(BuildConnectionString(Settings("FreeTDS", "host:abc", "d", "u", "p")), "Server"),
              "host:abc");
}

}  // namespace
}  // namespace rtu::storage
