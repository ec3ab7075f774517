// A binary station and a text station on one port, sending the same
// readings: each is acknowledged in its own encoding, and the rows stored for
// the binary station equal the text station's apart from the station and the
// frame as received.
#include "tests/e2e/E2eChecks.h"
#include "tests/e2e/RtuProcess.h"

#include "rtu/protocol/BinaryTwin.h"
#include "rtu/protocol/HexText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace rtu::e2e {
namespace {

using storage::Rows;

int FromBcd(std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }

// The acknowledgement of a binary report must be what the codec builds from
// the report with the send time the centre wrote (ESC: stay online).
void ExpectBinaryAcknowledgementOf(const std::optional<std::string>& ack, const std::string& sent)
{
    ASSERT_TRUE(ack.has_value()) << "no acknowledgement";
    BinaryFrame answer, report;
    ASSERT_EQ(ParseBinaryFrame(*ack, answer), BinaryParse::kOk) << BytesToHexText(*ack);
    ASSERT_EQ(ParseBinaryFrame(sent, report), BinaryParse::kOk);
    ASSERT_EQ(answer.body.size(), 8u);
    const auto* time = reinterpret_cast<const std::uint8_t*>(answer.body.data()) + 2;
    CalendarTime t;
    t.year = 2000 + FromBcd(time[0]);
    t.month = FromBcd(time[1]);
    t.day = FromBcd(time[2]);
    t.hour = FromBcd(time[3]);
    t.minute = FromBcd(time[4]);
    t.second = FromBcd(time[5]);
    std::string expected;
    ASSERT_TRUE(BuildBinaryAcknowledgement(report, t, true, expected));
    EXPECT_EQ(BytesToHexText(*ack), BytesToHexText(expected));
    EXPECT_LE(std::labs(static_cast<long>(Seconds(t) - Seconds(LocalNow()))), 60L);
}

// Rows of a query for one station, sorted (the station column left out).
Rows RowsOf(const std::string& database, const std::string& columns, const std::string& table,
            const std::string& stationColumn, const std::string& station)
{
    Rows rows = Query(database, "select " + columns + " from " + table + " where " + stationColumn + " = '" +
                                    station + "'");
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST(BinaryStation, ReportsAreAcknowledgedInTheirEncodingAndStoredAsTheirTextTwins)
{
    RtuProcess centre;
    START_CENTRE(centre);
    StationLink text, binary;
    ASSERT_TRUE(text.Connect(centre.Port()));
    ASSERT_TRUE(binary.Connect(centre.Port()));

    const std::string drp = "000A14FF0505050505050505";
    const std::string drz = "04D2FFFF0064006400640064006400640064006400640064";
    struct Report {
        const char* code;
        std::string elements;  // after the station's address
    };
    const std::vector<Report> reports = {
        {"30", " H TT 2405061225 PJ 3.5 Z 101.250 VT 12.60"},
        {"32", " H TT 2405061230 PN05 2.0 PJ 10.5 PT 125.5 Z 102.345 Q 12.500 VT 12.60"},
        {"32", " H TT 2405061235 PN05 0.0 PJ 10.5 Z 102.000 Q 11.000 VT 12.60"},
        {"33", " H TT 2405061240 Z 105.500 VT 12.60"},
        {"34", " H TT 2405062300 DRP " + drp + " DRZ1 " + drz + " VT 12.60"},
        {"2F", " H VT 12.60"},
    };
    std::vector<std::string> binaryFrames;
    std::uint16_t serial = 1;
    for (const Report& r : reports) {
        const auto frameOf = [&](const std::string& station) {
            return Frame(station, r.code, Body(serial, " ST " + station + r.elements));
        };
        const std::string textFrame = frameOf("0000000121");
        std::string binaryFrame;
        ASSERT_EQ(BinaryUplinkOf(frameOf("0000000122"), binaryFrame), TwinBuild::kBuilt) << r.code;
        ++serial;
        ASSERT_TRUE(text.Send(textFrame));
        ASSERT_TRUE(binary.Send(binaryFrame));
        if (std::string(r.code) == "2F") continue;  // keep-alives are never answered
        binaryFrames.push_back(binaryFrame);
        ExpectAcknowledgementOf(text.ReadFrame(), textFrame);
        ExpectBinaryAcknowledgementOf(binary.ReadFrame(), binaryFrame);
    }
    EXPECT_FALSE(text.ReadFrame(500ms).has_value()) << "a keep-alive was answered";
    EXPECT_FALSE(binary.ReadFrame(0ms).has_value()) << "a binary keep-alive was answered";

    // An answer of the binary station is acknowledged and shown as a text
    // station's answer is.
    std::string answer;
    ASSERT_EQ(BinaryUplinkOf(Frame("0000000122", "48", Body(serial, " ST 0000000122")), answer), TwinBuild::kBuilt);
    ASSERT_TRUE(binary.Send(answer));
    ExpectBinaryAcknowledgementOf(binary.ReadFrame(), answer);
    binaryFrames.push_back(answer);
    EXPECT_TRUE(centre.WaitForOutput("Station:0000000122  Factory settings restored.")) << centre.Output();
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    const std::string main = centre.MainDatabase();
    // The received frames: the binary station's as sent, in hexadecimal text.
    Rows received = RowsOf(main, "CommandData", "ReceiveData", "YCZNo", "0000000122");
    Rows sent;
    for (const std::string& frame : binaryFrames) sent.push_back({BytesToHexText(frame)});
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(received, sent);
    Rows codes = RowsOf(main, "CommandName", "ReceiveData", "YCZNo", "0000000121");
    codes.push_back({"48"});
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(RowsOf(main, "CommandName", "ReceiveData", "YCZNo", "0000000122"), codes);

    struct Table {
        const char* database;  // "main" or "secondary"
        const char* table;
        const char* stationColumn;
        const char* columns;
    };
    const Table tables[] = {
        {"main", "DeviceTimingData", "YCZNo", "ChannelName, ElementId, ElementValue, Unit, CommandName, ObserveTime"},
        {"main", "DeviceAlarmData", "YCZNo", "CommandName, AlarmInfo, InsertTime, Year, Month, Day, ZXZNO"},
        {"main", "DeviceHourData", "YCZNo", "SaveTime, Num, Rainfall, waterLevel, Year, Month, Day, Hour"},
        {"secondary", "ST_PPTN_R", "STCD", "TM, DRP, INTV, DYP, WTH"},
        {"secondary", "ST_RIVER_R", "STCD", "TM, Z, Q, WPTN"},
    };
    for (const Table& t : tables) {
        const bool secondary = std::string(t.database) == "secondary";
        const std::string database = secondary ? centre.SecondaryDatabase() : main;
        const Rows textRows = RowsOf(database, t.columns, t.table, t.stationColumn,
                                     secondary ? "00000121" : "0000000121");
        EXPECT_FALSE(textRows.empty()) << t.table;
        EXPECT_EQ(RowsOf(database, t.columns, t.table, t.stationColumn, secondary ? "00000122" : "0000000122"),
                  textRows)
            << t.table;
    }
}

}  // namespace
}  // namespace rtu::e2e
