// The writer of one database: reads the journal's reports in sequence order
// and writes their rows, many reports per transaction, on a thread and a
// connection of its own (OpenWriterConnection). Every statement is prepared
// once per connection and run with bound values.
//
// Each transaction also records the last sequence number it wrote in the
// database's table JournalApplied (one row per journal and writer: the main
// and the secondary database may be one database), so that after a
// crash at any moment the reports already written are skipped and none is
// written twice. The look-ups that rows need (the last river level, whether
// an hourly slot row exists) run here, in order with the rows.
//
// When the database cannot be reached, or refuses every write (read-only,
// locked, the bookkeeping row refused), the writer keeps its place and tries
// again with a growing pause: the reports wait in the journal. A statement
// refused for its own content (a value too long, a broken key) is set aside
// with the server's message in the journal's table Rejected, and the rest of
// its report is written.
//
// Threads: Start, Stop and the destructor belong to the owner; the counters
// may be read from any thread. Everything the writer's thread uses lives in a
// session object that the thread shares, so that a stop can give up a thread
// stuck in a database call that never returns (a server that stopped
// answering in the middle of a statement: no time limit of the drivers
// covers it). The session's journal lock is held around every use of the
// journal by that thread; a stop that gives the thread up clears the
// session's journal under it, so the thread never touches the journal again.
#pragma once

#include "rtu/journal/ReportJournal.h"
#include "rtu/storage/BoundConnection.h"
#include "rtu/uplink/StatementTarget.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rtu::journal {

// "main" or "secondary", as log lines and the Rejected table name them.
const char* DatabaseName(Database db);

// The bookkeeping table, created when a database does not have it yet, and
// its row of one journal.
bool EnsureJournalTable(storage::BoundConnection& db);
bool ReadWrittenMark(storage::BoundConnection& db, const std::string& journalId, std::int64_t& seq);
bool WriteWrittenMark(storage::BoundConnection& db, const std::string& journalId, std::int64_t seq);

// Runs one statement of a report on `db`, in the form its kind needs (the
// river level with its trend from the table, the hourly slot row updated or
// inserted).
bool RunReportStatement(storage::BoundConnection& db, const ReportStatement& statement);

// True when an error says the database refuses writes as a whole (read-only,
// locked), not this statement.
bool RefusesEveryWrite(const std::string& error);

class JournalApplier {
public:
    struct Options {
        std::chrono::milliseconds retryFirst{250};
        std::chrono::milliseconds retryLongest{10000};
        std::size_t reportsPerTransaction = 512;
    };

    JournalApplier(ReportJournal& journal, Database db);
    JournalApplier(ReportJournal& journal, Database db, Options options);
    ~JournalApplier();
    JournalApplier(const JournalApplier&) = delete;
    JournalApplier& operator=(const JournalApplier&) = delete;

    void SetConnectionString(const std::string& connection);

    // Opens a connection and writes this journal's row of JournalApplied:
    // true only when a write works. The reason otherwise.
    bool TestWrite(std::string& error);

    // Starts the thread (the journal must be open).
    void Start();
    // Asks the thread to write what the journal holds for up to
    // `drainLimit`, then end; returns at once (several writers drain at once).
    void RequestStop(std::chrono::milliseconds drainLimit);
    // RequestStop (unless asked already) and waits for the end. A thread
    // still in a database call 5 s after the drain limit is given up and
    // left to end by itself. The reports left for this database (they stay
    // in the journal).
    std::int64_t Stop(std::chrono::milliseconds drainLimit);

    std::int64_t WrittenUpTo() const;
    std::uint64_t Statements() const;
    std::uint64_t Reports() const;
    std::uint64_t RejectedCount() const;
    bool InOutage() const;

    class Session;  // the thread's state, in the .cpp

private:
    ReportJournal& journal_;
    const Database db_;
    const Options options_;
    std::shared_ptr<std::pair<std::mutex, std::string>> connection_;
    std::shared_ptr<Session> session_;
    std::thread thread_;
};

}  // namespace rtu::journal
