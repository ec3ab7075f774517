// The report journal and the database writers against real databases (a new
// SQLite file, or a schema of the private PostgreSQL server): reports kept are
// written once, also across a restart; the look-ups a report's rows need are
// answered by the database in order; a refused statement is set aside and
// written again later; an unwritable database keeps reports waiting, and a
// full journal refuses until the writer has made room.
#include "tests/uplink/Fakes.h"
#include "tests/storage/TestDatabase.h"

#include "rtu/journal/JournalApplier.h"
#include "rtu/journal/RejectedReplay.h"
#include "rtu/journal/ReportJournal.h"
#include "rtu/storage/AdoDB.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace rtu::journal {
namespace {

using storage::test::TestDatabase;
using namespace std::chrono_literals;

StoredReport Report(const std::string& station, const std::string& functionCode, const std::string& body)
{
    StoredReport r;
    r.receivedAt = "2026-12-09 11:20:05";
    r.storageNumber = station;
    r.station = station;
    r.centre = "01";
    r.functionCode = functionCode;
    r.frame = testing::UplinkFrame(station, functionCode, body);
    return r;
}

StoredReport Timed(const std::string& station, const std::string& tt, const std::string& z)
{
    return Report(station, "32", "00A7261209112000 ST " + station + " TT " + tt + " Z " + z + " PN05 0.5 PJ 10.5 ");
}

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit = 20s)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class JournalTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        std::string why;
        main_ = TestDatabase::Create(GetParam(), why);
        if (!main_) GTEST_SKIP() << why;
        secondary_ = TestDatabase::Create(GetParam(), why);
        folder_ = std::filesystem::temp_directory_path() /
                  ("rtu-journal-test-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
        std::filesystem::create_directories(folder_);
        options_.path = (folder_ / "journal.db").string();
        writerOptions_.retryFirst = 20ms;
        writerOptions_.retryLongest = 200ms;
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    void OpenJournal(ReportJournal& journal)
    {
        std::string error;
        ASSERT_TRUE(journal.Open(options_, error)) << error;
    }

    // Submits and waits until every report is in the file.
    void Keep(ReportJournal& journal, const std::vector<StoredReport>& reports)
    {
        std::atomic<std::size_t> kept{0};
        for (const StoredReport& r : reports)
            ASSERT_EQ(journal.Submit(r, [&kept] { ++kept; }), ReportJournal::Submitted::Accepted);
        ASSERT_TRUE(WaitFor([&] { return kept.load() == reports.size(); }));
    }

    void WriteAll(ReportJournal& journal, JournalApplier& writer)
    {
        ASSERT_TRUE(WaitFor([&] { return writer.WrittenUpTo() >= journal.LastSeq(); }))
            << writer.WrittenUpTo() << " of " << journal.LastSeq();
    }

    std::string Value(TestDatabase& db, const std::string& query)
    {
        storage::CAdoDB conn;
        std::string value;
        EXPECT_TRUE(conn.Open(db.Connection())) << conn.LastError();
        EXPECT_TRUE(conn.QueryValue(query, value)) << conn.LastError() << " in " << query;
        return value;
    }

    storage::Rows Rows(TestDatabase& db, const std::string& query)
    {
        storage::CAdoDB conn;
        storage::Rows rows;
        EXPECT_TRUE(conn.Open(db.Connection())) << conn.LastError();
        EXPECT_TRUE(conn.QueryRows(query, rows)) << conn.LastError() << " in " << query;
        return rows;
    }

    static inline int counter_ = 0;
    std::unique_ptr<TestDatabase> main_;
    std::unique_ptr<TestDatabase> secondary_;
    std::filesystem::path folder_;
    ReportJournal::Options options_;
    JournalApplier::Options writerOptions_;
};

