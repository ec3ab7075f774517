// Statements with bound parameters, against a real SQLite file and a real
// PostgreSQL server: each leaves the rows its quoted-text form left, refusals
// leave the connection usable, and prepared statements live as long as the
// connection.
#include "TestDatabase.h"

#include "rtu/storage/AdoDB.h"
#include "rtu/storage/SqlDialect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace rtu::storage::test {
namespace {

constexpr ParamType T = ParamType::Text;
constexpr ParamType I = ParamType::Integer;
constexpr ParamType R = ParamType::Real;
constexpr ParamType D = ParamType::DateTime;

const std::string kFrame = "\x01" "0100000001011234320028\x02ST 0000000101 TT 1405060708 PN05 2.0 PJ 10.5\x03" "ABCD";
const std::string kHostile = "x'); delete from DeviceInfo; --\\' \"雨量\"";

// A frame of about 8 KB of hexadecimal text, past the size declared for
// ordinary values.
std::string LongFrame()
{
    std::string frame = "7E7E";
    for (int i = 0; frame.size() < 8400; ++i)
        frame += Format("%02X", i & 0xFF);
    return frame;
}

// The statement text as the program used to build it: printf with every %s
// argument through SqlEscape. The values are the texts printf made of the
// numbers, so each %d/%f value must be what printf makes of its number.
std::string OldText(const std::string& format, const std::vector<Param>& params)
{
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            out += format[i];
            continue;
        }
        const char conversion = format.at(++i);
        const std::string& value = params.at(next++).value;
        if (conversion == 'd')
            EXPECT_EQ(Format("%lld", std::atoll(value.c_str())), value);
        else if (conversion == 'f')
            EXPECT_EQ(Format("%f", std::strtod(value.c_str(), nullptr)), value);
        else
            EXPECT_EQ(conversion, 's');
        out += SqlEscape(value);
    }
    EXPECT_EQ(next, params.size()) << format;
    return out;
}

#define K_HOUR_INSERT_OLD                                                                                       \
    "insert into DeviceHourData(DevNo,YCZNo,CommandName,CommandData,InsertTime,Status,waterLevel,Rainfall,"     \
    "Flowmeter,Year,Month,Day,Mark,ZXZNO,Hour,SaveTime,Num) values('%s', '%s','%s','%s', getdate(), '%d','%s'," \
    "'%s','%s','%d','%d','%d','%s','%s','%d','%s','%d')"
#define K_HOUR_INSERT                                                                                        \
    "insert into DeviceHourData(DevNo,YCZNo,CommandName,CommandData,InsertTime,Status,waterLevel,Rainfall,"  \
    "Flowmeter,Year,Month,Day,Mark,ZXZNO,Hour,SaveTime,Num) values(?, ?,?,?, getdate(), ?,?,?,?,?,?,?,?,?,?,?,?)"
#define K_HOUR_COLUMNS                                                                                          \
    "DevNo,YCZNo,CommandName,CommandData,Status,waterLevel,Rainfall,Flowmeter,Year,Month,Day,Mark,ZXZNO,Hour," \
    "SaveTime,Num"
#define K_RIVER "insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) values(?,?,?,?,?)"
#define K_LAST_LEVEL "SELECT top 1 Z from ST_RIVER_R where STCD=? ORDER BY TM DESC"
#define K_RGZS "EXEC proc_updateRgzs '',?,'35',?,?,?,?,?,?,?,?,?,?,?,'0'"
#define K_RGZS_OLD "EXEC proc_updateRgzs '','%s','35','%s','%s','%s','%f','%s','%d','%d','%d','%s','%s','%d','0'"
#define K_TIMING "exec proc_insertDeviceTimingData '',?,?,?,0,?,?,?,?,'',?"
#define K_TIMING_OLD "exec proc_insertDeviceTimingData '','%s','%s','%s',0,'%s','%s','%s','%s','','%s'"

const char* const kSlot = "2014-05-06 23:05:00";

std::vector<Param> HourRow(const std::string& slot)
{
    return {{T, ""}, {T, "0000000101"}, {T, "34"}, {T, kFrame}, {I, "0"}, {T, "12.30"}, {T, "0.5"}, {T, ""},
            {I, "2014"}, {I, "5"}, {I, "6"}, {T, ""}, {T, "01"}, {I, "23"}, {D, slot}, {I, "1"}};
}

