// The report journal under the faults it is there for, met by the real data
// centre (`RTU --headless` as a process): the process killed at any moment
// under load, the main database stopped at a stop of the program, a main
// database that refuses every write, a secondary database that never
// answers, the journal full, and a statement the server refuses for its
// content. Each holds the centre to what an acknowledgement promises a
// station: the report is stored, once.
#include "tests/e2e/E2eChecks.h"
#include "tests/e2e/RtuProcess.h"
#include "tests/faults/FaultSupport.h"

#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace rtu::faults {
namespace {

using namespace std::chrono_literals;
using e2e::CentreSettings;
using e2e::RtuProcess;
using Clock = std::chrono::steady_clock;

constexpr const char* kJournalFile = "rtu-journal.db";
// What the program says at start-up about the main database (config.ini,
// MainFrame Text4 and Text5).
constexpr const char* kMainConnected = "Main database connected.";
constexpr const char* kMainNotConnected = "Main database not connected";

// ---- the program and its files ---------------------------------------------------

// What the program wrote in this run: its standard output (the log pane) and
// its log file (which keeps the earlier runs' lines too).
std::string Log(const RtuProcess& centre)
{
    return centre.Output() + FileText(centre.Folder() + "/Logs/RTU.log");
}

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The line of the text that holds `part` (empty when none does).
std::string LineWith(const std::string& text, const std::string& part)
{
    const auto at = text.find(part);
    if (at == std::string::npos) return {};
    const auto begin = text.rfind('\n', at);
    const auto end = text.find('\n', at);
    return text.substr(begin == std::string::npos ? 0 : begin + 1,
                       (end == std::string::npos ? text.size() : end) - (begin == std::string::npos ? 0 : begin + 1));
}

// Adds keys to a section of the centre's server.ini (before it starts).
void AddKeys(const RtuProcess& centre, const std::string& section, const std::string& lines)
{
    const std::string path = centre.Folder() + "/server.ini";
    std::string ini = FileText(path);
    const auto at = ini.find(section + "\n");
    ASSERT_NE(at, std::string::npos) << section;
    ini.insert(at + section.size() + 1, lines);
    std::ofstream(path, std::ios::trunc) << ini;
}

// Replaces the secondary database's keys (those before DBMode).
void UseSecondary(const RtuProcess& centre, const std::string& keys)
{
    const std::string path = centre.Folder() + "/server.ini";
    std::string ini = FileText(path);
    const auto begin = ini.find("[SetThird]\n");
    const auto end = ini.find("DBMode=", begin);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    ini.replace(begin + 11, end - begin - 11, keys);
    std::ofstream(path, std::ios::trunc) << ini;
}

// kill -9 of the running program; the harness reaps it.
void KillHard(RtuProcess& centre)
{
    const pid_t pid = ProcessInFolder(centre.Folder());
    ASSERT_GT(pid, 0) << "no RTU runs in " << centre.Folder();
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    EXPECT_EQ(centre.Stop(10s), -1) << "RTU was not ended by the signal";
}

// Runs the program with `arguments` in the centre's folder (as an operator
// does); its exit status, and what it printed in `output`.
int RunRtu(const RtuProcess& centre, const std::string& arguments, std::string& output)
{
    const std::string command = "cd '" + centre.Folder() + "' && " RTU_PROGRAM " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A number read from the journal file beside the running program; -1 when
// it cannot be read.
std::int64_t JournalNumber(const RtuProcess& centre, const char* statement)
{
    sqlite3* db = nullptr;
    std::int64_t value = -1;
    const std::string path = centre.Folder() + "/" + kJournalFile;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, statement, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            value = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

// The last report ever journalled.
std::int64_t JournalLastSeq(const RtuProcess& centre)
{
    return JournalNumber(centre, "SELECT IFNULL(MAX(seq), 0) FROM sqlite_sequence WHERE name='Reports'");
}

// The database has written every report of the journal: its mark in
// JournalApplied has reached the journal's last report.
bool AllWritten(const RtuProcess& centre, const std::string& database)
{
    const std::int64_t last = JournalLastSeq(centre);
    const auto mark = ValueOf(database, "select max(LastSeq) from JournalApplied");
    return last > 0 && mark && !mark->empty() && std::atoll(mark->c_str()) == last;
}

long Number(const std::string& database, const std::string& statement)
{
    const auto value = ValueOf(database, statement);
    return value && !value->empty() ? std::atol(value->c_str()) : -1;
}

// ---- frames, acknowledged and stored -----------------------------------------------

// A frame's key: its station and serial number ("0000000101#001A").
std::string KeyOf(std::string_view frame)
{
    return frame.size() >= 28 ? std::string(frame.substr(3, 10)) + "#" + std::string(frame.substr(24, 4)) : "";
}

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The frames of ReceiveData (its hexadecimal CommandData), by key, with how
// often each is there.
std::map<std::string, int> StoredFrames(const std::string& database)
{
    std::map<std::string, int> stored;
    for (const auto& row : e2e::Query(database, "select CommandData from ReceiveData"))
        if (!row.empty()) ++stored[KeyOf(FromHex(row[0]))];
    return stored;
}

// The reports stationsim saw acknowledged, from its --verbose lines
// "<station> <- ACK <code> #<serial> after ...".
std::set<std::string> AcknowledgedInOutput(const std::string& output)
{
    std::set<std::string> keys;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto at = line.find(" <- ACK ");
        const auto hash = line.find(" #", at == std::string::npos ? 0 : at);
        if (at != 10 || hash == std::string::npos || hash + 6 > line.size()) continue;
        keys.insert(line.substr(0, 10) + "#" + line.substr(hash + 2, 4));
    }
    return keys;
}

// Checks every acknowledged report is among the stored frames, and that no
// frame is stored twice.
void ExpectStoredOnce(const std::set<std::string>& acknowledged, const std::map<std::string, int>& stored)
{
    std::size_t lost = 0, twice = 0;
    for (const std::string& key : acknowledged) {
        if (stored.count(key) == 0 && ++lost <= 5) ADD_FAILURE() << "acknowledged but not stored: " << key;
    }
    for (const auto& [key, times] : stored) {
        if (times != 1 && ++twice <= 5) ADD_FAILURE() << key << " stored " << times << " times";
    }
    EXPECT_EQ(lost, 0u) << "acknowledged reports lost";
    EXPECT_EQ(twice, 0u) << "reports stored more than once";
    EXPECT_GE(stored.size(), acknowledged.size());
}

// stationsim against the centre; its output.
std::string Simulate(const RtuProcess& centre, const std::string& arguments, int& status)
{
    std::string output;
    status = e2e::RunStationsim("--port " + std::to_string(centre.Port()) + " " + arguments, output);
    return output;
}

// The line of stationsim's summary with the acknowledged count, for messages.
std::string SummaryLines(const std::string& output)
{
    return LineWith(output, "acknowledged: ") + "\n" + LineWith(output, "acknowledgement latency") + "\n" +
           LineWith(output, "rows expected");
}

// ---- the process killed ----------------------------------------------------------------

// kill -9 at random moments while 50 stations report as fast as they are
// acknowledged; each restart in the same folder writes what the journal
// kept. In the end every report a station saw acknowledged is stored, in
// both databases, and none twice.
TEST(JournalKill, KilledAtRandomMomentsUnderLoadLosesNoAcknowledgedReportAndStoresNoneTwice)
{
    CentreSettings settings;
    settings.logLevel = "ERROR";
    RtuProcess centre(settings);
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(2000, 5000);
    std::printf("seed %u\n", seed);

    std::set<std::string> acknowledged;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(centre.Start()) << centre.Output();
        // Stations of their own each round: their observation times start
        // over, and their rows must not meet the earlier rounds' rows.
        const std::string arguments = "--base " + std::to_string(1001 + 100 * round) +
                                      " --stations 50 --kind 32 --fast --duration 12 --drain 2 --verbose";
        auto simulation = std::async(std::launch::async, [&] {
            int status = 0;
            return Simulate(centre, arguments, status);
        });
        const auto at = std::chrono::milliseconds(moment(random));
        std::this_thread::sleep_for(at);  // the moment of the kill: a schedule, not a synchronisation
        KillHard(centre);
        const std::string output = simulation.get();
        const std::set<std::string> now = AcknowledgedInOutput(output);
        std::printf("round %d: killed after %lld ms, %zu reports acknowledged\n%s\n", round,
                    static_cast<long long>(at.count()), now.size(), SummaryLines(output).c_str());
        EXPECT_GT(now.size(), 100u) << "the stations were hardly served before the kill\n" << output.substr(0, 4000);
        EXPECT_EQ(output.find("bad acknowledgement ("), std::string::npos) << "an acknowledgement of no such frame";
        acknowledged.insert(now.begin(), now.end());
    }

    // The last start writes what is left; nothing comes in meanwhile.
    ASSERT_TRUE(centre.Start()) << centre.Output();
    const std::string secondary = centre.SecondaryDatabase();
    EXPECT_TRUE(WaitUntil([&] { return AllWritten(centre, centre.MainDatabase()) && AllWritten(centre, secondary); },
                          30s, 200ms))
        << "the journal's reports were not all written after the restart: journal up to " << JournalLastSeq(centre)
        << ", main " << ValueOf(centre.MainDatabase(), "select max(LastSeq) from JournalApplied").value_or("?")
        << ", secondary " << ValueOf(secondary, "select max(LastSeq) from JournalApplied").value_or("?");
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    EXPECT_EQ(LineWith(Log(centre), "stay in the report journal"), "");

    const auto stored = StoredFrames(centre.MainDatabase());
    std::printf("%zu acknowledged, %zu distinct frames stored\n", acknowledged.size(), stored.size());
    ExpectStoredOnce(acknowledged, stored);
    // Each timed report's readings once, and in the secondary database its
    // river row once (a second one would have been refused by the key and
    // set aside as rejected).
    EXPECT_EQ(e2e::Count(centre.MainDatabase(),
                         "select count(*) from (select YCZNo, ObserveTime, ChannelName from DeviceTimingData "
                         "group by YCZNo, ObserveTime, ChannelName having count(*) > 1)"),
              "0");
    EXPECT_EQ(e2e::Count(centre.MainDatabase(), "select count(distinct CommandData) from DeviceTimingData"),
              std::to_string(stored.size()));
    EXPECT_EQ(e2e::Count(secondary, "select count(*) from ST_RIVER_R"), std::to_string(stored.size()));
    EXPECT_EQ(JournalNumber(centre, "SELECT COUNT(*) FROM Rejected"), 0);
}

}  // namespace
}  // namespace rtu::faults
