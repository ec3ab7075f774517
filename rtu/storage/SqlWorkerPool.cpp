#include "rtu/storage/SqlWorkerPool.h"

#include "rtu/common/Log.h"
#include "rtu/storage/SqliteSchema.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <memory>

namespace rtu::storage {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFullLogInterval = std::chrono::seconds(10);
// Statements a worker writes in one transaction.
constexpr std::size_t kBatchStatements = 64;
// An idle worker keeps its connection this long before giving it back: under
// a steady trickle of reports the queue is empty between most of them, and a
// new connection to a database server costs far more than the statements.
constexpr auto kIdleConnection = std::chrono::seconds(30);
constexpr auto kQueryLogInterval = std::chrono::seconds(60);
constexpr auto kDrainProgressInterval = std::chrono::seconds(1);

std::int64_t NowTicks()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// A statement in a log line: long frame texts shortened.
std::string Shown(const std::string& statement)
{
    constexpr std::size_t kMax = 400;
    if (statement.size() <= kMax)
        return statement;
    return statement.substr(0, kMax) + "...";
}

}  // namespace

CSqlWorkerPool::CSqlWorkerPool() : CSqlWorkerPool(Options{}) {}

CSqlWorkerPool::CSqlWorkerPool(Options options) : m_options(options) {}

CSqlWorkerPool::~CSqlWorkerPool()
{
    std::lock_guard<std::mutex> life(m_lifecycleLock);
    StopLocked(m_options.drainLimit);
    CloseQueryConnection();
    const std::size_t left = Queued();
    if (left > 0)
        RTU_LOG_ERROR("database pool ends with " << left << " statements not written");
}

void CSqlWorkerPool::SetConnection(const std::string& server, const std::string& database, const std::string& user,
                                   const std::string& password)
{
    DbSettings settings;
    settings.source = server;
    settings.name = database;
    settings.user = user;
    settings.pwd = password;
    SetConnection(settings);
}

void CSqlWorkerPool::SetConnection(const DbSettings& settings)
{
    SetConnectionString(BuildConnectionString(settings));
}

void CSqlWorkerPool::SetConnectionString(const std::string& connection)
{
    {
        std::lock_guard<std::mutex> lock(m_connectionStringLock);
        m_connection = connection;
    }
    std::lock_guard<std::mutex> schema(m_schemaLock);
    m_schemaChecked = false;
}

std::string CSqlWorkerPool::ConnectionString() const
{
    std::lock_guard<std::mutex> lock(m_connectionStringLock);
    return m_connection;
}

bool CSqlWorkerPool::Start()
{
    std::lock_guard<std::mutex> life(m_lifecycleLock);
    if (m_liveWorkers.load() > 0)
        return false;
    for (auto& worker : m_workers)  // ended workers of an earlier run
        if (worker.joinable())
            worker.join();
    m_workers.clear();
    // The embedded database gets its tables now, not at its first statement.
    std::string driver = ConnectionStringValue(ConnectionString(), "driver");
    std::transform(driver.begin(), driver.end(), driver.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (driver.find("sqlite") != std::string::npos) {
        CAdoDB db;
        if (!OpenConnection(db))
            RTU_LOG_ERROR("SQLite database could not be opened: " << db.LastError());
    }
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        m_running = true;
        m_draining = false;
        m_retryAt = {};
        m_backoff = std::chrono::milliseconds(0);
    }
    for (int i = 0; i < m_options.workers; ++i) {
        try {
            m_workers.emplace_back([this] { WorkerLoop(); });
            ++m_liveWorkers;
        } catch (const std::system_error& e) {
            RTU_LOG_ERROR("database worker could not be started: " << e.what());
        }
    }
    return true;
}

void CSqlWorkerPool::Stop()
{
    Stop(m_options.drainLimit);
}

void CSqlWorkerPool::Stop(std::chrono::milliseconds drainLimit)
{
    std::lock_guard<std::mutex> life(m_lifecycleLock);
    StopLocked(drainLimit);
    CloseQueryConnection();
}

void CSqlWorkerPool::StopLocked(std::chrono::milliseconds drainLimit)
{
    if (m_workers.empty())
        return;
    const std::size_t atStart = Queued();
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        m_running = false;
        m_draining = true;
        m_drainUntil = Clock::now() + drainLimit;
    }
    m_wake.notify_all();
    if (atStart > 0)
        RTU_LOG_DEBUG("database pool stopping: writing " << atStart << " queued statements (at most "
                                                         << drainLimit.count() << " ms)");
    for (;;) {
        std::size_t queued = 0;
        {
            std::unique_lock<std::mutex> lock(m_statementQueueLock);
            if (m_ended.wait_for(lock, kDrainProgressInterval, [this] { return m_liveWorkers.load() == 0; }))
                break;
            queued = m_count;
        }
        RTU_LOG_DEBUG("database pool stopping: " << queued << " statements still queued");
    }
    for (auto& worker : m_workers)
        if (worker.joinable())
            worker.join();
    m_workers.clear();
    const std::size_t left = Queued();
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        m_draining = false;
    }
    if (atStart > 0 || left > 0) {
        if (left == 0)
            RTU_LOG_DEBUG("database pool stopped: every queued statement written");
        else
            RTU_LOG_ERROR("database pool stopped with " << left
                                                        << " statements still queued in memory; they are written if the "
                                                           "service starts again before the program ends, and lost "
                                                           "when it ends");
    }
}

