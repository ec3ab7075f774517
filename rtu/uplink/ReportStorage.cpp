#include "rtu/uplink/ReportStorage.h"

#include "rtu/protocol/Elements.h"
#include "rtu/protocol/TimeText.h"
#include "rtu/runtime/Log.h"
#include "rtu/runtime/Settings.h"
#include "rtu/storage/SqlDialect.h"

#include <cstdlib>
#include <optional>
#include <vector>

namespace rtu {

using storage::SqlEscape;

// Statement formats (literals, so the compiler checks every argument).
#define SQL_TIMED_VALUE \
    "exec proc_insertDeviceTimingData '','%s','%s','%s',0,'%s','%s','%s','%s','','%s'"
#define SQL_PERIOD_RAINFALL \
    "update DeviceInfo set PeriodRainfall='%s' where YCZNo='%s'"
#define SQL_PRECIPITATION \
    "insert into ST_PPTN_R(STCD,TM,DRP,INTV,PDR,DYP,WTH) values('%s','%s','%f','%s',NULL,'%f','%d')"
#define SQL_LAST_LEVEL \
    "SELECT top 1 Z from ST_RIVER_R where STCD='%s' ORDER BY TM DESC"
#define SQL_RIVER \
    "insert into ST_RIVER_R(STCD,TM,Z,Q,WPTN) values('%s', '%s', '%f', '%f', '%d')"
#define SQL_ALARM \
    "insert into DeviceAlarmData(DevNo,YCZNo,CommandName,CommandData,AlarmInfo,InsertTime,Status,Year,Month,Day," \
    "Mark,ZXZNO) \t\t\t\t\t\t\t\t\tvalues('%s', '%s','%s','%s','%s', '%s', '0','%d','%d','%d',getdate(),'%s')"
// One look-up answers for all twelve steps of an hourly report: one column
// per step, the number of rows of that slot (a single round trip instead of
// twelve on the thread that acknowledges every station's frames).
#define SQL_HOUR_SLOT_COUNT \
    "(select count(*) from DeviceHourData where YCZNo='%s' and SaveTime='%s' and CommandName='34')"
#define SQL_HOUR_INSERT \
    "insert into DeviceHourData(DevNo,YCZNo,CommandName,CommandData,InsertTime,\t\t\t\t\t\t\t\t\t\t\t   " \
    "Status,waterLevel,Rainfall,Flowmeter,Year,Month,Day,Mark,ZXZNO,Hour,SaveTime,Num) \t\t\t\t\t\t\t\t\t\t\t   " \
    "values('%s', '%s','%s','%s', getdate(), '%d','%s','%s','%s','%d','%d','%d','%s','%s','%d','%s','%d')"
#define SQL_HOUR_UPDATE \
    "update DeviceHourData set waterLevel='%s',Rainfall='%s' where YCZNo='%s' and SaveTime='%s' and " \
    "CommandName='34'"
#define SQL_SLOT_RAINFALL \
    "update DeviceHourData set Rainfall='%s' where SaveTime='%s' and YCZNo='%s'"
#define SQL_SLOT_LEVEL \
    "update DeviceHourData set waterLevel='%s' where SaveTime='%s' and YCZNo='%s'"
#define SQL_SLOT_FLOW \
    "update DeviceHourData set Flowmeter='%s' where SaveTime='%s' and YCZNo='%s'"
#define SQL_SLOT_PROCEDURE \
    "EXEC proc_updateRgzs '','%s','35','%s','%s','%s','%f','%s','%d','%d','%d','%s','%s','%d','0'"


namespace {

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

double Number(std::string_view text) { return std::atof(std::string(text).c_str()); }

std::optional<CalendarTime> ObservationTime(std::string_view text)
{
    const std::string_view tt = FieldValue(text, "TT");
    if (tt.empty()) return std::nullopt;
    return DecodeObservationTime(tt);
}

}  // namespace

ReportStorage::ReportStorage(StatementTarget& database, StationRegistry& registry)
    : database_(database), registry_(registry)
{
}

std::string ReportStorage::SecondaryStationCode(const std::string& storageNumber)
{
    return storageNumber.size() <= 8 ? storageNumber : storageNumber.substr(storageNumber.size() - 8);
}

void ReportStorage::Enqueue(Database db, const std::string& statement, const std::string& key)
{
    if (!database_.Used(db)) return;
    RTU_LOG_DEBUG(statement);
    database_.Enqueue(db, statement, key);
}

double ReportStorage::LastRiverLevel(const std::string& code, const std::string& storageNumber)
{
    {
        std::lock_guard<std::mutex> lock(levelsLock_);
        auto it = lastLevels_.find(code);
        if (it != lastLevels_.end()) return it->second;
    }
    std::string previous;
    database_.QueryValue(Database::Secondary, SqlText(SQL_LAST_LEVEL, code.c_str()), storageNumber, previous);
    return Number(previous);
}

void ReportStorage::StoreTimedReport(std::string_view frameText, const std::string& storageNumber,
                                     const std::string& station, const std::string& centre, int linkKind)
{
    static_cast<void>(centre);
    const std::string_view body = BodyText(frameText);
    const auto observed = ObservationTime(body);
    if (!observed) return;
    const std::string t = MinuteText(*observed);
    const std::string pj(FieldValue(body, "PJ"));
    const std::string pt(FieldValue(body, "PT"));
    const std::string z(FieldValue(body, "Z"));
    const std::string q(FieldValue(body, "Q"));

    const std::string sn = SqlEscape(storageNumber);
    const std::string frame = SqlEscape(frameText);
    const std::string code = SqlEscape(SecondaryStationCode(storageNumber));
    const bool secondary = database_.Used(Database::Secondary);
    // The level to compare with is taken before this report queues anything
    // for the secondary database, so a first look-up waits only for what
    // earlier reports of the station still have queued.
    const bool river = secondary && !z.empty();
    const double last = river ? LastRiverLevel(code, storageNumber) : 0.0;
    auto timedValue = [&](std::string_view name, std::string_view a, std::string_view b, std::string_view c) {
        Enqueue(Database::Main,
                SqlText(SQL_TIMED_VALUE, sn.c_str(), "32", frame.c_str(), SqlEscape(name).c_str(), SqlEscape(a).c_str(),
                        SqlEscape(b).c_str(), SqlEscape(c).c_str(), t.c_str()),
                storageNumber);
    };

    std::string periodRainfall;
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
            periodRainfall = std::string(value) + "mm/" + minutes + "min";
            Enqueue(Database::Main,
                    SqlText(SQL_PERIOD_RAINFALL, SqlEscape(periodRainfall).c_str(), sn.c_str()), storageNumber);
            if (secondary) {
                const int n = std::atoi(minutes.c_str());
                const double rain = Number(value);
                const std::string interval = SqlText("%d.%02d", n / 60, n % 60);
                const float daily = static_cast<float>(Number(pj));
                Enqueue(Database::Secondary,
                        SqlText(SQL_PRECIPITATION, code.c_str(), t.c_str(), rain, interval.c_str(),
                                static_cast<double>(daily), rain > 0 ? 7 : 9),
                        storageNumber);
            }
        }
    }

    registry_.UpdateLatestReadings(station, z, periodRainfall, pj, q, t, linkKind);

    if (!pj.empty()) timedValue("ADC11", "PJ", pj, "mm");
    if (!pt.empty()) timedValue("ADC8", "PT", pt, "mm");
    if (!z.empty()) {
        timedValue("ADC9", "Z", z, "m");
        if (river) {
            const double level = Number(z);
            {
                std::lock_guard<std::mutex> lock(levelsLock_);
                lastLevels_[code] = level;
            }
            const double d = level - last;
            const int trend = (d >= -0.000001 && d <= 0.000001) ? 6 : (last > level ? 4 : 5);
            Enqueue(Database::Secondary, SqlText(SQL_RIVER, code.c_str(), t.c_str(), level, Number(q), trend),
                    storageNumber);
        }
    }
    if (!q.empty()) timedValue("ADC10", "Q", q, "m^3/s");
}

