// The receive path of network connections: binding connections to stations,
// reconnects and reused connection ids, the online check, send routing, and
// the front end's framing in plain and registration mode.
#include "Fakes.h"

#include "rtu/common/Log.h"
#include "rtu/common/RateLimitedLog.h"
#include "rtu/protocol/HexText.h"
#include "rtu/runtime/StationRegistry.h"
#include "rtu/uplink/ReceiveFrontEnd.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cctype>
#include <log4cplus/appender.h>
#include <log4cplus/spi/loggingevent.h>


namespace rtu {
namespace {

using testing::RecordingTransport;
using testing::RecordingView;
using testing::UplinkFrame;

struct ReceivePath : ::testing::Test {
    RecordingView view;
    RecordingTransport transport;
    StationRegistry registry{view, transport};
    FrameQueue queue;
    SettingsStore settings;
    std::vector<std::string> discarded;
    ReceiveFrontEnd frontEnd{registry, queue, view, settings,
                             [this](const std::string& station) { discarded.push_back(station); }};

    void Receive(int id, const std::string& bytes) { frontEnd.OnTcpData("10.0.0.7", id, bytes.data(), static_cast<int>(bytes.size())); }

    int BoundConnection(const std::string& station)
    {
        CltDevInfo record;
        if (!registry.GetLinkRecord(station, kNetworkLink, record)) return 0;
        int id = 0;
        registry.SendToStation(station, kNetworkLink, [](const CltDevInfo&) { return std::string("x"); });
        if (!transport.sent.empty()) id = transport.sent.back().first;
        transport.sent.clear();
        return id;
    }
};

const std::string kKeepAlive = "0001261209112000";

TEST_F(ReceivePath, AFirstFrameSplitOverThreeBlocksBindsTheConnectionAndIsQueuedOnce)
{
    const std::string frame = UplinkFrame("0000000101", "2F", kKeepAlive);
    Receive(1, frame.substr(0, 5));
    Receive(1, frame.substr(5, 20));
    EXPECT_EQ(registry.NetworkStationCount(), 0u);
    Receive(1, frame.substr(25));
    EXPECT_EQ(queue.Size(), 1u);
    EXPECT_EQ(BoundConnection("0000000101"), 1);
    // A command can be addressed at once: the record holds the centre's own
    // address and password, which every accepted frame carries.
    CltDevInfo record;
    ASSERT_TRUE(registry.GetLinkRecord("0000000101", kNetworkLink, record));
    EXPECT_EQ(record.centre, "01");
    EXPECT_EQ(record.password, "B7E2");

    QueuedFrame item;
    ASSERT_TRUE(queue.TryPop(item));
    EXPECT_EQ(item.bytes, frame);
    EXPECT_EQ(item.connectionId, 1);
}

TEST_F(ReceivePath, TwoFramesInOneBlockAreQueuedInOrderAndAPartialThirdIsKept)
{
    const std::string a = UplinkFrame("0000000101", "2F", kKeepAlive);
    const std::string b = UplinkFrame("0000000101", "32", kKeepAlive + " TT 2612091120 Z 1.5 ");
    Receive(3, "garbage" + a + b + a.substr(0, 10));
    Receive(3, a.substr(10));
    QueuedFrame item;
    ASSERT_TRUE(queue.TryPop(item));
    EXPECT_EQ(item.bytes, a);
    ASSERT_TRUE(queue.TryPop(item));
    EXPECT_EQ(item.bytes, b);
    ASSERT_TRUE(queue.TryPop(item));
    EXPECT_EQ(item.bytes, a);
}

TEST_F(ReceivePath, AReconnectingStationKeepsOneBindingAndItsOldConnectionIsClosed)
{
    const std::string frame = UplinkFrame("0000000101", "2F", kKeepAlive);
    Receive(1, frame);
    Receive(2, frame);
    EXPECT_EQ(registry.NetworkStationCount(), 1u);
    EXPECT_EQ(transport.closed, std::vector<int>{1});
    EXPECT_EQ(BoundConnection("0000000101"), 2);

    // The late close of the old connection must not unbind the station.
    registry.OnConnectionClosed(1);
    EXPECT_EQ(BoundConnection("0000000101"), 2);
    EXPECT_FALSE(view.WentOffline("0000000101"));
}

TEST_F(ReceivePath, ARebindingOfAConnectionIdReplacesTheRecordOfItsFormerStation)
{
    // The first block of a connection carries frames of two stations: the
    // second binding replaces the first, whose station must not linger.
    Receive(1, UplinkFrame("0000000101", "2F", kKeepAlive) + UplinkFrame("0000000202", "2F", kKeepAlive));
    EXPECT_EQ(BoundConnection("0000000202"), 1);
    CltDevInfo record;
    EXPECT_FALSE(registry.GetLinkRecord("0000000101", kNetworkLink, record));
    registry.OnConnectionClosed(1);
    EXPECT_EQ(registry.NetworkStationCount(), 0u);
    EXPECT_TRUE(view.WentOffline("0000000202"));
}

TEST_F(ReceivePath, OnlyAFrameWithAValidCheckCodeAndTheCentresPasswordBindsANewConnection)
{
    Receive(1, UplinkFrame("0000000101", "2F", kKeepAlive));
    ASSERT_EQ(BoundConnection("0000000101"), 1);

    // A stranger's frame with the station's address and a wrong check code
    // binds nothing, so the station keeps its link.
    std::string corrupt = UplinkFrame("0000000101", "2F", kKeepAlive);
    corrupt.back() = corrupt.back() == '0' ? '1' : '0';
    Receive(2, corrupt);
    EXPECT_EQ(BoundConnection("0000000101"), 1);
    EXPECT_TRUE(transport.closed.empty());

    // A frame that checks but carries another password ends the stranger's
    // connection, not the station's.
    Receive(3, UplinkFrame("0000000101", "2F", kKeepAlive, "01", "0000"));
    EXPECT_EQ(BoundConnection("0000000101"), 1);
    EXPECT_EQ(transport.closed, std::vector<int>{3});

    // After a corrupt first frame the next good one binds.
    Receive(2, UplinkFrame("0000000202", "2F", kKeepAlive));
    EXPECT_EQ(BoundConnection("0000000202"), 2);
}

TEST_F(ReceivePath, ARefusedFirstFrameIsNeverQueuedAndLeavesEveryStationAlone)
{
    Receive(1, UplinkFrame("0000000101", "2F", kKeepAlive));
    ASSERT_EQ(queue.Size(), 1u);
    // Forged first frames naming the live station: a wrong password, a wrong
    // check code, a zero byte in the address. The dispatcher would otherwise
    // drop "the station's link" by a connection id reused meanwhile.
    std::string corrupt = UplinkFrame("0000000101", "2F", kKeepAlive);
    corrupt.back() = corrupt.back() == '0' ? '1' : '0';
    Receive(2, UplinkFrame("0000000101", "2F", kKeepAlive, "01", "0000"));
    Receive(3, corrupt);
    Receive(4, UplinkFrame(std::string("00000\0" "0101", 10), "2F", kKeepAlive));
    EXPECT_EQ(queue.Size(), 1u);
    EXPECT_EQ(transport.closed, (std::vector<int>{2, 4}));
    EXPECT_EQ(BoundConnection("0000000101"), 1);
    EXPECT_FALSE(view.WentOffline("0000000101"));
}

TEST_F(ReceivePath, AStationThatAnnouncesItsRestartLosesItsNetworkLink)
{
    Receive(7, UplinkFrame("0000000101", "2F", kKeepAlive));
    EXPECT_TRUE(registry.DropNetworkStation("0000000101"));
    EXPECT_EQ(transport.closed, std::vector<int>{7});
    EXPECT_TRUE(view.WentOffline("0000000101"));
    EXPECT_EQ(registry.NetworkStationCount(), 0u);
    EXPECT_FALSE(registry.DropNetworkStation("0000000101"));
}

TEST_F(ReceivePath, ReceiveEventsAreIgnoredOnceAStopHasBegun)
{
    Receive(1, UplinkFrame("0000000101", "2F", kKeepAlive));
    registry.BeginStop();
    EXPECT_EQ(transport.closed, std::vector<int>{1});
    Receive(2, UplinkFrame("0000000202", "2F", kKeepAlive));
    EXPECT_EQ(registry.NetworkStationCount(), 0u);
    registry.FinishStop();
    Receive(2, UplinkFrame("0000000202", "2F", kKeepAlive));
    EXPECT_EQ(registry.NetworkStationCount(), 1u);
}

TEST_F(ReceivePath, TheOnlineCheckDropsStationsSilentForLongerThanTheLimitOnTheSteadyClock)
{
    auto steady = std::chrono::steady_clock::now();
    registry.SetClock({[] { return std::int64_t{0}; }, [&] { return steady; }});
    Receive(1, UplinkFrame("0000000101", "2F", kKeepAlive));
    Receive(2, UplinkFrame("0000000102", "2F", kKeepAlive));
    registry.RefreshSerialStation("0000000900", "01", "B7E2");

    steady += std::chrono::seconds(300);
    registry.RefreshNetworkStation("0000000102", "01", "B7E2");
    auto online = registry.CheckOnline(std::chrono::seconds(300));
    EXPECT_EQ(online, (std::vector<std::string>{"0000000101", "0000000102", "0000000900"}));
    EXPECT_TRUE(transport.closed.empty());

    steady += std::chrono::seconds(1);
    online = registry.CheckOnline(std::chrono::seconds(300));
    EXPECT_EQ(online, std::vector<std::string>{"0000000102"});
    EXPECT_EQ(transport.closed, std::vector<int>{1});
    EXPECT_TRUE(view.WentOffline("0000000101"));
    EXPECT_TRUE(view.WentOffline("0000000900"));
}

TEST_F(ReceivePath, ConnectionsThatBindNoStationInTimeAreClosedOnceAndBoundOnesAreKept)
{
    auto steady = std::chrono::steady_clock::now();
    registry.SetClock({[] { return std::int64_t{0}; }, [&] { return steady; }});
    Receive(1, "GET / HTTP/1.0\r\n");  // never a frame
    Receive(2, UplinkFrame("0000000102", "2F", kKeepAlive));
    steady += std::chrono::seconds(60);
    Receive(3, "\x01" "0");  // the start of a frame that never ends
    Receive(1, "more garbage");  // later bytes do not restart its time

    steady += std::chrono::seconds(60);
    EXPECT_EQ(registry.CloseUnbound(std::chrono::seconds(120)), 1u);
    EXPECT_EQ(transport.closed, std::vector<int>{1});
    steady += std::chrono::seconds(60);
    EXPECT_EQ(registry.CloseUnbound(std::chrono::seconds(120)), 1u);
    EXPECT_EQ(registry.CloseUnbound(std::chrono::seconds(120)), 0u);
    EXPECT_EQ(transport.closed, (std::vector<int>{1, 3}));
    EXPECT_EQ(registry.UnboundCount(), 0u);
    EXPECT_EQ(BoundConnection("0000000102"), 2);
}

// Collects the lines written to the logger "MAIN".
class CollectingAppender : public log4cplus::Appender {
public:
    std::vector<std::string> lines;
    void close() override {}

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override
    {
        lines.push_back(LOG4CPLUS_TSTRING_TO_STRING(event.getMessage()));
    }
};

TEST_F(ReceivePath, ABurstBeyondTheQueueCountsEveryDroppedFrameInTheLog)
{
    FrameQueue limited{FrameQueue::kMaxItems, FrameQueue::kMaxBytes, FrameQueue::kMaxPerConnection};
    ReceiveFrontEnd front{registry, limited, view, settings, nullptr};
    auto now = std::chrono::steady_clock::now();
    RefusalLog().SetClock([&] { return now; });
    auto* collector = new CollectingAppender;
    log4cplus::SharedAppenderPtr appender(collector);
    MainLogger().addAppender(appender);

    const std::string frame = UplinkFrame("0000000101", "2F", kKeepAlive);
    std::string burst;
    for (int i = 0; i < 5000; ++i) burst += frame;
    static int run = 0;  // a connection of its own in each repetition: the limiter is process-wide
    front.OnTcpData("10.0.0.7", 1000 + run++, burst.data(), static_cast<int>(burst.size()));
    now += RateLimitedLog::kInterval;
    RefusalLog().Flush();
    MainLogger().removeAppender(appender);
    RefusalLog().SetClock([] { return std::chrono::steady_clock::now(); });

    EXPECT_EQ(limited.Size(), FrameQueue::kMaxPerConnection);
    EXPECT_EQ(front.DroppedFrames(), 5000 - FrameQueue::kMaxPerConnection);
    // The lines about the queue, together, count every dropped frame.
    std::uint64_t counted = 0;
    // "...: N dropped in all" and "...frames dropped: N more in the last ..."
    const auto numberBefore = [](const std::string& line, std::size_t end) {
        std::size_t begin = end;
        while (begin > 0 && std::isdigit(static_cast<unsigned char>(line[begin - 1]))) --begin;
        return begin < end ? std::stoull(line.substr(begin, end - begin)) : 0ull;
    };
    for (const std::string& line : collector->lines) {
        if (line.find("network frame queue full") == std::string::npos) continue;
        const std::size_t all = line.find(" dropped in all");
        const std::size_t more = line.find(" more in the last");
        if (all != std::string::npos)
            counted += numberBefore(line, all);
        else if (more != std::string::npos)
            counted += numberBefore(line, more);
    }
    EXPECT_EQ(counted, 5000 - FrameQueue::kMaxPerConnection);
}

TEST_F(ReceivePath, SendRawSaysWhetherTheBytesWereHandedToTheStationsLink)
{
    Receive(4, UplinkFrame("0000000101", "2F", kKeepAlive));
    registry.RefreshSerialStation("0000000900", "01", "B7E2");
    const std::uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(registry.SendRaw("0000000101", bytes, 3), SendResult::HandedOver);
    EXPECT_EQ(registry.SendRaw("0000000900", bytes, 3), SendResult::HandedOver);
    EXPECT_EQ(registry.SendRaw("0000000555", bytes, 3), SendResult::NoLink);
    EXPECT_EQ(registry.LinkedStations(), (std::vector<std::string>{"0000000101", "0000000900"}));
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0].first, 4);
    EXPECT_EQ(transport.serial.size(), 1u);
}

