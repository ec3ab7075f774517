// Storage of the four report kinds: timed (32), alarm (33), hourly (34) and
// five-minute (35) reports become statements for the main database and, for
// precipitation and river levels, the secondary one.
#pragma once

#include "rtu/runtime/StationRegistry.h"
#include "rtu/uplink/StatementTarget.h"

#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace rtu {

class ReportStorage {
public:
    ReportStorage(StatementTarget& database, StationRegistry& registry);

    // `frameText` is the whole frame as text (end character and check code
    // included); `storageNumber` the station's Conversion ID or its address.
    void StoreTimedReport(std::string_view frameText, const std::string& storageNumber, const std::string& station,
                          const std::string& centre, int linkKind);
    void StoreAlarmReport(std::string_view frameText, const std::string& storageNumber, const std::string& centre);
    void StoreHourlyReport(std::string_view frameText, const std::string& storageNumber, const std::string& centre);
    void StoreFiveMinuteReport(std::string_view frameText, const std::string& storageNumber,
                               const std::string& centre);

    // The station code of the secondary database's tables: the right-most 8
    // characters of the storage number, or all of it when it is shorter.
    static std::string SecondaryStationCode(const std::string& storageNumber);

private:
    void Enqueue(Database db, const std::string& statement, const std::string& key);
    // The level last stored for a river station: read from the secondary
    // database once, then remembered as rows are written, so that a report
    // does not wait for the database before the next one can be answered.
    double LastRiverLevel(const std::string& code, const std::string& storageNumber);

    StatementTarget& database_;
    StationRegistry& registry_;
    std::mutex levelsLock_;  // the two parse threads share the levels
    std::map<std::string, double> lastLevels_;
};

}  // namespace rtu
