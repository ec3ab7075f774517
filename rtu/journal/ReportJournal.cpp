#include "rtu/journal/ReportJournal.h"

#include "rtu/protocol/TimeText.h"
#include "rtu/common/Log.h"

#include <pthread.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <random>

namespace rtu::journal {

namespace {

constexpr auto kHousekeeping = std::chrono::milliseconds(250);
constexpr int kBusyMilliseconds = 10000;
// Free pages are reused; the file is measured by the pages in use.
constexpr auto kMeasureEvery = std::chrono::milliseconds(500);
// Reports waiting for the committer: beyond this (a disk that stalls) they
// are refused rather than held in memory.
constexpr std::size_t kMostPending = 65536;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS JournalInfo (Key TEXT PRIMARY KEY, Value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS Reports ("
    "  Seq INTEGER PRIMARY KEY AUTOINCREMENT, ReceivedAt TEXT NOT NULL, StorageNumber TEXT NOT NULL,"
    "  Station TEXT NOT NULL, Centre TEXT NOT NULL, FunctionCode TEXT NOT NULL, LinkKind INTEGER NOT NULL,"
    "  Frame BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS Rejected ("
    "  Id INTEGER PRIMARY KEY AUTOINCREMENT, Seq INTEGER NOT NULL, Part INTEGER NOT NULL, Db TEXT NOT NULL,"
    "  Kind INTEGER NOT NULL, Statement TEXT NOT NULL, Params BLOB NOT NULL, Shown TEXT NOT NULL, Error TEXT NOT NULL,"
    "  RejectedAt TEXT NOT NULL, Tries INTEGER NOT NULL DEFAULT 1, UNIQUE (Seq, Db, Part));";

std::string LastError(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

bool Exec(sqlite3* db, const char* sql, std::string* error = nullptr)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK && error != nullptr) *error = message != nullptr ? message : LastError(db);
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

std::int64_t QueryNumber(sqlite3* db, const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    std::int64_t value = 0;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

std::string NewIdentity()
{
    std::random_device random;
    char text[33];
    for (int i = 0; i < 4; ++i) std::snprintf(text + i * 8, 9, "%08x", random());
    return text;
}

sqlite3* OpenFile(const std::string& path, std::string& error)
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        error = LastError(db);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyMilliseconds);
    return db;
}

void BindText(sqlite3_stmt* stmt, int index, const std::string& text)
{
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* stmt, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_blob(stmt, column));
    const int size = sqlite3_column_bytes(stmt, column);
    return text != nullptr ? std::string(text, static_cast<std::size_t>(size)) : std::string();
}

void PutLength(std::string& out, std::size_t n)
{
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((n >> shift) & 0xFF);
}

}  // namespace

std::string EncodeParams(const std::vector<storage::Param>& params)
{
    std::string out;
    for (const auto& p : params) {
        out += static_cast<char>(p.type);
        PutLength(out, p.value.size());
        out += p.value;
    }
    return out;
}

bool DecodeParams(std::string_view bytes, std::vector<storage::Param>& params)
{
    params.clear();
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5) return false;
        const auto type = static_cast<std::uint8_t>(bytes[at]);
        if (type > static_cast<std::uint8_t>(storage::ParamType::DateTime)) return false;
        std::size_t n = 0;
        for (int i = 1; i <= 4; ++i) n = (n << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
        at += 5;
        if (bytes.size() - at < n) return false;
        params.push_back(storage::Param{static_cast<storage::ParamType>(type), std::string(bytes.substr(at, n))});
        at += n;
    }
    return true;
}

ReportJournal::ReportJournal() = default;

ReportJournal::~ReportJournal() { Close(); }