// ---- registration mode ----------------------------------------------------

std::string RegistrationPacket(const std::string& station, char freshStart)
{
    std::string plain = std::string("\x68\x12\x68\x02", 4) + station + freshStart + "ABCDEFGHI";
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h = nullptr;
    gcry_cipher_open(&h, GCRY_CIPHER_BLOWFISH, GCRY_CIPHER_MODE_ECB, 0);
    gcry_cipher_setkey(h, "kP3807#?-+.,!*@%", 16);
    std::uint8_t cipher[24];
    gcry_cipher_encrypt(h, cipher, sizeof cipher, plain.data(), 24);
    gcry_cipher_close(h);
    return BytesToHexText(std::string_view(reinterpret_cast<const char*>(cipher), sizeof cipher));
}

struct RegistrationMode : ReceivePath {
    void SetUp() override
    {
        ServerSettings s;
        s.regMode = 1;
        s.cent = "07";
        s.centPwd = "ABCD99";
        settings.Replace(s);
    }
};

TEST_F(RegistrationMode, ThePacketIsGatheredFromTheFirst48BytesWithin30Seconds)
{
    auto steady = std::chrono::steady_clock::now();
    registry.SetClock({[] { return std::int64_t{0}; }, [&] { return steady; }});
    const std::string packet = RegistrationPacket("0000000101", '0');
    const std::string frame = UplinkFrame("0000000101", "2F", kKeepAlive, "07", "ABCD");

    // Split over two blocks, the second merged with the first frame.
    Receive(1, packet.substr(0, 20));
    EXPECT_TRUE(transport.sent.empty());
    Receive(1, packet.substr(20) + frame);
    EXPECT_EQ(transport.sent, (std::vector<std::pair<int, std::string>>{{1, packet}}));
    EXPECT_EQ(BoundConnection("0000000101"), 1);
    EXPECT_EQ(queue.Size(), 1u);

    // A packet not complete within 30 seconds ends the connection, at its
    // next block or at the online check.
    Receive(2, packet.substr(0, 47));
    Receive(3, packet.substr(0, 47));
    steady += std::chrono::seconds(31);
    Receive(2, packet.substr(47));
    EXPECT_EQ(transport.closed, std::vector<int>{2});
    registry.CheckOnline(std::chrono::seconds(300));
    EXPECT_EQ(transport.closed, (std::vector<int>{2, 3}));
    EXPECT_TRUE(transport.sent.empty());
}