bool CSqlWorkerPool::TestConnection()
{
    CAdoDB db;
    const bool ok = OpenConnection(db);
    db.Close();
    return ok;
}

bool CSqlWorkerPool::EnqueueWaiting(const std::string& statement, const std::string& orderKey,
                                    std::chrono::milliseconds limit, const std::atomic<bool>& overflow)
{
    if (statement.empty())
        return false;
    {
        std::unique_lock<std::mutex> lock(m_statementQueueLock);
        const auto deadline = Clock::now() + limit;
        // The stop flag is not signalled through m_room: look at it often.
        while (m_count >= m_options.capacity && !overflow.load() && Clock::now() < deadline)
            m_room.wait_for(lock, std::chrono::milliseconds(50));
        if (m_count >= m_options.capacity && overflow.load()) {
            Push(statement, orderKey);
            lock.unlock();
            m_wake.notify_one();
            return true;
        }
    }
    return Enqueue(statement, orderKey);
}

// Appends to the queue; m_statementQueueLock is held.
void CSqlWorkerPool::Push(const std::string& statement, const std::string& orderKey)
{
    if (orderKey.empty()) {
        m_order.push_back(Turn{statement, {}});
    } else {
        KeyQueue& queue = m_keys[orderKey];
        queue.statements.push_back(statement);
        if (!queue.busy && !queue.scheduled) {
            m_order.push_back(Turn{{}, orderKey});
            queue.scheduled = true;
        }
    }
    ++m_count;
}

bool CSqlWorkerPool::Enqueue(const std::string& statement, const std::string& orderKey)
{
    if (statement.empty())
        return false;
    bool accepted = false;
    std::uint64_t report = 0;
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        if (m_count < m_options.capacity) {
            Push(statement, orderKey);
            accepted = true;
        } else {
            ++m_droppedFull;
            ++m_fullSinceLog;
            const auto now = Clock::now();
            if (m_lastFullLog == Clock::time_point{} || now - m_lastFullLog >= kFullLogInterval) {
                report = m_fullSinceLog;
                m_fullSinceLog = 0;
                m_lastFullLog = now;
            }
        }
    }
    if (accepted) {
        m_wake.notify_one();
        return true;
    }
    if (report > 0)
        RTU_LOG_ERROR("database statement queue full (" << m_options.capacity << "): " << report
                                                         << " statements dropped, the last: " << Shown(statement));
    return false;
}

std::size_t CSqlWorkerPool::Queued() const
{
    std::lock_guard<std::mutex> lock(m_statementQueueLock);
    return m_count;
}

bool CSqlWorkerPool::WaitForKey(const std::string& orderKey, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(m_statementQueueLock);
    const auto settled = [&] {
        return m_keys.find(orderKey) == m_keys.end() || m_liveWorkers.load() == 0 || m_outage.load();
    };
    m_keyDone.wait_for(lock, limit, settled);
    return m_keys.find(orderKey) == m_keys.end();
}

bool CSqlWorkerPool::OpenConnection(CAdoDB& db)
{
    if (!db.Open(ConnectionString(), -1))
        return false;
    if (db.Dialect() == SqlDialect::Sqlite)
        EnsureSchema(db);
    return true;
}

void CSqlWorkerPool::EnsureSchema(CAdoDB& db)
{
    std::lock_guard<std::mutex> schema(m_schemaLock);
    if (m_schemaChecked)
        return;
    m_schemaChecked = InstallSqliteSchemaIfEmpty(db);
}