bool ReportJournal::Open(const Options& options, std::string& error)
{
    Close();
    options_ = options;
    db_ = OpenFile(options_.path, error);
    if (db_ == nullptr) return false;
    const std::string pragmas = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") +
                                (options_.syncEachCommit ? "FULL" : "NORMAL") + ";";
    bool ok = Exec(db_, pragmas.c_str(), &error) && Exec(db_, kSchema, &error);
    if (ok) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, "SELECT Value FROM JournalInfo WHERE Key='id'", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            id_ = ColumnText(stmt, 0);
        sqlite3_finalize(stmt);
        if (id_.empty()) {
            id_ = NewIdentity();
            const std::string insert = "INSERT INTO JournalInfo (Key, Value) VALUES ('id', '" + id_ + "')";
            ok = Exec(db_, insert.c_str(), &error);
        }
    }
    ok = ok && sqlite3_prepare_v2(db_,
                                  "INSERT INTO Reports (ReceivedAt, StorageNumber, Station, Centre, FunctionCode, "
                                  "LinkKind, Frame) VALUES (?,?,?,?,?,?,?)",
                                  -1, &insert_, nullptr) == SQLITE_OK;
    if (!ok) {
        if (error.empty()) error = LastError(db_);
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    // The highest number ever given, also when every report has been deleted.
    lastSeq_ = std::max(QueryNumber(db_, "SELECT seq FROM sqlite_sequence WHERE name='Reports'"),
                        QueryNumber(db_, "SELECT IFNULL(MAX(Seq),0) FROM Reports"));
    deletedUpTo_ = QueryNumber(db_, "SELECT IFNULL(MIN(Seq),0) FROM Reports");
    deletedUpTo_ = deletedUpTo_ > 0 ? deletedUpTo_ - 1 : lastSeq_.load();
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        closing_ = false;
        interrupted_ = false;
        // Nothing the file holds now is written anywhere until a writer says so.
        writers_.assign(static_cast<std::size_t>(std::max(0, options_.writers)), deletedUpTo_);
        writersTaken_ = 0;
        pending_.clear();
    }
    failing_ = false;
    full_ = false;
    MeasureSize();
    open_ = true;
    committer_ = std::thread([this] { CommitterLoop(); });
    const std::int64_t waiting = lastSeq_.load() - deletedUpTo_;
    if (waiting > 0)
        RTU_LOG_ERROR("report journal " << options_.path << " holds " << waiting
                                        << " reports from before this start; each database writes those it does "
                                           "not have yet");
    return true;
}

void ReportJournal::Close()
{
    if (!committer_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        closing_ = true;
    }
    wake_.notify_all();
    committer_.join();
    open_ = false;
    Interrupt();
    sqlite3_finalize(insert_);
    insert_ = nullptr;
    sqlite3_close(db_);
    db_ = nullptr;
}

ReportJournal::Submitted ReportJournal::Submit(StoredReport report, std::function<void()> onKept)
{
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        if (!open_.load() || closing_) return Submitted::Closed;
        if (full_.load() || pending_.size() >= kMostPending) return Submitted::Full;
        pending_.push_back(Pending{std::move(report), std::move(onKept)});
    }
    wake_.notify_one();
    return Submitted::Accepted;
}

bool ReportJournal::WaitBeyond(std::int64_t seq, std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(pendingLock_);
    written_.wait_for(lock, limit, [&] { return lastSeq_.load() > seq || interrupted_; });
    interrupted_ = false;
    return lastSeq_.load() > seq;
}

void ReportJournal::Interrupt()
{
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        interrupted_ = true;
    }
    written_.notify_all();
}

int ReportJournal::AddWriter()
{
    std::lock_guard<std::mutex> lock(pendingLock_);
    // A new writer has written nothing this journal still holds.
    if (writersTaken_ >= writers_.size()) writers_.push_back(deletedUpTo_);
    return static_cast<int>(writersTaken_++);
}

void ReportJournal::SetWritten(int slot, std::int64_t seq)
{
    std::lock_guard<std::mutex> lock(pendingLock_);
    if (slot >= 0 && static_cast<std::size_t>(slot) < writers_.size())
        writers_[static_cast<std::size_t>(slot)] = std::max(writers_[static_cast<std::size_t>(slot)], seq);
}

void ReportJournal::CommitterLoop()
{
    pthread_setname_np(pthread_self(), "rtu-journal");
    std::vector<Pending> group;
    auto lastMeasure = std::chrono::steady_clock::now();
    for (;;) {
        bool closing = false;
        {
            std::unique_lock<std::mutex> lock(pendingLock_);
            wake_.wait_for(lock, kHousekeeping, [this] { return !pending_.empty() || closing_; });
            group.swap(pending_);
            closing = closing_;
        }
        if (!group.empty()) {
            if (WriteGroup(group)) {
                written_.notify_all();
                for (auto& item : group)
                    if (item.onKept) item.onKept();
            }
            group.clear();
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - lastMeasure >= kMeasureEvery || closing) {
            DeleteWritten();
            MeasureSize();
            lastMeasure = now;
        }
        if (closing) {
            std::lock_guard<std::mutex> lock(pendingLock_);
            if (pending_.empty()) break;
        }
    }
}

