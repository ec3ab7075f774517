#include "rtu/journal/JournalApplier.h"

#include "rtu/protocol/TimeText.h"
#include "rtu/common/Log.h"
#include "rtu/storage/SqliteSchema.h"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>

namespace rtu::journal {

using storage::BoundConnection;
using storage::Param;
using storage::ParamType;
using storage::SqlDialect;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleWait = std::chrono::milliseconds(1000);
constexpr const char* kSavepoint = "report_statement";
// How long after its drain limit a stop waits for a writer stuck in a call.
constexpr auto kGiveUpAfter = std::chrono::milliseconds(5000);

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

const char* DatabaseName(Database db) { return db == Database::Main ? "main" : "secondary"; }

bool EnsureJournalTable(BoundConnection& db)
{
    switch (db.Dialect()) {
    case SqlDialect::SqlServer:
        return db.Execute(
            "IF OBJECT_ID(N'dbo.JournalApplied', N'U') IS NULL CREATE TABLE dbo.JournalApplied ("
            "JournalId VARCHAR(64) NOT NULL PRIMARY KEY, LastSeq BIGINT NOT NULL, UpdateTime DATETIME NULL)");
    case SqlDialect::PostgreSql:
        return db.Execute("CREATE TABLE IF NOT EXISTS JournalApplied (JournalId VARCHAR(64) PRIMARY KEY, "
                          "LastSeq BIGINT NOT NULL, UpdateTime TIMESTAMP(0))");
    case SqlDialect::Sqlite:
        return db.Execute("CREATE TABLE IF NOT EXISTS JournalApplied (JournalId VARCHAR(64) PRIMARY KEY, "
                          "LastSeq BIGINT NOT NULL, UpdateTime DATETIME)");
    }
    return false;
}

bool ReadWrittenMark(BoundConnection& db, const std::string& journalId, std::int64_t& seq)
{
    std::string value;
    if (!db.QueryValueBound("select LastSeq from JournalApplied where JournalId=?", {Param{ParamType::Text, journalId}},
                            value, storage::TextForm::Exact))
        return false;
    seq = value.empty() ? 0 : std::strtoll(value.c_str(), nullptr, 10);
    return true;
}

bool WriteWrittenMark(BoundConnection& db, const std::string& journalId, std::int64_t seq)
{
    const std::vector<Param> params{Param{ParamType::Integer, std::to_string(seq)},
                                    Param{ParamType::Text, journalId}};
    long long touched = -1;
    if (!db.ExecuteBound("update JournalApplied set LastSeq=?, UpdateTime=getdate() where JournalId=?", params,
                         &touched))
        return false;
    if (touched > 0) return true;
    return db.ExecuteBound("insert into JournalApplied(LastSeq, UpdateTime, JournalId) values(?, getdate(), ?)",
                           params, nullptr);
}

bool RefusesEveryWrite(const std::string& error)
{
    const std::string e = Lower(error);
    return e.find("readonly") != std::string::npos || e.find("read-only") != std::string::npos ||
           e.find("read only") != std::string::npos || e.find("database is locked") != std::string::npos ||
           e.find("not a database") != std::string::npos || e.find("disk i/o error") != std::string::npos ||
           e.find("database or disk is full") != std::string::npos;
}

bool RunReportStatement(BoundConnection& db, const ReportStatement& statement)
{
    switch (statement.kind) {
    case StatementKind::HourSlot: {
        long long touched = -1;
        if (!db.ExecuteBound(HourSlotUpdateText(), HourSlotUpdateParams(statement), &touched)) return false;
        if (touched > 0) return true;
        return db.ExecuteBound(StatementText(statement.kind), statement.params, nullptr);
    }
    case StatementKind::RiverLevel:
        if (statement.params.size() < 4) return true;
        return db.ExecuteBound(RiverLevelInsertText(), RiverLevelInsertParams(statement), nullptr);
    default:
        return db.ExecuteBound(StatementText(statement.kind), statement.params, nullptr);
    }
}

// ---- the writer's thread ------------------------------------------------------

class JournalApplier::Session {
public:
    Session(ReportJournal& journal, Database db, Options options, int slot,
            std::shared_ptr<std::pair<std::mutex, std::string>> connection)
        : journal_(&journal),
          path_(journal.Path()),
          markName_(journal.Id() + "/" + DatabaseName(db)),
          db_(db),
          options_(options),
          slot_(slot),
          connection_(std::move(connection))
    {
    }

