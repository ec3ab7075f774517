#include "rtu/runtime/CommandQueue.h"

#include "rtu/protocol/HexText.h"
#include "rtu/common/Log.h"
#include "rtu/storage/SqlDialect.h"
#include "rtu/storage/SqlWorkerPool.h"
#include "rtu/uplink/StatementTarget.h"

#include <algorithm>

namespace rtu {

namespace {

// Rows that are skipped (bad text, mark pending) are selected on top of the
// batch, so they cannot crowd out sendable rows; this bounds the selection.
constexpr std::size_t kMostRowsSelected = 1000;
// Reported bad rows remembered; beyond this the memory is cleared (and a row
// still bad is reported once more).
constexpr std::size_t kMostBadRowsKept = 10000;
constexpr std::size_t kShownDataCharacters = 64;
// Queries of one poll at most, when the first pages hold only rows to skip.
constexpr int kMostRounds = 5;

std::string Shown(const std::string& data)
{
    if (data.size() <= kShownDataCharacters) return data;
    return data.substr(0, kShownDataCharacters) + "... (" + std::to_string(data.size()) + " characters)";
}

}  // namespace

// ---- PoolCommandTable --------------------------------------------------------------

bool PoolCommandTable::QueryRows(const std::string& statement, storage::Rows& rows)
{
    return pool_.QueryRows(statement, rows);
}

bool PoolCommandTable::Execute(const std::string& statement)
{
    storage::CAdoDB db;
    if (!db.Open(pool_.ConnectionString())) {
        RTU_LOG_ERROR("command queue: database not reached: " << db.LastError());
        return false;
    }
    bool ok = db.BeginTrans() >= 0;
    ok = ok && db.Execute(statement);
    ok = ok && db.CommitTrans();
    if (!ok) RTU_LOG_ERROR("command queue: " << db.LastError() << " -- " << statement);
    db.Close();
    return ok;
}

CommandTable::Claim CommandTable::ClaimRow(const std::string&, const std::string&)
{
    return Claim::NotSupported;
}

CommandTable::Claim PoolCommandTable::ClaimRow(const std::string& id, const std::string& station)
{
    const std::string where =
        SqlText("[YCZNo]='%s' and [Id]='%s'", storage::SqlEscape(station).c_str(), storage::SqlEscape(id).c_str());
    storage::CAdoDB db;
    if (!db.Open(pool_.ConnectionString())) {
        RTU_LOG_ERROR("command queue: database not reached: " << db.LastError());
        return Claim::Failed;
    }
    // The no-op update waits for any other centre that holds the row and then
    // keeps it locked until this transaction ends, so the status read next
    // cannot change before it is written.
    std::string status;  // stays empty when the row is gone
    bool ok = db.BeginTrans() >= 0;
    ok = ok && db.Execute("update SendCommandInfo set Status=Status where " + where);
    ok = ok && db.QueryValue("select Status from SendCommandInfo where " + where, status);
    if (ok && status == "0") {
        const std::string mark = "update SendCommandInfo set Status=1 where " + where;
        RTU_LOG_DEBUG(mark);
        ok = db.Execute(mark) && db.CommitTrans();
        if (ok) return Claim::Claimed;
    }
    if (!ok) RTU_LOG_ERROR("command queue: command " << id << " for " << station << " not claimed: " << db.LastError());
    db.RollbackTrans();
    return ok ? Claim::Taken : Claim::Failed;
}

// ---- CommandQueue ----------------------------------------------------------------------

CommandQueue::CommandQueue(CommandTable& table, SendRawFn sendRaw, LinkedStationsFn linkedStations)
    : table_(table), sendRaw_(std::move(sendRaw)), linkedStations_(std::move(linkedStations))
{
}

bool CommandQueue::Mark(const std::string& id, const std::string& station)
{
    const std::string statement =
        SqlText("update SendCommandInfo set Status=1 where [YCZNo]='%s' and [Id]='%s'",
                storage::SqlEscape(station).c_str(), storage::SqlEscape(id).c_str());
    RTU_LOG_DEBUG(statement);
    return table_.Execute(statement);
}

bool CommandQueue::Release(const std::string& id, const std::string& station)
{
    const std::string statement =
        SqlText("update SendCommandInfo set Status=0 where [YCZNo]='%s' and [Id]='%s' and Status=1",
                storage::SqlEscape(station).c_str(), storage::SqlEscape(id).c_str());
    RTU_LOG_DEBUG(statement);
    return table_.Execute(statement);
}

void CommandQueue::RetryMarks()
{
    for (auto it = unconfirmed_.begin(); it != unconfirmed_.end();) {
        if (Mark(it->first, it->second))
            it = unconfirmed_.erase(it);
        else
            ++it;
    }
    for (auto it = unreleased_.begin(); it != unreleased_.end();) {
        if (Release(it->first, it->second))
            it = unreleased_.erase(it);
        else
            ++it;
    }
}

bool CommandQueue::PollOnce()
{
    RetryMarks();

    std::vector<std::string> stations = linkedStations_ ? linkedStations_() : std::vector<std::string>();
    if (stations.empty()) return false;  // nobody to send to: no query
    std::sort(stations.begin(), stations.end());
    stations.erase(std::unique(stations.begin(), stations.end()), stations.end());
    std::string list;
    for (const std::string& station : stations) {
        if (!list.empty()) list += ',';
        list += "'" + storage::SqlEscape(station) + "'";
    }

    if (badRows_.size() > kMostBadRowsKept) badRows_.clear();
    // Rows of this poll that went to SendRaw and still wait (no link any
    // more, or not handed over): not tried twice in one poll.
    std::set<std::string> tried;
    std::size_t sent = 0;
    bool databaseFailed = false;
    for (int round = 0; round < kMostRounds && sent < kBatch && !databaseFailed; ++round) {
        // Rows known to be skipped are selected on top of what the batch
        // still takes, so they cannot fill it.
        const std::size_t limit =
            std::min(kMostRowsSelected, kBatch - sent + unconfirmed_.size() + badRows_.size() + tried.size());
        const std::string query = SqlText(
            "SELECT top %zu Id,YCZNo,CommandData,Status FROM SendCommandInfo WHERE Status=0 and YCZNo in (%s) "
            "ORDER BY InsertTime,Id",
            limit, list.c_str());
        storage::Rows rows;
        if (!table_.QueryRows(query, rows)) break;

        bool skippedNew = false;
        for (const storage::Row& row : rows) {
            if (sent == kBatch) break;
            if (row.size() != 4) continue;
            const std::string& id = row[0];
            const std::string& station = row[1];
            const std::string& data = row[2];
            if (unconfirmed_.count(id) != 0 || unreleased_.count(id) != 0 || tried.count(id) != 0) continue;
            if (!IsHexText(data)) {
                if (badRows_.insert(id).second) {
                    skippedNew = true;
                    RTU_LOG_ERROR("command " << id << " for " << station
                                             << " left waiting: CommandData is not hexadecimal text of even length: "
                                             << Shown(data));
                }
                continue;
            }
            badRows_.erase(id);

            const CommandTable::Claim claim = table_.ClaimRow(id, station);
            if (claim == CommandTable::Claim::Failed) {
                databaseFailed = true;  // the row waits; so does the rest of this poll
                break;
            }
            if (claim == CommandTable::Claim::Taken) {
                RTU_LOG_DEBUG("command " << id << " for " << station << " no longer waits (taken by another data centre)");
                tried.insert(id);
                skippedNew = true;
                continue;
            }
            const bool claimed = claim == CommandTable::Claim::Claimed;

            std::vector<std::uint8_t> bytes(data.size() / 2);
            HexTextToBytes(data, bytes.data(), bytes.size());
            const SendResult result =
                sendRaw_ ? sendRaw_(station, bytes.data(), bytes.size()) : SendResult::NoLink;
            if (result != SendResult::HandedOver) {
                // No link any more, or the link did not take the bytes: the
                // row waits for a later poll.
                if (result == SendResult::NotHandedOver)
                    RTU_LOG_DEBUG("command " << id << " for " << station
                                             << " could not be handed to its link; it waits");
                if (claimed && !Release(id, station)) {
                    unreleased_.emplace(id, station);
                    RTU_LOG_ERROR("command " << id << " for " << station
                                             << " was not sent but could not be set back to waiting; retried");
                }
                tried.insert(id);
                skippedNew = true;
                continue;
            }
            ++sent;
            if (claimed) continue;
            if (!Mark(id, station)) {
                unconfirmed_.emplace(id, station);
                RTU_LOG_ERROR("command " << id << " for " << station
                                         << " was sent but could not be marked; the mark is retried, the command is "
                                            "not sent again");
            }
        }
        // Another round only when this one filled its page and learned rows
        // to skip, so more waiting rows may lie behind them.
        if (rows.size() < limit || !skippedNew) break;
    }
    return sent > 0;
}

}  // namespace rtu