struct Case {
    const char* name;
    const char* oldFormat;       // the printf format of the old statement
    const char* boundStatement;  // the same statement with parameters
    std::vector<Param> params;
    const char* table;           // where the statement leaves its rows
    const char* columns;         // the columns it sets (not the server's clock)
    bool withHourRow;            // the slot row exists beforehand
};

std::vector<Case> Cases()
{
    const std::string frame = LongFrame();
    return {
        {"received frame", "exec proc_InsertReceive '%s','%s','%s'", "exec proc_InsertReceive ?,?,?",
         {{T, "0000000101"}, {T, "32"}, {T, frame}}, "ReceiveData", "YCZNo,CommandName,CommandData", false},
        {"received frame with a zero byte", "exec proc_InsertReceive '%s','%s','%s'", "exec proc_InsertReceive ?,?,?",
         {{T, "0000000101"}, {T, "32"}, {T, std::string("7E7E\0" "01", 7)}}, "ReceiveData",
         "YCZNo,CommandName,CommandData", false},
        {"timed reading", K_TIMING_OLD, K_TIMING,
         {{T, "ST9"}, {T, "32"}, {T, kFrame}, {T, "ADC9"}, {T, "Z"}, {T, "12.345"}, {T, "m"}, {D, "2014-05-06 07:08:00"}},
         "DeviceTimingData",
         "DevNo,YCZNo,CommandName,CommandData,Status,ChannelName,ElementId,ElementValue,Unit,Mark,ObserveTime", false},
        {"timed reading, quotes and Chinese", K_TIMING_OLD, K_TIMING,
         {{T, "站'9"}, {T, "32"}, {T, frame}, {T, "a'b\\c"}, {T, "雨"}, {T, "-0.5"}, {T, "毫米"},
          {D, "2014-05-06 07:08:09"}},
         "DeviceTimingData",
         "DevNo,YCZNo,CommandName,CommandData,Status,ChannelName,ElementId,ElementValue,Unit,Mark,ObserveTime", false},
        {"period rainfall", "update DeviceInfo set PeriodRainfall='%s' where YCZNo='%s'",
         "update DeviceInfo set PeriodRainfall=? where YCZNo=?", {{T, kHostile}, {T, "0000000101"}}, "DeviceInfo",
         "YCZNo,PeriodRainfall", false},
        {"precipitation",
         "insert into ST_PPTN_R(STCD,TM,DRP,INTV,PDR,DYP,WTH) values('%s','%s','%f','%s',NULL,'%f','%d')",
         "insert into ST_PPTN_R(STCD,TM,DRP,INTV,PDR,DYP,WTH) values(?,?,?,?,NULL,?,?)",
         {{T, "00000101"}, {D, "2014-05-06 07:05:00"}, {R, "0.250000"}, {R, "0.05"}, {R, "10.500000"}, {T, "7"}},
         "ST_PPTN_R", "STCD,TM,DRP,INTV,PDR,DYP,WTH", false},
        {"precipitation, rounded by the column",
         "insert into ST_PPTN_R(STCD,TM,DRP,INTV,PDR,DYP,WTH) values('%s','%s','%f','%s',NULL,'%f','%d')",
         "insert into ST_PPTN_R(STCD,TM,DRP,INTV,PDR,DYP,WTH) values(?,?,?,?,NULL,?,?)",
         {{T, "00000101"}, {D, "2014-05-06 07:10:00"}, {R, "0.150000"}, {R, "1"}, {R, "123.456000"}, {T, "0"}},
         "ST_PPTN_R", "STCD,TM,DRP,INTV,PDR,DYP,WTH", false},
        {"river", "insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) values('%s', '%s', '%f', '%f', '%d')", K_RIVER,
         {{T, "00000101"}, {D, "2014-05-06 08:00:00"}, {R, "12.345000"}, {R, "1.234500"}, {T, "5"}}, "ST_RIVER_R",
         "STCD,TM,Z,Q,WPTN", false},
        {"alarm",
         "insert into DeviceAlarmData(DevNo,YCZNo,CommandName,CommandData,AlarmInfo,InsertTime,Status,Year,Month,"
         "Day,Mark,ZXZNO) values('%s', '%s','%s','%s','%s', '%s', '0','%d','%d','%d',getdate(),'%s')",
         "insert into DeviceAlarmData(DevNo,YCZNo,CommandName,CommandData,AlarmInfo,InsertTime,Status,Year,Month,"
         "Day,Mark,ZXZNO) values(?, ?,?,?,?, ?, '0',?,?,?,getdate(),?)",
         {{T, ""}, {T, "0000000101"}, {T, "33"}, {T, kFrame}, {T, "雨量告警: 25.5 (mm) 'heavy' \\n"},
          {D, "2014-05-06 07:08:00"}, {I, "2014"}, {I, "5"}, {I, "6"}, {T, "01"}},
         "DeviceAlarmData", "DevNo,YCZNo,CommandName,CommandData,AlarmInfo,InsertTime,Status,Year,Month,Day,ZXZNO",
         false},
        {"hourly slot row", K_HOUR_INSERT_OLD, K_HOUR_INSERT, HourRow(kSlot), "DeviceHourData", K_HOUR_COLUMNS, false},
        {"hourly level and rainfall",
         "update DeviceHourData set waterLevel='%s',Rainfall='%s' where YCZNo='%s' and SaveTime='%s' and "
         "CommandName='34'",
         "update DeviceHourData set waterLevel=?,Rainfall=? where YCZNo=? and SaveTime=? and CommandName='34'",
         {{T, "12.40"}, {T, "0.0"}, {T, "0000000101"}, {D, kSlot}}, "DeviceHourData", K_HOUR_COLUMNS, true},
        {"five-minute rainfall", "update DeviceHourData set Rainfall='%s' where SaveTime='%s' and YCZNo='%s'",
         "update DeviceHourData set Rainfall=? where SaveTime=? and YCZNo=?",
         {{T, "1.5"}, {D, kSlot}, {T, "0000000101"}}, "DeviceHourData", K_HOUR_COLUMNS, true},
        {"five-minute level", "update DeviceHourData set waterLevel='%s' where SaveTime='%s' and YCZNo='%s'",
         "update DeviceHourData set waterLevel=? where SaveTime=? and YCZNo=?",
         {{T, "12.50"}, {D, kSlot}, {T, "0000000101"}}, "DeviceHourData", K_HOUR_COLUMNS, true},
        {"five-minute flow", "update DeviceHourData set Flowmeter='%s' where SaveTime='%s' and YCZNo='%s'",
         "update DeviceHourData set Flowmeter=? where SaveTime=? and YCZNo=?",
         {{T, "3.25"}, {D, kSlot}, {T, "0000000101"}}, "DeviceHourData", K_HOUR_COLUMNS, true},
        {"five-minute procedure, existing slot", K_RGZS_OLD, K_RGZS,
         {{T, "0000000101"}, {T, kFrame}, {D, "2014-05-06 23:06:10"}, {T, "Flowmeter"}, {T, "4.500000"}, {D, kSlot},
          {I, "2014"}, {I, "5"}, {I, "6"}, {T, ""}, {T, "01"}, {I, "23"}},
         "DeviceHourData", K_HOUR_COLUMNS, true},
        {"five-minute procedure, new slot", K_RGZS_OLD, K_RGZS,
         {{T, "0000000101"}, {T, kFrame}, {D, "2014-05-06 23:58:10"}, {T, "Rainfall"}, {T, "0.500000"},
          {D, "2014-05-07 00:00:00"}, {I, "2014"}, {I, "5"}, {I, "7"}, {T, ""}, {T, "01"}, {I, "0"}},
         "DeviceHourData", K_HOUR_COLUMNS ",InsertTime", false},
    };
}

