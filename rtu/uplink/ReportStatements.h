// The rows of a report: what the dispatcher keeps of an acknowledged frame
// (StoredReport), and the statements that write it to the main and the
// secondary database (ReportStatement), built from it when it is written.
//
// Statements are fixed texts with a '?' for each value; the values travel as
// bound parameters, never pasted into the text. Two kinds need the database's
// answer before they can be written: a river level (its trend compares with
// the level last stored) and an hourly slot (updated when the station's row
// for the slot exists, inserted otherwise). Those answers are read by the
// writer of the database, in order with the rows it writes, so no thread that
// acknowledges stations waits for a database.
#pragma once

#include "rtu/storage/AdoDB.h"
#include "rtu/uplink/StatementTarget.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rtu {

// What is kept of an acknowledged frame until its rows are written.
struct StoredReport {
    std::string receivedAt;     // "YYYY-MM-DD hh:mm:ss", local time the frame was handled
    std::string storageNumber;  // the station's Conversion ID, or its address
    std::string station;        // the station address of the frame
    std::string centre;         // the centre address of the frame
    std::string functionCode;   // upper case
    int linkKind = 0;
    std::string frame;          // the frame's bytes
};

enum class StatementKind : std::uint8_t {
    Receive,         // every acknowledged frame (proc_InsertReceive)
    TimedValue,      // one reading of a timed report (proc_insertDeviceTimingData)
    PeriodRainfall,  // the station's period rainfall text (DeviceInfo)
    Precipitation,   // secondary database: ST_PPTN_R
    RiverLevel,      // secondary database: ST_RIVER_R, the trend from the last level
    Alarm,           // DeviceAlarmData
    HourSlot,        // one step of an hourly report: DeviceHourData updated or inserted
    SlotRainfall,    // one value of a five-minute report into its slot row
    SlotLevel,
    SlotFlow,
    SlotProcedure,   // proc_updateRgzs
};
constexpr int kStatementKinds = 11;

struct ReportStatement {
    Database db = Database::Main;
    StatementKind kind = StatementKind::Receive;
    std::vector<storage::Param> params;
};

// The statements of a report, in the order they are written, for the
// databases in use. Reports that store nothing (answers, unknown codes, an
// unreadable observation time) give the received-frame row only.
std::vector<ReportStatement> BuildReportStatements(const StoredReport& report, bool mainUsed, bool secondaryUsed);

// The fixed statement text of a kind (SQL Server form, '?' for each value).
// A RiverLevel statement carries four values (station, time, level, flow);
// its text shows the row with the trend as '?', and the writer runs
// RiverLevelInsertText instead, which works the trend out in the database.
// An HourSlot statement carries the values of the insert; the update takes
// four of them (HourSlotUpdateParams).
const char* StatementText(StatementKind kind);
const char* HourSlotUpdateText();
std::vector<storage::Param> HourSlotUpdateParams(const ReportStatement& hourSlot);

// The river level row with its trend (WPTN) against the level stored for
// the station at the latest observation time before this one: 6 unchanged
// (within 0.000001), 5 rising, 4 falling; with no level before, against 0.
// The comparison is made by the database in the same statement, so it holds
// whatever else wrote the table meanwhile (another data centre, an earlier
// run) and whatever order the reports arrive in.
const char* RiverLevelInsertText();
// Its values, from a RiverLevel statement's four; empty when it has fewer.
std::vector<storage::Param> RiverLevelInsertParams(const ReportStatement& riverLevel);

// A statement with its values written into the text as quoted literals: for
// log lines and the rejected-statement table, never for running.
std::string RenderStatement(std::string_view text, const std::vector<storage::Param>& params);

// The latest readings of a timed report, for the station list.
struct TimedReadings {
    bool valid = false;  // an observation time was read
    std::string waterLevel, periodRainfall, dailyRainfall, flow, observationTime;
};
TimedReadings ReadTimedReadings(std::string_view frameText);

// The station code of the secondary database's tables: the right-most 8
// characters of the storage number, or all of it when it is shorter.
std::string SecondaryStationCode(const std::string& storageNumber);

}  // namespace rtu
