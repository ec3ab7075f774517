// Statements per second through a statement pool: 100,000 readings of timed
// reports are queued and timed until the last one is in the database, on a
// new SQLite file and on a PostgreSQL server, with the pool as built and with
// a 100 ms pause and a new connection before every statement for comparison.
// The readings come from 1,000 stations and are queued with the station as
// order key, as the program queues them.
//
//   db_bench [--count N] [--legacy-count N] [--pg CONNECTION] [--only sqlite|postgresql]
//
// PostgreSQL is measured when --pg or RTU_TEST_PG_CONN names a server; the
// tables go into a schema of their own, removed at the end.
#include "rtu/storage/AdoDB.h"
#include "rtu/storage/ConnectionString.h"
#include "rtu/storage/SqlDialect.h"
#include "rtu/storage/SqlWorkerPool.h"

#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

using namespace rtu::storage;
using Clock = std::chrono::steady_clock;

namespace {

struct Result {
    double seconds = 0;
    std::uint64_t executed = 0;
    std::uint64_t rejected = 0;
    std::uint64_t refusedWhileFull = 0;
    long long rows = 0;
};

std::string TimedReading(int n)
{
    char frame[160];
    std::snprintf(frame, sizeof frame,
                  "\x01" "0100%08d01123432002B\x02ST %010d TT 1405060708 PJ 10.5 PT 0.5 Z 12.345\x03" "ABCD",
                  n % 1000, n % 1000);
    char statement[512];
    std::snprintf(statement, sizeof statement,
                  "exec proc_insertDeviceTimingData '','%s','%s','%s',0,'%s','%s','%s','%s','','%s'",
                  SqlEscape(std::to_string(100000000 + n % 1000)).c_str(), "32", SqlEscape(frame).c_str(), "ADC9", "Z",
                  "12.345", "m", "2014-05-06 07:08:00");
    return statement;
}

Result Run(const std::string& connection, int count, bool legacy)
{
    CSqlWorkerPool::Options options;
    if (legacy) {
        options.pauseBeforeEach = std::chrono::milliseconds(100);
        options.connectionPerStatement = true;
    }
    options.drainLimit = std::chrono::minutes(10);
    Result result;
    CSqlWorkerPool pool(options);
    pool.SetConnectionString(connection);
    std::string before = "0";
    pool.QueryValue("select count(*) from DeviceTimingData", before);
    pool.Start();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const std::string statement = TimedReading(i);
        const std::string station = std::to_string(100000000 + i % 1000);
        while (!pool.Enqueue(statement, station)) {
            ++result.refusedWhileFull;  // a burst beyond the queue: the writer waits and tries again
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    while (pool.Executed() + pool.Rejected() < static_cast<std::uint64_t>(count))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pool.Stop();
    result.executed = pool.Executed();
    result.rejected = pool.Rejected();
    std::string after = "0";
    pool.QueryValue("select count(*) from DeviceTimingData", after);
    result.rows = std::atoll(after.c_str()) - std::atoll(before.c_str());
    return result;
}

void Report(const char* backend, const char* mode, int count, const Result& r)
{
    std::printf("%-10s %-28s %7d statements %8.2f s %9.0f statements/s  rows %lld  lost %lld  rejected %llu  "
                "queue-full retries %llu\n",
                backend, mode, count, r.seconds, r.executed / r.seconds, r.rows,
                static_cast<long long>(count) - r.rows, static_cast<unsigned long long>(r.rejected),
                static_cast<unsigned long long>(r.refusedWhileFull));
    std::fflush(stdout);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logging;
    log4cplus::BasicConfigurator::doConfigure();
    log4cplus::Logger::getRoot().setLogLevel(log4cplus::ERROR_LOG_LEVEL);

    int count = 100000;
    int legacyCount = 400;
    std::string pg = std::getenv("RTU_TEST_PG_CONN") ? std::getenv("RTU_TEST_PG_CONN") : "";
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--count"))
            count = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--legacy-count"))
            legacyCount = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--pg"))
            pg = argv[i + 1];
        else if (!std::strcmp(argv[i], "--only"))
            only = argv[i + 1];
    }

    if (only.empty() || only == "sqlite") {
        const auto folder = std::filesystem::temp_directory_path() / ("db_bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        DbSettings settings;
        settings.driver = "SQLite3";
        settings.name = (folder / "bench.db").string();
        const std::string conn = BuildConnectionString(settings);
        Report("SQLite", "pool as built", count, Run(conn, count, false));
        Report("SQLite", "100 ms pause, new connection", legacyCount, Run(conn, legacyCount, true));
        std::filesystem::remove_all(folder);
    }

    if ((only.empty() || only == "postgresql") && !pg.empty()) {
        const std::string schema = "db_bench_" + std::to_string(getpid());
        CAdoDB admin;
        if (!admin.Open(pg) || !admin.Execute("CREATE SCHEMA " + schema)) {
            std::fprintf(stderr, "PostgreSQL: %s\n", admin.LastError().c_str());
            return 1;
        }
        const std::string conn = pg + ";ConnSettings=" + QuoteConnectionValue("SET search_path TO " + schema);
        CAdoDB db;
        if (!db.Open(conn)) {
            std::fprintf(stderr, "PostgreSQL: %s\n", db.LastError().c_str());
            return 1;
        }
        for (const auto& statement : SplitSqlScript(ReadFile(RTU_SOURCE_DIR "/config/sql/postgresql.sql")))
            if (!db.Execute(statement)) {
                std::fprintf(stderr, "postgresql.sql: %s\n", db.LastError().c_str());
                return 1;
            }
        db.Close();
        Report("PostgreSQL", "pool as built", count, Run(conn, count, false));
        Report("PostgreSQL", "100 ms pause, new connection", legacyCount, Run(conn, legacyCount, true));
        admin.Execute("DROP SCHEMA " + schema + " CASCADE");
    } else if (only.empty() || only == "postgresql") {
        std::printf("PostgreSQL: not measured (no --pg and no RTU_TEST_PG_CONN)\n");
    }
    return 0;
}
