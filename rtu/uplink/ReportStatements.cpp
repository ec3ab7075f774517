#include "rtu/uplink/ReportStatements.h"

#include "rtu/protocol/Elements.h"
#include "rtu/protocol/HexText.h"
#include "rtu/protocol/TimeText.h"
#include "rtu/runtime/Settings.h"
#include "rtu/storage/SqlDialect.h"

#include <cstdlib>
#include <optional>

namespace rtu {

using storage::Param;
using storage::ParamType;

namespace {

const char* const kTexts[kStatementKinds] = {
    // Receive
    "exec proc_InsertReceive ?,?,?",
    // TimedValue
    "exec proc_insertDeviceTimingData '',?,?,?,0,?,?,?,?,'',?",
    // PeriodRainfall
    "update DeviceInfo set PeriodRainfall=? where YCZNo=?",
    // Precipitation
    "insert into ST_PPTN_R(STCD,TM,DRP,INTV,PDR,DYP,WTH) values(?,?,?,?,NULL,?,?)",
    // RiverLevel
    "insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) values(?,?,?,?,?)",
    // Alarm
    "insert into DeviceAlarmData(DevNo,YCZNo,CommandName,CommandData,AlarmInfo,InsertTime,Status,Year,Month,Day,"
    "Mark,ZXZNO) values(?,?,?,?,?,?,'0',?,?,?,getdate(),?)",
    // HourSlot (the insert; the update is HourSlotUpdateText)
    "insert into DeviceHourData(DevNo,YCZNo,CommandName,CommandData,InsertTime,Status,waterLevel,Rainfall,Flowmeter,"
    "Year,Month,Day,Mark,ZXZNO,Hour,SaveTime,Num) values(?,?,?,?,getdate(),?,?,?,?,?,?,?,?,?,?,?,?)",
    // SlotRainfall, SlotLevel, SlotFlow
    "update DeviceHourData set Rainfall=? where SaveTime=? and YCZNo=?",
    "update DeviceHourData set waterLevel=? where SaveTime=? and YCZNo=?",
    "update DeviceHourData set Flowmeter=? where SaveTime=? and YCZNo=?",
    // SlotProcedure
    "EXEC proc_updateRgzs '',?,'35',?,?,?,?,?,?,?,?,?,?,?,'0'",
};

// Positions of the hourly insert's values that its update takes.
constexpr std::size_t kHourLevel = 5, kHourRain = 6, kHourStation = 1, kHourSaveTime = 14;

Param Text(std::string_view value) { return Param{ParamType::Text, std::string(value)}; }
Param Integer(int value) { return Param{ParamType::Integer, std::to_string(value)}; }
Param Time(std::string value) { return Param{ParamType::DateTime, std::move(value)}; }
// Decimal values are written as "%f" wrote them into the statements before.
Param Real(double value) { return Param{ParamType::Real, SqlText("%f", value)}; }

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

double Number(std::string_view text) { return std::atof(std::string(text).c_str()); }

std::optional<CalendarTime> ObservationTime(std::string_view text)
{
    const std::string_view tt = FieldValue(text, "TT");
    if (tt.empty()) return std::nullopt;
    return DecodeObservationTime(tt);
}

class Builder {
public:
    Builder(const StoredReport& report, bool mainUsed, bool secondaryUsed)
        : report_(report), mainUsed_(mainUsed), secondaryUsed_(secondaryUsed)
    {
    }

    void Add(Database db, StatementKind kind, std::vector<Param> params)
    {
        if (!(db == Database::Main ? mainUsed_ : secondaryUsed_)) return;
        out_.push_back(ReportStatement{db, kind, std::move(params)});
    }

    void Timed(std::string_view frameText);
    void Alarm(std::string_view frameText);
    void Hourly(std::string_view frameText);
    void FiveMinute(std::string_view frameText);