    void Loop();
    void RequestStop(std::chrono::milliseconds drainLimit, std::int64_t target);
    // Waits for the thread's end, at most `limit`; false when it has not ended.
    bool WaitEnded(std::chrono::milliseconds limit);
    // The thread is given up: it never uses the journal again.
    void GiveUp();
    std::int64_t StopTarget();

    std::atomic<std::int64_t> written{0};
    std::atomic<std::uint64_t> statements{0};
    std::atomic<std::uint64_t> reports{0};
    std::atomic<std::uint64_t> rejected{0};
    std::atomic<bool> outage{false};

private:
    struct Failure {
        std::string error;
        bool wholeDatabase = false;  // unreachable, or refusing every write
    };

    template <typename Use>
    void WithJournal(Use use)
    {
        std::lock_guard<std::mutex> lock(applierJournalLock_);
        if (journal_ != nullptr) use(*journal_);
    }

    bool Connect(Failure& failure);
    void Disconnect();
    // Writes the reports in one transaction; false with the failure.
    bool WriteTogether(const std::vector<JournalEntry>& entries, Failure& failure);
    // Writes them one report per transaction, a refused statement set aside.
    bool WriteOneByOne(const std::vector<JournalEntry>& entries, Failure& failure);
    bool Run(const ReportStatement& statement) { return RunReportStatement(*conn_, statement); }
    void Written(std::int64_t seq, std::size_t count, std::size_t statementCount);
    void NoteOutage(const Failure& failure);
    void NoteRecovery();
    // Waits for the pause, or less when a stop comes.
    void Pause(std::chrono::milliseconds pause);
    bool Draining();
    bool Finished();
    std::int64_t LastSeq();
    Failure FailureOf(const std::string& context);
    // Rolls the transaction back after a failure: false, for the caller to return.
    bool Undo(Failure& failure, const std::string& context, bool wholeDatabase);

    std::mutex applierJournalLock_;
    ReportJournal* journal_;  // guarded by applierJournalLock_; null once given up
    const std::string path_;
    const std::string markName_;
    const Database db_;
    const Options options_;
    const int slot_;
    std::shared_ptr<std::pair<std::mutex, std::string>> connection_;

    // The thread's own.
    std::unique_ptr<storage::BoundConnection> conn_;
    std::unique_ptr<ReportJournal::Reader> reader_;
    std::chrono::milliseconds backoff_{0};

