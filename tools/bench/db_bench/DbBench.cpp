// Statements per second into the database: the statements of timed reports
// from 1,000 stations, as the program writes them for each report (the frame
// into ReceiveData, one DeviceTimingData row per reading, the period rainfall
// of DeviceInfo), queued with the station as order key and timed until the
// last one is in the database.
//
// On a new SQLite file each:
//   - the statement pool as built;
//   - the reference: the same rows through SQLite's own C interface, three
//     prepared statements bound and stepped on one connection, 64 statements
//     per transaction, WAL journal and synchronous=NORMAL as the program's
//     connection sets them. It is what SQLite can take of this workload on the
//     machine; the pool's ratio to it tells how much of that the pool gets;
//   - the report writer: the reports kept in a report journal, then written by
//     the database writer of the program (JournalApplier) from there, as the
//     data centre stores every acknowledged report;
//   - the pool with a 100 ms pause and a new connection before every statement.
// Then the pool, the writer and the paused pool on a PostgreSQL server, when
// one is named.
//
//   db_bench [--count N] [--legacy-count N] [--runs R] [--pg CONNECTION] [--only sqlite|postgresql]
//            [--skip-pool 1]
//
// N counts statements and is rounded up to whole reports. The pool and the
// reference on SQLite are run R times (3), each on a new file, and the best
// rate of each is printed. --skip-pool 1 leaves out both pool measurements
// (as built and with the pause), which take long at large counts: with it a
// run measures the reference and the writer only, as scripts/bench does at the
// scale of its end-to-end run. PostgreSQL is measured when --pg or
// RTU_TEST_PG_CONN names a server; the tables go into a schema of their own,
// removed at the end.
//
// Another way of writing the same reports is measured by a function like
// MeasureReference: it takes a new file and the reports of MakeTimedReports,
// writes them and returns the statements per second; BestOf runs it.
#include "rtu/journal/JournalApplier.h"
#include "rtu/journal/ReportJournal.h"
#include "rtu/protocol/Elements.h"
#include "rtu/protocol/HexText.h"
#include "rtu/protocol/TimeText.h"
#include "rtu/storage/AdoDB.h"
#include "rtu/storage/ConnectionString.h"
#include "rtu/storage/SqlDialect.h"
#include "rtu/storage/SqlWorkerPool.h"
#include "rtu/storage/SqliteSchema.h"
#include "tools/stationsim/StationFrames.h"

#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace rtu::storage;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kStations = 1000;
// Statements the reference writes in one transaction, as a pool worker does.
constexpr int kStatementsPerTransaction = 64;

// ---------------------------------------------------------------------------
// The rows: what the program stores for each timed report. Every measurement
// writes the same reports, so their figures compare.

struct TimedValue {
    std::string channel;  // ADC1, ADC11 ...
    std::string element;  // Z, PJ ...
    std::string value;
    std::string unit;
};

struct TimedReport {
    std::string storageNumber;  // the station's address (no [Conversion ID] entry)
    std::string functionCode;   // "32"
    std::string frame;          // the frame as the station sent it, check code included
    std::string frameHex;       // the frame as proc_InsertReceive stores it
    std::string observed;       // "yyyy-mm-dd hh:mm:00"
    std::string periodRainfall;  // "3.0mm/05min"; empty when the report has no PN element
    std::vector<TimedValue> values;  // in the order the program writes them
};

// Statements one report makes: proc_InsertReceive, the period rainfall and
// one reading each.
std::size_t StatementsOf(const TimedReport& r) { return 2 + r.values.size() - (r.periodRainfall.empty() ? 1 : 0); }
// Rows one report adds (DeviceInfo is left empty, as in a new database, so
// the period rainfall update changes no row).
std::size_t RowsOf(const TimedReport& r) { return 1 + r.values.size(); }

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// The readings of a timed report frame, taken apart the way the program does.
void ReadElements(TimedReport& r)
{
    using namespace rtu;
    const std::string_view body = BodyText(r.frame);
    const std::vector<std::string_view> tokens = SplitText(r.frame, ' ');
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        const std::string_view token = tokens[i];
        const std::string_view value = tokens[i + 1];
        if (Contains(token, "ADC")) {
            const std::vector<std::string_view> parts = SplitText(value, ',');
            if (parts.size() != 3) continue;
            r.values.push_back({std::string(token), std::string(parts[0]),
                                parts[1] == "M" ? std::string("0") : std::string(parts[1]), std::string(parts[2])});
        } else if (Contains(token, "PN") && !value.empty()) {
            const std::string_view minutes = token.size() > 2 ? token.substr(2) : std::string_view();
            r.periodRainfall = std::string(value) + "mm/" + std::string(minutes) + "min";
        }
    }
    const struct {
        const char* channel;
        const char* element;
        const char* unit;
    } named[] = {{"ADC11", "PJ", "mm"}, {"ADC8", "PT", "mm"}, {"ADC9", "Z", "m"}, {"ADC10", "Q", "m^3/s"}};
    for (const auto& n : named) {
        const std::string_view value = FieldValue(body, n.element);
        if (!value.empty()) r.values.push_back({n.channel, n.element, std::string(value), n.unit});
    }
}

