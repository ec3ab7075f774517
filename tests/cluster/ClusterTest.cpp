// Two data centres on one database: two `RTU --headless` processes, each in
// its own folder on its own port, with the same PostgreSQL main database.
// Stations are spread over both; the tests check that every report is stored
// once, that a command row goes out through the centre that holds its
// station (and only through it), that a station that moves to the other
// centre gets its later commands there, and that the refresh stamps of the
// online check stay right while both run and after one stops.
#include "tests/cluster/SharedServer.h"
#include "tests/e2e/E2eChecks.h"
#include "tests/e2e/RtuProcess.h"

#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"
#include "rtu/protocol/TimeText.h"
#include "tools/stationsim/StationFrames.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace rtu::cluster_test {
namespace {

using namespace std::chrono_literals;
using e2e::Body;
using e2e::CentreSettings;
using e2e::Count;
using e2e::Frame;
using e2e::Query;
using e2e::RtuProcess;
using e2e::StationLink;
using storage::Rows;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A test station on one centre: its link and the downlink frames it received
// that are not acknowledgements.
struct Station {
    explicit Station(std::string address) : id(std::move(address)) {}
    std::string id;
    std::unique_ptr<StationLink> link;
    std::vector<std::string> commands;
    std::uint16_t serial = 1;
};

class Cluster : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!server_.Join(why)) GTEST_SKIP() << why;
        database_ = server_.CreateDatabase(why);
        ASSERT_FALSE(database_.empty()) << why;
        connection_ = server_.Connection(database_);
        CentreSettings settings;
        settings.mainDatabase = server_.SettingsKeys(database_);
        settings.mainConnection = connection_;
        settings.secondary = false;
        settings.offLine = offLine_;
        a_ = std::make_unique<RtuProcess>(settings);
        b_ = std::make_unique<RtuProcess>(settings);
        START_CENTRE(*a_);
        START_CENTRE(*b_);
    }

    void TearDown() override
    {
        a_.reset();
        b_.reset();
        server_.DropDatabase(database_);
    }

    // Connects the station to a centre and sends a report on the new link;
    // the report must be acknowledged. Commands that arrive meanwhile are kept.
    void Connect(Station& station, const RtuProcess& centre)
    {
        station.link = std::make_unique<StationLink>();
        ASSERT_TRUE(station.link->Connect(centre.Port()));
        Report(station);
    }

    void Report(Station& station)
    {
        const std::string frame = Frame(
            station.id, "32", Body(station.serial++, " ST " + station.id + " H TT 2405061230 Z 1.0 VT 12.6"));
        ASSERT_TRUE(station.link->Send(frame));
        while (true) {
            const auto reply = station.link->ReadFrame(10s);
            ASSERT_TRUE(reply.has_value()) << station.id << ": no acknowledgement";
            if (sim::LooksLikeAcknowledgement(*reply)) break;
            station.commands.push_back(*reply);
        }
    }

    // Reads what arrives on the links of the stations for the whole duration.
    static void Listen(const std::vector<Station*>& stations, std::chrono::milliseconds duration)
    {
        const auto deadline = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < deadline) {
            for (Station* station : stations) {
                if (!station->link || station->link->Closed()) continue;
                if (auto frame = station->link->ReadFrame(20ms); frame && !sim::LooksLikeAcknowledgement(*frame))
                    station->commands.push_back(*frame);
            }
        }
    }

    // Reads until the station holds `count` commands or the limit passes.
    static bool AwaitCommands(Station& station, std::size_t count, std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (station.commands.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (auto frame = station.link->ReadFrame(100ms); frame && !sim::LooksLikeAcknowledgement(*frame))
                station.commands.push_back(*frame);
        }
        return station.commands.size() >= count;
    }

    // Queues a command row; its frame and row id.
    std::pair<std::string, std::string> Queue(const std::string& station, const std::string& function)
    {
        FrameBytes command;
        const DownlinkAddress address{station, "01", "B7E2"};
        EXPECT_EQ(BuildCommandFrame(address, function, "", command), CommandBuild::kBuilt);
        const std::string hex = BytesToHexText(command.View());
        e2e::ExecuteWhenReady(*a_, "insert into SendCommandInfo (YCZNo, CommandData, Status) values ('" + station +
                                       "', '" + hex + "', 0)");
        const std::string id = Count(connection_, "select Id from SendCommandInfo where CommandData = '" + hex + "'");
        return {std::string(command.View()), id};
    }

    std::string Log(const RtuProcess& centre) const { return ReadFile(centre.Folder() + "/Logs/RTU.log"); }

    // True when the centre's log shows it marked the row as sent.
    bool Marked(const RtuProcess& centre, const std::string& id) const
    {
        return Log(centre).find("[Id]='" + id + "'") != std::string::npos;
    }

    std::string RefreshDate(const std::string& station) const
    {
        return Count(connection_, "select coalesce(to_char(RefreshDate, 'YYYY-MM-DD HH24:MI:SS'), '') from DeviceInfo "
                                  "where YCZNo = '" + station + "'");
    }

    // Waits until the station's refresh stamp differs from `before`.
    bool AwaitRefreshAfter(const std::string& station, const std::string& before, std::chrono::seconds limit) const
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string now = RefreshDate(station);
            if (!now.empty() && now != before) return true;
            std::this_thread::sleep_for(250ms);
        }
        return false;
    }

    int offLine_ = 120;
    SharedServer server_;
    std::string database_;
    std::string connection_;
    std::unique_ptr<RtuProcess> a_;
    std::unique_ptr<RtuProcess> b_;
};