TEST_P(JournalTest, ReportsAreWrittenOnceAlsoWhenTheJournalAndItsWriterStartAgain)
{
    std::vector<StoredReport> reports;
    for (int i = 0; i < 300; ++i)
        reports.push_back(Timed("00000001" + std::to_string(10 + i % 3),
                                storage::test::Format("261209%02d%02d", 10 + i / 60, i % 60), std::to_string(i)));
    {
        ReportJournal journal;
        options_.writers = 2;
        OpenJournal(journal);
        Keep(journal, reports);
        // The secondary database may be the main one: its writer's place is
        // its own. The main writer starts after the secondary has written
        // everything: the journal keeps the reports for it.
        JournalApplier secondary(journal, Database::Secondary, writerOptions_);
        secondary.SetConnectionString(main_->Connection());
        secondary.Start();
        WriteAll(journal, secondary);
        secondary.Stop(0ms);
        JournalApplier writer(journal, Database::Main, writerOptions_);
        writer.SetConnectionString(main_->Connection());
        std::string error;
        ASSERT_TRUE(writer.TestWrite(error)) << error;
        writer.Start();
        WriteAll(journal, writer);
        EXPECT_EQ(writer.Stop(0ms), 0);
        journal.Close();
    }
    EXPECT_EQ(Value(*main_, "select count(*) from ReceiveData"), "300");
    // Z, PJ: two readings a report, in the order the reports came.
    EXPECT_EQ(Value(*main_, "select count(*) from DeviceTimingData"), "600");
    EXPECT_EQ(Value(*main_, "select ElementValue from DeviceTimingData where ElementId='Z' order by Id desc"),
              "299");

    // The journal may still hold what was written (it deletes later): a new
    // start finds the database's mark and writes nothing twice, then takes
    // the new reports.
    options_.writers = 1;
    ReportJournal journal;
    OpenJournal(journal);
    JournalApplier writer(journal, Database::Main, writerOptions_);
    writer.SetConnectionString(main_->Connection());
    writer.Start();
    Keep(journal, {Timed("0000000110", "2612091300", "1.5")});
    WriteAll(journal, writer);
    writer.Stop(0ms);
    EXPECT_EQ(Value(*main_, "select count(*) from ReceiveData"), "301");
    EXPECT_EQ(Value(*main_, "select LastSeq from JournalApplied where JournalId like '%/main'"),
              std::to_string(journal.LastSeq()));
}

TEST_P(JournalTest, TheRiverTrendAndTheHourlySlotRowsComeFromTheDatabaseInOrder)
{
    storage::CAdoDB seed;
    ASSERT_TRUE(seed.Open(secondary_->Connection()));
    ASSERT_TRUE(seed.Execute("insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) values('00000202','2026-12-09 10:00:00',"
                             "'13','0','6')"));
    const std::string hourly = "00A7231231230000 ST 0000000201 TT 2312312300 DRP FF0A000102030405060708090A DRZ1 "
                               "FFFF006400010002000300040005000600070008000904D2 ";
    const std::string hourlyAgain = "00A7231231230000 ST 0000000201 TT 2312312300 DRP 0102030405060708090A0B0C DRZ1 "
                                    "000100020003000400050006000700080009000A000B000C ";
    ReportJournal journal;
    options_.writers = 2;
    OpenJournal(journal);
    Keep(journal, {Timed("0000000201", "2612091120", "12.0"), Timed("0000000201", "2612091125", "11.0"),
                   Timed("0000000201", "2612091130", "11.0"), Timed("0000000202", "2612091120", "12.34"),
                   Report("0000000201", "34", hourly), Report("0000000201", "34", hourlyAgain)});
    JournalApplier mainWriter(journal, Database::Main, writerOptions_);
    JournalApplier secondaryWriter(journal, Database::Secondary, writerOptions_);
    mainWriter.SetConnectionString(main_->Connection());
    secondaryWriter.SetConnectionString(secondary_->Connection());
    mainWriter.Start();
    secondaryWriter.Start();
    WriteAll(journal, mainWriter);
    WriteAll(journal, secondaryWriter);

    // No level before: rising; then falling, unchanged; below the stored 13: falling.
    EXPECT_EQ(Rows(*secondary_, "select STCD, WPTN from ST_RIVER_R order by STCD, TM"),
              (storage::Rows{{"00000201", "5"}, {"00000201", "4"}, {"00000201", "6"}, {"00000202", "6"},
                             {"00000202", "4"}}));
    // The hourly report sent twice: twelve slot rows, holding the second's values.
    EXPECT_EQ(Value(*main_, "select count(*) from DeviceHourData where YCZNo='0000000201'"), "12");
    EXPECT_EQ(Value(*main_, "select Rainfall from DeviceHourData where SaveTime='2023-12-31 23:05:00'"), "0.1");
    EXPECT_EQ(Value(*main_, "select waterLevel from DeviceHourData where SaveTime='2024-01-01 00:00:00'"), "0.12");
}

TEST_P(JournalTest, TheRiverTrendComparesWithTheLevelBeforeItInTheTableWhoeverWroteItAndInAnyOrder)
{
    ReportJournal journal;
    options_.writers = 1;
    OpenJournal(journal);
    JournalApplier writer(journal, Database::Secondary, writerOptions_);
    writer.SetConnectionString(secondary_->Connection());
    writer.Start();
    Keep(journal, {Timed("0000000201", "2612091120", "12.0")});
    WriteAll(journal, writer);
    // Another data centre on the same database stores a later, higher level.
    storage::CAdoDB other;
    ASSERT_TRUE(other.Open(secondary_->Connection()));
    ASSERT_TRUE(other.Execute("insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) values('00000201','2026-12-09 11:25:00',"
                              "'20','0','5')"));
    Keep(journal, {Timed("0000000201", "2612091130", "15.0")});
    WriteAll(journal, writer);
    // A report that arrives late compares with the level just before it.
    Keep(journal, {Timed("0000000201", "2612091122", "13.0")});
    WriteAll(journal, writer);
    writer.Stop(0ms);

    EXPECT_EQ(Rows(*secondary_, "select WPTN from ST_RIVER_R where STCD='00000201' order by TM"),
              (storage::Rows{{"5"}, {"5"}, {"5"}, {"4"}}));
}