// Timed reports of 1,000 stations sending in turn, as stationsim's stations
// send them: each station's readings drift from report to report and its
// observation time walks on five minutes at a time. As many reports as make
// `statements` statements, rounded up to a whole report; a smaller count gives
// the first reports of a larger one.
std::vector<TimedReport> MakeTimedReports(std::size_t statements)
{
    std::vector<rtu::sim::StationReadings> readings;
    readings.reserve(kStations);
    for (int s = 0; s < kStations; ++s) readings.emplace_back(7919u + static_cast<std::uint32_t>(s));
    std::vector<TimedReport> reports;
    // A timed report makes eight statements (seven without its period rainfall).
    reports.reserve(statements / 7 + 1);
    rtu::CalendarTime observed{2014, 5, 6, 7, 0, 0};
    std::size_t made = 0;
    for (int n = 0; made < statements; ++n) {
        const int s = n % kStations;
        if (n > 0 && s == 0) {
            for (auto& r : readings) r.Step();
            observed.minute += 5;
            if (observed.minute >= 60) {
                observed.minute -= 60;
                observed = rtu::NextHour(observed);
            }
        }
        rtu::sim::StationIdentity id;
        id.station = rtu::sim::StationAddress(101 + static_cast<std::uint64_t>(s));
        TimedReport r;
        r.storageNumber = id.station;
        r.functionCode = "32";
        r.frame = rtu::sim::EncodeUplinkFrame(
            id, r.functionCode,
            rtu::sim::ReportBody(rtu::sim::ReportKind::kTimed, id, static_cast<std::uint16_t>(n / kStations + 1),
                                 observed, observed, readings[static_cast<std::size_t>(s)]));
        r.frameHex = rtu::BytesToHexText(r.frame);
        r.observed = rtu::MinuteText(observed);
        ReadElements(r);
        made += StatementsOf(r);
        reports.push_back(std::move(r));
    }
    return reports;
}

// A report's statements as the program queues them, in its order.
std::vector<std::string> PoolStatements(const TimedReport& r)
{
    std::vector<std::string> out;
    const std::string sn = SqlEscape(r.storageNumber);
    out.push_back("exec proc_InsertReceive '" + sn + "','" + SqlEscape(r.functionCode) + "','" + r.frameHex + "'");
    if (!r.periodRainfall.empty())
        out.push_back("update DeviceInfo set PeriodRainfall='" + SqlEscape(r.periodRainfall) + "' where YCZNo='" + sn +
                      "'");
    const std::string frame = SqlEscape(r.frame);
    for (const TimedValue& v : r.values)
        out.push_back("exec proc_insertDeviceTimingData '','" + sn + "','" + SqlEscape(r.functionCode) + "','" + frame +
                      "',0,'" + SqlEscape(v.channel) + "','" + SqlEscape(v.element) + "','" + SqlEscape(v.value) +
                      "','" + SqlEscape(v.unit) + "','','" + r.observed + "'");
    return out;
}

std::size_t CountStatements(const std::vector<TimedReport>& reports)
{
    std::size_t n = 0;
    for (const TimedReport& r : reports) n += StatementsOf(r);
    return n;
}

std::size_t CountRowsOf(const std::vector<TimedReport>& reports)
{
    std::size_t n = 0;
    for (const TimedReport& r : reports) n += RowsOf(r);
    return n;
}

// The program's connection string for an SQLite file.
std::string SqliteConnection(const std::string& file)
{
    DbSettings settings;
    settings.driver = "SQLite3";
    settings.name = file;
    return BuildConnectionString(settings);
}

// Rows of ReceiveData and DeviceTimingData; -1 when they could not be counted.
long long StoredRows(const std::string& connection)
{
    CAdoDB db;
    std::string value;
    if (!db.Open(connection) ||
        !db.QueryValue("select (select count(*) from ReceiveData) + (select count(*) from DeviceTimingData)", value)) {
        std::fprintf(stderr, "rows could not be counted: %s\n", db.LastError().c_str());
        return -1;
    }
    return std::atoll(value.c_str());
}

