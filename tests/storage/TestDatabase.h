// Databases for the storage tests: a new SQLite file per test, or a schema of
// its own in the PostgreSQL server named by RTU_TEST_PG_CONN.
#pragma once

#include <memory>
#include <string>

namespace rtu::storage::test {

class TestDatabase {
public:
    virtual ~TestDatabase() = default;

    // "sqlite" or "postgresql". Null for PostgreSQL when RTU_TEST_PG_CONN is
    // unset; `why` then says so.
    static std::unique_ptr<TestDatabase> Create(const std::string& backend, std::string& why);

    // Connection string that reaches this test's tables.
    virtual std::string Connection() const = 0;
    // The same server and tables, reached in a way that must fail to open.
    virtual std::string UnreachableConnection() const = 0;
};

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace rtu::storage::test
