#include "TestDatabase.h"

#include "rtu/storage/SqlWorkerPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include <unistd.h>

namespace rtu::storage::test {
namespace {

using namespace std::chrono_literals;

// Waits until the condition holds or the time is up; the result says which.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

CSqlWorkerPool::Options FastRetry()
{
    CSqlWorkerPool::Options options;
    options.retryFirst = 10ms;
    options.retryLongest = 50ms;
    return options;
}

class Pool : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        std::string why;
        m_database = TestDatabase::Create(GetParam(), why);
        if (!m_database)
            GTEST_SKIP() << why;
    }

    std::string Insert(int n) const
    {
        return Format("exec proc_InsertReceive '%s','%s','%s'", Format("S%05d", n).c_str(), "32", "7E7E");
    }

    std::string Count(CSqlWorkerPool& pool)
    {
        std::string count = "none";
        EXPECT_TRUE(pool.QueryValue("select count(*) from ReceiveData", count));
        return count;
    }

    std::unique_ptr<TestDatabase> m_database;
};

TEST_P(Pool, StatementsQueuedWhileStoppedAreWrittenAfterStartAndStopDrainsTheQueue)
{
    CSqlWorkerPool pool;
    pool.SetConnectionString(m_database->Connection());
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(pool.Enqueue(Insert(i)));
    EXPECT_EQ(pool.Queued(), 300u);
    ASSERT_TRUE(pool.Start());
    EXPECT_FALSE(pool.Start());  // workers still live: nothing more started
    EXPECT_EQ(pool.LiveWorkers(), 4);
    pool.Stop();  // returns once every queued statement is written
    EXPECT_EQ(pool.LiveWorkers(), 0);
    EXPECT_EQ(pool.Queued(), 0u);
    EXPECT_EQ(pool.Executed(), 300u);
    EXPECT_EQ(Count(pool), "300");

    // Start right after Stop has workers again.
    ASSERT_TRUE(pool.Start());
    EXPECT_EQ(pool.LiveWorkers(), 4);
    ASSERT_TRUE(pool.Enqueue(Insert(300)));
    ASSERT_TRUE(WaitFor([&] { return pool.Executed() == 301u; }));
    EXPECT_EQ(Count(pool), "301");
}

TEST_P(Pool, AnOutageDelaysStatementsAndLosesNone)
{
    CSqlWorkerPool pool(FastRetry());
    pool.SetConnectionString(m_database->UnreachableConnection());
    EXPECT_FALSE(pool.TestConnection());
    ASSERT_TRUE(pool.Start());
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(pool.Enqueue(Insert(i)));
    ASSERT_TRUE(WaitFor([&] { return pool.InOutage(); }));
    EXPECT_EQ(pool.Executed(), 0u);
    EXPECT_EQ(pool.Rejected(), 0u);

    // A look-up does not wait for statements that cannot be written now.
    ASSERT_TRUE(pool.Enqueue(Insert(99), "station"));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(pool.WaitForKey("station", 20s));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);

    // A stop during the outage keeps what could not be written.
    pool.Stop(30ms);
    EXPECT_EQ(pool.Queued(), 41u);

    ASSERT_TRUE(pool.Start());
    ASSERT_TRUE(WaitFor([&] { return pool.Executed() == 0u && pool.InOutage(); }));
    pool.SetConnectionString(m_database->Connection());  // the database is back
    ASSERT_TRUE(WaitFor([&] { return pool.Executed() == 41u; }));
    EXPECT_FALSE(pool.InOutage());
    EXPECT_EQ(pool.Rejected(), 0u);
    EXPECT_EQ(Count(pool), "41");
}

TEST_P(Pool, StatementsTheServerRefusesAreDroppedAndTheRestGoOn)
{
    CSqlWorkerPool pool(FastRetry());
    pool.SetConnectionString(m_database->Connection());
    ASSERT_TRUE(pool.Start());
    ASSERT_TRUE(pool.Enqueue("insert into NoSuchTable values('1')"));
    ASSERT_TRUE(pool.Enqueue("exec proc_InsertReceive 'a'"));  // too few arguments
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(pool.Enqueue(Insert(i)));
    ASSERT_TRUE(WaitFor([&] { return pool.Executed() + pool.Rejected() == 22u; }));
    EXPECT_EQ(pool.Rejected(), 2u);
    EXPECT_FALSE(pool.InOutage());
    EXPECT_EQ(Count(pool), "20");
}

TEST_P(Pool, WritersOnManyThreadsLoseNothing)
{
    CSqlWorkerPool pool;
    pool.SetConnectionString(m_database->Connection());
    ASSERT_TRUE(pool.Start());
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 250; ++i)
                pool.Enqueue(Insert(w * 1000 + i));
        });
    for (auto& writer : writers)
        writer.join();
    pool.Stop();
    EXPECT_EQ(pool.Executed(), 1000u);
    EXPECT_EQ(Count(pool), "1000");
}

TEST_P(Pool, StatementsOfOneKeyRunInTheirOrderAndALookUpSeesThem)
{
    CSqlWorkerPool pool;
    pool.SetConnectionString(m_database->Connection());
    ASSERT_TRUE(pool.Start());
    // Two stations interleaved with statements that have no key.
    for (int i = 0; i < 150; ++i) {
        ASSERT_TRUE(pool.Enqueue(Format("exec proc_InsertReceive '%s','%s','%d'", "A", "32", i), "A"));
        ASSERT_TRUE(pool.Enqueue(Format("exec proc_InsertReceive '%s','%s','%d'", "B", "32", i), "B"));
        ASSERT_TRUE(pool.Enqueue(Insert(i)));
    }
    ASSERT_TRUE(pool.WaitForKey("A", 20s));
    std::string count;
    ASSERT_TRUE(pool.QueryValue("select count(*) from ReceiveData where YCZNo='A'", count));
    EXPECT_EQ(count, "150");
    pool.Stop();
    for (const char* key : {"A", "B"}) {
        Rows rows;
        ASSERT_TRUE(pool.QueryRows(Format("select CommandData from ReceiveData where YCZNo='%s' order by Id", key), rows));
        ASSERT_EQ(rows.size(), 150u);
        for (int i = 0; i < 150; ++i)
            ASSERT_EQ(rows[static_cast<std::size_t>(i)][0], std::to_string(i)) << key;
    }
    EXPECT_TRUE(pool.WaitForKey("A", 0ms));  // nothing of A is left
}

