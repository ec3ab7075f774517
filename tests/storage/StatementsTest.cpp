// Every statement text the data centre sends, run against a real SQLite file
// and a real PostgreSQL server, its effect checked by a query.
#include "TestDatabase.h"

#include "rtu/storage/AdoDB.h"
#include "rtu/storage/SqlDialect.h"

#include <gtest/gtest.h>

namespace rtu::storage::test {
namespace {

class Statements : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        std::string why;
        m_database = TestDatabase::Create(GetParam(), why);
        if (!m_database)
            GTEST_SKIP() << why;
        ASSERT_TRUE(m_db.Open(m_database->Connection())) << m_db.LastError();
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
};

const char* const kFrame = "\x01" "0100000001011234320028\x02ST 0000000101 TT 1405060708 PN05 2.0 PJ 10.5\x03" "ABCD";

TEST_P(Statements, ReceivedFramesReadingsAndPicturesReachTheirProcedures)
{
    Exec(Format("exec proc_InsertReceive '%s','%s','%s'", "0000000101", "32", "7E7E0102A1B2"));
    EXPECT_EQ(Query("select YCZNo, CommandName, CommandData from ReceiveData"),
              (Rows{{"0000000101", "32", "7E7E0102A1B2"}}));

    Exec(Format("exec proc_insertDeviceTimingData '','%s','%s','%s',0,'%s','%s','%s','%s','','%s'", "ST9",
                "32", SqlEscape(kFrame).c_str(), "ADC9", "Z", "12.345", "m", "2014-05-06 07:08:00"));
    EXPECT_EQ(Query("select DevNo, YCZNo, CommandName, CommandData, Status, ChannelName, ElementId, "
                    "ElementValue, Unit, Mark, ObserveTime from DeviceTimingData"),
              (Rows{{"", "ST9", "32", kFrame, "0", "ADC9", "Z", "12.345", "m", "", "2014-05-06 07:08:00"}}));

    Exec(Format("exec pro_updateImage '%s','%d','%s','%s','%s','%s'", "0000000101", 2, "1", "0", "JPG",
                "20140506\\0000000101_070809.jpg"));
    EXPECT_EQ(Query("select YCZNo, CameraNo, PicFlag, Status, PicType, FilePath from DeviceImage"),
              (Rows{{"0000000101", "2", "1", "0", "JPG", "20140506\\0000000101_070809.jpg"}}));
    // Every procedure stamps its row with the server's time.
    for (const char* table : {"ReceiveData", "DeviceTimingData", "DeviceImage"})
        EXPECT_EQ(Query(Format("select InsertTime from %s", table)).at(0).at(0).size(), 19u) << table;
}

TEST_P(Statements, StationRowsGetPeriodRainfallAndRefreshTime)
{
    Exec("insert into DeviceInfo(YCZNo) values('0000000101')");
    Exec("insert into DeviceInfo(YCZNo) values('0000000102')");
    Exec("insert into DeviceInfo(YCZNo) values('0000000103')");
    Exec(Format("update DeviceInfo set PeriodRainfall='%s' where YCZNo='%s'", "2.0mm/05min", "0000000101"));
    Exec(Format("update DeviceInfo set RefreshDate = GETDATE() where YCZNo in (%s)", "'0000000101','0000000102'"));
    const Rows rows = Query("select YCZNo, PeriodRainfall, RefreshDate from DeviceInfo order by YCZNo");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][1], "2.0mm/05min");
    EXPECT_EQ(rows[1][1], "");
    EXPECT_EQ(rows[0][2].size(), 19u);
    EXPECT_EQ(rows[1][2].size(), 19u);
    EXPECT_EQ(rows[2][2], "");
    // An update that touches no row is no failure.
    Exec(Format("update DeviceInfo set PeriodRainfall='%s' where YCZNo='%s'", "1", "nobody"));
}

