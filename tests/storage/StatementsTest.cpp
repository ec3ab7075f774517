// The data centre's own statements (a report's rows as the database writers
// run them, the picture record, the online stamp), run against a real SQLite
// file and a real PostgreSQL server, their effect checked by a query. The
// command table's statements are run by the command-queue tests.
#include "TestDatabase.h"

#include "rtu/journal/JournalApplier.h"
#include "rtu/protocol/HexText.h"
#include "rtu/runtime/PictureStore.h"
#include "rtu/storage/AdoDB.h"
#include "rtu/storage/SqlDialect.h"
#include "rtu/uplink/ReportStatements.h"
#include "tests/uplink/Fakes.h"

#include <gtest/gtest.h>

namespace rtu::storage::test {
namespace {

using rtu::PictureStore;
using rtu::RefreshStatement;
using rtu::ReportStatement;
using rtu::StatementKind;
using rtu::StoredReport;

class Statements : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        std::string why;
        m_database = TestDatabase::Create(GetParam(), why);
        if (!m_database)
            GTEST_SKIP() << why;
        ASSERT_TRUE(m_db.Open(m_database->Connection())) << m_db.LastError();
        m_writer = OpenWriterConnection(m_database->Connection(), why);
        ASSERT_TRUE(m_writer) << why;
    }

    // The report's statements for both databases (one here), each in its own
    // transaction as the writer falls back to; the kinds the server refused.
    std::vector<StatementKind> Refused(const StoredReport& report)
    {
        std::vector<StatementKind> refused;
        for (const ReportStatement& statement : BuildReportStatements(report, true, true)) {
            EXPECT_EQ(m_writer->BeginTrans(), 1);
            if (journal::RunReportStatement(*m_writer, statement)) {
                EXPECT_TRUE(m_writer->CommitTrans()) << m_writer->LastError();
            } else {
                refused.push_back(statement.kind);
                m_writer->RollbackTrans();
            }
        }
        return refused;
    }

    // One statement in its own transaction, as the workers run it.
    void Exec(const std::string& statement)
    {
        ASSERT_EQ(m_db.BeginTrans(), 1);
        EXPECT_TRUE(m_db.Execute(statement)) << m_db.LastError() << "\n" << statement;
        EXPECT_TRUE(m_db.CommitTrans()) << m_db.LastError();
    }

    Rows Query(const std::string& statement, TextForm form = TextForm::Exact)
    {
        Rows rows;
        EXPECT_TRUE(m_db.QueryRows(statement, rows, form)) << m_db.LastError() << "\n" << statement;
        return rows;
    }

    std::unique_ptr<TestDatabase> m_database;
    CAdoDB m_db;
    std::unique_ptr<BoundConnection> m_writer;
};

StoredReport Report(const std::string& station, const std::string& functionCode, const std::string& body)
{
    StoredReport r;
    r.receivedAt = "2014-05-06 23:58:10";
    r.storageNumber = station;
    r.station = station;
    r.centre = "01";
    r.functionCode = functionCode;
    r.frame = rtu::testing::UplinkFrame(station, functionCode, body);
    return r;
}

TEST_P(Statements, ATimedReportsRowsReachBothDatabasesAndARepeatedObservationIsRefused)
{
    Exec("insert into DeviceInfo(YCZNo) values('0000000101')");
    const StoredReport timed =
        Report("0000000101", "32", "00A7140506070800 ST 0000000101 TT 1405060708 PN05 0.5 PJ 10.5 Z 12.345 Q 3.5 ");
    EXPECT_TRUE(Refused(timed).empty());

    EXPECT_EQ(Query("select YCZNo, CommandName, CommandData from ReceiveData"),
              (Rows{{"0000000101", "32", BytesToHexText(timed.frame)}}));
    const std::string t = "2014-05-06 07:08:00";
    EXPECT_EQ(Query("select YCZNo, CommandName, ChannelName, ElementId, ElementValue, Unit, ObserveTime "
                    "from DeviceTimingData order by Id"),
              (Rows{{"0000000101", "32", "ADC11", "PJ", "10.5", "mm", t},
                    {"0000000101", "32", "ADC9", "Z", "12.345", "m", t},
                    {"0000000101", "32", "ADC10", "Q", "3.5", "m^3/s", t}}));
    EXPECT_EQ(Query("select PeriodRainfall from DeviceInfo"), (Rows{{"0.5mm/05min"}}));
    EXPECT_EQ(Query("select STCD, TM, DRP, INTV, PDR, DYP, WTH from ST_PPTN_R"),
              (Rows{{"00000101", t, "0.5", "0.05", "", "10.5", "7"}}));
    EXPECT_EQ(Query("select STCD, TM, Z, WPTN from ST_RIVER_R"), (Rows{{"00000101", t, "12.345", "5"}}));
    // Every procedure stamps its row with the server's time.
    for (const char* table : {"ReceiveData", "DeviceTimingData"})
        EXPECT_EQ(Query(Format("select InsertTime from %s", table)).at(0).at(0).size(), 19u) << table;

    // The same observation again breaks the keys of the secondary tables;
    // the server refuses those rows and nothing else.
    EXPECT_EQ(Refused(timed), (std::vector<StatementKind>{StatementKind::Precipitation, StatementKind::RiverLevel}));
    EXPECT_FALSE(m_writer->LastErrorWasConnection());
    EXPECT_EQ(Query("select count(*) from ReceiveData"), (Rows{{"2"}}));
}