TEST_P(Pool, SynchronousQueriesAnswerOrLeaveTheCallersValues)
{
    CSqlWorkerPool pool;
    pool.SetConnectionString(m_database->Connection());
    EXPECT_TRUE(pool.TestConnection());
    Rows rows{{"kept"}};
    EXPECT_TRUE(pool.QueryRows("select YCZNo from ReceiveData", rows));
    EXPECT_EQ(rows, (Rows{{"kept"}}));
    std::string value = "kept";
    EXPECT_TRUE(pool.QueryValue("select YCZNo from ReceiveData", value));
    EXPECT_EQ(value, "kept");

    pool.SetConnectionString(m_database->UnreachableConnection());
    EXPECT_FALSE(pool.QueryRows("select YCZNo from ReceiveData", rows));
    EXPECT_FALSE(pool.QueryValue("select YCZNo from ReceiveData", value));
    EXPECT_EQ(rows, (Rows{{"kept"}}));
    EXPECT_EQ(value, "kept");
}

INSTANTIATE_TEST_SUITE_P(Backends, Pool, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

TEST(PoolQueue, TheStatementPastTheCapacityIsDropped)
{
    CSqlWorkerPool pool;  // never started: nothing drains the queue
    for (int i = 0; i < 65535; ++i)
        ASSERT_TRUE(pool.Enqueue("update T set a=1"));
    EXPECT_FALSE(pool.Enqueue("update T set a=2"));
    EXPECT_FALSE(pool.Enqueue(""));
    EXPECT_EQ(pool.Queued(), 65535u);
    EXPECT_EQ(pool.DroppedFull(), 1u);
}

TEST(PoolQueue, AWaitingWriterIsSlowedByAFullQueueAndNeverLosesAStatementDuringAStop)
{
    CSqlWorkerPool::Options options;
    options.capacity = 2;
    CSqlWorkerPool pool(options);  // never started: nothing drains the queue
    std::atomic<bool> stopping{false};
    ASSERT_TRUE(pool.EnqueueWaiting("update T set a=1", "k", std::chrono::milliseconds(10), stopping));
    ASSERT_TRUE(pool.EnqueueWaiting("update T set a=2", "k", std::chrono::milliseconds(10), stopping));

    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(pool.EnqueueWaiting("update T set a=3", "k", std::chrono::milliseconds(120), stopping));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(120));
    EXPECT_EQ(pool.DroppedFull(), 1u);

    // A stop under way: the statement goes beyond the capacity instead.
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stopping = true;
    });
    EXPECT_TRUE(pool.EnqueueWaiting("update T set a=4", "k", std::chrono::seconds(30), stopping));
    stop.join();
    EXPECT_EQ(pool.Queued(), 3u);
}

TEST(PoolQueue, ANewSqliteFileGetsItsTablesWhenThePoolStarts)
{
    // A relative name is a file in the current directory.
    const std::string name = Format("pool-start-%d.db", static_cast<int>(getpid()));
    std::filesystem::remove(name);
    {
        DbSettings settings;
        settings.driver = "SQLite3";
        settings.name = name;
        CSqlWorkerPool pool;
        pool.SetConnection(settings);
        ASSERT_TRUE(pool.Start());
        EXPECT_TRUE(std::filesystem::exists(name));
        CAdoDB db;
        ASSERT_TRUE(db.Open(pool.ConnectionString()));
        std::string tables;
        ASSERT_TRUE(db.QueryValue("select count(*) from sqlite_master where name in ('DeviceInfo','DeviceHourData',"
                                  "'DeviceAlarmData','SendCommandInfo','ST_PPTN_R','ST_RIVER_R','proc_InsertReceive',"
                                  "'proc_insertDeviceTimingData','proc_updateRgzs','pro_updateImage')",
                                  tables));
        EXPECT_EQ(tables, "10");
    }
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(name + suffix);
}

// The pool's workers and its look-ups open and close their connections on
// their own threads. The SQLite driver's list of connections has no lock of
// its own, so overlapping opens and closes once corrupted it and crashed.
TEST(Connections, SqliteConnectionsOpenedAndClosedOnSixThreadsAtOnce)
{
    const std::string name = Format("/tmp/connect-churn-%d.db", static_cast<int>(getpid()));
    std::atomic<long> opened{0};
    std::atomic<long> failed{0};
    const auto end = std::chrono::steady_clock::now() + 2s;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            while (std::chrono::steady_clock::now() < end) {
                CAdoDB db;
                (db.Open("Driver=SQLite3;Database=" + name) ? opened : failed)++;
                db.Close();
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_GT(opened.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(name + suffix);
}

TEST(PoolQueue, AnEmptyConnectionStringNeverOpens)
{
    CAdoDB db;
    EXPECT_FALSE(db.Open(""));
    EXPECT_FALSE(db.IsOpen());
    CSqlWorkerPool pool;
    EXPECT_FALSE(pool.TestConnection());
}

}  // namespace
}  // namespace rtu::storage::test