class BoundStatements : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        std::string why;
        m_database = TestDatabase::Create(GetParam(), why);
        if (!m_database)
            GTEST_SKIP() << why;
        ASSERT_TRUE(m_db.Open(m_database->Connection())) << m_db.LastError();
    }

    bool Sqlite() const { return m_db.Dialect() == SqlDialect::Sqlite; }

    // One statement in its own transaction, as the workers run it.
    void Exec(const std::string& statement)
    {
        ASSERT_EQ(m_db.BeginTrans(), 1);
        EXPECT_TRUE(m_db.Execute(statement)) << m_db.LastError() << "\n" << statement;
        EXPECT_TRUE(m_db.CommitTrans()) << m_db.LastError();
    }

    void ExecBound(const std::string& statement, const std::vector<Param>& params, long long* rows = nullptr)
    {
        ASSERT_EQ(m_db.BeginTrans(), 1);
        EXPECT_TRUE(m_db.ExecuteBound(statement, params, rows)) << m_db.LastError() << "\n" << statement;
        EXPECT_TRUE(m_db.CommitTrans()) << m_db.LastError();
    }

    Rows Query(const std::string& statement)
    {
        Rows rows;
        EXPECT_TRUE(m_db.QueryRows(statement, rows)) << m_db.LastError() << "\n" << statement;
        return rows;
    }

    // The rows of `columns`; on SQLite with each value's storage class as
    // well, since a column there holds whatever type it was given.
    Rows Snapshot(const std::string& table, const std::string& columns)
    {
        std::string select;
        std::size_t from = 0;
        while (from <= columns.size()) {
            std::size_t comma = columns.find(',', from);
            if (comma == std::string::npos)
                comma = columns.size();
            const std::string column = columns.substr(from, comma - from);
            select += (select.empty() ? "" : ",") + column;
            if (Sqlite())
                select += ",typeof(" + column + ")";
            from = comma + 1;
        }
        return Query("select " + select + " from " + table + " order by " + columns);
    }

    std::unique_ptr<TestDatabase> m_database;
    CAdoDB m_db;
};

