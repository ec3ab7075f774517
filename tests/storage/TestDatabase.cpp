#include "TestDatabase.h"

#include "rtu/storage/AdoDB.h"
#include "rtu/storage/ConnectionString.h"
#include "rtu/storage/SqlDialect.h"
#include "rtu/storage/SqliteSchema.h"
#include "tests/ErrorLogToStderr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace rtu::storage::test {

namespace {

std::atomic<int> g_counter{0};


std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SqliteDatabase : public TestDatabase {
public:
    SqliteDatabase()
    {
        m_folder = std::filesystem::temp_directory_path() /
                   Format("rtu-storage-%d-%d", static_cast<int>(getpid()), g_counter++);
        std::filesystem::remove_all(m_folder);
        std::filesystem::create_directories(m_folder);
        DbSettings settings;
        settings.driver = "SQLite3";
        settings.name = (m_folder / "main.db").string();
        m_connection = BuildConnectionString(settings);
        CAdoDB db;
        if (!db.Open(m_connection) || !InstallSqliteSchemaIfEmpty(db))
            throw std::runtime_error("SQLite test database: " + db.LastError());
    }
    ~SqliteDatabase() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    std::string Connection() const override { return m_connection; }
    std::string UnreachableConnection() const override
    {
        DbSettings settings;
        settings.driver = "SQLite3";
        settings.name = (m_folder / "no-such-folder" / "main.db").string();
        return BuildConnectionString(settings);
    }

private:
    std::filesystem::path m_folder;
    std::string m_connection;
};

class PostgresDatabase : public TestDatabase {
public:
    explicit PostgresDatabase(std::string base) : m_base(std::move(base))
    {
        m_schema = Format("t%d_%d", static_cast<int>(getpid()), g_counter++);
        m_connection = m_base + ";BoolsAsChar=0;ConnSettings=" + QuoteConnectionValue("SET search_path TO " + m_schema);
        CAdoDB db;
        if (!db.Open(m_base))
            throw std::runtime_error("PostgreSQL test server: " + db.LastError());
        db.Execute("DROP SCHEMA IF EXISTS " + m_schema + " CASCADE");
        if (!db.Execute("CREATE SCHEMA " + m_schema))
            throw std::runtime_error("PostgreSQL test schema: " + db.LastError());
        db.Close();
        if (!db.Open(m_connection))
            throw std::runtime_error("PostgreSQL test schema: " + db.LastError());
        const std::string script = ReadFile(RTU_SOURCE_DIR "/config/sql/postgresql.sql");
        for (const std::string& statement : SplitSqlScript(script))
            if (!db.Execute(statement))
                throw std::runtime_error("postgresql.sql: " + db.LastError() + " in " + statement);
    }
    ~PostgresDatabase() override
    {
        CAdoDB db;
        if (db.Open(m_base))
            db.Execute("DROP SCHEMA IF EXISTS " + m_schema + " CASCADE");
    }
    std::string Connection() const override { return m_connection; }
    std::string UnreachableConnection() const override
    {
        // Same database, a port where nothing listens.
        return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=x;UID=x;PWD=x";
    }

private:
    std::string m_base;
    std::string m_schema;
    std::string m_connection;
};

}  // namespace

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    va_end(args);
    return out;
}

std::unique_ptr<TestDatabase> TestDatabase::Create(const std::string& backend, std::string& why)
{
    if (backend == "sqlite")
        return std::make_unique<SqliteDatabase>();
    const char* conn = std::getenv("RTU_TEST_PG_CONN");
    if (conn == nullptr || *conn == '\0') {
        why = "RTU_TEST_PG_CONN is not set (scripts/test starts a server with scripts/pg-test-server start)";
        return nullptr;
    }
    return std::make_unique<PostgresDatabase>(conn);
}

}  // namespace rtu::storage::test