TEST_P(Statements, SecondaryDatabaseRowsAndTheLastLevel)
{
    Exec(Format("insert into ST_PPTN_R(STCD,TM,DRP,INTV,PDR,DYP,WTH) values('%s','%s','%f','%s',NULL,'%f','%d')",
                "00000101", "2014-05-06 07:05:00", 0.5, "0.05", static_cast<double>(10.5f), 7));
    EXPECT_EQ(Query("select STCD, TM, DRP, INTV, PDR, DYP, WTH from ST_PPTN_R"),
              (Rows{{"00000101", "2014-05-06 07:05:00", "0.5", "0.05", "", "10.5", "7"}}));

#define K_RIVER "insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) values('%s', '%s', '%f', '%f', '%d')"
    Exec(Format(K_RIVER, "00000101", "2014-05-06 07:00:00", 11.25, 3.5, 5));
    Exec(Format(K_RIVER, "00000101", "2014-05-06 08:00:00", 12.345, 3.75, 5));
    Exec(Format(K_RIVER, "00000102", "2014-05-06 09:00:00", 99.0, 1.0, 6));
#define K_LASTLEVEL "SELECT top 1 Z from ST_RIVER_R where STCD='%s' ORDER BY TM DESC"
    std::string level = "unchanged";
    ASSERT_TRUE(m_db.QueryValue(Format(K_LASTLEVEL, "00000101"), level)) << m_db.LastError();
    EXPECT_EQ(level, "12.345");  // exact: the level trend is computed from it
    level = "unchanged";
    ASSERT_TRUE(m_db.QueryValue(Format(K_LASTLEVEL, "00000999"), level)) << m_db.LastError();
    EXPECT_EQ(level, "unchanged");

    // The same observation twice breaks the key: the server refuses it.
    ASSERT_EQ(m_db.BeginTrans(), 1);
    EXPECT_FALSE(m_db.Execute(Format(K_RIVER, "00000101", "2014-05-06 08:00:00", 1.0, 1.0, 6)));
    EXPECT_FALSE(m_db.LastError().empty());
    EXPECT_FALSE(m_db.LastErrorWasConnection());
}

TEST_P(Statements, AlarmReportsAreStored)
{
    const std::string alarm = "Rainfall alarm: 25.5 (mm) 'heavy'";
    Exec(Format("insert into DeviceAlarmData(DevNo,YCZNo,CommandName,CommandData,AlarmInfo,InsertTime,Status,Year,"
                "Month,Day,Mark,ZXZNO) \t\t\t\t\t\t\t\t\tvalues('%s', '%s','%s','%s','%s', '%s', '0','%d','%d','%d',"
                "getdate(),'%s')",
                "", "0000000101", "33", SqlEscape(kFrame).c_str(), SqlEscape(alarm).c_str(), "2014-05-06 07:08:00",
                2014, 5, 6, "01"));
    const Rows rows = Query("select DevNo, YCZNo, CommandName, CommandData, AlarmInfo, InsertTime, Status, Year, "
                            "Month, Day, Mark, ZXZNO from DeviceAlarmData");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][3], kFrame);
    EXPECT_EQ(rows[0][4], alarm);
    EXPECT_EQ(rows[0][5], "2014-05-06 07:08:00");
    EXPECT_EQ((Row{rows[0][6], rows[0][7], rows[0][8], rows[0][9], rows[0][11]}), (Row{"0", "2014", "5", "6", "01"}));
    EXPECT_EQ(rows[0][10].size(), 19u);
}