TEST_P(BoundStatements, LeaveTheRowsTheirQuotedTextFormsLeft)
{
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        auto reset = [&] {
            Exec(std::string("delete from ") + c.table);
            Exec("delete from DeviceInfo");
            Exec("insert into DeviceInfo(YCZNo) values('0000000101')");
            if (c.withHourRow)
                Exec(OldText(K_HOUR_INSERT_OLD, HourRow(kSlot)));
        };
        reset();
        const Rows before = Snapshot(c.table, c.columns);
        Exec(OldText(c.oldFormat, c.params));
        const Rows old = Snapshot(c.table, c.columns);
        ASSERT_FALSE(old.empty());
        EXPECT_NE(old, before) << "the statement changed nothing";
        reset();
        ExecBound(c.boundStatement, c.params);
        EXPECT_EQ(Snapshot(c.table, c.columns), old);
    }
}

TEST_P(BoundStatements, UpdatesCountTheirRowsAndQueriesReadTheFirstValue)
{
    ExecBound(K_HOUR_INSERT, HourRow(kSlot));
    const char* update =
        "update DeviceHourData set waterLevel=?,Rainfall=? where YCZNo=? and SaveTime=? and CommandName='34'";
    long long rows = 99;
    ExecBound(update, {{T, "12.40"}, {T, "0.0"}, {T, "0000000101"}, {D, kSlot}}, &rows);
    EXPECT_EQ(rows, 1);
    rows = 99;
    ExecBound(update, {{T, "12.40"}, {T, "0.0"}, {T, "0000000101"}, {D, "2014-05-06 23:10:00"}}, &rows);
    EXPECT_EQ(rows, 0);  // no slot row: the caller inserts one instead
    ExecBound(K_HOUR_INSERT, HourRow("2014-05-06 23:10:00"), &rows);
    EXPECT_EQ(rows, 1);
    ExecBound("update DeviceHourData set Rainfall=? where YCZNo=?", {{T, "2.5"}, {T, "0000000101"}}, &rows);
    EXPECT_EQ(rows, 2);

    ExecBound(K_RIVER, {{T, "00000101"}, {D, "2014-05-06 07:00:00"}, {R, "11.250000"}, {R, "3.5"}, {T, "5"}});
    ExecBound(K_RIVER, {{T, "00000101"}, {D, "2014-05-06 08:00:00"}, {R, "12.345000"}, {R, "3.75"}, {T, "5"}});
    ExecBound(K_RIVER, {{T, "00000102"}, {D, "2014-05-06 09:00:00"}, {R, "99.000000"}, {R, "1"}, {T, "6"}});
    for (const TextForm form : {TextForm::Exact, TextForm::Display}) {
        for (const char* station : {"00000101", "00000102", "00000999"}) {
            SCOPED_TRACE(station);
            std::string old = "unchanged", bound = "unchanged";
            ASSERT_TRUE(m_db.QueryValue(Format("SELECT top 1 Z from ST_RIVER_R where STCD='%s' ORDER BY TM DESC",
                                               SqlEscape(station).c_str()),
                                        old, form))
                << m_db.LastError();
            ASSERT_TRUE(m_db.QueryValueBound(K_LAST_LEVEL, {{T, station}}, bound, form)) << m_db.LastError();
            EXPECT_EQ(bound, old);
        }
    }
    std::string level;
    ASSERT_TRUE(m_db.QueryValueBound(K_LAST_LEVEL, {{T, "00000101"}}, level));
    EXPECT_EQ(level, "12.345");  // exact: the level trend is computed from it
}

