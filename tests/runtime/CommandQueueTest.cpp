// The command queue against real databases of the program's schema: a new
// SQLite file, and a schema of its own in the PostgreSQL test server.
#include "rtu/runtime/CommandQueue.h"

#include "tests/runtime/PicturesTestSupport.h"
#include "rtu/storage/SqlWorkerPool.h"
#include "rtu/uplink/StatementTarget.h"
#include "tests/storage/TestDatabase.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace rtu::pictures_test {
namespace {

const std::string kLinked = "0000000101";
const std::string kSerial = "0000000102";
const std::string kOffline = "0000000103";

// The pool's table with switches for failures. Rows are claimed as the
// running program claims them, unless `claims` is turned off (a table that
// cannot claim: send, then mark).
struct SwitchableTable : CommandTable {
    explicit SwitchableTable(CommandTable& inner) : real(inner) {}
    bool QueryRows(const std::string& statement, storage::Rows& rows) override
    {
        ++queries;
        return real.QueryRows(statement, rows);
    }
    bool Execute(const std::string& statement) override { return !failMarks && real.Execute(statement); }
    Claim ClaimRow(const std::string& id, const std::string& station) override
    {
        if (!claims) return Claim::NotSupported;
        return failClaims ? Claim::Failed : real.ClaimRow(id, station);
    }

    CommandTable& real;
    bool claims = true;
    bool failClaims = false;
    bool failMarks = false;  // also the return of a claimed row to waiting
    int queries = 0;
};

class CommandQueueTest : public InTemporaryFolder, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        InTemporaryFolder::SetUp();
        std::string why;
        database_ = storage::test::TestDatabase::Create(GetParam(), why);
        if (!database_) GTEST_SKIP() << why;
        pool_.SetConnectionString(database_->Connection());
        // The first query creates the program's tables in the new file.
        storage::Rows rows;
        ASSERT_TRUE(pool_.QueryRows("select count(*) from SendCommandInfo", rows));
    }

    // A waiting row inserted at second `second` of a fixed minute.
    void Insert(const std::string& station, const std::string& data, int second)
    {
        ASSERT_TRUE(poolTable_.Execute(SqlText("insert into SendCommandInfo (YCZNo, CommandData, Status, InsertTime) "
                                               "values ('%s', '%s', 0, '2026-05-14 10:%02d:%02d')",
                                               storage::SqlEscape(station).c_str(), data.c_str(), second / 60,
                                               second % 60)));
    }

    // Data of the rows still waiting, in id order.
    std::vector<std::string> Waiting()
    {
        storage::Rows rows;
        EXPECT_TRUE(pool_.QueryRows("select CommandData from SendCommandInfo where Status=0 order by Id", rows));
        std::vector<std::string> data;
        for (const auto& row : rows) data.push_back(row.at(0));
        return data;
    }

    SendResult SendRaw(const std::string& station, const std::uint8_t* bytes, std::size_t length)
    {
        sent_.push_back(station + ":" + std::string(reinterpret_cast<const char*>(bytes), length));
        auto result = results_.find(station);
        return result == results_.end() ? SendResult::NoLink : result->second;
    }

    std::unique_ptr<storage::test::TestDatabase> database_;
    storage::CSqlWorkerPool pool_;
    PoolCommandTable poolTable_{pool_};
    SwitchableTable table_{poolTable_};
    std::map<std::string, SendResult> results_{{kLinked, SendResult::HandedOver},
                                               {kSerial, SendResult::HandedOver}};
    std::vector<std::string> linked_{kLinked, kSerial};
    std::vector<std::string> sent_;
    CommandQueue queue_{table_,
                        [this](const std::string& s, const std::uint8_t* b, std::size_t n) { return SendRaw(s, b, n); },
                        [this] { return linked_; }};
};

TEST_P(CommandQueueTest, RowsAreSentOnceOldestFirstTenPerPollAndMarkedAtOnce)
{
    // Inserted newest first: the order of sending follows InsertTime.
    for (int i = 12; i >= 1; --i) Insert(i % 2 == 0 ? kLinked : kSerial, SqlText("%02X", i), i);

    EXPECT_TRUE(queue_.PollOnce());
    ASSERT_EQ(sent_.size(), 10u);
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(sent_[static_cast<std::size_t>(i - 1)], (i % 2 == 0 ? kLinked : kSerial) + ":" + std::string(1, char(i)));
    EXPECT_EQ(Waiting(), (std::vector<std::string>{"0C", "0B"})) << "network and serial rows alike are marked";

    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(sent_.size(), 12u);
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_EQ(sent_.size(), 12u) << "no row is sent twice";
    EXPECT_TRUE(Waiting().empty());
}