// ---------------------------------------------------------------------------
// The measurements. Each returns statements per second (0 when it could not
// run) on a database that holds the schema and none of the reports' rows.

struct PoolCounters {
    std::uint64_t rejected = 0;
    std::uint64_t dropped = 0;  // the queue stayed full for minutes
};

double MeasurePool(const std::string& connection, const std::vector<TimedReport>& reports, bool legacy,
                   PoolCounters& counters)
{
    CSqlWorkerPool::Options options;
    if (legacy) {
        options.pauseBeforeEach = std::chrono::milliseconds(100);
        options.connectionPerStatement = true;
    }
    options.drainLimit = std::chrono::minutes(10);
    std::vector<std::vector<std::string>> statements;
    statements.reserve(reports.size());
    for (const TimedReport& r : reports) statements.push_back(PoolStatements(r));
    const std::uint64_t count = CountStatements(reports);

    CSqlWorkerPool pool(options);
    pool.SetConnectionString(connection);
    if (!pool.Start()) return 0;
    const std::atomic<bool> stopping{false};
    const auto start = Clock::now();
    for (std::size_t i = 0; i < reports.size(); ++i) {
        for (const std::string& statement : statements[i]) {
            // As the program queues: while the queue is full the writer waits for room.
            if (!pool.EnqueueWaiting(statement, reports[i].storageNumber, std::chrono::minutes(5), stopping))
                ++counters.dropped;
        }
    }
    while (pool.Executed() + pool.Rejected() + counters.dropped < count)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pool.Stop();
    counters.rejected += pool.Rejected();
    return static_cast<double>(pool.Executed()) / seconds;
}

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// The reference: the reports' rows through SQLite's C interface into the
// SQLite file at `path` (the schema is created first when the file is new).
double MeasureReference(const std::string& path, const std::vector<TimedReport>& reports)
{
    {
        CAdoDB schema;
        if (!schema.Open(SqliteConnection(path)) || !InstallSqliteSchemaIfEmpty(schema)) {
            std::fprintf(stderr, "reference: the schema could not be created in %s: %s\n", path.c_str(),
                         schema.LastError().c_str());
            return 0;
        }
    }
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, SqliteCloser> db(raw);
    auto fail = [&](const char* what) {
        std::fprintf(stderr, "reference: %s: %s\n", what, db ? sqlite3_errmsg(db.get()) : "out of memory");
        return 0.0;
    };
    if (opened != SQLITE_OK) return fail("open");
    // What the program's connection string asks of the driver: a 30 s busy
    // wait, the WAL journal and synchronous=NORMAL.
    sqlite3_busy_timeout(db.get(), 30000);
    if (sqlite3_exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) !=
        SQLITE_OK)
        return fail("pragmas");

    auto prepare = [&](const char* text) {
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db.get(), text, -1, &s, nullptr);
        return SqliteStatement(s);
    };
    const SqliteStatement receive = prepare("insert into proc_InsertReceive values(?,?,?)");
    const SqliteStatement timing = prepare("insert into proc_insertDeviceTimingData values('',?,?,?,0,?,?,?,?,'',?)");
    const SqliteStatement rainfall = prepare("update DeviceInfo set PeriodRainfall=? where YCZNo=?");
    const SqliteStatement begin = prepare("BEGIN");
    const SqliteStatement commit = prepare("COMMIT");
    if (!receive || !timing || !rainfall || !begin || !commit) return fail("prepare");

    auto text = [](sqlite3_stmt* s, int i, const std::string& value) {
        sqlite3_bind_text(s, i, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    };
    auto run = [&](sqlite3_stmt* s) {
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        return rc == SQLITE_DONE;
    };
    std::uint64_t executed = 0;
    int inTransaction = 0;
    // One statement of the transaction, a new transaction first when none is open.
    auto step = [&](sqlite3_stmt* s) {
        if (inTransaction == 0 && !run(begin.get())) return false;
        if (!run(s)) return false;
        ++executed;
        if (++inTransaction == kStatementsPerTransaction) {
            inTransaction = 0;
            return run(commit.get());
        }
        return true;
    };

    const auto start = Clock::now();
    for (const TimedReport& r : reports) {
        text(receive.get(), 1, r.storageNumber);
        text(receive.get(), 2, r.functionCode);
        text(receive.get(), 3, r.frameHex);
        if (!step(receive.get())) return fail("proc_InsertReceive");
        if (!r.periodRainfall.empty()) {
            text(rainfall.get(), 1, r.periodRainfall);
            text(rainfall.get(), 2, r.storageNumber);
            if (!step(rainfall.get())) return fail("update DeviceInfo");
        }
        text(timing.get(), 1, r.storageNumber);
        text(timing.get(), 2, r.functionCode);
        text(timing.get(), 3, r.frame);
        text(timing.get(), 8, r.observed);
        for (const TimedValue& v : r.values) {
            text(timing.get(), 4, v.channel);
            text(timing.get(), 5, v.element);
            text(timing.get(), 6, v.value);
            text(timing.get(), 7, v.unit);
            if (!step(timing.get())) return fail("proc_insertDeviceTimingData");
        }
    }
    if (inTransaction > 0 && !run(commit.get())) return fail("COMMIT");
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(executed) / seconds;
}