TEST_F(RegistrationMode, ARegistrationForALiveStationTakesItsLinkOnlyWithAVerifiedFirstFrame)
{
    ServerSettings s = *settings.Current();
    s.centPwd = "ABCD";
    settings.Replace(s);
    const std::string packet = RegistrationPacket("0000000101", '0');
    Receive(1, packet);
    ASSERT_EQ(BoundConnection("0000000101"), 1);
    transport.sent.clear();

    // The packet alone is no proof: the station keeps its link, and what is
    // sent to the station still goes to it.
    Receive(2, packet);
    EXPECT_EQ(transport.sent, (std::vector<std::pair<int, std::string>>{{2, packet}}));
    transport.sent.clear();
    EXPECT_EQ(BoundConnection("0000000101"), 1);
    EXPECT_TRUE(transport.closed.empty());
    // A frame with the wrong password or another station's address neither
    // binds nor is handed on.
    Receive(2, UplinkFrame("0000000101", "2F", kKeepAlive, "07", "0000"));
    Receive(3, packet + UplinkFrame("0000000202", "2F", kKeepAlive, "07", "ABCD"));
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_EQ(transport.closed, (std::vector<int>{2, 3}));
    EXPECT_EQ(BoundConnection("0000000101"), 1);
    EXPECT_FALSE(view.WentOffline("0000000101"));

    // A verified first frame replaces the link.
    Receive(4, RegistrationPacket("0000000101", '1') + UplinkFrame("0000000101", "2F", kKeepAlive, "07", "ABCD"));
    EXPECT_EQ(BoundConnection("0000000101"), 4);
    EXPECT_EQ(transport.closed, (std::vector<int>{2, 3, 1}));
    EXPECT_EQ(discarded, std::vector<std::string>{"0000000101"});
    EXPECT_EQ(queue.Size(), 1u);
}