    std::vector<ReportStatement> Take() { return std::move(out_); }

private:
    const StoredReport& report_;
    const bool mainUsed_;
    const bool secondaryUsed_;
    std::vector<ReportStatement> out_;
};

void Builder::Timed(std::string_view frameText)
{
    const std::string_view body = BodyText(frameText);
    const auto observed = ObservationTime(body);
    if (!observed) return;
    const std::string t = MinuteText(*observed);
    const std::string_view pj = FieldValue(body, "PJ");
    const std::string_view pt = FieldValue(body, "PT");
    const std::string_view z = FieldValue(body, "Z");
    const std::string_view q = FieldValue(body, "Q");
    const std::string& sn = report_.storageNumber;
    const std::string code = SecondaryStationCode(sn);
    auto timedValue = [&](std::string_view name, std::string_view a, std::string_view b, std::string_view c) {
        Add(Database::Main, StatementKind::TimedValue,
            {Text(sn), Text("32"), Text(frameText), Text(name), Text(a), Text(b), Text(c), Time(t)});
    };

    const std::vector<std::string_view> tokens = SplitText(frameText, ' ');
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        const std::string_view token = tokens[i];
        const std::string_view value = tokens[i + 1];
        if (Contains(token, "ADC")) {
            const std::vector<std::string_view> parts = SplitText(value, ',');
            if (parts.size() != 3) continue;
            timedValue(token, parts[0], parts[1] == "M" ? std::string_view("0") : parts[1], parts[2]);
        } else if (Contains(token, "PN")) {
            if (value.empty()) continue;
            const std::string minutes(token.size() > 2 ? token.substr(2) : std::string_view());
            Add(Database::Main, StatementKind::PeriodRainfall,
                {Text(std::string(value) + "mm/" + minutes + "min"), Text(sn)});
            const int n = std::atoi(minutes.c_str());
            const double rain = Number(value);
            const float daily = static_cast<float>(Number(pj));
            Add(Database::Secondary, StatementKind::Precipitation,
                {Text(code), Time(t), Real(rain), Param{ParamType::Real, SqlText("%d.%02d", n / 60, n % 60)},
                 Real(static_cast<double>(daily)), Text(rain > 0 ? "7" : "9")});
        }
    }
    if (!pj.empty()) timedValue("ADC11", "PJ", pj, "mm");
    if (!pt.empty()) timedValue("ADC8", "PT", pt, "mm");
    if (!z.empty()) {
        timedValue("ADC9", "Z", z, "m");
        Add(Database::Secondary, StatementKind::RiverLevel, {Text(code), Time(t), Real(Number(z)), Real(Number(q))});
    }
    if (!q.empty()) timedValue("ADC10", "Q", q, "m^3/s");
}

void Builder::Alarm(std::string_view frameText)
{
    const std::vector<std::string_view> tokens = SplitText(BodyText(frameText), ' ');
    if (tokens.size() < 7) return;
    const std::string_view identifier = tokens[5];
    const std::string value(tokens[6]);
    std::string alarm;
    if (identifier == "PJ")
        alarm = LoadText("MainFrame", "Text23") + value + " (mm)";
    else if (identifier == "Z")
        alarm = LoadText("MainFrame", "Text24") + value + " (m)";
    else if (identifier == "Q")
        alarm = LoadText("MainFrame", "Text25") + value + " (m^3/s)";
    else
        return;
    const auto observed = ObservationTime(frameText);
    if (!observed) return;
    Add(Database::Main, StatementKind::Alarm,
        {Text(""), Text(report_.storageNumber), Text("33"), Text(frameText), Text(alarm), Time(MinuteText(*observed)),
         Integer(observed->year), Integer(observed->month), Integer(observed->day), Text(report_.centre)});
}

void Builder::Hourly(std::string_view frameText)
{
    const std::string_view body = BodyText(frameText);
    const std::string_view drp = FieldValue(body, "DRP");
    const std::string_view drz = FieldValue(body, "DRZ1");
    if (drp.empty() || drz.empty()) return;
    const auto observed = ObservationTime(frameText);
    if (!observed) return;
    const FiveMinuteTexts rain = DecodeFiveMinuteRain(drp);
    const FiveMinuteTexts level = DecodeFiveMinuteLevel(drz);
    for (int i = 0; i < 12; ++i) {
        const CalendarTime step = FiveMinuteStepTime(*observed, i);
        const auto index = static_cast<std::size_t>(i);
        Add(Database::Main, StatementKind::HourSlot,
            {Text(""), Text(report_.storageNumber), Text("34"), Text(frameText), Integer(0), Text(level[index]),
             Text(rain[index]), Text(""), Integer(step.year), Integer(step.month), Integer(step.day), Text(""),
             Text(report_.centre), Integer(step.hour), Time(MinuteText(step)), Integer(i + 1)});
    }
}

void Builder::FiveMinute(std::string_view frameText)
{
    const std::vector<std::string_view> tokens = SplitText(frameText, ' ');
    if (tokens.size() < 8) return;
    const std::string_view identifier = tokens[6];
    const std::string_view value = tokens[7];
    const auto observed = ObservationTime(frameText);
    if (!observed) return;
    const CalendarTime slot = FiveMinuteSlot(*observed);
    const std::string ts = MinuteText(slot);
    const std::string& sn = report_.storageNumber;

    std::string column;
    if (identifier == "PN05") {
        column = "Rainfall";
        Add(Database::Main, StatementKind::SlotRainfall, {Text(value), Time(ts), Text(sn)});
    } else if (identifier == "Z") {
        column = "waterLevel";
        Add(Database::Main, StatementKind::SlotLevel, {Text(value), Time(ts), Text(sn)});
    } else if (identifier == "Q") {
        column = "Flowmeter";
        Add(Database::Main, StatementKind::SlotFlow, {Text(value), Time(ts), Text(sn)});
    }
    // The procedure takes the value as text: the "%f" form, as it always did.
    Add(Database::Main, StatementKind::SlotProcedure,
        {Text(sn), Text(frameText), Time(report_.receivedAt), Text(column), Text(SqlText("%f", Number(value))),
         Time(ts), Integer(slot.year), Integer(slot.month), Integer(slot.day), Text(""), Text(report_.centre),
         Integer(slot.hour)});
}

}  // namespace