// ---------------------------------------------------------------------------

// The report writer: the reports go into a new journal first (not timed),
// then the writer of the database takes them from there into the rows; timed
// from its start until the last report is written.
double MeasureWriter(const std::string& connection, const std::string& journalPath,
                     const std::vector<TimedReport>& reports)
{
    using namespace rtu;
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(journalPath + suffix);
    journal::ReportJournal journal;
    journal::ReportJournal::Options options;
    options.path = journalPath;
    std::string error;
    if (!journal.Open(options, error)) {
        std::fprintf(stderr, "journal: %s\n", error.c_str());
        return 0;
    }
    std::atomic<std::size_t> kept{0};
    for (const TimedReport& r : reports) {
        StoredReport stored;
        stored.receivedAt = "2026-12-10 12:00:00";
        stored.storageNumber = r.storageNumber;
        stored.station = r.storageNumber;
        stored.centre = "01";
        stored.functionCode = r.functionCode;
        stored.frame = r.frame;
        while (journal.Submit(stored, [&kept] { ++kept; }) != journal::ReportJournal::Submitted::Accepted)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (kept.load() < reports.size()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::int64_t last = journal.LastSeq();
    journal::JournalApplier writer(journal, Database::Main);
    writer.SetConnectionString(connection);
    if (!writer.TestWrite(error)) {
        std::fprintf(stderr, "writer: %s\n", error.c_str());
        return 0;
    }
    const auto start = Clock::now();
    writer.Start();
    while (writer.WrittenUpTo() < last) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.Stop(std::chrono::milliseconds(0));
    journal.Close();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(journalPath + suffix);
    return static_cast<double>(CountStatements(reports)) / seconds;
}

// One figure line; scripts/bench reads them.
void Report(const char* backend, const char* mode, const std::vector<TimedReport>& reports, double perSecond,
            long long rows, const PoolCounters* counters = nullptr)
{
    const std::size_t statements = CountStatements(reports);
    const double seconds = perSecond > 0 ? static_cast<double>(statements) / perSecond : 0;
    const double reportsPerSecond = seconds > 0 ? static_cast<double>(reports.size()) / seconds : 0;
    std::printf("%-10s %-28s %7zu statements %8.2f s %9.0f statements/s (%.0f reports/s)  rows %lld  lost %lld",
                backend, mode, statements, seconds, perSecond, reportsPerSecond, rows,
                static_cast<long long>(CountRowsOf(reports)) - rows);
    if (counters)
        std::printf("  rejected %llu  dropped %llu", static_cast<unsigned long long>(counters->rejected),
                    static_cast<unsigned long long>(counters->dropped));
    std::printf("\n");
    std::fflush(stdout);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A measurement run `runs` times, each on a new SQLite file: the highest rate
// (other load on the machine only ever slows a run down) and the fewest rows
// any run stored (so that a loss in any run shows).
struct Best {
    double perSecond = 0;
    long long rows = -1;
};

template <typename Measure>
Best BestOf(int runs, const std::filesystem::path& folder, const std::string& name, Measure measure)
{
    Best best;
    for (int i = 0; i < runs; ++i) {
        const std::string file = (folder / (name + "-" + std::to_string(i + 1) + ".db")).string();
        best.perSecond = std::max(best.perSecond, measure(file));
        const long long rows = StoredRows(SqliteConnection(file));
        best.rows = i == 0 ? rows : std::min(best.rows, rows);
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file + suffix);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logging;
    log4cplus::BasicConfigurator::doConfigure();
    log4cplus::Logger::getRoot().setLogLevel(log4cplus::ERROR_LOG_LEVEL);

    int count = 100000;
    int legacyCount = 400;
    int runs = 3;
    std::string pg = std::getenv("RTU_TEST_PG_CONN") ? std::getenv("RTU_TEST_PG_CONN") : "";
    std::string only;
    bool skipPool = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--count"))
            count = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--legacy-count"))
            legacyCount = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--pg"))
            pg = argv[i + 1];
        else if (!std::strcmp(argv[i], "--only"))
            only = argv[i + 1];
        else if (!std::strcmp(argv[i], "--skip-pool"))
            skipPool = std::atoi(argv[i + 1]) != 0;
    }

    const std::vector<TimedReport> reports = MakeTimedReports(static_cast<std::size_t>(std::max(1, count)));
    const std::vector<TimedReport> legacyReports =
        MakeTimedReports(static_cast<std::size_t>(std::max(1, legacyCount)));
    std::printf("workload: %zu timed reports of %d stations, %.2f statements and %.2f rows per report; "
                "SQLite: best of %d runs, each on a new file\n",
                reports.size(), kStations,
                static_cast<double>(CountStatements(reports)) / static_cast<double>(reports.size()),
                static_cast<double>(CountRowsOf(reports)) / static_cast<double>(reports.size()), runs);

    if (only.empty() || only == "sqlite") {
        const auto folder = std::filesystem::temp_directory_path() / ("db_bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder);
        PoolCounters counters;
        Best pool;
        if (!skipPool) {
            pool = BestOf(runs, folder, "pool", [&](const std::string& file) {
                return MeasurePool(SqliteConnection(file), reports, false, counters);
            });
            Report("SQLite", "pool as built", reports, pool.perSecond, pool.rows, &counters);
        }
        const Best reference = BestOf(runs, folder, "reference", [&](const std::string& file) {
            return MeasureReference(file, reports);
        });
        Report("SQLite", "C API reference", reports, reference.perSecond, reference.rows);
        if (reference.perSecond > 0 && !skipPool)
            std::printf("SQLite     pool/reference: %.3f\n", pool.perSecond / reference.perSecond);
        const Best writer = BestOf(runs, folder, "writer", [&](const std::string& file) {
            return MeasureWriter(SqliteConnection(file), file + ".journal", reports);
        });
        Report("SQLite", "report writer", reports, writer.perSecond, writer.rows);
        if (reference.perSecond > 0)
            std::printf("SQLite     writer/reference: %.3f\n", writer.perSecond / reference.perSecond);
        if (!skipPool) {
            PoolCounters legacyCounters;
            const Best legacy = BestOf(1, folder, "legacy", [&](const std::string& file) {
                return MeasurePool(SqliteConnection(file), legacyReports, true, legacyCounters);
            });
            Report("SQLite", "100 ms pause, new connection", legacyReports, legacy.perSecond, legacy.rows,
                   &legacyCounters);
        }
        std::filesystem::remove_all(folder);
    }

    if ((only.empty() || only == "postgresql") && !pg.empty()) {
        auto measure = [&](const char* mode, const std::vector<TimedReport>& work, bool legacy) {
            const std::string schema = "db_bench_" + std::to_string(getpid());
            CAdoDB admin;
            if (!admin.Open(pg) || !admin.Execute("CREATE SCHEMA " + schema)) {
                std::fprintf(stderr, "PostgreSQL: %s\n", admin.LastError().c_str());
                return false;
            }
            const std::string conn = pg + ";ConnSettings=" + QuoteConnectionValue("SET search_path TO " + schema);
            bool ok = true;
            {
                CAdoDB db;
                ok = db.Open(conn);
                for (const auto& statement : SplitSqlScript(ReadFile(RTU_SOURCE_DIR "/config/sql/postgresql.sql")))
                    if (ok && !db.Execute(statement)) ok = false;
                if (!ok) std::fprintf(stderr, "PostgreSQL schema: %s\n", db.LastError().c_str());
            }
            if (ok && std::string(mode) == "report writer") {
                const std::string journalPath =
                    (std::filesystem::temp_directory_path() / (schema + ".journal")).string();
                const double perSecond = MeasureWriter(conn, journalPath, work);
                Report("PostgreSQL", mode, work, perSecond, StoredRows(conn));
            } else if (ok) {
                PoolCounters counters;
                const double perSecond = MeasurePool(conn, work, legacy, counters);
                Report("PostgreSQL", mode, work, perSecond, StoredRows(conn), &counters);
            }
            admin.Execute("DROP SCHEMA " + schema + " CASCADE");
            return ok;
        };
        if ((!skipPool && !measure("pool as built", reports, false)) || !measure("report writer", reports, false) ||
            (!skipPool && !measure("100 ms pause, new connection", legacyReports, true)))
            return 1;
    } else if (only.empty() || only == "postgresql") {
        std::printf("PostgreSQL: not measured (no --pg and no RTU_TEST_PG_CONN)\n");
    }
    return 0;
}