TEST_P(BoundStatements, ARefusedStatementLeavesTheTransactionAndConnectionUsable)
{
    struct Refusal {
        const char* name;
        const char* statement;
        std::vector<Param> params;
        bool refusedBySqlite;
    };
    const std::vector<Refusal> refusals = {
        {"duplicate key", K_RIVER,
         {{T, "00000101"}, {D, "2014-05-06 08:00:00"}, {R, "1.000000"}, {R, "1.000000"}, {T, "6"}}, true},
        {"value too long for its column", K_RIVER,
         {{T, "00000101"}, {D, "2014-05-06 10:00:00"}, {R, "1.000000"}, {R, "1.000000"}, {T, "66"}}, false},
        {"not a date", K_RIVER, {{T, "00000101"}, {D, "2014-13-45 07:00:00"}, {R, "1"}, {R, "1"}, {T, "6"}}, false},
    };
    ExecBound(K_RIVER, {{T, "00000101"}, {D, "2014-05-06 08:00:00"}, {R, "12.345000"}, {R, "3.75"}, {T, "5"}});
    int hour = 11;
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        if (Sqlite() && !r.refusedBySqlite)
            continue;  // SQLite keeps any value in any column
        ASSERT_EQ(m_db.BeginTrans(), 1);
        ASSERT_TRUE(m_db.Savepoint("before_report")) << m_db.LastError();
        EXPECT_FALSE(m_db.ExecuteBound(r.statement, r.params));
        EXPECT_FALSE(m_db.LastError().empty());
        EXPECT_FALSE(m_db.LastErrorWasConnection()) << m_db.LastError();
        ASSERT_TRUE(m_db.RollbackToSavepoint("before_report")) << m_db.LastError();
        const std::string good = Format("2014-05-06 %02d:00:00", hour++);
        EXPECT_TRUE(m_db.ExecuteBound(K_RIVER, {{T, "00000101"}, {D, good}, {R, "2.000000"}, {R, "1"}, {T, "6"}}))
            << m_db.LastError();
        EXPECT_TRUE(m_db.ReleaseSavepoint("before_report")) << m_db.LastError();
        ASSERT_TRUE(m_db.CommitTrans()) << m_db.LastError();
        EXPECT_EQ(Query(Format("select STCD, WPTN from ST_RIVER_R where TM='%s'", good.c_str())),
                  (Rows{{"00000101", "6"}}));
    }
    EXPECT_EQ(Query("select count(*) from ST_RIVER_R"), (Rows{{Sqlite() ? "2" : "4"}}));

    // Releasing a savepoint, even one that opened the transaction, commits
    // nothing: the transaction still decides.
    ASSERT_EQ(m_db.BeginTrans(), 1);
    ASSERT_TRUE(m_db.Savepoint("first")) << m_db.LastError();
    EXPECT_TRUE(m_db.ExecuteBound(K_RIVER, {{T, "00000102"}, {D, "2014-05-06 08:00:00"}, {R, "1"}, {R, "1"}, {T, "6"}}))
        << m_db.LastError();
    EXPECT_TRUE(m_db.ReleaseSavepoint("first")) << m_db.LastError();
    ASSERT_TRUE(m_db.RollbackTrans()) << m_db.LastError();
    EXPECT_EQ(Query("select count(*) from ST_RIVER_R"), (Rows{{Sqlite() ? "2" : "4"}}));

    // Savepoints need a transaction and a plain name.
    EXPECT_FALSE(m_db.Savepoint("outside"));
    EXPECT_FALSE(m_db.LastErrorWasConnection());
    ASSERT_EQ(m_db.BeginTrans(), 1);
    for (const char* name : {"", "1st", "a b", "x; delete from ST_RIVER_R", "a23456789012345678901234567890123"})
        EXPECT_FALSE(m_db.Savepoint(name)) << name;
    EXPECT_TRUE(m_db.RollbackTrans());
    EXPECT_EQ(Query("select count(*) from ST_RIVER_R"), (Rows{{Sqlite() ? "2" : "4"}}));
}