std::vector<ReportStatement> BuildReportStatements(const StoredReport& report, bool mainUsed, bool secondaryUsed)
{
    Builder builder(report, mainUsed, secondaryUsed);
    builder.Add(Database::Main, StatementKind::Receive,
                {Text(report.storageNumber), Text(report.functionCode), Text(BytesToHexText(report.frame))});
    const std::string_view frameText = TextUpToZero(report.frame);
    const std::string& code = report.functionCode;
    if (code == "32")
        builder.Timed(frameText);
    else if (code == "33")
        builder.Alarm(frameText);
    else if (code == "34")
        builder.Hourly(frameText);
    else if (code == "35")
        builder.FiveMinute(frameText);
    return builder.Take();
}

const char* StatementText(StatementKind kind) { return kTexts[static_cast<int>(kind)]; }

const char* HourSlotUpdateText()
{
    return "update DeviceHourData set waterLevel=?,Rainfall=? where YCZNo=? and SaveTime=? and CommandName='34'";
}

std::vector<Param> HourSlotUpdateParams(const ReportStatement& hourSlot)
{
    const auto& p = hourSlot.params;
    if (p.size() <= kHourSaveTime) return {};
    return {p[kHourLevel], p[kHourRain], p[kHourStation], p[kHourSaveTime]};
}

const char* RiverLevelInsertText()
{
    // The level is compared by subtraction: a number in every dialect, where
    // SQLite would compare a text value with a number as text.
    return "insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) select ?,?,?,?,"
           "case when abs(? - coalesce(p.Z,0)) <= 0.000001 then '6' when ? - coalesce(p.Z,0) < 0 then '4' "
           "else '5' end "
           "from (select (select Z from ST_RIVER_R where STCD=? and "
           "TM=(select max(TM) from ST_RIVER_R where STCD=? and TM<?)) as Z) p";
}

std::vector<Param> RiverLevelInsertParams(const ReportStatement& riverLevel)
{
    const auto& p = riverLevel.params;
    if (p.size() < 4) return {};
    return {p[0], p[1], p[2], p[3], p[2], p[2], p[0], p[0], p[1]};
}

std::string RenderStatement(std::string_view text, const std::vector<Param>& params)
{
    std::string out;
    out.reserve(text.size() + 64);
    std::size_t next = 0;
    bool quoted = false;
    for (char c : text) {
        if (c == '\'') quoted = !quoted;
        if (c != '?' || quoted) {
            out += c;
            continue;
        }
        if (next >= params.size()) {
            out += c;
            continue;
        }
        out += '\'';
        out += storage::SqlEscape(params[next++].value);
        out += '\'';
    }
    return out;
}

TimedReadings ReadTimedReadings(std::string_view frameText)
{
    TimedReadings readings;
    const std::string_view body = BodyText(frameText);
    const auto observed = ObservationTime(body);
    if (!observed) return readings;
    readings.valid = true;
    readings.observationTime = MinuteText(*observed);
    readings.dailyRainfall = std::string(FieldValue(body, "PJ"));
    readings.waterLevel = std::string(FieldValue(body, "Z"));
    readings.flow = std::string(FieldValue(body, "Q"));
    // The period rainfall text of the last PN element, as the station row shows it.
    const std::vector<std::string_view> tokens = SplitText(frameText, ' ');
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (!Contains(tokens[i], "PN") || Contains(tokens[i], "ADC") || tokens[i + 1].empty()) continue;
        const std::string_view token = tokens[i];
        const std::string minutes(token.size() > 2 ? token.substr(2) : std::string_view());
        readings.periodRainfall = std::string(tokens[i + 1]) + "mm/" + minutes + "min";
    }
    return readings;
}

std::string SecondaryStationCode(const std::string& storageNumber)
{
    return storageNumber.size() <= 8 ? storageNumber : storageNumber.substr(storageNumber.size() - 8);
}

}  // namespace rtu