TEST_F(Cluster, ReportsOfStationsOnBothCentresAreStoredOnce)
{
    // Forty stations on each centre, twenty-five reports each, at full speed
    // and at the same time.
    auto run = [](std::uint16_t port, int base) {
        std::string output;
        const int status = e2e::RunStationsim("--port " + std::to_string(port) + " --base " + std::to_string(base) +
                                                  " --stations 40 --count 25 --fast --kind 32 --expect-acks --drain 20",
                                              output);
        return std::make_pair(status, output);
    };
    auto onA = std::async(std::launch::async, run, a_->Port(), 1001);
    auto onB = std::async(std::launch::async, run, b_->Port(), 2001);
    for (auto* result : {&onA, &onB}) {
        const auto [status, output] = result->get();
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("acknowledged: 1000 of 1000, bad acknowledgements 0, missing 0"), std::string::npos)
            << output;
    }
    // Stopping drains what the pools still hold.
    ASSERT_EQ(a_->Stop(), 0) << a_->Output();
    ASSERT_EQ(b_->Stop(), 0) << b_->Output();

    EXPECT_EQ(Count(connection_, "select count(*) from ReceiveData"), "2000");
    EXPECT_EQ(Count(connection_, "select count(distinct CommandData) from ReceiveData"), "2000")
        << "a frame was stored twice";
    EXPECT_EQ(Count(connection_, "select count(*) from ReceiveData where YCZNo between '0000001001' and '0000001040'"),
              "1000");
    EXPECT_EQ(Count(connection_, "select count(*) from ReceiveData where YCZNo between '0000002001' and '0000002040'"),
              "1000");
    EXPECT_EQ(Count(connection_, "select count(*) from DeviceTimingData"), "12000");
    EXPECT_EQ(Count(connection_, "select count(distinct YCZNo) from DeviceTimingData"), "80");
}