// Queries share one connection that stays open between them: opening a
// connection to a database server costs far more than a look-up (about 200 ms
// against 1 ms for PostgreSQL here), and the parse thread waits for each
// answer. A kept connection that fails (the server restarted, the link
// dropped) is replaced by a fresh one and the query tried once more on it.
bool CSqlWorkerPool::QueryRows(const std::string& statement, Rows& rows, TextForm form)
{
    std::lock_guard<std::mutex> lock(m_queryConnectionLock);
    const std::string connection = ConnectionString();
    if (m_queryDb.IsOpen() && m_queryConnection == connection) {
        Rows got;
        m_queryDb.BeginTrans();
        const bool ok = m_queryDb.QueryRows(statement, got, form);
        m_queryDb.CommitTrans();
        if (ok) {
            rows.insert(rows.end(), std::make_move_iterator(got.begin()), std::make_move_iterator(got.end()));
            return true;
        }
    }
    m_queryDb.Close();
    m_queryConnection = connection;
    bool ok = OpenConnection(m_queryDb);
    if (ok) {
        m_queryDb.BeginTrans();
        ok = m_queryDb.QueryRows(statement, rows, form);
        m_queryDb.CommitTrans();
    }
    if (!ok) {
        const std::int64_t now = NowTicks();
        std::int64_t last = m_lastQueryFailureLog.load();
        const auto interval = std::chrono::duration_cast<std::chrono::milliseconds>(kQueryLogInterval).count();
        if ((last == 0 || now - last >= interval) && m_lastQueryFailureLog.compare_exchange_strong(last, now))
            RTU_LOG_ERROR("database query failed: " << m_queryDb.LastError() << " -- " << Shown(statement));
        m_queryDb.Close();
    }
    return ok;
}

void CSqlWorkerPool::CloseQueryConnection()
{
    std::lock_guard<std::mutex> lock(m_queryConnectionLock);
    m_queryDb.Close();
}

bool CSqlWorkerPool::QueryValue(const std::string& statement, std::string& value, TextForm form)
{
    Rows rows;
    if (!QueryRows(statement, rows, form))
        return false;
    if (!rows.empty() && !rows.front().empty())
        value = rows.front().front();
    return true;
}

bool CSqlWorkerPool::TakeBatch(std::vector<Taken>& batch, std::size_t most, bool closeWhenIdle)
{
    batch.clear();
    std::unique_lock<std::mutex> lock(m_statementQueueLock);
    const auto idleUntil = Clock::now() + kIdleConnection;
    for (;;) {
        const auto now = Clock::now();
        const bool mayWork = m_running || (m_draining && now < m_drainUntil);
        if (!mayWork)
            return false;
        if (!m_order.empty()) {
            if (m_retryAt != Clock::time_point{} && now < m_retryAt) {
                // The database was unreachable: wait for the next try.
                auto until = m_retryAt;
                if (!m_running)
                    until = std::min(until, m_drainUntil);
                m_wake.wait_until(lock, until);
                continue;
            }
            // Each turn in m_order names an unkeyed statement or a key that is
            // not being run, so a batch holds at most one statement per key.
            while (!m_order.empty() && batch.size() < most) {
                Turn turn = std::move(m_order.front());
                m_order.pop_front();
                Taken taken;
                taken.key = std::move(turn.key);
                if (taken.key.empty()) {
                    taken.statement = std::move(turn.statement);
                } else {
                    KeyQueue& queue = m_keys[taken.key];
                    queue.scheduled = false;
                    queue.busy = true;
                    taken.statement = std::move(queue.statements.front());
                    queue.statements.pop_front();
                }
                --m_count;
                batch.push_back(std::move(taken));
            }
            m_room.notify_all();
            return true;
        }
        if (!m_running)
            return false;  // stopping and nothing left
        if (closeWhenIdle) {
            if (now >= idleUntil)
                return true;
            m_wake.wait_until(lock, idleUntil);
            continue;
        }
        m_wake.wait(lock);
    }
}

// A key's statement has run (or was dropped): its next one may go.
void CSqlWorkerPool::Finish(const std::string& key)
{
    if (key.empty())
        return;
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        auto it = m_keys.find(key);
        if (it == m_keys.end())
            return;
        it->second.busy = false;
        if (it->second.statements.empty()) {
            m_keys.erase(it);
            done = true;
        } else {
            m_order.push_back(Turn{{}, key});
            it->second.scheduled = true;
        }
    }
    if (done)
        m_keyDone.notify_all();
    else
        m_wake.notify_one();
}

// A statement that could not be written goes back to the head of the queue.
void CSqlWorkerPool::PutBack(std::string statement, const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_statementQueueLock);
    if (key.empty()) {
        m_order.push_front(Turn{std::move(statement), {}});
    } else {
        KeyQueue& queue = m_keys[key];
        queue.statements.push_front(std::move(statement));
        queue.busy = false;
        if (!queue.scheduled) {
            m_order.push_front(Turn{{}, key});
            queue.scheduled = true;
        }
    }
    ++m_count;
}