TEST_F(RegistrationMode, AValidPacketBindsTheStationIsEchoedAndGivesTheCentreAddresses)
{
    const std::string packet = RegistrationPacket("0000000101", '1');
    Receive(1, packet);
    ASSERT_EQ(transport.sent.size(), 1u);
    EXPECT_EQ(transport.sent[0], std::make_pair(1, packet));
    EXPECT_EQ(discarded, std::vector<std::string>{"0000000101"});
    CltDevInfo record;
    ASSERT_TRUE(registry.GetLinkRecord("0000000101", kNetworkLink, record));
    EXPECT_EQ(record.centre, "07");
    EXPECT_EQ(record.password, "ABCD");

    // Frames after the packet are cut on the bound record.
    Receive(1, UplinkFrame("0000000101", "2F", kKeepAlive, "07", "ABCD"));
    EXPECT_EQ(queue.Size(), 1u);
}

TEST_F(RegistrationMode, AWrongPlaintextClosesTheConnection)
{
    std::string packet = RegistrationPacket("0000000101", '0');
    packet[0] = packet[0] == 'A' ? 'B' : 'A';
    Receive(1, packet);
    EXPECT_EQ(transport.closed, std::vector<int>{1});
    EXPECT_EQ(registry.NetworkStationCount(), 0u);
}

}  // namespace
}  // namespace rtu