TEST_P(BoundStatements, PreparedStatementsLastAcrossExecutionsTransactionsAndReopening)
{
    const char* insert = "exec proc_InsertReceive ?,?,?";
    auto row = [](int i) { return std::vector<Param>{{T, Format("%010d", i)}, {T, "32"}, {T, Format("7E7E%04X", i)}}; };
    ASSERT_EQ(m_db.BeginTrans(), 1);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(m_db.ExecuteBound(insert, row(i))) << i << ": " << m_db.LastError();
    ASSERT_TRUE(m_db.CommitTrans()) << m_db.LastError();
    ASSERT_EQ(m_db.BeginTrans(), 1);
    for (int i = 1000; i < 1005; ++i)
        ASSERT_TRUE(m_db.ExecuteBound(insert, row(i))) << m_db.LastError();
    ASSERT_TRUE(m_db.RollbackTrans());
    ExecBound(insert, row(1005));
    EXPECT_EQ(Query("select count(*), min(CommandData), max(YCZNo) from ReceiveData"),
              (Rows{{"1001", "7E7E0000", "0000001005"}}));

    // A count of values that does not match the markers is refused unrun.
    EXPECT_FALSE(m_db.ExecuteBound(insert, {{T, "0000000101"}, {T, "32"}}));
    EXPECT_FALSE(m_db.ExecuteBound(insert, {{T, "0000000101"}, {T, "32"}, {T, "7E"}, {T, "extra"}}));
    EXPECT_FALSE(m_db.LastErrorWasConnection());
    // A statement the server cannot prepare fails like Execute.
    EXPECT_FALSE(m_db.ExecuteBound("insert into NoSuchTable values(?)", {{T, "1"}}));
    EXPECT_FALSE(m_db.LastErrorWasConnection());

    m_db.Close();
    long long rows = 99;
    EXPECT_FALSE(m_db.ExecuteBound(insert, row(2000), &rows));
    EXPECT_TRUE(m_db.LastErrorWasConnection());
    EXPECT_EQ(rows, -1);
    ASSERT_TRUE(m_db.Open(m_database->Connection())) << m_db.LastError();
    ExecBound(insert, row(2001));
    // Opening an open connection again starts afresh too.
    ASSERT_TRUE(m_db.Open(m_database->Connection())) << m_db.LastError();
    ExecBound(insert, row(2002));
    EXPECT_EQ(Query("select count(*) from ReceiveData"), (Rows{{"1003"}}));
}

// Not a check: prints the rate of timed-report readings stored one by one in
// transactions of 64, bound against quoted text.
TEST_P(BoundStatements, SpeedOfBoundAgainstTextInserts)
{
    if (!Sqlite())
        GTEST_SKIP() << "measured on SQLite only";
    constexpr int kRows = 20000;
    constexpr int kBatch = 64;
    auto params = [](int i) {
        return std::vector<Param>{{T, Format("%010d", i % 500)}, {T, "32"}, {T, kFrame}, {T, "ADC9"}, {T, "Z"},
                                  {T, Format("%d.%03d", i % 100, i % 1000)}, {T, "m"},
                                  {D, Format("2014-05-06 %02d:%02d:00", (i / 60) % 24, i % 60)}};
    };
    auto run = [&](bool bound) {
        Exec("delete from DeviceTimingData");
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRows; i += kBatch) {
            EXPECT_EQ(m_db.BeginTrans(), 1);
            for (int j = i; j < std::min(kRows, i + kBatch); ++j) {
                const bool ok = bound ? m_db.ExecuteBound(K_TIMING, params(j))
                                      : m_db.Execute(OldText(K_TIMING_OLD, params(j)));
                if (!ok) {
                    ADD_FAILURE() << m_db.LastError();
                    m_db.RollbackTrans();
                    return 0.0;
                }
            }
            EXPECT_TRUE(m_db.CommitTrans());
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(Query("select count(*) from DeviceTimingData"), (Rows{{std::to_string(kRows)}}));
        return kRows / seconds;
    };
    const double text = run(false);
    const double bound = run(true);
    std::printf("[ speed    ] %d timed readings into SQLite, transactions of %d: text %.0f rows/s, bound %.0f rows/s\n",
                kRows, kBatch, text, bound);
}

INSTANTIATE_TEST_SUITE_P(Backends, BoundStatements, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace rtu::storage::test
