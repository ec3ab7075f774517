#include "tests/e2e/E2eChecks.h"

#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"
#include "tools/stationsim/StationFrames.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace rtu::e2e {

using storage::Rows;

std::string Body(std::uint16_t serial, const std::string& elements)
{
    return sim::BodyPrefix(serial, LocalNow()) + elements;
}

std::string Frame(const std::string& station, const std::string& code, const std::string& body,
                  const std::string& password, const std::string& centre)
{
    sim::StationIdentity id;
    id.station = station;
    id.password = password;
    id.centre = centre;
    return sim::EncodeUplinkFrame(id, code, body);
}

std::time_t Seconds(const CalendarTime& t)
{
    std::tm parts{};
    parts.tm_year = t.year - 1900;
    parts.tm_mon = t.month - 1;
    parts.tm_mday = t.day;
    parts.tm_hour = t.hour;
    parts.tm_min = t.minute;
    parts.tm_sec = t.second;
    parts.tm_isdst = -1;
    return std::mktime(&parts);
}

// The acknowledgement must be exactly what the codec builds from the sent
// frame with the send time the centre wrote, and that time must be now.
void ExpectAcknowledgementOf(const std::optional<std::string>& ack, const std::string& sent)
{
    ASSERT_TRUE(ack.has_value()) << "no acknowledgement";
    ASSERT_EQ(ack->size(), 45u) << *ack;
    const std::string digits = ack->substr(28, 12);
    CalendarTime t;
    t.year = 2000 + std::atoi(digits.substr(0, 2).c_str());
    t.month = std::atoi(digits.substr(2, 2).c_str());
    t.day = std::atoi(digits.substr(4, 2).c_str());
    t.hour = std::atoi(digits.substr(6, 2).c_str());
    t.minute = std::atoi(digits.substr(8, 2).c_str());
    t.second = std::atoi(digits.substr(10, 2).c_str());
    FrameBytes expected;
    ASSERT_TRUE(BuildAcknowledgement(sent, t, expected));
    EXPECT_EQ(BytesToHexText(*ack), BytesToHexText(expected.View()));
    EXPECT_LE(std::labs(static_cast<long>(Seconds(t) - Seconds(LocalNow()))), 60L) << digits;
}

namespace {

std::string ConnectionOf(const std::string& database)
{
    return database.find("Driver=") != std::string::npos ? database : "Driver=SQLite3;Database=" + database;
}

}  // namespace

Rows Query(const std::string& database, const std::string& statement)
{
    storage::CAdoDB db;
    Rows rows;
    EXPECT_TRUE(db.Open(ConnectionOf(database))) << db.LastError();
    EXPECT_TRUE(db.QueryRows(statement, rows)) << statement << ": " << db.LastError();
    return rows;
}

std::string Count(const std::string& database, const std::string& statement)
{
    const Rows rows = Query(database, statement);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

// Runs stationsim against the centre; its exit status, its output in `output`.
int RunStationsim(const std::string& arguments, std::string& output)
{
    const std::string command = std::string(STATIONSIM_PROGRAM) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Queues a command for the station in the command table, retrying while the
// program is still creating its database.
void QueueCommand(const RtuProcess& centre, const std::string& station, const std::string& function,
                  const std::string& text, std::string* frame)
{
    FrameBytes command;
    const DownlinkAddress address{station, "01", "B7E2"};
    ASSERT_EQ(BuildCommandFrame(address, function, text, command), CommandBuild::kBuilt);
    if (frame != nullptr) *frame = std::string(command.View());
    ExecuteWhenReady(centre, "insert into SendCommandInfo (YCZNo, CommandData, Status) values ('" + station +
                                 "', '" + BytesToHexText(command.View()) + "', 0)");
}

void ExecuteWhenReady(const RtuProcess& centre, const std::string& statement)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    storage::CAdoDB db;
    while (!(db.Open(centre.MainConnection()) && db.Execute(statement))) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << statement << ": " << db.LastError();
        std::this_thread::sleep_for(100ms);
    }
}

bool WaitForValue(const std::string& database, const std::string& statement, const std::string& wanted,
                  std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        storage::CAdoDB db;
        Rows rows;
        if (db.Open(ConnectionOf(database)) && db.QueryRows(statement, rows) && !rows.empty() &&
            !rows[0].empty() && rows[0][0] == wanted) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
}

}  // namespace rtu::e2e
