#include "rtu/journal/JournalApplier.h"

#include "rtu/protocol/TimeText.h"
#include "rtu/runtime/Log.h"
#include "rtu/storage/SqliteSchema.h"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace rtu::journal {

using storage::BoundConnection;
using storage::Param;
using storage::ParamType;
using storage::SqlDialect;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleWait = std::chrono::milliseconds(1000);
constexpr const char* kSavepoint = "report_statement";

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

JournalApplier::JournalApplier(ReportJournal& journal, Database db) : JournalApplier(journal, db, Options{}) {}

JournalApplier::JournalApplier(ReportJournal& journal, Database db, Options options)
    : journal_(journal), db_(db), options_(options)
{
}

JournalApplier::~JournalApplier() { Stop(std::chrono::milliseconds(0)); }

void JournalApplier::SetConnectionString(const std::string& connection)
{
    std::lock_guard<std::mutex> lock(connectionLock_);
    connection_ = connection;
}

JournalApplier::Failure JournalApplier::FailureOf(const std::string& context)
{
    Failure failure;
    failure.error = context + (conn_ ? conn_->LastError() : std::string("no connection"));
    failure.wholeDatabase = !conn_ || conn_->LastErrorWasConnection() || RefusesEveryWrite(failure.error);
    return failure;
}

bool JournalApplier::TestWrite(std::string& error)
{
    std::string connection;
    {
        std::lock_guard<std::mutex> lock(connectionLock_);
        connection = connection_;
    }
    auto db = storage::OpenWriterConnection(connection, error);
    if (!db) return false;
    if (db->Dialect() == SqlDialect::Sqlite && !storage::InstallSqliteSchemaIfEmpty(*db)) {
        error = "the tables could not be created: " + db->LastError();
        return false;
    }
    std::int64_t mark = 0;
    const bool ok = EnsureJournalTable(*db) && db->BeginTrans() >= 0 && ReadWrittenMark(*db, MarkName(), mark) &&
                    WriteWrittenMark(*db, MarkName(), mark) && db->CommitTrans();
    if (!ok) {
        error = db->LastError();
        db->RollbackTrans();
    }
    return ok;
}

void JournalApplier::Start()
{
    if (thread_.joinable()) return;
    slot_ = journal_.AddWriter();
    written_ = 0;
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        stopping_ = false;
    }
    thread_ = std::thread([this] { Loop(); });
}

void JournalApplier::RequestStop(std::chrono::milliseconds drainLimit)
{
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        if (stopping_) return;
        stopping_ = true;
        drainUntil_ = Clock::now() + drainLimit;
        stopTarget_ = journal_.LastSeq();
    }
    stateWake_.notify_all();
    journal_.Interrupt();
}

std::int64_t JournalApplier::Stop(std::chrono::milliseconds drainLimit)
{
    if (!thread_.joinable()) return 0;
    RequestStop(drainLimit);
    thread_.join();
    return std::max<std::int64_t>(0, stopTarget_ - written_.load());
}

// The main and the secondary database may be one database (or share the
// table): each writer keeps a row of its own.
std::string JournalApplier::MarkName() const { return journal_.Id() + "/" + DatabaseName(db_); }

bool JournalApplier::Draining()
{
    std::lock_guard<std::mutex> lock(stateLock_);
    return stopping_;
}

void JournalApplier::Pause(std::chrono::milliseconds pause)
{
    std::unique_lock<std::mutex> lock(stateLock_);
    const auto until = Clock::now() + pause;
    stateWake_.wait_until(lock, stopping_ ? std::min(until, drainUntil_) : until,
                          [&] { return stopping_ && Clock::now() >= drainUntil_; });
}

