// The dispatcher and report storage: checks before anything else, the
// acknowledgement, the answer routing, and the statements of each report kind.
#include "Fakes.h"

#include "rtu/common/RateLimitedLog.h"
#include "rtu/uplink/Dispatcher.h"
#include "tests/runtime/RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace rtu {
namespace {

using testing::RecordingDatabase;
using testing::RecordingPictures;
using testing::RecordingTransport;
using testing::RecordingView;
using testing::UplinkFrame;

const std::string kStation = "0000000101";
const std::string kSerial = "00A7261209112000";

struct DispatcherTest : ::testing::Test {
    RecordingView view;
    RecordingTransport transport;
    RecordingDatabase database;
    RecordingPictures pictures;
    SettingsStore settings;
    StationRegistry registry{view, transport};
    Dispatcher dispatcher{registry, transport, view, database, pictures, settings,
                          [](const std::string& station) { return station == kStation ? "ST01" : station; }};

    void SetUp() override
    {
        // Each refusal is a line of its own here: the refusal log's clock
        // moves on a minute at every look, past any limit of earlier cases.
        RefusalLog().SetClock([] {
            static auto now = std::chrono::steady_clock::now();
            return now += std::chrono::minutes(1);
        });
        ServerSettings s;
        s.main.dbMode = 1;
        s.third.dbMode = 1;
        settings.Replace(s);
        auto access = registry.LockNetwork();
        access.BindConnection(5, "10.0.0.7", kStation, "", "");
    }

    // Answers reach the view as the data centre hands them over, after the parse.
    void Parse(const std::string& frame, int linkKind = kNetworkLink)
    {
        if (const auto answer = dispatcher.ParseFrame(5, frame, linkKind))
            view.DeliverAnswer(answer->code, answer->frameText);
    }

