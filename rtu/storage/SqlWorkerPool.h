// A pool of workers that execute queued statement texts on one database, and
// the synchronous queries for the few places that need an answer at once.
//
// Writers call Enqueue and go on; the workers take statements oldest first,
// each on a connection of its own. When the database cannot be reached a
// worker keeps its statement at the head of the queue and tries again with a
// growing pause, so an outage delays rows instead of losing them. A statement
// the server rejects (syntax, constraint) is logged with the server's message
// and dropped. Statements queued with the same order key (a station's storage
// number, say) run one at a time in the order they were queued; statements
// without a key, and statements of different keys, may run in any order.
//
// Threads: Start, Stop and the destructor belong to the owner's thread;
// Enqueue, QueryRows, QueryValue, TestConnection and the counters may be called
// from any thread. m_statementQueueLock is held only for one queue operation
// and never around database calls; m_queryConnectionLock is held around one
// query on the kept query connection. Lock order: rtu/runtime/Locks.h.
#pragma once

#include "rtu/storage/AdoDB.h"
#include "rtu/storage/ConnectionString.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace rtu::storage {

class CSqlWorkerPool {
public:
    struct Options {
        int workers = 4;
        std::size_t capacity = 65535;                      // statements the queue holds
        std::chrono::milliseconds retryFirst{250};         // first pause after a failed open
        std::chrono::milliseconds retryLongest{10000};     // pauses double up to this
        std::chrono::milliseconds drainLimit{10000};       // how long Stop and the destructor drain
        // For comparison runs only: pause this long before every statement and
        // use a new connection for each one (0 and false in the program).
        std::chrono::milliseconds pauseBeforeEach{0};
        bool connectionPerStatement = false;
    };

    CSqlWorkerPool();
    explicit CSqlWorkerPool(Options options);
    ~CSqlWorkerPool();
    CSqlWorkerPool(const CSqlWorkerPool&) = delete;
    CSqlWorkerPool& operator=(const CSqlWorkerPool&) = delete;

    // Builds the connection string from the four settings (SQL Server form).
    void SetConnection(const std::string& server, const std::string& database, const std::string& user,
                       const std::string& password);
    // Builds it from a whole settings section, the Driver key included.
    void SetConnection(const DbSettings& settings);
    // Uses a connection string as it is.
    void SetConnectionString(const std::string& connection);
    std::string ConnectionString() const;

    // Starts the workers. False (and nothing started) while workers of an
    // earlier Start still run. For an SQLite database the tables are created
    // in a new, empty file first.
    bool Start();

    // Stops the workers: they execute what is queued for up to the drain limit,
    // logging the progress, then end; Stop returns when all have ended. What is
    // left stays queued for the next Start.
    void Stop();
    void Stop(std::chrono::milliseconds drainLimit);

    // True when a connection can be opened now.
    bool TestConnection();

    // Appends a statement; false (and the statement dropped, with a log line
    // at most every few seconds) when the queue is full or the text is empty.
    bool Enqueue(const std::string& statement, const std::string& orderKey = std::string());

    // Like Enqueue, but while the queue is full the caller waits for room, up
    // to `limit`, so a writer is slowed down instead of losing the statement.
    // Once `overflow` is set (a stop is under way) the statement is queued
    // beyond the capacity rather than dropped. False only when the limit
    // passed with the queue still full (the statement is dropped and logged).
    bool EnqueueWaiting(const std::string& statement, const std::string& orderKey, std::chrono::milliseconds limit,
                        const std::atomic<bool>& overflow);