// One transaction for the whole group: one commit (and with syncEachCommit
// one sync) for every report that arrived while the last group was written.
bool ReportJournal::WriteGroup(std::vector<Pending>& group)
{
    std::string error;
    bool ok = Exec(db_, "BEGIN IMMEDIATE", &error);
    std::int64_t last = lastSeq_.load();
    for (std::size_t i = 0; ok && i < group.size(); ++i) {
        const StoredReport& r = group[i].report;
        BindText(insert_, 1, r.receivedAt);
        BindText(insert_, 2, r.storageNumber);
        BindText(insert_, 3, r.station);
        BindText(insert_, 4, r.centre);
        BindText(insert_, 5, r.functionCode);
        sqlite3_bind_int(insert_, 6, r.linkKind);
        sqlite3_bind_blob(insert_, 7, r.frame.data(), static_cast<int>(r.frame.size()), SQLITE_TRANSIENT);
        ok = sqlite3_step(insert_) == SQLITE_DONE;
        if (!ok) error = LastError(db_);
        sqlite3_reset(insert_);
        last = sqlite3_last_insert_rowid(db_);
    }
    ok = ok && Exec(db_, "COMMIT", &error);
    if (!ok) {
        Exec(db_, "ROLLBACK");
        // Not in the file: these reports are not acknowledged, their stations send them again.
        if (!failing_)
            RTU_LOG_ERROR("report journal " << options_.path << " cannot be written (" << error << "): "
                                            << group.size() << " reports not acknowledged; stations send them again");
        failing_ = true;
        return false;
    }
    if (failing_) RTU_LOG_ERROR("report journal " << options_.path << " is written again");
    failing_ = false;
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        lastSeq_ = last;
    }
    return true;
}

void ReportJournal::DeleteWritten()
{
    std::int64_t upTo = 0;
    {
        std::lock_guard<std::mutex> lock(pendingLock_);
        if (writers_.empty()) return;
        upTo = *std::min_element(writers_.begin(), writers_.end());
    }
    if (upTo <= deletedUpTo_) return;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "DELETE FROM Reports WHERE Seq <= ?", -1, &stmt, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(stmt, 1, upTo);
        if (sqlite3_step(stmt) == SQLITE_DONE) {
            std::lock_guard<std::mutex> lock(pendingLock_);
            deletedUpTo_ = upTo;
        }
    }
    sqlite3_finalize(stmt);
}

void ReportJournal::MeasureSize()
{
    const std::int64_t pages = QueryNumber(db_, "PRAGMA page_count");
    const std::int64_t freePages = QueryNumber(db_, "PRAGMA freelist_count");
    const std::int64_t pageSize = QueryNumber(db_, "PRAGMA page_size");
    const auto used = static_cast<std::uint64_t>(std::max<std::int64_t>(0, pages - freePages) * pageSize);
    usedBytes_ = used;
    const bool wasFull = full_.load();
    // Room again only well below the limit, so the state does not flicker.
    const bool nowFull = wasFull ? used > options_.maxBytes / 10 * 9 : used >= options_.maxBytes;
    full_ = nowFull;
    if (nowFull && !wasFull)
        RTU_LOG_ERROR("report journal " << options_.path << " is full (" << used / (1024 * 1024) << " MB of "
                                        << options_.maxBytes / (1024 * 1024)
                                        << " MB): stations are not acknowledged until the databases have written "
                                           "the backlog");
    else if (!nowFull && wasFull)
        RTU_LOG_ERROR("report journal " << options_.path << " has room again (" << used / (1024 * 1024)
                                        << " MB): stations are acknowledged again");
}

// ---- Reader -----------------------------------------------------------------

ReportJournal::Reader::Reader(const std::string& path)
{
    db_ = OpenFile(path, error_);
    if (db_ != nullptr &&
        sqlite3_prepare_v2(db_,
                           "SELECT Seq, ReceivedAt, StorageNumber, Station, Centre, FunctionCode, LinkKind, Frame "
                           "FROM Reports WHERE Seq > ? ORDER BY Seq LIMIT ?",
                           -1, &read_, nullptr) != SQLITE_OK) {
        error_ = LastError(db_);
        sqlite3_close(db_);
        db_ = nullptr;
    }
}

ReportJournal::Reader::~Reader()
{
    sqlite3_finalize(read_);
    sqlite3_close(db_);
}

bool ReportJournal::Reader::ReadAfter(std::int64_t seq, std::size_t most, std::vector<JournalEntry>& out)
{
    out.clear();
    if (db_ == nullptr) return false;
    sqlite3_bind_int64(read_, 1, seq);
    sqlite3_bind_int64(read_, 2, static_cast<sqlite3_int64>(most));
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(read_)) == SQLITE_ROW) {
        JournalEntry entry;
        entry.seq = sqlite3_column_int64(read_, 0);
        entry.report.receivedAt = ColumnText(read_, 1);
        entry.report.storageNumber = ColumnText(read_, 2);
        entry.report.station = ColumnText(read_, 3);
        entry.report.centre = ColumnText(read_, 4);
        entry.report.functionCode = ColumnText(read_, 5);
        entry.report.linkKind = sqlite3_column_int(read_, 6);
        entry.report.frame = ColumnText(read_, 7);
        out.push_back(std::move(entry));
    }
    if (rc != SQLITE_DONE) error_ = LastError(db_);
    sqlite3_reset(read_);
    return rc == SQLITE_DONE;
}

