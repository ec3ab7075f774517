// Two command queues, as two data centres would run them, on one command
// table: the PostgreSQL database of a private server, and an SQLite file.
// Every row goes out exactly once however the polls of the two interleave; a
// row the other centre took between the query and the claim is not sent; a
// claimed row whose bytes were not handed over waits again.
#include "tests/cluster/SharedServer.h"

#include "rtu/runtime/CommandQueue.h"
#include "rtu/storage/SqlWorkerPool.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

namespace rtu::cluster_test {
namespace {

const std::string kStation = "0000000501";

// The pool's table; it can play another centre that claims every row right
// after this centre's query returned it.
struct RacingTable : CommandTable {
    explicit RacingTable(PoolCommandTable& inner) : real(inner) {}
    bool QueryRows(const std::string& statement, storage::Rows& rows) override
    {
        const bool ok = real.QueryRows(statement, rows);
        if (ok && otherCentreClaims) real.Execute("update SendCommandInfo set Status=1 where Status=0");
        return ok;
    }
    bool Execute(const std::string& statement) override { return real.Execute(statement); }
    Claim ClaimRow(const std::string& id, const std::string& station) override { return real.ClaimRow(id, station); }

    PoolCommandTable& real;
    bool otherCentreClaims = false;
};

class CommandClaim : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        std::string why;
        if (GetParam() == "postgresql") {
            if (!server_.Join(why)) GTEST_SKIP() << why;
            database_ = server_.CreateDatabase(why);
            ASSERT_FALSE(database_.empty()) << why;
            connection_ = server_.Connection(database_);
        } else {
            folder_ = std::filesystem::temp_directory_path() / ("rtu-claim-" + std::to_string(::getpid()));
            std::filesystem::create_directories(folder_);
            connection_ = "Driver=SQLite3;Database=" + (folder_ / "main.db").string();
        }
        for (auto* pool : {&poolA_, &poolB_}) pool->SetConnectionString(connection_);
        storage::Rows rows;  // the first query creates the tables of a new SQLite file
        ASSERT_TRUE(poolA_.QueryRows("select count(*) from SendCommandInfo", rows));
    }

    void TearDown() override
    {
        if (!database_.empty()) server_.DropDatabase(database_);
        if (!folder_.empty()) std::filesystem::remove_all(folder_);
    }

    void Insert(int count)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(tableA_.Execute("insert into SendCommandInfo (YCZNo, CommandData, Status) values ('" +
                                        kStation + "', '" + std::string(1, "0123456789ABCDEF"[i / 16]) +
                                        "0123456789ABCDEF"[i % 16] + "', 0)"));
    }

    std::string Waiting()
    {
        storage::Rows rows;
        EXPECT_TRUE(poolA_.QueryRows("select count(*) from SendCommandInfo where Status=0", rows));
        return rows.empty() ? "" : rows[0][0];
    }

    SharedServer server_;
    std::string database_;
    std::filesystem::path folder_;
    std::string connection_;
    storage::CSqlWorkerPool poolA_;
    storage::CSqlWorkerPool poolB_;
    PoolCommandTable tableA_{poolA_};
    PoolCommandTable tableB_{poolB_};
};

TEST_P(CommandClaim, TwoCentresPollingOneTableSendEveryRowOnce)
{
    Insert(60);
    std::mutex lock;
    std::map<int, int> times;  // command byte -> sends
    auto send = [&](const std::string&, const std::uint8_t* bytes, std::size_t length) {
        std::lock_guard<std::mutex> guard(lock);
        if (length == 1) ++times[bytes[0]];
        return SendResult::HandedOver;
    };
    auto linked = [] { return std::vector<std::string>{kStation}; };
    CommandQueue a(tableA_, send, linked);
    CommandQueue b(tableB_, send, linked);

    std::atomic<bool> done{false};
    auto poll = [&](CommandQueue& queue) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done && std::chrono::steady_clock::now() < deadline) queue.PollOnce();
    };
    std::thread other([&] { poll(b); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Waiting() != "0" && std::chrono::steady_clock::now() < deadline) a.PollOnce();
    done = true;
    other.join();

    EXPECT_EQ(Waiting(), "0");
    ASSERT_EQ(times.size(), 60u) << "rows never sent";
    int repeated = 0;
    for (const auto& [command, count] : times) repeated += count > 1 ? 1 : 0;
    EXPECT_EQ(repeated, 0) << "rows sent by both centres";
}

TEST_P(CommandClaim, ARowTheOtherCentreTookAfterTheQueryIsNotSent)
{
    Insert(3);
    RacingTable racing(tableA_);
    racing.otherCentreClaims = true;
    int sends = 0;
    CommandQueue queue(
        racing, [&](const std::string&, const std::uint8_t*, std::size_t) {
            ++sends;
            return SendResult::HandedOver;
        },
        [] { return std::vector<std::string>{kStation}; });
    EXPECT_FALSE(queue.PollOnce());
    EXPECT_EQ(sends, 0);
    EXPECT_EQ(Waiting(), "0");
}

TEST_P(CommandClaim, AClaimedRowWhoseBytesWereNotHandedOverWaitsAgain)
{
    Insert(2);
    SendResult result = SendResult::NotHandedOver;
    int sends = 0;
    CommandQueue queue(
        tableA_, [&](const std::string&, const std::uint8_t*, std::size_t) {
            ++sends;
            return result;
        },
        [] { return std::vector<std::string>{kStation}; });
    EXPECT_FALSE(queue.PollOnce());
    EXPECT_EQ(sends, 2);
    EXPECT_EQ(Waiting(), "2");
    EXPECT_EQ(queue.UnreleasedCount(), 0u);

    result = SendResult::NoLink;  // the station went away between the query and the send
    EXPECT_FALSE(queue.PollOnce());
    EXPECT_EQ(Waiting(), "2");

    result = SendResult::HandedOver;
    EXPECT_TRUE(queue.PollOnce());
    EXPECT_EQ(sends, 6);
    EXPECT_EQ(Waiting(), "0");
}

INSTANTIATE_TEST_SUITE_P(Backends, CommandClaim, ::testing::Values("postgresql", "sqlite"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace rtu::cluster_test