TEST_P(CommandQueueTest, RowsOfStationsWithoutALinkWaitWithoutBlockingOthers)
{
    for (int i = 1; i <= 15; ++i) Insert(kOffline, "AA", i);
    Insert(kLinked, "0102", 20);
    Insert("01'x", "BB", 21);  // a quote in the address stays inside its literal

    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(sent_, (std::vector<std::string>{kLinked + ":\x01\x02"}));
    EXPECT_EQ(Waiting().size(), 16u);

    // The station connects: its rows go at the next poll.
    linked_.push_back(kOffline);
    results_[kOffline] = SendResult::HandedOver;
    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(sent_.size(), 11u);
    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(sent_.size(), 16u);
    EXPECT_EQ(Waiting(), (std::vector<std::string>{"BB"}));
    linked_ = {"01'x"};
    results_["01'x"] = SendResult::HandedOver;
    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_TRUE(Waiting().empty());

    // Nobody linked: no query at all.
    linked_.clear();
    const int queries = table_.queries;
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_EQ(table_.queries, queries);
}

TEST_P(CommandQueueTest, ARowWhoseBytesWereNotHandedOverWaitsAndIsTriedAgain)
{
    results_[kLinked] = SendResult::NotHandedOver;
    Insert(kLinked, "C0FFEE", 1);
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_EQ(Waiting(), (std::vector<std::string>{"C0FFEE"}));

    results_[kLinked] = SendResult::HandedOver;
    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(sent_, (std::vector<std::string>(2, kLinked + ":\xC0\xFF\xEE")));
    EXPECT_TRUE(Waiting().empty());
}

TEST_P(CommandQueueTest, CommandDataThatIsNotHexTextIsLoggedOnceAndLeftWaiting)
{
    LogCapture log;
    const std::vector<std::string> bad{"ABC", "ZZ", "0x12", "A B "};
    for (int i = 0; i < 12; ++i) Insert(kLinked, bad[static_cast<std::size_t>(i) % bad.size()], i);
    Insert(kLinked, "7E", 30);

    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(sent_, (std::vector<std::string>{kLinked + ":\x7E"})) << "bad rows do not fill the batch";
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_EQ(log.CountContaining("not hexadecimal text"), 12);
    EXPECT_EQ(Waiting().size(), 12u);
}

TEST_P(CommandQueueTest, AClaimedRowNotHandedOverWaitsAgainAlsoWhenSettingItBackFailsAtFirst)
{
    Insert(kLinked, "01", 1);
    Insert(kSerial, "02", 2);
    // The database does not answer the claim: nothing goes out, rows wait.
    table_.failClaims = true;
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_TRUE(sent_.empty());
    EXPECT_EQ(Waiting().size(), 2u);

    // Claimed, not handed over, and the return to waiting is refused: the
    // row is not sent again meanwhile and waits once the return is written.
    table_.failClaims = false;
    table_.failMarks = true;
    results_[kLinked] = SendResult::NotHandedOver;
    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(sent_, (std::vector<std::string>{kLinked + ":\x01", kSerial + ":\x02"}));
    EXPECT_EQ(queue_.UnreleasedCount(), 1u);
    EXPECT_TRUE(Waiting().empty()) << "a claimed row is marked before it is sent";
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_EQ(sent_.size(), 2u);

    table_.failMarks = false;
    results_[kLinked] = SendResult::HandedOver;
    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_EQ(queue_.UnreleasedCount(), 0u);
    EXPECT_EQ(sent_.back(), kLinked + ":\x01");
    EXPECT_TRUE(Waiting().empty());
}

TEST_P(CommandQueueTest, WithoutClaimsARowWhoseMarkFailedIsNotSentAgainWhileTheMarkIsRetried)
{
    table_.claims = false;
    Insert(kLinked, "01", 1);
    table_.failMarks = true;
    EXPECT_TRUE(queue_.PollOnce());
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_EQ(sent_.size(), 1u);
    EXPECT_EQ(queue_.UnconfirmedCount(), 1u);
    EXPECT_EQ(Waiting().size(), 1u);

    table_.failMarks = false;
    EXPECT_FALSE(queue_.PollOnce());
    EXPECT_EQ(sent_.size(), 1u);
    EXPECT_EQ(queue_.UnconfirmedCount(), 0u);
    EXPECT_TRUE(Waiting().empty());
}

TEST_P(CommandQueueTest, AnUnreachableDatabaseSendsNothing)
{
    Insert(kLinked, "01", 1);
    storage::CSqlWorkerPool unreachable;
    unreachable.SetConnectionString(database_->UnreachableConnection());
    PoolCommandTable table(unreachable);
    CommandQueue queue(
        table, [this](const std::string& s, const std::uint8_t* b, std::size_t n) { return SendRaw(s, b, n); },
        [this] { return linked_; });
    EXPECT_FALSE(queue.PollOnce());
    EXPECT_TRUE(sent_.empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, CommandQueueTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace rtu::pictures_test