void ReportStorage::StoreAlarmReport(std::string_view frameText, const std::string& storageNumber,
                                     const std::string& centre)
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
    Enqueue(Database::Main,
            SqlText(SQL_ALARM, "", SqlEscape(storageNumber).c_str(), "33", SqlEscape(frameText).c_str(),
                    SqlEscape(alarm).c_str(), MinuteText(*observed).c_str(), observed->year, observed->month,
                    observed->day, SqlEscape(centre).c_str()),
            storageNumber);
}

void ReportStorage::StoreHourlyReport(std::string_view frameText, const std::string& storageNumber,
                                      const std::string& centre)
{
    const std::string_view body = BodyText(frameText);
    const std::string_view drp = FieldValue(body, "DRP");
    const std::string_view drz = FieldValue(body, "DRZ1");
    if (drp.empty() || drz.empty()) return;
    const auto observed = ObservationTime(frameText);
    if (!observed) return;
    const FiveMinuteTexts rain = DecodeFiveMinuteRain(drp);
    const FiveMinuteTexts level = DecodeFiveMinuteLevel(drz);
    const std::string sn = SqlEscape(storageNumber);
    const std::string frame = SqlEscape(frameText);
    const std::string zxzno = SqlEscape(centre);

    std::string lookup = "select ";
    for (int i = 0; i < 12; ++i) {
        if (i > 0) lookup += ",";
        lookup += SqlText(SQL_HOUR_SLOT_COUNT, sn.c_str(), MinuteText(FiveMinuteStepTime(*observed, i)).c_str());
    }
    RTU_LOG_DEBUG(lookup);
    storage::Rows rows;
    database_.QueryRows(Database::Main, lookup, storageNumber, rows);
    // A failed look-up finds no slot row: the steps are inserted.
    const std::vector<std::string> counts = rows.empty() ? std::vector<std::string>{} : rows[0];

    for (int i = 0; i < 12; ++i) {
        const CalendarTime step = FiveMinuteStepTime(*observed, i);
        const std::string ti = MinuteText(step);
        const auto index = static_cast<std::size_t>(i);
        const bool stored = index < counts.size() && !counts[index].empty() && counts[index] != "0";
        if (!stored) {
            Enqueue(Database::Main,
                    SqlText(SQL_HOUR_INSERT, "", sn.c_str(), "34", frame.c_str(), 0, level[index].c_str(),
                            rain[index].c_str(), "", step.year, step.month, step.day, "", zxzno.c_str(), step.hour,
                            ti.c_str(), i + 1),
                    storageNumber);
        } else {
            Enqueue(Database::Main,
                    SqlText(SQL_HOUR_UPDATE, level[index].c_str(), rain[index].c_str(), sn.c_str(), ti.c_str()),
                    storageNumber);
        }
    }
}