TEST_F(Cluster, CommandRowsGoOutThroughTheCentreThatHoldsTheStation)
{
    Station onA("0000000201");
    Station onB("0000000202");
    Connect(onA, *a_);
    Connect(onB, *b_);

    const auto [frameA1, idA1] = Queue(onA.id, "45");
    const auto [frameB1, idB1] = Queue(onB.id, "45");
    const auto [frameA2, idA2] = Queue(onA.id, "4A");
    const auto [frameB2, idB2] = Queue(onB.id, "4A");
    ASSERT_TRUE(AwaitCommands(onA, 2, 15s)) << a_->Output();
    ASSERT_TRUE(AwaitCommands(onB, 2, 15s)) << b_->Output();
    EXPECT_TRUE(e2e::WaitForValue(connection_, "select count(*) from SendCommandInfo where Status = 1", "4", 10s));
    // Both pollers look at the table several times more: nothing comes twice.
    Listen({&onA, &onB}, 5s);
    EXPECT_EQ(onA.commands, (std::vector<std::string>{frameA1, frameA2}));
    EXPECT_EQ(onB.commands, (std::vector<std::string>{frameB1, frameB2}));

    // Each row was handed over and marked by its station's centre only.
    for (const std::string& id : {idA1, idA2}) {
        EXPECT_TRUE(Marked(*a_, id)) << id;
        EXPECT_FALSE(Marked(*b_, id)) << id;
    }
    for (const std::string& id : {idB1, idB2}) {
        EXPECT_TRUE(Marked(*b_, id)) << id;
        EXPECT_FALSE(Marked(*a_, id)) << id;
    }

    // The station of A moves to B: it closes its link and connects to B.
    onA.link.reset();
    onA.commands.clear();
    Connect(onA, *b_);
    const auto [frameA3, idA3] = Queue(onA.id, "45");
    ASSERT_TRUE(AwaitCommands(onA, 1, 15s)) << b_->Output();
    EXPECT_TRUE(e2e::WaitForValue(connection_, "select Status from SendCommandInfo where Id = " + idA3, "1", 10s));
    Listen({&onA, &onB}, 5s);
    EXPECT_EQ(onA.commands, (std::vector<std::string>{frameA3}));
    EXPECT_EQ(onB.commands.size(), 2u);
    EXPECT_TRUE(Marked(*b_, idA3));
    EXPECT_FALSE(Marked(*a_, idA3));
}

TEST_F(Cluster, AStationHeldByBothCentresGetsEachCommandOnce)
{
    // The station reaches B while A still holds its earlier link (as when a
    // radio link broke without a close A could see).
    Station viaA("0000000301");
    Station viaB("0000000301");
    Connect(viaA, *a_);
    Connect(viaB, *b_);

    // A burst of commands, so that the two pollers work on the table at the
    // same time.
    std::vector<std::string> frames;
    for (int i = 0; i < 40; ++i) frames.push_back(Queue(viaA.id, i % 2 == 0 ? "45" : "4A").first);
    EXPECT_TRUE(e2e::WaitForValue(connection_, "select count(*) from SendCommandInfo where Status = 1", "40", 30s));
    Listen({&viaA, &viaB}, 5s);

    std::map<std::string, int> times;
    for (const Station* station : {&viaA, &viaB})
        for (const std::string& frame : station->commands) ++times[frame];
    int twice = 0;
    for (const std::string& frame : frames) {
        EXPECT_NE(times[frame], 0) << "a command never arrived";
        if (times[frame] > 1) ++twice;
    }
    EXPECT_EQ(twice, 0) << "commands that arrived more than once; through A " << viaA.commands.size()
                        << ", through B " << viaB.commands.size();
}

TEST_F(Cluster, RefreshStampsFollowTheCentreThatHoldsTheStation)
{
    Station onA("0000000401");
    Station onB("0000000402");
    for (const std::string& id : {onA.id, onB.id})
        e2e::ExecuteWhenReady(*a_, "insert into DeviceInfo (YCZNo, StationName) values ('" + id + "', 'test')");
    Connect(onA, *a_);
    Connect(onB, *b_);

    // The online checks of both centres stamp their own stations.
    ASSERT_TRUE(AwaitRefreshAfter(onA.id, "", 25s));
    ASSERT_TRUE(AwaitRefreshAfter(onB.id, "", 25s));

    // B stops: its link closes, its station is no longer stamped while the
    // station of A still is.
    ASSERT_EQ(b_->Stop(), 0) << b_->Output();
    EXPECT_TRUE(onB.link->WaitClosed(10s)) << "B stopped but kept the link";
    const std::string lastOfB = RefreshDate(onB.id);
    Report(onA);
    const std::string stampOfA = RefreshDate(onA.id);
    ASSERT_TRUE(AwaitRefreshAfter(onA.id, stampOfA, 25s)) << "A stopped stamping its station";
    EXPECT_EQ(RefreshDate(onB.id), lastOfB) << "the station of the stopped centre is still stamped";

    // The station comes back through A and is stamped again.
    Connect(onB, *a_);
    ASSERT_TRUE(AwaitRefreshAfter(onB.id, lastOfB, 25s));
}

}  // namespace
}  // namespace rtu::cluster_test