CSqlWorkerPool::Outcome CSqlWorkerPool::Run(CAdoDB& db, bool& connected, const std::string& statement,
                                            std::string& error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connected) {
            if (!OpenConnection(db)) {
                error = db.LastError();
                return Outcome::Unreachable;
            }
            connected = true;
        }
        bool ok = db.BeginTrans() >= 0;
        ok = ok && db.Execute(statement);
        ok = ok && db.CommitTrans();
        if (ok)
            return Outcome::Done;
        error = db.LastError();
        const bool connectionFault = db.LastErrorWasConnection();
        // A fresh connection after any error. If the database does not answer
        // any more, the statement waits for it; if it does, the statement gets
        // one more try there, and a second refusal is the statement's fault.
        db.Close();
        connected = false;
        if (attempt == 1 && !connectionFault)
            return Outcome::Rejected;
    }
    return Outcome::Unreachable;
}

void CSqlWorkerPool::NoteOutage(const std::string& error)
{
    std::chrono::milliseconds pause;
    bool began = false;
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        if (m_backoff.count() == 0)
            m_backoff = m_options.retryFirst;
        else
            m_backoff = std::min(m_backoff * 2, m_options.retryLongest);
        pause = m_backoff;
        m_retryAt = Clock::now() + pause;
        began = !m_outage.exchange(true);
    }
    if (began) {
        m_keyDone.notify_all();  // look-ups stop waiting for what cannot be written now
        RTU_LOG_ERROR("database unreachable, statements are kept and retried (first pause " << pause.count()
                                                                                            << " ms): " << error);
    }
}

void CSqlWorkerPool::NoteRecovery()
{
    std::size_t queued = 0;
    bool ended = false;
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        m_retryAt = {};
        m_backoff = std::chrono::milliseconds(0);
        queued = m_count;
        ended = m_outage.exchange(false);
    }
    if (ended) {
        RTU_LOG_ERROR("database reachable again, " << queued << " statements queued");
        m_wake.notify_all();
    }
}

bool CSqlWorkerPool::RunBatch(CAdoDB& db, bool& connected, const std::vector<Taken>& batch)
{
    if (!connected) {
        if (!OpenConnection(db))
            return false;
        connected = true;
    }
    bool ok = db.BeginTrans() >= 0;
    for (const Taken& taken : batch) {
        if (!ok)
            break;
        ok = db.Execute(taken.statement);
    }
    ok = ok && db.CommitTrans();
    if (!ok) {
        db.RollbackTrans();
        db.Close();
        connected = false;
    }
    return ok;
}

// Runs one statement on its own and deals with the outcome.
void CSqlWorkerPool::Settle(CAdoDB& db, bool& connected, Taken& taken, std::string& error)
{
    switch (Run(db, connected, taken.statement, error)) {
    case Outcome::Done:
        ++m_executed;
        if (m_outage.load())
            NoteRecovery();
        Finish(taken.key);
        break;
    case Outcome::Rejected:
        ++m_rejected;
        if (m_outage.load())
            NoteRecovery();
        RTU_LOG_ERROR("database refused a statement, dropped: " << error << " -- " << Shown(taken.statement));
        Finish(taken.key);
        break;
    case Outcome::Unreachable:
        PutBack(std::move(taken.statement), taken.key);
        NoteOutage(error);
        db.Close();
        connected = false;
        break;
    }
}

void CSqlWorkerPool::WorkerLoop()
{
    // Statements are written in batches, one transaction each: one commit
    // (one disk sync) for many rows. A batch that fails is rolled back and
    // its statements are run one by one, so a refused statement costs only
    // itself and an outage keeps every statement queued in its order.
    const std::size_t most = m_options.connectionPerStatement ? 1 : kBatchStatements;
    auto db = std::make_unique<CAdoDB>();
    bool connected = false;
    std::vector<Taken> batch;
    std::string error;
    for (;;) {
        if (m_options.pauseBeforeEach.count() > 0)
            std::this_thread::sleep_for(m_options.pauseBeforeEach);
        if (!TakeBatch(batch, most, connected))
            break;
        if (batch.empty()) {
            // Nothing to do for a while: give the connection back.
            db = std::make_unique<CAdoDB>();
            connected = false;
            continue;
        }
        if (batch.size() > 1 && RunBatch(*db, connected, batch)) {
            m_executed += batch.size();
            if (m_outage.load())
                NoteRecovery();
            for (const Taken& taken : batch)
                Finish(taken.key);
        } else {
            for (std::size_t n = 0; n < batch.size(); ++n) {
                Settle(*db, connected, batch[n], error);
                if (!m_outage.load())
                    continue;
                // The database went away: the rest goes back, in its order.
                for (std::size_t rest = batch.size(); rest-- > n + 1;)
                    PutBack(std::move(batch[rest].statement), batch[rest].key);
                break;
            }
        }
        if (m_options.connectionPerStatement && connected) {
            db = std::make_unique<CAdoDB>();
            connected = false;
        }
    }
    db.reset();
    {
        std::lock_guard<std::mutex> lock(m_statementQueueLock);
        --m_liveWorkers;
    }
    m_ended.notify_all();
    m_keyDone.notify_all();
}

}  // namespace rtu::storage