TEST_P(JournalTest, ARefusedStatementIsSetAsideWithTheServersMessageAndWrittenAgainLater)
{
    ReportJournal journal;
    OpenJournal(journal);
    // The same observation twice breaks the keys of the secondary tables.
    Keep(journal, {Timed("0000000301", "2612091120", "12.0"), Timed("0000000301", "2612091120", "1'2")});
    JournalApplier writer(journal, Database::Secondary, writerOptions_);
    writer.SetConnectionString(secondary_->Connection());
    writer.Start();
    WriteAll(journal, writer);
    writer.Stop(0ms);
    EXPECT_EQ(writer.RejectedCount(), 2u);  // precipitation and river level of the second report
    EXPECT_FALSE(writer.InOutage());

    std::ostringstream listed;
    EXPECT_TRUE(ListRejected(options_.path, listed));
    EXPECT_NE(listed.str().find("2 refused statements"), std::string::npos) << listed.str();
    EXPECT_NE(listed.str().find("insert into ST_RIVER_R"), std::string::npos) << listed.str();

    // Still refused: kept, with the count of tries.
    std::ostringstream again;
    ReplayOutcome outcome = ReplayRejected(options_.path, "", secondary_->Connection(), again);
    EXPECT_EQ(outcome.refused, 2) << again.str();

    // The cause mended: both written and gone from the table.
    storage::CAdoDB mend;
    ASSERT_TRUE(mend.Open(secondary_->Connection()));
    ASSERT_TRUE(mend.Execute("delete from ST_RIVER_R"));
    ASSERT_TRUE(mend.Execute("delete from ST_PPTN_R"));
    std::ostringstream replayed;
    outcome = ReplayRejected(options_.path, "", secondary_->Connection(), replayed);
    EXPECT_EQ(outcome.written, 2) << replayed.str();
    EXPECT_EQ(outcome.refused + outcome.unreachable, 0);
    EXPECT_EQ(Value(*secondary_, "select count(*) from ST_RIVER_R"), "1");
    EXPECT_EQ(Value(*secondary_, "select count(*) from ST_PPTN_R"), "1");
    std::ostringstream empty;
    ListRejected(options_.path, empty);
    EXPECT_NE(empty.str().find("0 refused statements"), std::string::npos) << empty.str();
}

TEST_P(JournalTest, AnUnreachableDatabaseKeepsReportsWaitingAndAFullJournalRefusesUntilThereIsRoom)
{
    options_.maxBytes = 256 * 1024;
    ReportJournal journal;
    OpenJournal(journal);
    JournalApplier writer(journal, Database::Main, writerOptions_);
    writer.SetConnectionString(main_->UnreachableConnection());
    std::string error;
    EXPECT_FALSE(writer.TestWrite(error));
    writer.Start();

    // Reports keep being accepted while the database is away, up to the limit.
    std::atomic<int> kept{0};
    int accepted = 0;
    const std::string filler(600, 'x');
    for (int i = 0; i < 5000 && !journal.Full(); ++i) {
        StoredReport r = Report("0000000401", "37", "00A7261209112000 " + filler);
        if (journal.Submit(r, [&kept] { ++kept; }) == ReportJournal::Submitted::Accepted) ++accepted;
        if (i % 50 == 49) std::this_thread::sleep_for(10ms);  // lets the committer measure the file
    }
    ASSERT_TRUE(WaitFor([&] { return journal.Full(); }));
    EXPECT_EQ(journal.Submit(Report("0000000401", "37", "00A7261209112000"), [] {}),
              ReportJournal::Submitted::Full);
    ASSERT_TRUE(WaitFor([&] { return kept.load() == accepted; }));
    EXPECT_TRUE(writer.InOutage());

    // The database back: the backlog is written and there is room again.
    writer.SetConnectionString(main_->Connection());
    WriteAll(journal, writer);
    EXPECT_FALSE(writer.InOutage());
    EXPECT_EQ(Value(*main_, "select count(*) from ReceiveData"), std::to_string(accepted));
    EXPECT_TRUE(WaitFor([&] { return !journal.Full(); }));
    EXPECT_EQ(journal.Submit(Report("0000000401", "37", "00A7261209112000"), [] {}),
              ReportJournal::Submitted::Accepted);
}

INSTANTIATE_TEST_SUITE_P(Backends, JournalTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& backend) { return backend.param; });

}  // namespace
}  // namespace rtu::journal
