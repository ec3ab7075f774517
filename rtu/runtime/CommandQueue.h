// The command queue: other systems put prepared downlink frames, as
// hexadecimal text, into the table SendCommandInfo of the main database; the
// command-queue thread sends the waiting rows of stations that have a link and
// marks each row it has handed over with Status 1.
//
// One poll (PollOnce):
//   - the waiting rows (Status 0) of the stations that have a link now, oldest
//     first, at most kBatch of them sent per poll;
//   - a row is claimed before it is sent: it is set to Status 1 in a
//     transaction that first locks the row and checks it still waits, so when
//     several data centres share the database and a station is linked to more
//     than one of them, only one centre sends the command. A row whose bytes
//     then could not be handed over is set back to waiting (retried at later
//     polls if the database refuses);
//   - with a table that cannot claim, a row is sent, then marked on the
//     caller's thread; a row whose mark could not be written is remembered and
//     not sent again while the mark is retried at the following polls, so a
//     command goes out once;
//   - a row whose CommandData is not hexadecimal text of even length is logged
//     once and left waiting;
//   - a row whose bytes could not be handed to the link stays waiting and is
//     tried again at a later poll.
//
// Threads: PollOnce runs on the command-queue thread only; the object keeps
// state between polls and is not shared.
#pragma once

#include "rtu/runtime/LinkTransport.h"
#include "rtu/storage/AdoDB.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace rtu::storage {
class CSqlWorkerPool;
}

namespace rtu {

// The main database as the command queue needs it.
class CommandTable {
public:
    virtual ~CommandTable() = default;
    // A synchronous query; false when the database could not answer.
    virtual bool QueryRows(const std::string& statement, storage::Rows& rows) = 0;
    // Executes a statement on the caller's thread and commits it; true when
    // the database accepted it.
    virtual bool Execute(const std::string& statement) = 0;

    enum class Claim {
        Claimed,      // the row was waiting and is now marked sent by this caller
        Taken,        // the row no longer waits (another centre took it)
        Failed,       // the database did not answer; the row is unchanged
        NotSupported  // this table cannot claim: send, then mark
    };
    // Marks a waiting row of the station as sent (Status 1) such that of
    // several callers at the same time exactly one gets Claimed.
    virtual Claim ClaimRow(const std::string& id, const std::string& station);
};

// The main database pool as a command table: queries through the pool, the
// status updates on a connection of the caller's own.
class PoolCommandTable : public CommandTable {
public:
    explicit PoolCommandTable(storage::CSqlWorkerPool& pool) : pool_(pool) {}
    bool QueryRows(const std::string& statement, storage::Rows& rows) override;
    bool Execute(const std::string& statement) override;
    // On a connection of the caller's own, in one transaction: a no-op
    // update locks the row, the status is read under that lock, and a
    // waiting row is set to 1.
    Claim ClaimRow(const std::string& id, const std::string& station) override;

private:
    storage::CSqlWorkerPool& pool_;
};

class CommandQueue {
public:
    using SendRawFn = std::function<SendResult(const std::string& station, const std::uint8_t* bytes,
                                               std::size_t length)>;
    // Addresses of the stations that have a network or serial link now.
    using LinkedStationsFn = std::function<std::vector<std::string>()>;

    // Rows sent per poll.
    static constexpr std::size_t kBatch = 10;

    CommandQueue(CommandTable& table, SendRawFn sendRaw, LinkedStationsFn linkedStations);

    // One poll of the table. True when at least one row was handed over (the
    // caller polls again after 100 ms), false otherwise (after 2 s).
    bool PollOnce();

    // Rows sent whose mark is still to be written (for the log and tests).
    std::size_t UnconfirmedCount() const { return unconfirmed_.size(); }
    // Rows claimed but not handed over whose return to waiting is still to be
    // written (for the log and tests).
    std::size_t UnreleasedCount() const { return unreleased_.size(); }

private:
    bool Mark(const std::string& id, const std::string& station);
    bool Release(const std::string& id, const std::string& station);
    void RetryMarks();

    CommandTable& table_;
    SendRawFn sendRaw_;
    LinkedStationsFn linkedStations_;
    std::map<std::string, std::string> unconfirmed_;  // row id -> station, sent but not yet marked
    std::map<std::string, std::string> unreleased_;   // row id -> station, claimed, not sent, still marked
    std::set<std::string> badRows_;                    // ids whose CommandData was reported
};

}  // namespace rtu