TEST_P(Statements, HourlyAndFiveMinuteValuesFillTheSlotRows)
{
#define K_INSERT "insert into DeviceHourData(DevNo,YCZNo,CommandName,CommandData,InsertTime,\t\t\t\t\t\t\t\t\t\t\t   " \
        "Status,waterLevel,Rainfall,Flowmeter,Year,Month,Day,Mark,ZXZNO,Hour,SaveTime,Num) \t\t\t\t\t\t\t\t\t\t\t   " \
        "values('%s', '%s','%s','%s', getdate(), '%d','%s','%s','%s','%d','%d','%d','%s','%s','%d','%s','%d')"
#define K_LOOKUP "select top 1 waterLevel,Rainfall,Flowmeter from DeviceHourData where YCZNo='%s' and " \
                         "SaveTime='%s' and CommandName='34'"
    const char* slot = "2014-05-06 23:05:00";
    EXPECT_TRUE(Query(Format(K_LOOKUP, "0000000101", slot)).empty());
    Exec(Format(K_INSERT, "", "0000000101", "34", SqlEscape(kFrame).c_str(), 0, "12.30", "0.5", "", 2014, 5, 6, "",
                "01", 23, slot, 1));
    EXPECT_EQ(Query(Format(K_LOOKUP, "0000000101", slot)), (Rows{{"12.30", "0.5", ""}}));
    // An hourly report looks up its slots at once: one count per slot.
#define K_SLOT_COUNT "(select count(*) from DeviceHourData where YCZNo='%s' and SaveTime='%s' and CommandName='34')"
    EXPECT_EQ(Query(Format("select " K_SLOT_COUNT "," K_SLOT_COUNT, "0000000101", slot, "0000000101",
                           "2014-05-06 23:10:00")),
              (Rows{{"1", "0"}}));
    EXPECT_EQ(Query("select DevNo, CommandName, Status, Year, Month, Day, Mark, ZXZNO, Hour, SaveTime, Num "
                    "from DeviceHourData"),
              (Rows{{"", "34", "0", "2014", "5", "6", "", "01", "23", slot, "1"}}));

    Exec(Format("update DeviceHourData set waterLevel='%s',Rainfall='%s' where YCZNo='%s' and SaveTime='%s' and "
                "CommandName='34'",
                "12.40", "0.0", "0000000101", slot));
    EXPECT_EQ(Query(Format(K_LOOKUP, "0000000101", slot)), (Rows{{"12.40", "0.0", ""}}));

    Exec(Format("update DeviceHourData set Rainfall='%s' where SaveTime='%s' and YCZNo='%s'", "1.5", slot,
                "0000000101"));
    Exec(Format("update DeviceHourData set waterLevel='%s' where SaveTime='%s' and YCZNo='%s'", "12.50", slot,
                "0000000101"));
    Exec(Format("update DeviceHourData set Flowmeter='%s' where SaveTime='%s' and YCZNo='%s'", "3.25", slot,
                "0000000101"));
    EXPECT_EQ(Query(Format(K_LOOKUP, "0000000101", slot)), (Rows{{"12.50", "1.5", "3.25"}}));

    // The procedure writes into the existing slot row, or makes the row.
#define K_PROCEDURE "EXEC proc_updateRgzs '','%s','35','%s','%s','%s','%f','%s','%d','%d','%d','%s','%s','%d','0'"
    Exec(Format(K_PROCEDURE, "0000000101", SqlEscape(kFrame).c_str(), "2014-05-06 23:06:10", "Flowmeter", 4.5, slot,
                2014, 5, 6, "", "01", 23));
    EXPECT_EQ(Query(Format(K_LOOKUP, "0000000101", slot)), (Rows{{"12.50", "1.5", "4.500000"}}));
    const char* nextDay = "2014-05-07 00:00:00";
    Exec(Format(K_PROCEDURE, "0000000101", SqlEscape(kFrame).c_str(), "2014-05-06 23:58:10", "Rainfall", 0.5, nextDay,
                2014, 5, 7, "", "01", 0));
    EXPECT_EQ(Query(Format("select CommandName, waterLevel, Rainfall, Flowmeter, Year, Month, Day, Hour, ZXZNO "
                           "from DeviceHourData where SaveTime='%s'",
                           nextDay)),
              (Rows{{"35", "", "0.500000", "", "2014", "5", "7", "0", "01"}}));
    // An identifier without a column changes nothing.
    Exec(Format(K_PROCEDURE, "0000000101", "f", "2014-05-06 23:58:10", "", 1.0, "2014-05-08 00:00:00", 2014, 5, 8, "",
                "01", 0));
    EXPECT_EQ(Query("select count(*) from DeviceHourData"), (Rows{{"2"}}));
}

TEST_P(Statements, CommandTableIsReadNewestFirstAndMarkedByItsExactId)
{
    for (int i = 0; i < 12; ++i)
        Exec(Format("insert into SendCommandInfo(Id, YCZNo, CommandData, Status, InsertTime) values(%lld, '%s', "
                    "'%s', 0, '2014-05-06 07:%02d:00')",
                    5000000000LL + i, "0000000101", "7E7E01", i));
    Exec("insert into SendCommandInfo(Id, YCZNo, CommandData, Status, InsertTime) values(7, '0000000102', '7E7E02', "
         "1, '2014-05-06 08:00:00')");
    const Rows rows =
        Query("SELECT top 10 Id,YCZNo,CommandData,Status FROM SendCommandInfo WHERE Status=0 ORDER BY InsertTime DESC");
    ASSERT_EQ(rows.size(), 10u);
    EXPECT_EQ(rows[0], (Row{"5000000011", "0000000101", "7E7E01", "0"}));
    EXPECT_EQ(rows[9][0], "5000000002");

    Exec(Format("update SendCommandInfo set Status=1 where [YCZNo]='%s' and [Id]='%s'", rows[0][1].c_str(),
                rows[0][0].c_str()));
    EXPECT_EQ(Query("select Id from SendCommandInfo where Status=1 order by Id"), (Rows{{"7"}, {"5000000011"}}));
}

TEST_P(Statements, QuotesInValuesCannotBreakOrExtendAStatement)
{
    Exec("insert into DeviceInfo(YCZNo) values('0000000101')");
    const std::string hostile = "x'); delete from DeviceInfo; --";
    Exec(Format("update DeviceInfo set PeriodRainfall='%s' where YCZNo='%s'", SqlEscape(hostile).c_str(),
                "0000000101"));
    EXPECT_EQ(Query("select YCZNo, PeriodRainfall from DeviceInfo"), (Rows{{"0000000101", hostile}}));
    // A value that would widen a WHERE clause matches nothing.
    Exec(Format("update DeviceInfo set PeriodRainfall='%s' where YCZNo='%s'", "changed",
                SqlEscape("' or '1'='1").c_str()));
    EXPECT_EQ(Query("select PeriodRainfall from DeviceInfo"), (Rows{{hostile}}));
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
