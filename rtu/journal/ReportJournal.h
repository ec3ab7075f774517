// The report journal: a local SQLite file that holds every acknowledged
// report until each database in use has written its rows.
//
// The parse threads Submit reports; one committer thread writes them in
// groups, one transaction for all that arrived while the previous group was
// being written, and only then runs each report's acknowledgement. A report
// is acknowledged only once it is in the file: a crash of the process (or, with
// syncEachCommit, of the machine) cannot lose it. Reports get increasing
// sequence numbers that are never used twice in one file (AUTOINCREMENT).
//
// The writers of the databases (JournalApplier, one per database) read the
// reports back in sequence order through a Reader of their own, record in the
// database, in the same transaction as the rows, the last sequence number they
// wrote (table JournalApplied, keyed by the journal's identity), and tell the
// journal how far they are. The committer deletes what every writer has
// written. Statements a database refused for their content go to the table
// Rejected of the same file, with the server's message, for the operator.
//
// When the file holds more than maxBytes of reports, Submit refuses: stations
// are not acknowledged (they keep their data and send again) until the
// writers have made room.
//
// Threads: Open, Close and the destructor belong to the owner. Submit may be
// called from any thread; the acknowledgements run on the committer thread.
// Locks: pendingLock_ guards the pending reports and the state below it; it is
// held only for queue operations, never around file access or
// acknowledgements (order: rtu/runtime/Locks.h).
// Each Reader is one thread's own.
#pragma once

#include "rtu/uplink/ReportStatements.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace rtu::journal {

// A report read back from the journal.
struct JournalEntry {
    std::int64_t seq = 0;
    StoredReport report;
};

// A statement a database refused, as the Rejected table holds it.
struct RejectedStatement {
    std::int64_t id = 0;        // row of the table (0 for a new one)
    std::int64_t seq = 0;       // the report it belongs to
    int part = 0;               // its place among the report's statements
    std::string database;       // "main" or "secondary"
    int kind = 0;               // the StatementKind
    std::string statement;      // the fixed text, '?' for each value
    std::vector<storage::Param> params;
    std::string error;          // the server's message
    std::string rejectedAt;     // local time
    int tries = 1;
};

std::string EncodeParams(const std::vector<storage::Param>& params);
bool DecodeParams(std::string_view bytes, std::vector<storage::Param>& params);

class ReportJournal {
public:
    struct Options {
        std::string path = "rtu-journal.db";
        std::uint64_t maxBytes = 2048ull * 1024 * 1024;
        bool syncEachCommit = false;  // a sync per group: survives a power cut too
        // The database writers that will take reports from it. Their places
        // exist from the start, so nothing is deleted before the last of
        // them has started and written it.
        int writers = 1;
    };

    enum class Submitted { Accepted, Full, Closed };

    ReportJournal();
    ~ReportJournal();
    ReportJournal(const ReportJournal&) = delete;
    ReportJournal& operator=(const ReportJournal&) = delete;

    // Opens (creating) the file and starts the committer. False with the
    // reason when the file cannot be opened or written.
    bool Open(const Options& options, std::string& error);
    // Writes what was submitted, acknowledges it, and ends the committer.
    void Close();
    bool IsOpen() const { return open_.load(); }

    // The file's identity: made when the file is created, kept with it.
    const std::string& Id() const { return id_; }
    const std::string& Path() const { return options_.path; }

    // Queues a report; `onKept` runs on the committer thread once the report
    // is in the file. Full: the journal holds its limit; Closed: not open.
    Submitted Submit(StoredReport report, std::function<void()> onKept);

    // The highest sequence number in the file (0 when none was ever written).
    std::int64_t LastSeq() const { return lastSeq_.load(); }
    // Waits until a report after `seq` is in the file, the limit passes, or
    // Interrupt is called; true when there is one.
    bool WaitBeyond(std::int64_t seq, std::chrono::milliseconds limit);
    void Interrupt();

    // The database writers: each takes a slot (the ones of Options::writers
    // first) and says how far it has come. Reports are deleted once every
    // slot has passed them.
    int AddWriter();
    void SetWritten(int slot, std::int64_t seq);

    // Reports waiting in the file and the bytes the file uses for them.
    std::uint64_t UsedBytes() const { return usedBytes_.load(); }
    bool Full() const { return full_.load(); }

    // A connection of its own to read the reports (one per thread).
    class Reader {
    public:
        explicit Reader(const std::string& path);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        bool Ok() const { return db_ != nullptr; }
        const std::string& Error() const { return error_; }
        // Up to `most` reports after `seq`, oldest first; false on a read error.
        bool ReadAfter(std::int64_t seq, std::size_t most, std::vector<JournalEntry>& out);
        // The number just before the file's first report; when the file holds
        // none, the last number ever given. Read in one statement, so a report
        // committed meanwhile is not skipped.
        std::int64_t SeqBeforeFirst();
        // Adds refused statements (a repeat of the same report part replaces it).
        bool AddRejected(const std::vector<RejectedStatement>& rejected);
        bool ListRejected(std::vector<RejectedStatement>& out);
        bool RemoveRejected(std::int64_t id);
        bool UpdateRejected(const RejectedStatement& rejected);

    private:
        sqlite3* db_ = nullptr;
        sqlite3_stmt* read_ = nullptr;
        std::string error_;
    };

private:
    struct Pending {
        StoredReport report;
        std::function<void()> onKept;
    };

    void CommitterLoop();
    bool WriteGroup(std::vector<Pending>& group);
    void DeleteWritten();
    void MeasureSize();

    Options options_;
    std::string id_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    std::atomic<bool> open_{false};

    std::mutex pendingLock_;
    std::condition_variable wake_;     // reports submitted, or closing
    std::condition_variable written_;  // a group is in the file, or interrupted
    std::vector<Pending> pending_;
    bool closing_ = false;
    bool interrupted_ = false;
    std::vector<std::int64_t> writers_;  // how far each database writer has come
    std::size_t writersTaken_ = 0;
    std::int64_t deletedUpTo_ = 0;       // what the file no longer holds (written by the committer)

    std::atomic<std::int64_t> lastSeq_{0};
    std::atomic<std::uint64_t> usedBytes_{0};
    std::atomic<bool> full_{false};
    bool failing_ = false;  // committer thread only: the last group could not be written
    std::thread committer_;
};

}  // namespace rtu::journal