TEST_P(Statements, AlarmHourlyAndFiveMinuteReportsFillTheirRows)
{
    EXPECT_TRUE(Refused(Report("0000000101", "33", "00A7140506070800 ST 0000000101 TT 1405060708 PJ 25.5")).empty());
    EXPECT_EQ(Query("select YCZNo, CommandName, InsertTime, Status, Year, Month, Day, ZXZNO from DeviceAlarmData"),
              (Rows{{"0000000101", "33", "2014-05-06 07:08:00", "0", "2014", "5", "6", "01"}}));
    EXPECT_EQ(Query("select Mark from DeviceAlarmData").at(0).at(0).size(), 19u);

    // An hourly report inserts its twelve slot rows; sent again, it updates them.
    const std::string hourly = "00A7231231230000 ST 0000000201 TT 2312312300 DRP FF0A000102030405060708090A DRZ1 "
                               "FFFF006400010002000300040005000600070008000904D2 ";
    const std::string hourlyAgain = "00A7231231230000 ST 0000000201 TT 2312312300 DRP 0102030405060708090A0B0C DRZ1 "
                                    "000100020003000400050006000700080009000A000B000C ";
    EXPECT_TRUE(Refused(Report("0000000201", "34", hourly)).empty());
    EXPECT_EQ(Query("select waterLevel, Rainfall, Hour, Num from DeviceHourData where SaveTime='2024-01-01 00:00:00'"),
              (Rows{{"12.34", "0.9", "0", "12"}}));
    EXPECT_TRUE(Refused(Report("0000000201", "34", hourlyAgain)).empty());
    EXPECT_EQ(Query("select count(*) from DeviceHourData where YCZNo='0000000201'"), (Rows{{"12"}}));
    EXPECT_EQ(Query("select waterLevel, Rainfall from DeviceHourData where SaveTime='2024-01-01 00:00:00'"),
              (Rows{{"0.12", "1.2"}}));

    // A five-minute value: the procedure makes the slot row of the next day.
    EXPECT_TRUE(Refused(Report("0000000102", "35", "00A7231231235800 ST 0000000102 K TT 2312312358 Z 3.21 ")).empty());
    EXPECT_EQ(Query("select CommandName, waterLevel, Year, Month, Day, Hour, ZXZNO from DeviceHourData "
                    "where YCZNo='0000000102'"),
              (Rows{{"35", "3.210000", "2024", "1", "1", "0", "01"}}));
}

TEST_P(Statements, PicturesAndOnlineStampsAreRecordedAndQuotesInValuesStayInside)
{
    const std::string hostile = "x');delete from a;--";
    Exec(PictureStore::ImageStatement("0000000101", "2", "1", hostile, "20140506\\0000000101-2-JPG-1.jpg"));
    EXPECT_EQ(Query("select YCZNo, CameraNo, PicFlag, Status, PicType, FilePath from DeviceImage"),
              (Rows{{"0000000101", "2", "1", "0", hostile, "20140506\\0000000101-2-JPG-1.jpg"}}));
    EXPECT_EQ(Query("select InsertTime from DeviceImage").at(0).at(0).size(), 19u);

    for (const char* station : {"0000000101", "0000000102", "0000000103"})
        Exec(Format("insert into DeviceInfo(YCZNo) values('%s')", station));
    Exec(RefreshStatement({"0000000101", "0000000102"}));
    // A value that would widen the list matches nothing.
    Exec(RefreshStatement({"' or '1'='1"}));
    const Rows rows = Query("select YCZNo, RefreshDate from DeviceInfo order by YCZNo");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][1].size(), 19u);
    EXPECT_EQ(rows[1][1].size(), 19u);
    EXPECT_EQ(rows[2][1], "");
}

TEST_P(Statements, ColumnKindsBecomeTheirTexts)
{
    const bool pg = m_db.Dialect() == SqlDialect::PostgreSql;
    Exec(pg ? "create table kinds (i bigint, b boolean, f double precision, d timestamp(0), t varchar(20), "
              "x bytea, n numeric(9,3), u varchar(20))"
            : "create table kinds (i bigint, b bit, f double, d datetime, t varchar(20), x blob, n numeric(9,3), "
              "u varchar(20))");
    Exec(pg ? "insert into kinds values (5000000000, true, 3.14159, '2014-05-06 07:08:09', 'text', '\\x0102', "
              "0.126, null)"
            : "insert into kinds values (5000000000, 1, 3.14159, '2014-05-06 07:08:09', 'text', x'0102', 0.126, "
              "null)");
    Exec(pg ? "insert into kinds values (-1, false, 0, null, '', null, -12.375, 'ü雨')"
            : "insert into kinds values (-1, 0, 0, null, '', null, -12.375, 'ü雨')");
    const char* select = "select i, b, f, d, t, x, n, u from kinds order by i desc";
    EXPECT_EQ(Query(select),
              (Rows{{"5000000000", "TRUE", "3.14159", "2014-05-06 07:08:09", "text", "[BLOB]", "0.126", ""},
                    {"-1", "FALSE", "0", "", "", "", "-12.375", "ü雨"}}));
    EXPECT_EQ(Query(select, TextForm::Display).at(0).at(2), "3.14");
    EXPECT_EQ(Query(select, TextForm::Display).at(0).at(6), "0.13");
}

INSTANTIATE_TEST_SUITE_P(Backends, Statements, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace rtu::storage::test
