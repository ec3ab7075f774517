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
#include <filesystem>
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

// What follows the first line that holds `part` (where a stop went wrong).
std::string LinesAfter(const std::string& text, const std::string& part)
{
    const auto at = text.find(part);
    return at == std::string::npos ? std::string() : text.substr(text.rfind('\n', at) + 1);
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

// ---- the main database unreachable or refusing writes ---------------------------------

// A centre whose main database is the private PostgreSQL server (the
// secondary stays the SQLite file third.db).
CentreSettings OnPostgres(const PrivatePostgres& database)
{
    CentreSettings settings;
    settings.logLevel = "ERROR";
    settings.mainDatabase = database.SettingsKeys();
    settings.mainConnection = database.Connection();
    return settings;
}

#define START_POSTGRES(database)                                                          \
    if (!PrivatePostgres::Installed()) GTEST_SKIP() << "PostgreSQL 15 is not installed"; \
    PrivatePostgres database;                                                            \
    {                                                                                    \
        std::string why;                                                                 \
        ASSERT_TRUE(database.Start(why)) << why;                                         \
    }

// Stops the program and says how long the stop took.
int StopTimed(RtuProcess& centre, const char* what)
{
    const auto stopping = Clock::now();
    const int status = centre.Stop();
    std::printf("%s: stopped in %.1f s\n", what, std::chrono::duration<double>(Clock::now() - stopping).count());
    return status;
}

// 200 timed reports, 20 from each of 10 stations, every one acknowledged;
// the keys acknowledged.
std::set<std::string> TwoHundredReports(const RtuProcess& centre, int base, std::string& output)
{
    int status = 0;
    output = Simulate(centre,
                      "--base " + std::to_string(base) +
                          " --stations 10 --count 20 --kind 32 --fast --drain 10 --expect-acks --verbose",
                      status);
    EXPECT_EQ(status, 0) << SummaryLines(output);
    EXPECT_EQ(ReadSummary(output).acknowledged, 200) << SummaryLines(output);
    return AcknowledgedInOutput(output);
}

// Every acknowledged report is in the database: one frame each, and the
// readings stationsim expects of them.
void ExpectEveryReportIn(const std::string& database, const std::set<std::string>& acknowledged,
                         const std::string& output)
{
    ExpectStoredOnce(acknowledged, StoredFrames(database));
    EXPECT_EQ(StoredFrames(database).size(), acknowledged.size());
    const auto at = output.find("DeviceTimingData ", output.find("rows expected: "));
    ASSERT_NE(at, std::string::npos) << output;
    EXPECT_EQ(e2e::Count(database, "select count(*) from DeviceTimingData"),
              std::to_string(std::atol(output.c_str() + at + 17)));
}

TEST(JournalOutage, StopWhileTheMainDatabaseIsDownKeepsTheReportsForTheNextStart)
{
    START_POSTGRES(database);
    RtuProcess centre(OnPostgres(database));
    ASSERT_TRUE(centre.Start()) << centre.Output();
    ASSERT_TRUE(centre.WaitForOutput(kMainConnected)) << centre.Output();

    ASSERT_TRUE(database.Stop());
    std::string output;
    const std::set<std::string> acknowledged = TwoHundredReports(centre, 401, output);
    ASSERT_EQ(acknowledged.size(), 200u);

    // The stop gives the writers their while, then tells what stays.
    ASSERT_EQ(StopTimed(centre, "main database down"), 0) << Log(centre);
    const std::string log = Log(centre);
    EXPECT_NE(log.find("200 reports not yet written to the main database stay in the report journal " +
                       std::string(kJournalFile) + "; they are written at the next start"),
              std::string::npos)
        << LineWith(log, "stay in the report journal") << "\n" << log.substr(0, 4000);
    // The secondary database was there: it has them, and nothing stays for it.
    EXPECT_EQ(LineWith(log, "secondary database stay"), "");
    EXPECT_EQ(e2e::Count(centre.SecondaryDatabase(), "select count(*) from ST_RIVER_R"), "200");

    // The server back, the next start writes them.
    ASSERT_TRUE(database.Restart());
    ASSERT_TRUE(centre.Start()) << centre.Output();
    EXPECT_TRUE(WaitUntil([&] { return AllWritten(centre, database.Connection()); }, 30s, 200ms))
        << "the kept reports were not written after the restart";
    EXPECT_TRUE(centre.WaitForOutput(kMainConnected)) << centre.Output();
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    EXPECT_NE(Log(centre).find("holds 200 reports from before this start"), std::string::npos)
        << LineWith(Log(centre), "from before this start");
    ExpectEveryReportIn(database.Connection(), acknowledged, output);
    // And the secondary did not take them a second time.
    EXPECT_EQ(e2e::Count(centre.SecondaryDatabase(), "select count(*) from ST_RIVER_R"), "200");
}

TEST(JournalOutage, ReadOnlyMainDatabaseIsNotCalledConnectedAndGetsEveryReportOnceWritable)
{
    START_POSTGRES(database);
    std::string why;
    ASSERT_TRUE(ExecuteOn(database.Connection(), "ALTER DATABASE rtu_test SET default_transaction_read_only = on",
                          why))
        << why;

    RtuProcess centre(OnPostgres(database));
    ASSERT_TRUE(centre.Start()) << centre.Output();
    ASSERT_TRUE(centre.WaitForOutput(kMainNotConnected)) << centre.Output();
    EXPECT_EQ(centre.Output().find(kMainConnected), std::string::npos) << centre.Output();
    EXPECT_NE(Log(centre).find("main database cannot be written ("), std::string::npos) << Log(centre);

    // Stations are acknowledged all the same; nothing reaches the database.
    std::string output;
    const std::set<std::string> acknowledged = TwoHundredReports(centre, 451, output);
    ASSERT_EQ(acknowledged.size(), 200u);
    EXPECT_EQ(e2e::Count(database.Connection(), "select count(*) from ReceiveData"), "0");

    // Writable again (for new sessions; this one first lifts the default for itself).
    storage::CAdoDB admin;
    ASSERT_TRUE(admin.Open(database.Connection())) << admin.LastError();
    ASSERT_TRUE(admin.Execute("SET default_transaction_read_only = off")) << admin.LastError();
    ASSERT_TRUE(admin.Execute("ALTER DATABASE rtu_test SET default_transaction_read_only = off"))
        << admin.LastError();
    const auto writable = Clock::now();
    // The writer's pause between tries grows to 10 s at most.
    EXPECT_TRUE(WaitUntil([&] { return AllWritten(centre, database.Connection()); }, 30s, 200ms))
        << "the reports were not written once the database took writes";
    std::printf("written %.1f s after the database took writes again\n",
                std::chrono::duration<double>(Clock::now() - writable).count());
    EXPECT_TRUE(WaitUntil([&] { return Log(centre).find("main database written again") != std::string::npos; }, 5s))
        << Log(centre);
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    ExpectEveryReportIn(database.Connection(), acknowledged, output);
}

// ---- a secondary database that hangs ------------------------------------------------

TEST(JournalHang, SecondaryDatabaseThatNeverAnswersDelaysNoStationAndTheMainGetsItsRows)
{
    SilentServer silent;
    ASSERT_TRUE(silent.Listening());
    CentreSettings settings;
    settings.logLevel = "ERROR";
    RtuProcess centre(settings);
    UseSecondary(centre, "Driver=PostgreSQL Unicode\nName=rtu_test\nSource=127.0.0.1:" +
                             std::to_string(silent.Port()) + "\nUser=rtu_test\nPwd=rtu_test_pw\n");
    const auto starting = Clock::now();
    ASSERT_TRUE(centre.Start(40s)) << "RTU did not start listening with the secondary database hanging:\n"
                                   << Log(centre);
    std::printf("listening %.1f s after the start\n",
                std::chrono::duration<double>(Clock::now() - starting).count());

    int status = 0;
    const std::string output =
        Simulate(centre, "--base 501 --stations 20 --rate 40 --duration 8 --drain 10 --kind 32 --expect-acks", status);
    std::printf("%s\n", SummaryLines(output).c_str());
    const SimSummary s = ReadSummary(output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_GT(s.acknowledged, 250) << output;
    EXPECT_EQ(s.acknowledged, s.expected) << output;
    EXPECT_LT(s.p99Ms, 1000.0) << "stations waited for the hanging database\n" << output;
    EXPECT_GT(silent.Accepted(), 0) << "the centre never tried the secondary database";

    EXPECT_TRUE(WaitUntil([&] { return AllWritten(centre, centre.MainDatabase()); }, 20s, 200ms))
        << "the main database did not get the rows";
    EXPECT_EQ(e2e::Count(centre.MainDatabase(), "select count(*) from ReceiveData"), std::to_string(s.acknowledged));

    // The stop does not wait for the hanging server for ever.
    ASSERT_EQ(StopTimed(centre, "secondary database hanging"), 0) << Log(centre);
    EXPECT_NE(Log(centre).find(std::to_string(s.acknowledged) +
                               " reports not yet written to the secondary database stay in the report journal"),
              std::string::npos)
        << LineWith(Log(centre), "stay in the report journal");
}

// A secondary database server that stops answering once its connections are
// open (its processes stopped): a statement in progress waits for ever
// unless the centre bounds it. Stations are still served; the stop does not
// wait for the server.
TEST(JournalHang, SecondaryServerThatStopsAnsweringMidSessionDelaysNoStationNorTheStop)
{
    START_POSTGRES(database);
    struct Thawed {
        PrivatePostgres& server;
        ~Thawed() { server.Thaw(); }
    } thawed{database};
    CentreSettings settings;
    settings.logLevel = "ERROR";
    RtuProcess centre(settings);
    UseSecondary(centre, database.SettingsKeys());
    ASSERT_TRUE(centre.Start()) << centre.Output();
    ASSERT_TRUE(centre.WaitForOutput("Secondary database connected.")) << centre.Output();

    // Written while the server answers.
    int status = 0;
    std::string output = Simulate(centre, "--base 551 --stations 5 --count 4 --kind 32 --fast --expect-acks", status);
    ASSERT_EQ(status, 0) << output;
    ASSERT_TRUE(WaitUntil([&] { return AllWritten(centre, database.Connection()); }, 20s, 200ms));

    ASSERT_TRUE(database.Freeze());
    output = Simulate(centre, "--base 561 --stations 20 --rate 40 --duration 6 --drain 10 --kind 32 --expect-acks",
                      status);
    std::printf("%s\n", SummaryLines(output).c_str());
    const SimSummary s = ReadSummary(output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(s.acknowledged, s.expected) << output;
    EXPECT_LT(s.p99Ms, 1000.0) << "stations waited for the hanging database\n" << output;
    EXPECT_TRUE(WaitUntil([&] { return AllWritten(centre, centre.MainDatabase()); }, 20s, 200ms))
        << "the main database did not get the rows";

    const auto stopping = Clock::now();
    const int stopped = centre.Stop(30s);
    std::printf("secondary server stopped answering: the stop took %.1f s\n",
                std::chrono::duration<double>(Clock::now() - stopping).count());
    EXPECT_EQ(stopped, 0) << "RTU did not end within 30 s of SIGTERM with the secondary server hanging\n"
                          << FileText(centre.Folder() + "/Logs/RTU.log") << "\n"
                          << LinesAfter(centre.Output(), "SIGTERM");
    database.Thaw();
}

// ---- the journal full ------------------------------------------------------------------

// A station of the test that sends timed reports of the largest size a frame
// carries (about 4 KB, so that some 4,000 fill 16 MB of journal), one at a
// time, each once the one before was acknowledged. A report that gets no
// acknowledgement is kept and sent again first next time, as a station does.
class BigReportStation {
public:
    BigReportStation(std::uint16_t port, std::string station) : port_(port), station_(std::move(station)) {}

    // Sends until a report is not acknowledged within `patience`, `most`
    // reports are acknowledged, or `stop`. True when the last one sent was
    // acknowledged.
    bool Report(int most, std::chrono::milliseconds patience, const std::atomic<bool>& stop)
    {
        for (int n = 0; n < most && !stop.load(); ++n) {
            if (pending_.empty()) pending_ = NextReport();
            if (!link_ || link_->Closed()) {
                link_ = std::make_unique<e2e::StationLink>();
                if (!link_->Connect(port_)) return false;
            }
            if (!link_->Send(pending_)) {
                link_.reset();  // connects again for the next try
                continue;
            }
            const auto ack = link_->ReadFrame(patience);
            if (!ack) return false;
            // The answer names the report's function code and serial number.
            if (ack->size() < 28 || ack->substr(17, 2) != "32" || ack->substr(24, 4) != pending_.substr(24, 4)) {
                ++strange_;
                return false;
            }
            acknowledged_.insert(KeyOf(pending_));
            pending_.clear();
        }
        return true;
    }

    const std::set<std::string>& Acknowledged() const { return acknowledged_; }
    int StrangeAnswers() const { return strange_; }

private:
    std::string NextReport()
    {
        // Each report its own five-minute slot of a year ago.
        const int i = static_cast<int>(serial_);
        char tt[16];
        std::snprintf(tt, sizeof tt, "%02d%02d%02d%02d%02d", (LocalNow().year - 1) % 100, 1 + i / (288 * 28) % 12,
                      1 + i / 288 % 28, i / 12 % 24, i % 12 * 5);
        std::string elements = " ST " + station_ + " H TT " + tt + " Z 1.25 VT 12.6 DT ";
        std::string body = e2e::Body(serial_++, elements);
        body.append(4000 - body.size(), '7');
        return e2e::Frame(station_, "32", body);
    }

    std::uint16_t port_;
    std::string station_;
    std::uint16_t serial_ = 1;
    std::string pending_;
    std::unique_ptr<e2e::StationLink> link_;
    std::set<std::string> acknowledged_;
    int strange_ = 0;
};

TEST(JournalFull, FullJournalStopsAcknowledgementsUntilTheBacklogIsWrittenAndLosesNothing)
{
    START_POSTGRES(database);
    CentreSettings settings = OnPostgres(database);
    settings.secondary = false;
    RtuProcess centre(settings);
    AddKeys(centre, "[Set]", "JournalMaxMB=16\n");
    ASSERT_TRUE(centre.Start()) << centre.Output();
    ASSERT_TRUE(centre.WaitForOutput(kMainConnected)) << centre.Output();
    ASSERT_TRUE(database.Stop());

    // Eight stations report until the centre stops acknowledging them.
    constexpr int kStations = 8;
    std::vector<std::unique_ptr<BigReportStation>> stations;
    for (int i = 0; i < kStations; ++i)
        stations.push_back(std::make_unique<BigReportStation>(centre.Port(), "00000008" + std::to_string(10 + i)));
    std::atomic<bool> stop{false};
    auto reportAll = [&](int most, std::chrono::milliseconds patience) {
        std::vector<std::future<bool>> running;
        for (auto& station : stations)
            running.push_back(std::async(std::launch::async, [&stop, most, patience, s = station.get()] {
                return s->Report(most, patience, stop);
            }));
        return running;
    };
    const auto filling = Clock::now();
    {
        auto running = reportAll(100000, 3s);
        for (auto& r : running) {
            if (r.wait_until(filling + 45s) != std::future_status::ready) stop = true;
        }
        for (auto& r : running) EXPECT_FALSE(r.get()) << "a station was still acknowledged at the end";
    }
    ASSERT_FALSE(stop.load()) << "acknowledgements did not stop within 45 s";
    std::size_t before = 0;
    for (auto& station : stations) before += station->Acknowledged().size();
    std::printf("acknowledgements stopped after %.1f s and %zu reports; journal file %lld bytes\n",
                std::chrono::duration<double>(Clock::now() - filling).count(), before,
                static_cast<long long>(std::filesystem::file_size(centre.Folder() + "/" + kJournalFile)));
    EXPECT_GT(before, 3000u) << "the journal was full well before 16 MB";
    EXPECT_EQ(Occurrences(Log(centre), "report journal " + std::string(kJournalFile) + " is full ("), 1u)
        << Log(centre).substr(0, 4000);
    EXPECT_EQ(Log(centre).find("has room again"), std::string::npos);

    // The server back: the backlog drains, and the journal takes reports again.
    ASSERT_TRUE(database.Restart());
    const auto restarted = Clock::now();
    EXPECT_TRUE(
        WaitUntil([&] { return Log(centre).find("has room again") != std::string::npos; }, 40s, 200ms))
        << "the journal never had room again";
    std::printf("room again %.1f s after the database came back\n",
                std::chrono::duration<double>(Clock::now() - restarted).count());
    {
        // Each sends the report it was refused first, then four more.
        auto running = reportAll(5, 10s);
        for (auto& r : running) EXPECT_TRUE(r.get()) << "a station was not acknowledged after the room came back";
    }
    std::set<std::string> acknowledged;
    for (auto& station : stations) {
        acknowledged.insert(station->Acknowledged().begin(), station->Acknowledged().end());
        EXPECT_EQ(station->StrangeAnswers(), 0);
    }
    EXPECT_EQ(acknowledged.size(), before + 5 * kStations);

    EXPECT_TRUE(WaitUntil([&] { return AllWritten(centre, database.Connection()); }, 40s, 200ms))
        << "the backlog was not written";
    std::printf("all written %.1f s after the database came back\n",
                std::chrono::duration<double>(Clock::now() - restarted).count());
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    const auto stored = StoredFrames(database.Connection());
    ExpectStoredOnce(acknowledged, stored);
    // A refused report was not kept: nothing is stored that was not acknowledged.
    EXPECT_EQ(stored.size(), acknowledged.size());
    EXPECT_EQ(Occurrences(Log(centre), " is full ("), 1u);
}

// ---- a statement refused for its content ------------------------------------------------

TEST(JournalRejected, ValueTooLongForItsColumnIsSetAsideListedAndReplayedOnceTheColumnIsWidened)
{
    START_POSTGRES(database);
    RtuProcess centre(OnPostgres(database));
    ASSERT_TRUE(centre.Start()) << centre.Output();
    ASSERT_TRUE(centre.WaitForOutput(kMainConnected)) << centre.Output();

    // A timed report whose water level has 64 characters: DeviceTimingData.
    // ElementValue holds 50. The other rows of the report are fine.
    const std::string level = "1.25" + std::string(60, '0');
    const std::string station = "0000000701";
    const std::string report =
        e2e::Frame(station, "32", e2e::Body(1, " ST " + station + " H TT 2405061230 Z " + level + " Q 3.5 VT 12.6"));
    e2e::StationLink link;
    ASSERT_TRUE(link.Connect(centre.Port()));
    ASSERT_TRUE(link.Send(report));
    e2e::ExpectAcknowledgementOf(link.ReadFrame(), report);
    // The writer goes on with the next report.
    const std::string next =
        e2e::Frame(station, "32", e2e::Body(2, " ST " + station + " H TT 2405061235 Z 1.30 Q 3.6 VT 12.6"));
    ASSERT_TRUE(link.Send(next));
    e2e::ExpectAcknowledgementOf(link.ReadFrame(), next);

    const std::string pg = database.Connection();
    EXPECT_TRUE(WaitUntil([&] { return AllWritten(centre, pg); }, 20s, 200ms));
    EXPECT_TRUE(WaitUntil([&] { return Log(centre).find("database refused a statement") != std::string::npos; }, 5s));
    const std::string refusal = LineWith(Log(centre), "database refused a statement");
    EXPECT_NE(refusal.find("main database refused a statement of report 1 "), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("value too long"), std::string::npos) << refusal;
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    // The rest of the refused report is there: its frame, its flow reading,
    // its river row in the secondary database; only the long reading is not.
    EXPECT_EQ(e2e::Count(pg, "select count(*) from ReceiveData"), "2");
    EXPECT_EQ(e2e::Count(pg, "select count(*) from DeviceTimingData where ElementId = 'Q'"), "2");
    EXPECT_EQ(e2e::Count(pg, "select count(*) from DeviceTimingData where ElementId = 'Z'"), "1");
    EXPECT_EQ(e2e::Count(centre.SecondaryDatabase(), "select count(*) from ST_RIVER_R"), "2");

    // Listed with the server's message and the statement's values.
    std::string listed;
    EXPECT_EQ(RunRtu(centre, "--list-rejected", listed), 0) << listed;
    EXPECT_NE(listed.find("value too long"), std::string::npos) << listed;
    EXPECT_NE(listed.find(level), std::string::npos) << listed;
    EXPECT_NE(listed.find("\tmain\treport 1\t"), std::string::npos) << listed;
    EXPECT_NE(listed.find("1 refused statements"), std::string::npos) << listed;

    // Replayed before the cause is mended: refused again, kept, exit 1.
    std::string replayed;
    EXPECT_EQ(RunRtu(centre, "--replay-rejected", replayed), 1) << replayed;
    EXPECT_NE(replayed.find("refused again"), std::string::npos) << replayed;

    // The column widened, the replay writes it and empties the table.
    std::string why;
    ASSERT_TRUE(ExecuteOn(pg, "ALTER TABLE DeviceTimingData ALTER COLUMN ElementValue TYPE TEXT", why)) << why;
    replayed.clear();
    EXPECT_EQ(RunRtu(centre, "--replay-rejected", replayed), 0) << replayed;
    EXPECT_NE(replayed.find("1 written"), std::string::npos) << replayed;
    EXPECT_EQ(e2e::Count(pg, "select count(*) from DeviceTimingData where ElementId = 'Z' and ElementValue = '" +
                                 level + "' and YCZNo = '" + station + "'"),
              "1");
    EXPECT_EQ(e2e::Count(pg, "select count(*) from DeviceTimingData"), "4");
    listed.clear();
    EXPECT_EQ(RunRtu(centre, "--list-rejected", listed), 0) << listed;
    EXPECT_NE(listed.find("0 refused statements"), std::string::npos) << listed;
    // Written once: a second replay has nothing to do.
    replayed.clear();
    EXPECT_EQ(RunRtu(centre, "--replay-rejected", replayed), 0) << replayed;
    EXPECT_EQ(e2e::Count(pg, "select count(*) from DeviceTimingData"), "4");
}

}  // namespace
}  // namespace rtu::faults