std::int64_t ReportJournal::Reader::SeqBeforeFirst()
{
    return db_ != nullptr ? QueryNumber(db_,
                                        "SELECT IFNULL(MIN(Seq)-1, (SELECT IFNULL(MAX(seq),0) FROM sqlite_sequence "
                                        "WHERE name='Reports')) FROM Reports")
                          : 0;
}

bool ReportJournal::Reader::AddRejected(const std::vector<RejectedStatement>& rejected)
{
    if (db_ == nullptr || rejected.empty()) return db_ != nullptr;
    sqlite3_stmt* stmt = nullptr;
    bool ok = Exec(db_, "BEGIN IMMEDIATE", &error_) &&
              sqlite3_prepare_v2(db_,
                                 "INSERT INTO Rejected (Seq, Part, Db, Kind, Statement, Params, Shown, Error, "
                                 "RejectedAt, Tries) VALUES (?,?,?,?,?,?,?,?,?,1) ON CONFLICT (Seq, Db, Part) DO UPDATE SET "
                                 "Error=excluded.Error, RejectedAt=excluded.RejectedAt, Tries=Tries+1",
                                 -1, &stmt, nullptr) == SQLITE_OK;
    for (const auto& r : rejected) {
        if (!ok) break;
        sqlite3_bind_int64(stmt, 1, r.seq);
        sqlite3_bind_int(stmt, 2, r.part);
        BindText(stmt, 3, r.database);
        sqlite3_bind_int(stmt, 4, r.kind);
        BindText(stmt, 5, r.statement);
        const std::string params = EncodeParams(r.params);
        sqlite3_bind_blob(stmt, 6, params.data(), static_cast<int>(params.size()), SQLITE_TRANSIENT);
        BindText(stmt, 7, RenderStatement(r.statement, r.params));
        BindText(stmt, 8, r.error);
        BindText(stmt, 9, r.rejectedAt.empty() ? NowText() : r.rejectedAt);
        ok = sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    if (ok) ok = Exec(db_, "COMMIT", &error_);
    if (!ok) {
        error_ = LastError(db_);
        Exec(db_, "ROLLBACK");
    }
    return ok;
}

bool ReportJournal::Reader::ListRejected(std::vector<RejectedStatement>& out)
{
    out.clear();
    if (db_ == nullptr) return false;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT Id, Seq, Part, Db, Kind, Statement, Params, Error, RejectedAt, Tries FROM Rejected "
                           "ORDER BY Id",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        error_ = LastError(db_);
        return false;
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        RejectedStatement r;
        r.id = sqlite3_column_int64(stmt, 0);
        r.seq = sqlite3_column_int64(stmt, 1);
        r.part = sqlite3_column_int(stmt, 2);
        r.database = ColumnText(stmt, 3);
        r.kind = sqlite3_column_int(stmt, 4);
        r.statement = ColumnText(stmt, 5);
        DecodeParams(ColumnText(stmt, 6), r.params);
        r.error = ColumnText(stmt, 7);
        r.rejectedAt = ColumnText(stmt, 8);
        r.tries = sqlite3_column_int(stmt, 9);
        out.push_back(std::move(r));
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
}

bool ReportJournal::Reader::RemoveRejected(std::int64_t id)
{
    sqlite3_stmt* stmt = nullptr;
    bool ok = db_ != nullptr && sqlite3_prepare_v2(db_, "DELETE FROM Rejected WHERE Id=?", -1, &stmt, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int64(stmt, 1, id);
        ok = sqlite3_step(stmt) == SQLITE_DONE;
    }
    sqlite3_finalize(stmt);
    return ok;
}

bool ReportJournal::Reader::UpdateRejected(const RejectedStatement& rejected)
{
    sqlite3_stmt* stmt = nullptr;
    bool ok = db_ != nullptr &&
              sqlite3_prepare_v2(db_, "UPDATE Rejected SET Error=?, RejectedAt=?, Tries=Tries+1 WHERE Id=?", -1, &stmt,
                                 nullptr) == SQLITE_OK;
    if (ok) {
        BindText(stmt, 1, rejected.error);
        BindText(stmt, 2, NowText());
        sqlite3_bind_int64(stmt, 3, rejected.id);
        ok = sqlite3_step(stmt) == SQLITE_DONE;
    }
    sqlite3_finalize(stmt);
    return ok;
}

}  // namespace rtu::journal