    // Waits until every statement queued with the key has been executed (or
    // dropped), so that a query sees them. Returns at once, false, while no
    // workers run or the database is unreachable, and false when the limit
    // passes first.
    bool WaitForKey(const std::string& orderKey,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

    // Synchronous queries on the caller's thread, one at a time, on a
    // connection kept open between them (closed by Stop); a kept connection
    // that fails is replaced and the query tried once more. False when the
    // database could not be reached or refused the query; the rows or the
    // value then stay as the caller left them (rows read before a failure on
    // a fresh connection are kept).
    bool QueryRows(const std::string& statement, Rows& rows, TextForm form = TextForm::Exact);
    bool QueryValue(const std::string& statement, std::string& value, TextForm form = TextForm::Exact);

    // Counters, for the log and for tests.
    std::size_t Queued() const;
    int LiveWorkers() const { return m_liveWorkers.load(); }
    std::uint64_t Executed() const { return m_executed.load(); }
    std::uint64_t Rejected() const { return m_rejected.load(); }
    std::uint64_t DroppedFull() const { return m_droppedFull.load(); }
    bool InOutage() const { return m_outage.load(); }

private:
    enum class Outcome { Done, Rejected, Unreachable };

    // One entry of the run order: a statement without a key, or the turn of
    // a key whose oldest statement is next.
    struct Turn {
        std::string statement;  // empty for a key's turn
        std::string key;
    };
    struct KeyQueue {
        std::deque<std::string> statements;
        bool busy = false;       // a worker runs one of its statements
        bool scheduled = false;  // its turn is in m_order
    };

    // A statement taken from the queue with the key it was queued under.
    struct Taken {
        std::string statement;
        std::string key;
    };
    void WorkerLoop();
    void Push(const std::string& statement, const std::string& orderKey);
    // Takes up to `most` statements (at most one of each key, so a key's
    // order holds); empty with true when closeWhenIdle is set and nothing came
    // for a while (the caller then gives its connection back).
    bool TakeBatch(std::vector<Taken>& batch, std::size_t most, bool closeWhenIdle);
    // Runs a batch in one transaction; false when any statement failed (the
    // transaction is then rolled back and nothing of it is written).
    bool RunBatch(CAdoDB& db, bool& connected, const std::vector<Taken>& batch);
    void Settle(CAdoDB& db, bool& connected, Taken& taken, std::string& error);
    void Finish(const std::string& key);
    void PutBack(std::string statement, const std::string& key);
    Outcome Run(CAdoDB& db, bool& connected, const std::string& statement, std::string& error);
    bool OpenConnection(CAdoDB& db);
    void CloseQueryConnection();
    void EnsureSchema(CAdoDB& db);
    void NoteOutage(const std::string& error);
    void NoteRecovery();
    void StopLocked(std::chrono::milliseconds drainLimit);

    const Options m_options;

    std::atomic<bool> m_running{false};
    std::atomic<int> m_liveWorkers{0};
    std::atomic<bool> m_draining{false};

    mutable std::mutex m_connectionStringLock;  // guards m_connection
    std::string m_connection;

    // m_statementQueueLock guards the queue and the fields below it.
    mutable std::mutex m_statementQueueLock;
    std::condition_variable m_wake;   // statements queued, stop, retry time
    std::condition_variable m_ended;  // a worker has ended
    std::condition_variable m_keyDone;  // a key's last statement has run, or an outage began
    std::condition_variable m_room;     // a statement left the queue
    std::deque<Turn> m_order;
    std::unordered_map<std::string, KeyQueue> m_keys;
    std::size_t m_count = 0;  // statements queued, not counting those being run
    std::chrono::steady_clock::time_point m_drainUntil{};
    std::chrono::steady_clock::time_point m_retryAt{};  // no statement before this (outage)
    std::chrono::milliseconds m_backoff{0};
    std::chrono::steady_clock::time_point m_lastFullLog{};
    std::uint64_t m_fullSinceLog = 0;

    std::mutex m_lifecycleLock;  // serialises Start, Stop and the destructor
    std::vector<std::thread> m_workers;

    // The connection of the synchronous queries and the string it was opened with.
    std::mutex m_queryConnectionLock;
    CAdoDB m_queryDb;
    std::string m_queryConnection;

    std::mutex m_schemaLock;
    bool m_schemaChecked = false;  // guarded by m_schemaLock

    std::atomic<bool> m_outage{false};
    std::atomic<std::uint64_t> m_executed{0};
    std::atomic<std::uint64_t> m_rejected{0};
    std::atomic<std::uint64_t> m_droppedFull{0};
    std::atomic<std::int64_t> m_lastQueryFailureLog{0};
};

}  // namespace rtu::storage