bool JournalApplier::Connect(Failure& failure)
{
    std::string connection;
    {
        std::lock_guard<std::mutex> lock(connectionLock_);
        connection = connection_;
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
    if (!EnsureJournalTable(*conn_) || !ReadWrittenMark(*conn_, MarkName(), mark)) {
        failure = FailureOf("");
        failure.wholeDatabase = true;
        conn_.reset();
        return false;
    }
    // What this database has of the journal: written earlier, in this run or before a crash.
    if (mark > written_.load()) {
        written_ = mark;
        journal_.SetWritten(slot_, mark);
    }
    levels_.clear();
    return true;
}

void JournalApplier::Disconnect()
{
    conn_.reset();
    levels_.clear();
}

void JournalApplier::Loop()
{
    pthread_setname_np(pthread_self(), db_ == Database::Main ? "rtu-write-main" : "rtu-write-2nd");
    reader_ = std::make_unique<ReportJournal::Reader>(journal_.Path());
    if (!reader_->Ok()) {
        RTU_LOG_ERROR(DatabaseName(db_) << " database writer cannot read the report journal: " << reader_->Error());
        reader_.reset();
        return;
    }
    // Nothing of the journal before its first report is left to write.
    if (written_.load() == 0) {
        const std::int64_t first = reader_->FirstSeq();
        written_ = first > 0 ? first - 1 : journal_.LastSeq();
    }
    std::vector<JournalEntry> entries;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(stateLock_);
            if (stopping_ && (written_.load() >= stopTarget_ || Clock::now() >= drainUntil_)) break;
        }
        Failure failure;
        if (!conn_ && !Connect(failure)) {
            NoteOutage(failure);
            continue;
        }
        if (!reader_->ReadAfter(written_.load(), options_.reportsPerTransaction, entries)) {
            RTU_LOG_ERROR(DatabaseName(db_) << " database writer: the report journal could not be read: "
                                            << reader_->Error());
            Pause(std::chrono::milliseconds(1000));
            continue;
        }
        if (entries.empty()) {
            if (!Draining()) journal_.WaitBeyond(written_.load(), kIdleWait);
            else Pause(std::chrono::milliseconds(20));
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
}

bool RunReportStatement(BoundConnection& db, const ReportStatement& statement, std::map<std::string, double>* levels)
{
    switch (statement.kind) {
    case StatementKind::HourSlot: {
        long long touched = -1;
        if (!db.ExecuteBound(HourSlotUpdateText(), HourSlotUpdateParams(statement), &touched)) return false;
        if (touched > 0) return true;
        return db.ExecuteBound(StatementText(statement.kind), statement.params, nullptr);
    }
    case StatementKind::RiverLevel: {
        if (statement.params.size() < 4) return true;
        const std::string& code = statement.params[0].value;
        const double level = std::atof(statement.params[2].value.c_str());
        double last = 0.0;
        const auto known = levels != nullptr ? levels->find(code) : std::map<std::string, double>::iterator();
        if (levels != nullptr && known != levels->end()) {
            last = known->second;
        } else {
            std::string previous;
            if (!db.QueryValueBound(LastRiverLevelText(), {statement.params[0]}, previous, storage::TextForm::Exact))
                return false;
            last = std::atof(previous.c_str());
        }
        std::vector<Param> params = statement.params;
        params.push_back(Param{ParamType::Text, std::to_string(RiverTrend(last, level))});
        if (!db.ExecuteBound(StatementText(statement.kind), params, nullptr)) return false;
        if (levels != nullptr) (*levels)[code] = level;
        return true;
    }
    default:
        return db.ExecuteBound(StatementText(statement.kind), statement.params, nullptr);
    }
}

bool JournalApplier::Run(const ReportStatement& statement) { return RunReportStatement(*conn_, statement, &levels_); }

bool JournalApplier::WriteTogether(const std::vector<JournalEntry>& entries, Failure& failure)
{
    const std::int64_t last = entries.back().seq;
    std::size_t count = 0;
    bool ok = conn_->BeginTrans() >= 0;
    // The mark first: a database that refuses it refuses every write.
    if (!ok || !WriteWrittenMark(*conn_, MarkName(), last)) {
        failure = FailureOf("");
        failure.wholeDatabase = true;
        conn_->RollbackTrans();
        levels_.clear();
        return false;
    }
    for (const JournalEntry& entry : entries) {
        for (const ReportStatement& statement :
             BuildReportStatements(entry.report, db_ == Database::Main, db_ == Database::Secondary)) {
            if (!Run(statement)) {
                failure = FailureOf("");
                conn_->RollbackTrans();
                levels_.clear();
                return false;
            }
            ++count;
        }
    }
    if (!conn_->CommitTrans()) {
        failure = FailureOf("commit: ");
        failure.wholeDatabase = true;
        conn_->RollbackTrans();
        levels_.clear();
        return false;
    }
    Written(last, entries.size(), count);
    return true;
}

bool JournalApplier::WriteOneByOne(const std::vector<JournalEntry>& entries, Failure& failure)
{
    for (const JournalEntry& entry : entries) {
        std::vector<RejectedStatement> rejected;
        std::size_t count = 0;
        if (conn_->BeginTrans() < 0 || !WriteWrittenMark(*conn_, MarkName(), entry.seq)) {
            failure = FailureOf("");
            failure.wholeDatabase = true;
            conn_->RollbackTrans();
            levels_.clear();
            return false;
        }
        const std::vector<ReportStatement> statements =
            BuildReportStatements(entry.report, db_ == Database::Main, db_ == Database::Secondary);
        for (std::size_t part = 0; part < statements.size(); ++part) {
            const ReportStatement& statement = statements[part];
            if (!conn_->Savepoint(kSavepoint)) {
                failure = FailureOf("savepoint: ");
                failure.wholeDatabase = true;
                conn_->RollbackTrans();
                levels_.clear();
                return false;
            }
            if (Run(statement)) {
                conn_->ReleaseSavepoint(kSavepoint);
                ++count;
                continue;
            }
            failure = FailureOf("");
            if (failure.wholeDatabase || !conn_->RollbackToSavepoint(kSavepoint)) {
                failure.wholeDatabase = true;
                conn_->RollbackTrans();
                levels_.clear();
                return false;
            }
            levels_.clear();
            RejectedStatement r;
            r.seq = entry.seq;
            r.part = static_cast<int>(part);
            r.database = DatabaseName(db_);
            r.kind = static_cast<int>(statement.kind);
            r.statement = StatementText(statement.kind);
            r.params = statement.params;
            r.error = failure.error;
            rejected.push_back(std::move(r));
        }
        // Set aside before the rows commit: a crash between the two repeats
        // the report, and the same refusal replaces its earlier record.
        if (!rejected.empty() && !reader_->AddRejected(rejected))
            RTU_LOG_ERROR(DatabaseName(db_) << " database writer: refused statements could not be kept in the "
                                               "journal: "
                                            << reader_->Error());
        if (!conn_->CommitTrans()) {
            failure = FailureOf("commit: ");
            failure.wholeDatabase = true;
            conn_->RollbackTrans();
            levels_.clear();
            return false;
        }
        for (const RejectedStatement& r : rejected)
            RTU_LOG_ERROR(DatabaseName(db_) << " database refused a statement of report " << r.seq
                                            << " (kept in the journal's table Rejected; RTU --replay-rejected writes "
                                               "it again): "
                                            << r.error << " -- " << RenderStatement(r.statement, r.params));
        rejected_ += rejected.size();
        Written(entry.seq, 1, count);
    }
    return true;
}

void JournalApplier::Written(std::int64_t seq, std::size_t reports, std::size_t statements)
{
    written_ = seq;
    reports_ += reports;
    statements_ += statements;
    journal_.SetWritten(slot_, seq);
}

void JournalApplier::NoteOutage(const Failure& failure)
{
    backoff_ = backoff_.count() == 0 ? options_.retryFirst : std::min(backoff_ * 2, options_.retryLongest);
    if (!outage_.exchange(true))
        RTU_LOG_ERROR(DatabaseName(db_) << " database cannot be written, reports wait in the journal and are "
                                           "written when it can (first retry in "
                                        << backoff_.count() << " ms): " << failure.error);
    Pause(backoff_);
}

void JournalApplier::NoteRecovery()
{
    backoff_ = std::chrono::milliseconds(0);
    if (outage_.exchange(false))
        RTU_LOG_ERROR(DatabaseName(db_) << " database written again; " << journal_.LastSeq() - written_.load()
                                        << " reports of the journal still to write");
}

}  // namespace rtu::journal