    std::mutex applierStateLock_;
    std::condition_variable stateWake_;  // a stop was asked, or the thread ended
    bool stopping_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point drainUntil_{};
    std::int64_t stopTarget_ = 0;
};

void JournalApplier::Session::RequestStop(std::chrono::milliseconds drainLimit, std::int64_t target)
{
    {
        std::lock_guard<std::mutex> lock(applierStateLock_);
        if (stopping_) return;
        stopping_ = true;
        drainUntil_ = Clock::now() + drainLimit;
        stopTarget_ = target;
    }
    stateWake_.notify_all();
}

std::int64_t JournalApplier::Session::StopTarget()
{
    std::lock_guard<std::mutex> lock(applierStateLock_);
    return stopTarget_;
}

bool JournalApplier::Session::WaitEnded(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(applierStateLock_);
    return stateWake_.wait_for(lock, limit, [this] { return ended_; });
}

void JournalApplier::Session::GiveUp()
{
    std::lock_guard<std::mutex> lock(applierJournalLock_);
    journal_ = nullptr;
}

bool JournalApplier::Session::Draining()
{
    std::lock_guard<std::mutex> lock(applierStateLock_);
    return stopping_;
}

bool JournalApplier::Session::Finished()
{
    std::lock_guard<std::mutex> lock(applierStateLock_);
    return stopping_ && (written.load() >= stopTarget_ || Clock::now() >= drainUntil_);
}

std::int64_t JournalApplier::Session::LastSeq()
{
    std::int64_t last = 0;
    WithJournal([&](ReportJournal& j) { last = j.LastSeq(); });
    return last;
}

void JournalApplier::Session::Pause(std::chrono::milliseconds pause)
{
    std::unique_lock<std::mutex> lock(applierStateLock_);
    const auto until = Clock::now() + pause;
    stateWake_.wait_until(lock, stopping_ ? std::min(until, drainUntil_) : until,
                          [&] { return stopping_ && Clock::now() >= drainUntil_; });
}

JournalApplier::Session::Failure JournalApplier::Session::FailureOf(const std::string& context)
{
    Failure failure;
    failure.error = context + (conn_ ? conn_->LastError() : std::string("no connection"));
    failure.wholeDatabase = !conn_ || conn_->LastErrorWasConnection() || RefusesEveryWrite(failure.error);
    return failure;
}

bool JournalApplier::Session::Undo(Failure& failure, const std::string& context, bool wholeDatabase)
{
    failure = FailureOf(context);
    failure.wholeDatabase = failure.wholeDatabase || wholeDatabase;
    conn_->RollbackTrans();
    return false;
}

bool JournalApplier::Session::Connect(Failure& failure)
{
    std::string connection;
    {
        std::lock_guard<std::mutex> lock(connection_->first);
        connection = connection_->second;
    }
    std::string error;
    conn_ = storage::OpenWriterConnection(connection, error);
    if (!conn_) {
        failure.error = error;
        failure.wholeDatabase = true;
        return false;
    }
    if (conn_->Dialect() == SqlDialect::Sqlite) storage::InstallSqliteSchemaIfEmpty(*conn_);
    std::int64_t mark = 0;
    if (!EnsureJournalTable(*conn_) || !ReadWrittenMark(*conn_, markName_, mark)) {
        failure = FailureOf("");
        failure.wholeDatabase = true;
        conn_.reset();
        return false;
    }
    // What this database has of the journal: written earlier, in this run or before a crash.
    if (mark > written.load()) {
        written = mark;
        WithJournal([&](ReportJournal& j) { j.SetWritten(slot_, mark); });
    }
    return true;
}

void JournalApplier::Session::Disconnect()
{
    conn_.reset();
}

void JournalApplier::Session::Loop()
{
    pthread_setname_np(pthread_self(), db_ == Database::Main ? "rtu-write-main" : "rtu-write-2nd");
    reader_ = std::make_unique<ReportJournal::Reader>(path_);
    if (!reader_->Ok()) {
        RTU_LOG_ERROR(DatabaseName(db_) << " database writer cannot read the report journal: " << reader_->Error());
    } else {
        // Nothing of the journal before its first report is left to write.
        written = reader_->SeqBeforeFirst();
    }
    std::vector<JournalEntry> entries;
    while (reader_->Ok() && !Finished()) {
        Failure failure;
        if (!conn_ && !Connect(failure)) {
            NoteOutage(failure);
            continue;
        }
        if (!reader_->ReadAfter(written.load(), options_.reportsPerTransaction, entries)) {
            RTU_LOG_ERROR(DatabaseName(db_) << " database writer: the report journal could not be read: "
                                            << reader_->Error());
            Pause(std::chrono::milliseconds(1000));
            continue;
        }
        if (entries.empty()) {
            if (Draining())
                Pause(std::chrono::milliseconds(20));
            else
                WithJournal([&](ReportJournal& j) { j.WaitBeyond(written.load(), kIdleWait); });
            continue;
        }
        if (WriteTogether(entries, failure) || (!failure.wholeDatabase && WriteOneByOne(entries, failure))) {
            NoteRecovery();
            continue;
        }
        Disconnect();
        NoteOutage(failure);
    }
    Disconnect();
    reader_.reset();
    {
        std::lock_guard<std::mutex> lock(applierStateLock_);
        ended_ = true;
    }
    stateWake_.notify_all();
}

// Rows that only add to their table (or, for the period rainfall, only set
// the station's own text) are written per kind, all reports' rows of a kind at
// once: a database server takes them as one parameter array instead of a
// round trip per row. Their tables are not read by the other kinds, so only
// the order within a kind matters, and it is the reports' order. River levels
// read only their own table, each row seeing the rows before it in the array,
// so they go the same way. The slot rows, whose update decides whether an
// insert follows, run one by one, in the reports' order.
namespace {
bool GoesInRows(StatementKind kind)
{
    switch (kind) {
    case StatementKind::Receive:
    case StatementKind::TimedValue:
    case StatementKind::PeriodRainfall:
    case StatementKind::Precipitation:
    case StatementKind::RiverLevel:
    case StatementKind::Alarm:
        return true;
    default:
        return false;
    }
}

const char* RowsText(StatementKind kind)
{
    return kind == StatementKind::RiverLevel ? RiverLevelInsertText() : StatementText(kind);
}
}  // namespace

bool JournalApplier::Session::WriteTogether(const std::vector<JournalEntry>& entries, Failure& failure)
{
    const std::int64_t last = entries.back().seq;
    std::size_t count = 0;
    bool ok = conn_->BeginTrans() >= 0;
    // The mark first: a database that refuses it refuses every write.
    if (!ok || !WriteWrittenMark(*conn_, markName_, last)) return Undo(failure, "", true);
    std::vector<std::vector<ReportStatement>> built;
    built.reserve(entries.size());
    std::vector<const std::vector<storage::Param>*> rows[kStatementKinds];
    std::deque<std::vector<storage::Param>> riverValues;  // what the river rows bind, kept until written
    for (const JournalEntry& entry : entries) {
        built.push_back(BuildReportStatements(entry.report, db_ == Database::Main, db_ == Database::Secondary));
        for (const ReportStatement& statement : built.back()) {
            ++count;
            if (statement.kind == StatementKind::RiverLevel) {
                riverValues.push_back(RiverLevelInsertParams(statement));
                if (!riverValues.back().empty()) rows[static_cast<int>(statement.kind)].push_back(&riverValues.back());
            } else if (GoesInRows(statement.kind)) {
                rows[static_cast<int>(statement.kind)].push_back(&statement.params);
            } else if (!Run(statement)) {
                return Undo(failure, "", false);
            }
        }
    }
    for (int kind = 0; kind < kStatementKinds; ++kind)
        if (!rows[kind].empty() && !conn_->ExecuteBoundRows(RowsText(static_cast<StatementKind>(kind)), rows[kind]))
            return Undo(failure, "", false);
    if (!conn_->CommitTrans()) return Undo(failure, "commit: ", true);
    Written(last, entries.size(), count);
    return true;
}

bool JournalApplier::Session::WriteOneByOne(const std::vector<JournalEntry>& entries, Failure& failure)
{
    for (const JournalEntry& entry : entries) {
        std::vector<RejectedStatement> refused;
        std::size_t count = 0;
        if (conn_->BeginTrans() < 0 || !WriteWrittenMark(*conn_, markName_, entry.seq))
            return Undo(failure, "", true);
        const std::vector<ReportStatement> all =
            BuildReportStatements(entry.report, db_ == Database::Main, db_ == Database::Secondary);
        for (std::size_t part = 0; part < all.size(); ++part) {
            const ReportStatement& statement = all[part];
            if (!conn_->Savepoint(kSavepoint)) return Undo(failure, "savepoint: ", true);
            if (Run(statement)) {
                conn_->ReleaseSavepoint(kSavepoint);
                ++count;
                continue;
            }
            failure = FailureOf("");
            if (failure.wholeDatabase || !conn_->RollbackToSavepoint(kSavepoint)) return Undo(failure, "", true);
            RejectedStatement r;
            r.seq = entry.seq;
            r.part = static_cast<int>(part);
            r.database = DatabaseName(db_);
            r.kind = static_cast<int>(statement.kind);
            r.statement = StatementText(statement.kind);
            r.params = statement.params;
            r.error = failure.error;
            refused.push_back(std::move(r));
        }
        // Set aside before the rows commit: a crash between the two repeats
        // the report, and the same refusal replaces its earlier record.
        if (!refused.empty() && !reader_->AddRejected(refused))
            RTU_LOG_ERROR(DatabaseName(db_) << " database writer: refused statements could not be kept in the "
                                               "journal: "
                                            << reader_->Error());
        if (!conn_->CommitTrans()) return Undo(failure, "commit: ", true);
        for (const RejectedStatement& r : refused)
            RTU_LOG_ERROR(DatabaseName(db_) << " database refused a statement of report " << r.seq
                                            << " (kept in the journal's table Rejected; RTU --replay-rejected writes "
                                               "it again): "
                                            << r.error << " -- " << RenderStatement(r.statement, r.params));
        rejected += refused.size();
        Written(entry.seq, 1, count);
    }
    return true;
}

void JournalApplier::Session::Written(std::int64_t seq, std::size_t count, std::size_t statementCount)
{
    written = seq;
    reports += count;
    statements += statementCount;
    WithJournal([&](ReportJournal& j) { j.SetWritten(slot_, seq); });
}

void JournalApplier::Session::NoteOutage(const Failure& failure)
{
    backoff_ = backoff_.count() == 0 ? options_.retryFirst : std::min(backoff_ * 2, options_.retryLongest);
    if (!outage.exchange(true))
        RTU_LOG_ERROR(DatabaseName(db_) << " database cannot be written, reports wait in the journal and are "
                                           "written when it can (first retry in "
                                        << backoff_.count() << " ms): " << failure.error);
    Pause(backoff_);
}

void JournalApplier::Session::NoteRecovery()
{
    backoff_ = std::chrono::milliseconds(0);
    if (outage.exchange(false))
        RTU_LOG_ERROR(DatabaseName(db_) << " database written again; " << LastSeq() - written.load()
                                        << " reports of the journal still to write");
}

// ---- the owner's side --------------------------------------------------------

JournalApplier::JournalApplier(ReportJournal& journal, Database db) : JournalApplier(journal, db, Options{}) {}

JournalApplier::JournalApplier(ReportJournal& journal, Database db, Options options)
    : journal_(journal),
      db_(db),
      options_(options),
      connection_(std::make_shared<std::pair<std::mutex, std::string>>())
{
}

JournalApplier::~JournalApplier() { Stop(std::chrono::milliseconds(0)); }

void JournalApplier::SetConnectionString(const std::string& connection)
{
    std::lock_guard<std::mutex> lock(connection_->first);
    connection_->second = connection;
}

bool JournalApplier::TestWrite(std::string& error)
{
    std::string connection;
    {
        std::lock_guard<std::mutex> lock(connection_->first);
        connection = connection_->second;
    }
    auto db = storage::OpenWriterConnection(connection, error);
    if (!db) return false;
    if (db->Dialect() == SqlDialect::Sqlite && !storage::InstallSqliteSchemaIfEmpty(*db)) {
        error = "the tables could not be created: " + db->LastError();
        return false;
    }
    const std::string markName = journal_.Id() + "/" + DatabaseName(db_);
    std::int64_t mark = 0;
    const bool ok = EnsureJournalTable(*db) && db->BeginTrans() >= 0 && ReadWrittenMark(*db, markName, mark) &&
                    WriteWrittenMark(*db, markName, mark) && db->CommitTrans();
    if (!ok) {
        error = db->LastError();
        db->RollbackTrans();
    }
    return ok;
}

void JournalApplier::Start()
{
    if (thread_.joinable()) return;
    session_ = std::make_shared<Session>(journal_, db_, options_, journal_.AddWriter(), connection_);
    thread_ = std::thread([session = session_] { session->Loop(); });
}

void JournalApplier::RequestStop(std::chrono::milliseconds drainLimit)
{
    if (!thread_.joinable()) return;
    session_->RequestStop(drainLimit, journal_.LastSeq());
    journal_.Interrupt();
}

std::int64_t JournalApplier::Stop(std::chrono::milliseconds drainLimit)
{
    if (!thread_.joinable()) return 0;
    RequestStop(drainLimit);
    if (session_->WaitEnded(drainLimit + kGiveUpAfter)) {
        thread_.join();
    } else {
        // A call into the database that does not return: the thread keeps the
        // session and ends by itself if the call ever does; the journal keeps
        // what it had not written.
        session_->GiveUp();
        thread_.detach();
        RTU_LOG_ERROR(DatabaseName(db_) << " database has not answered for "
                                        << (drainLimit + kGiveUpAfter).count()
                                        << " ms; its writer is given up, and what it had not written stays in the "
                                           "journal for the next start");
    }
    return std::max<std::int64_t>(0, session_->StopTarget() - session_->written.load());
}

std::int64_t JournalApplier::WrittenUpTo() const { return session_ ? session_->written.load() : 0; }
std::uint64_t JournalApplier::Statements() const { return session_ ? session_->statements.load() : 0; }
std::uint64_t JournalApplier::Reports() const { return session_ ? session_->reports.load() : 0; }
std::uint64_t JournalApplier::RejectedCount() const { return session_ ? session_->rejected.load() : 0; }
bool JournalApplier::InOutage() const { return session_ && session_->outage.load(); }

}  // namespace rtu::journal