void ReportStorage::StoreFiveMinuteReport(std::string_view frameText, const std::string& storageNumber,
                                          const std::string& centre)
{
    const std::vector<std::string_view> tokens = SplitText(frameText, ' ');
    if (tokens.size() < 8) return;
    const std::string_view identifier = tokens[6];
    const std::string value(tokens[7]);
    const auto observed = ObservationTime(frameText);
    if (!observed) return;
    const CalendarTime slot = FiveMinuteSlot(*observed);
    const std::string ts = MinuteText(slot);
    const std::string sn = SqlEscape(storageNumber);
    const std::string v = SqlEscape(value);

    std::string column;
    if (identifier == "PN05") {
        column = "Rainfall";
        Enqueue(Database::Main, SqlText(SQL_SLOT_RAINFALL, v.c_str(), ts.c_str(), sn.c_str()), storageNumber);
    } else if (identifier == "Z") {
        column = "waterLevel";
        Enqueue(Database::Main, SqlText(SQL_SLOT_LEVEL, v.c_str(), ts.c_str(), sn.c_str()), storageNumber);
    } else if (identifier == "Q") {
        column = "Flowmeter";
        Enqueue(Database::Main, SqlText(SQL_SLOT_FLOW, v.c_str(), ts.c_str(), sn.c_str()), storageNumber);
    }
    Enqueue(Database::Main,
            SqlText(SQL_SLOT_PROCEDURE, sn.c_str(), SqlEscape(frameText).c_str(), NowText().c_str(), column.c_str(),
                    Number(value), ts.c_str(), slot.year, slot.month, slot.day, "", SqlEscape(centre).c_str(),
                    slot.hour),
            storageNumber);
}

}  // namespace rtu