    bool Has(const std::vector<std::string>& statements, const std::string& part)
    {
        return std::any_of(statements.begin(), statements.end(),
                           [&](const std::string& s) { return s.find(part) != std::string::npos; });
    }
};

TEST_F(DispatcherTest, AWrongPasswordDropsTheLinkEvenWithAValidCheckCode)
{
    Parse(UplinkFrame(kStation, "32", kSerial, "01", "0000"));
    EXPECT_EQ(transport.closed, std::vector<int>{5});
    EXPECT_TRUE(view.WentOffline(kStation));
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_TRUE(database.main.empty());
}

// The refusals' log lines, with the delivered config.ini: each value stands
// apart from the text, and the password a frame carried is never written.
TEST_F(DispatcherTest, RefusalsAreLoggedWithTheStationApartAndNeverThePassword)
{
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(std::string(RTU_SOURCE_DIR) + "/config");
    test::LogCapture log;
    Parse(UplinkFrame(kStation, "32", kSerial, "07", "Q9Z8"));
    std::string corrupt = UplinkFrame(kStation, "32", kSerial);
    corrupt.back() = corrupt.back() == '0' ? '1' : '0';
    Parse(corrupt);
    std::filesystem::current_path(previous);

    EXPECT_EQ(log.CountContaining("Frame from station ST01 with a wrong centre address or password (centre "
                                  "address 07)."), 1);
    EXPECT_EQ(log.CountContaining("The link of station ST01 is closed."), 1);
    EXPECT_EQ(log.CountContaining("Wrong check code in a frame from station ST01: the frame was dropped."), 1);
    EXPECT_EQ(log.CountContaining("Q9Z8"), 0);
}

TEST_F(DispatcherTest, ARefusedFrameOfAnotherStationLeavesTheLinkThatNowHoldsTheConnectionId)
{
    // Connection ids are reused: the refused frame of a station whose link has
    // gone is handled after the id was bound again to another station.
    Parse(UplinkFrame("0000000999", "32", kSerial, "01", "0000"));
    EXPECT_TRUE(transport.closed.empty());
    EXPECT_FALSE(view.WentOffline(kStation));
    CltDevInfo record;
    EXPECT_TRUE(registry.GetLinkRecord(kStation, kNetworkLink, record));
}

TEST_F(DispatcherTest, ACorruptedFrameNeitherDropsTheLinkNorIsAnswered)
{
    std::string frame = UplinkFrame(kStation, "32", kSerial, "01", "0000");
    frame[frame.size() - 1] = frame.back() == '0' ? '1' : '0';
    Parse(frame);
    Parse(frame, kSerialLink);
    EXPECT_TRUE(transport.closed.empty());
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_EQ(registry.SerialStationCount(), 0u);
}

TEST_F(DispatcherTest, HostileAddressesAreEscapedInTheLogOrRefusedAndShortBodiesGoUnanswered)
{
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(std::string(RTU_SOURCE_DIR) + "/config");  // the delivered texts
    test::LogCapture log;
    Parse(UplinkFrame("0000\r\n0101", "32", kSerial, "01", "0000"));
    std::filesystem::current_path(previous);
    EXPECT_TRUE(log.Contains("0000\\x0D\\x0A0101"));
    EXPECT_FALSE(log.Contains("\n0101"));

    const std::string zero("00000\0" "0101", 10);
    Parse(UplinkFrame(zero, "32", kSerial), kSerialLink);
    Parse(UplinkFrame(kStation, "30", "00"));
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_TRUE(transport.serial.empty());
    EXPECT_EQ(registry.SerialStationCount(), 0u);
    EXPECT_TRUE(database.main.empty());
}

TEST_F(DispatcherTest, AFrameIsAcknowledgedShownAndRecordedAndTheVerifiedAddressesAreKept)
{
    const std::string frame = UplinkFrame(kStation, "30", kSerial);
    Parse(frame);
    ASSERT_EQ(transport.sent.size(), 1u);
    const std::string& ack = transport.sent[0].second;
    ASSERT_EQ(ack.size(), 45u);
    EXPECT_EQ(ack.substr(0, 24), std::string("\x01") + kStation + "01" + "B7E2" + "30" + "8010\x02");
    EXPECT_EQ(ack.substr(24, 4), "00A7");
    EXPECT_EQ(ack[40], '\x06');
    EXPECT_EQ(view.lines.back(), frame);
    ASSERT_EQ(database.main.size(), 1u);
    EXPECT_EQ(database.main[0].rfind("exec proc_InsertReceive 'ST01','30','01", 0), 0u);

    CltDevInfo record;
    ASSERT_TRUE(registry.GetLinkRecord(kStation, kNetworkLink, record));
    EXPECT_EQ(record.centre, "01");
    EXPECT_EQ(record.password, "B7E2");
}

TEST_F(DispatcherTest, AKeepAliveRefreshesTheStationAndSendsNothing)
{
    Parse(UplinkFrame(kStation, "2F", kSerial));
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_TRUE(database.main.empty());
    EXPECT_FALSE(view.states.empty());
}

TEST_F(DispatcherTest, AnswersAreHandedToTheViewByTheirCodeWhateverTheCase)
{
    Parse(UplinkFrame(kStation, "4a", kSerial));
    Parse(UplinkFrame(kStation, "41", kSerial));
    ASSERT_EQ(view.answers.size(), 2u);
    EXPECT_EQ(view.answers[0].first, 14);
    EXPECT_EQ(view.answers[1].first, 7);
}

TEST_F(DispatcherTest, TheFirstFrameOfASerialStationCreatesItsRecord)
{
    Parse(UplinkFrame("0000000900", "2F", kSerial), kSerialLink);
    CltDevInfo record;
    ASSERT_TRUE(registry.GetLinkRecord("0000000900", kSerialLink, record));
    EXPECT_EQ(record.peer, "127.0.0.1");
}

TEST_F(DispatcherTest, ATimedReportWritesValueRowsPrecipitationAndRiverLevel)
{
    database.lastLevel = "12.0";
    Parse(UplinkFrame(kStation, "32", kSerial + " TT 2403000815 PJ 10.5 PT 1.5 Z 12.34 Q 0.5 PN05 2.0 ADC1 a,M,c "));
    const std::string t = "2024-02-29 08:15:00";
    EXPECT_TRUE(Has(database.main, "'ADC1','a','0','c','','" + t + "'"));
    EXPECT_TRUE(Has(database.main, "'ADC11','PJ','10.5','mm','','" + t + "'"));
    EXPECT_TRUE(Has(database.main, "'ADC9','Z','12.34','m'"));
    EXPECT_TRUE(Has(database.main, "'ADC10','Q','0.5','m^3/s'"));
    EXPECT_TRUE(Has(database.main, "update DeviceInfo set PeriodRainfall='2.0mm/05min' where YCZNo='ST01'"));
    EXPECT_TRUE(Has(database.secondary,
                    "values('ST01','" + t + "','2.000000','0.05',NULL,'10.500000','7')"));
    // The trend is the writer's: it compares with the level stored before.
    EXPECT_TRUE(Has(database.secondary, "values('ST01','" + t + "','12.340000','0.500000',?)"));

    CltDevInfo record;
    ASSERT_TRUE(registry.GetLinkRecord(kStation, kNetworkLink, record));
    EXPECT_EQ(record.waterLevel, "12.34");
    EXPECT_EQ(record.periodRainfall, "2.0mm/05min");
    EXPECT_EQ(record.observationTime, t);
}

TEST_F(DispatcherTest, AnHourlyReportAtHour23PutsItsLastStepOnTheNextDay)
{
    const std::string body = kSerial + " TT 2312312300 DRP FF0A000102030405060708090A DRZ1 "
                                       "FFFF006400010002000300040005000600070008000904D2 ";
    Parse(UplinkFrame(kStation, "34", body));
    std::vector<std::string> inserts;
    for (const auto& s : database.main)
        if (s.rfind("insert into DeviceHourData", 0) == 0) inserts.push_back(s);
    ASSERT_EQ(inserts.size(), 12u);
    EXPECT_NE(inserts[0].find("'0','','','','2023','12','31','','01','23','2023-12-31 23:05:00','1')"),
              std::string::npos);
    EXPECT_NE(inserts[1].find("'0','1.00','1.0',''"), std::string::npos);
    EXPECT_NE(inserts[11].find("'12.34','0.9','','2024','1','1','','01','0','2024-01-01 00:00:00','12')"),
              std::string::npos);

    // Nothing waits for a database on the thread that acknowledges.
    EXPECT_TRUE(database.lookups.empty());
}

TEST_F(DispatcherTest, AFiveMinuteReportAt2358FillsTheNextDaysFirstSlot)
{
    Parse(UplinkFrame(kStation, "35", "00A7231231235800 ST 0000000101 K TT 2312312358 Z 3.21 "));
    EXPECT_TRUE(Has(database.main,
                    "update DeviceHourData set waterLevel='3.21' where SaveTime='2024-01-01 00:00:00' and YCZNo='ST01'"));
    EXPECT_TRUE(Has(database.main, "'waterLevel','3.210000','2024-01-01 00:00:00','2024','1','1','','01','0','0'"));
}

TEST_F(DispatcherTest, AnAlarmOfAnUnknownElementWritesNothing)
{
    Parse(UplinkFrame(kStation, "33", "00A7261209112000 ST 0000000101 TT 2612091120 VT 11.0 "));
    EXPECT_EQ(database.main.size(), 1u);  // the raw frame only
    Parse(UplinkFrame(kStation, "33", "00A7261209112000 ST 0000000101 TT 2612091120 Z 11.0 "));
    EXPECT_TRUE(Has(database.main, "insert into DeviceAlarmData"));
}

TEST_F(DispatcherTest, AReportTheJournalCannotKeepIsNotAcknowledged)
{
    database.refuse = true;
    Parse(UplinkFrame(kStation, "32", kSerial + " TT 2612091120 Z 12.0 "));
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_TRUE(view.lines.empty());
    database.refuse = false;
    Parse(UplinkFrame(kStation, "32", kSerial + " TT 2612091120 Z 12.0 "));
    EXPECT_EQ(transport.sent.size(), 1u);
    ASSERT_EQ(database.kept.size(), 1u);
    EXPECT_EQ(database.kept[0].storageNumber, "ST01");
    EXPECT_EQ(database.kept[0].functionCode, "32");
    EXPECT_EQ(database.kept[0].receivedAt.size(), 19u);
}

TEST_F(DispatcherTest, PictureFieldsComeFromThePacketHeaderOnly)
{
    std::string header = " CAMID 01 PICTYPE 2 PICFLAG 3 ";
    header.resize(71, ' ');
    const std::string payload = " CAMID 99 PICFLAG 9 \xff\xd8";
    Parse(UplinkFrame(kStation, "81", "00C001" + header + payload, "01", "B7E2", '\x16'));
    ASSERT_EQ(pictures.packets.size(), 1u);
    const PicturePacket& p = pictures.packets[0];
    EXPECT_EQ(p.number, 1);
    EXPECT_EQ(p.total, 12);
    EXPECT_EQ(p.camera, "01");
    EXPECT_EQ(p.type, "2");
    EXPECT_EQ(p.flag, "3");
    EXPECT_EQ(p.payload, payload);
    EXPECT_TRUE(transport.sent.empty());  // packets are answered by windows, not one by one
}

}  // namespace
}  // namespace rtu
