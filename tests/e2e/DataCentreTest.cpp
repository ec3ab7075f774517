// The data centre end to end: the real `RTU --headless` in a fresh folder
// with SQLite databases, driven over loopback TCP by stations written here
// and by stationsim. Every acknowledgement is compared byte for byte, and
// the rows are read from both database files after the program has stopped.
#include "tests/e2e/E2eChecks.h"
#include "tests/e2e/RtuProcess.h"

#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"
#include "rtu/protocol/TimeText.h"
#include "rtu/storage/AdoDB.h"
#include "tools/stationsim/StationFrames.h"

#include <arpa/inet.h>
#include <gcrypt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace rtu::e2e {
namespace {

using storage::Rows;

double Number(const std::string& text)
{
    return std::atof(text.c_str());
}

// A registration packet enciphered here, independently of the simulator.
std::string EncipherRegistration(const std::string& station)
{
    std::string plain("\x68\x13\x68\x02", 4);
    plain += station + "1";
    plain.resize(24, '\0');
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h = nullptr;
    EXPECT_EQ(gcry_cipher_open(&h, GCRY_CIPHER_BLOWFISH, GCRY_CIPHER_MODE_ECB, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(h, "kP3807#?-+.,!*@%", 16), 0u);
    unsigned char cipher[24];
    EXPECT_EQ(gcry_cipher_encrypt(h, cipher, sizeof cipher, plain.data(), plain.size()), 0u);
    gcry_cipher_close(h);
    return BytesToHexText(std::string_view(reinterpret_cast<const char*>(cipher), sizeof cipher));
}

// Without a window nobody can start the service later: a headless centre that
// cannot listen ends at once, non-zero, saying why (a port held by a socket
// bound without listening, so that only the exit can end Start; a Port typed
// with a letter O, which atoi would read as port 52).
TEST(DataCentre, HeadlessCentreThatCannotListenEndsAtOnceSayingWhy)
{
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
    CentreSettings busyPort;
    busyPort.port = ntohs(address.sin_port);
    RtuProcess busy(busyPort), typo;
    std::ifstream in(typo.Folder() + "/server.ini");
    std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ini.replace(ini.find("Port="), 5, "Port=52O2\nOldPort=");
    std::ofstream(typo.Folder() + "/server.ini", std::ios::trunc) << ini;

    const std::string why[] = {"the TCP server could not listen on port " + std::to_string(busyPort.port),
                               "server.ini [Set] Port is not a whole number"};
    RtuProcess* centres[] = {&busy, &typo};
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(centres[i]->Start(20s));
        EXPECT_EQ(centres[i]->ExitCode(), 1);
        EXPECT_NE(centres[i]->Output().find("RTU: the service did not start: " + why[i]), std::string::npos)
            << centres[i]->Output();
    }
    ::close(holder);
}

TEST(DataCentre, TimedReportIsAcknowledgedAndStoredInBothDatabases)
{
    RtuProcess centre;
    START_CENTRE(centre);

    StationLink link;
    ASSERT_TRUE(link.Connect(centre.Port()));
    const std::string first = Frame("0000000101", "32",
                                    Body(0x00A7, " ST 0000000101 H TT 2405061230 PN05 2.0 PJ 10.5 PT 125.5"
                                                 " Z 102.345 Q 12.5 ADC1 Z,102.345,m ADC2 T,M,C VT 12.60"));
    ASSERT_TRUE(link.Send(first));
    ExpectAcknowledgementOf(link.ReadFrame(), first);

    // The next report at once: its level is compared with the one just sent.
    const std::string second =
        Frame("0000000101", "32", Body(0x00A8, " ST 0000000101 H TT 2405061235 PN05 0 PJ 10.5 Z 102.000 Q 11.0 VT 12.6"));
    ASSERT_TRUE(link.Send(second));
    ExpectAcknowledgementOf(link.ReadFrame(), second);

    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    const std::string main = centre.MainDatabase();
    // Raw frames depend on nothing before them: any order will do.
    Rows rows = Query(main, "select YCZNo, CommandName, CommandData from ReceiveData order by CommandData");
    Rows frames{{"0000000101", "32", BytesToHexText(first)}, {"0000000101", "32", BytesToHexText(second)}};
    std::sort(frames.begin(), frames.end());
    EXPECT_EQ(rows, frames);

    rows = Query(main, "select ChannelName, ElementId, ElementValue, Unit, CommandName, YCZNo from DeviceTimingData "
                       "where ObserveTime = '2024-05-06 12:30:00' order by ChannelName");
    Rows expected{{"ADC1", "Z", "102.345", "m", "32", "0000000101"},
                        {"ADC2", "T", "0", "C", "32", "0000000101"},
                        {"ADC11", "PJ", "10.5", "mm", "32", "0000000101"},
                        {"ADC8", "PT", "125.5", "mm", "32", "0000000101"},
                        {"ADC9", "Z", "102.345", "m", "32", "0000000101"},
                        {"ADC10", "Q", "12.5", "m^3/s", "32", "0000000101"}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(Count(main, "select count(*) from DeviceTimingData where ObserveTime = '2024-05-06 12:35:00'"), "3");

    const std::string third = centre.SecondaryDatabase();
    rows = Query(third, "select STCD, TM, DRP, INTV, DYP, WTH from ST_PPTN_R order by TM");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "00000101");
    EXPECT_EQ(rows[0][1], "2024-05-06 12:30:00");
    EXPECT_DOUBLE_EQ(Number(rows[0][2]), 2.0);
    EXPECT_DOUBLE_EQ(Number(rows[0][3]), 0.05);
    EXPECT_DOUBLE_EQ(Number(rows[0][4]), 10.5);
    EXPECT_EQ(rows[0][5], "7");
    EXPECT_EQ(rows[1][5], "9");  // no rain in the second five minutes

    rows = Query(third, "select STCD, TM, Z, Q, WPTN from ST_RIVER_R order by TM");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "00000101");
    EXPECT_DOUBLE_EQ(Number(rows[0][2]), 102.345);
    EXPECT_DOUBLE_EQ(Number(rows[0][3]), 12.5);
    EXPECT_EQ(rows[0][4], "5");  // the first level is taken as rising
    EXPECT_EQ(rows[1][1], "2024-05-06 12:35:00");
    EXPECT_EQ(rows[1][4], "4") << "the falling level must be compared with the report before it";
}

TEST(DataCentre, AlarmHourlyAndFiveMinuteReportsAreStored)
{
    RtuProcess centre;
    START_CENTRE(centre);

    StationLink link;
    ASSERT_TRUE(link.Connect(centre.Port()));
    const std::string alarm =
        Frame("0000000102", "33", Body(1, " ST 0000000102 TT 2405061230 Z 105.5 VT 12.6"));
    // Hour 23: the twelfth step is midnight of the next day. Rain 0.0, 1.0,
    // 2.0, none, then 0.5; levels 12.34, none, then 1.00.
    const std::string drp = "000A14FF0505050505050505";
    const std::string drz = "04D2FFFF" + std::string("0064") + "0064006400640064006400640064006400640064";
    const std::string hourly = Frame("0000000102", "34",
                                     Body(2, " ST 0000000102 H TT 2405062300 DRP " + drp + " DRZ1 " + drz + " VT 12.6"));
    const std::string fiveMinute =
        Frame("0000000103", "35", Body(3, " ST 0000000103 H TT 2405061057 Z 101.25 VT 12.6"));
    for (const std::string& frame : {alarm, hourly}) {
        ASSERT_TRUE(link.Send(frame));
        ExpectAcknowledgementOf(link.ReadFrame(), frame);
    }
    // The same hour again updates the twelve rows instead of adding twelve.
    const std::string hourlyAgain = Frame("0000000102", "34",
                                          Body(4, " ST 0000000102 H TT 2405062300 DRP " + drp + " DRZ1 " + drz));
    ASSERT_TRUE(link.Send(hourlyAgain));
    ExpectAcknowledgementOf(link.ReadFrame(), hourlyAgain);

    StationLink other;
    ASSERT_TRUE(other.Connect(centre.Port()));
    ASSERT_TRUE(other.Send(fiveMinute));
    ExpectAcknowledgementOf(other.ReadFrame(), fiveMinute);

    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    const std::string main = centre.MainDatabase();

    Rows rows = Query(main, "select YCZNo, CommandName, AlarmInfo, Year, Month, Day, ZXZNO from DeviceAlarmData");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "0000000102");
    EXPECT_EQ(rows[0][1], "33");
    EXPECT_NE(rows[0][2].find("105.5 (m)"), std::string::npos) << rows[0][2];
    EXPECT_EQ((storage::Row{rows[0][3], rows[0][4], rows[0][5], rows[0][6]}), (storage::Row{"2024", "5", "6", "01"}));

    rows = Query(main, "select SaveTime, Num, Rainfall, waterLevel, Year, Month, Day, Hour from DeviceHourData "
                       "where YCZNo = '0000000102' and CommandName = '34' order by SaveTime");
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[0][0], "2024-05-06 23:05:00");
    EXPECT_EQ(rows[0][1], "1");
    EXPECT_EQ(rows[0][2], "0.0");
    EXPECT_EQ(rows[0][3], "12.34");
    EXPECT_EQ(rows[1][2], "1.0");
    EXPECT_EQ(rows[1][3], "");
    EXPECT_EQ(rows[2][2], "2.0");
    EXPECT_EQ(rows[3][2], "");
    EXPECT_EQ(rows[3][3], "1.00");
    EXPECT_EQ(rows[10][0], "2024-05-06 23:55:00");
    EXPECT_EQ((storage::Row{rows[11][0], rows[11][1], rows[11][4], rows[11][5], rows[11][6], rows[11][7]}),
              (storage::Row{"2024-05-07 00:00:00", "12", "2024", "5", "7", "0"}));

    rows = Query(main, "select SaveTime, waterLevel from DeviceHourData where YCZNo = '0000000103'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "2024-05-06 11:00:00");
    EXPECT_DOUBLE_EQ(Number(rows[0][1]), 101.25);

    EXPECT_EQ(Count(main, "select count(*) from ReceiveData"), "4");
}

TEST(DataCentre, WrongPasswordOrCentreDropsTheLinkButACorruptFrameDoesNot)
{
    RtuProcess centre;
    START_CENTRE(centre);
    const std::string body = Body(1, " ST 0000000104 H TT 2405061230 Z 1.0 VT 12.6");

    StationLink wrongPassword;
    ASSERT_TRUE(wrongPassword.Connect(centre.Port()));
    ASSERT_TRUE(wrongPassword.Send(Frame("0000000104", "32", body, "0000")));
    EXPECT_TRUE(wrongPassword.WaitClosed(15s)) << "the link of a wrong password stays open";
    EXPECT_FALSE(wrongPassword.ReadFrame(0ms).has_value()) << "a wrong password was acknowledged";

    StationLink wrongCentre;
    ASSERT_TRUE(wrongCentre.Connect(centre.Port()));
    ASSERT_TRUE(wrongCentre.Send(Frame("0000000105", "32", body, "B7E2", "02")));
    EXPECT_TRUE(wrongCentre.WaitClosed(15s)) << "the link of a wrong centre address stays open";

    // One corrupted byte (here in the password) is caught by the check code
    // first: the frame is ignored and the link stays.
    StationLink corrupt;
    ASSERT_TRUE(corrupt.Connect(centre.Port()));
    std::string bad = Frame("0000000106", "32", body);
    bad[14] = 'X';
    ASSERT_TRUE(corrupt.Send(bad));
    const std::string good = Frame("0000000106", "32", Body(2, " ST 0000000106 H TT 2405061235 Z 1.0 VT 12.6"));
    ASSERT_TRUE(corrupt.Send(good));
    const auto ack = corrupt.ReadFrame();
    ExpectAcknowledgementOf(ack, good);
    EXPECT_FALSE(corrupt.Closed());

    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from ReceiveData"), "1");
}

// The headless log shows answers with the window's texts, and a restart
// answer (E2) closes the station's link as in the window; other answers don't.
TEST(DataCentre, AnswersAreShownWithTheirTextsAndARestartAnswerClosesTheLink)
{
    RtuProcess centre;
    START_CENTRE(centre);
    StationLink station;
    ASSERT_TRUE(station.Connect(centre.Port()));
    const std::string reset = Frame("0000000107", "48", Body(1, " ST 0000000107"));
    ASSERT_TRUE(station.Send(reset));
    ExpectAcknowledgementOf(station.ReadFrame(), reset);
    EXPECT_TRUE(centre.WaitForOutput("Station:0000000107  Factory settings restored.")) << centre.Output();
    EXPECT_FALSE(station.WaitClosed(300ms));

    const std::string restart = Frame("0000000107", "E2", Body(2, " ST 0000000107"));
    ASSERT_TRUE(station.Send(restart));
    EXPECT_TRUE(station.WaitClosed(10s)) << "the link of a restarting station stays open";
    EXPECT_TRUE(centre.WaitForOutput("Station:0000000107  Restart confirmed")) << centre.Output();
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
}

TEST(DataCentre, FirstFrameLongerThanOneReceiveBlockBindsTheStation)
{
    RtuProcess centre;
    START_CENTRE(centre);

    // Over 1450 bytes: the network library hands it on in more than one block.
    std::string elements = " ST 0000000111 H TT 2405061230 Z 1.5";
    for (int i = 1; i <= 120; ++i) {
        elements += " ADC" + std::to_string(i + 20) + " Z" + std::to_string(i) + ",1." + std::to_string(i) + ",m";
    }
    const std::string big = Frame("0000000111", "32", Body(1, elements));
    ASSERT_GT(big.size(), 2000u);
    ASSERT_LT(big.size(), 4096u);
    StationLink link;
    ASSERT_TRUE(link.Connect(centre.Port()));
    ASSERT_TRUE(link.Send(big));
    ExpectAcknowledgementOf(link.ReadFrame(), big);

    // Two frames in one write come back as two acknowledgements in order.
    const std::string a = Frame("0000000111", "32", Body(2, " ST 0000000111 H TT 2405061235 Z 1.6 VT 12.6"));
    const std::string b = Frame("0000000111", "32", Body(3, " ST 0000000111 H TT 2405061240 Z 1.7 VT 12.6"));
    ASSERT_TRUE(link.Send(a + b));
    ExpectAcknowledgementOf(link.ReadFrame(), a);
    ExpectAcknowledgementOf(link.ReadFrame(), b);

    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from DeviceTimingData where ChannelName like 'ADC%' "
                                           "and ObserveTime = '2024-05-06 12:30:00'"),
              "121");  // 120 ADC tokens and the Z row (ADC9)
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from ReceiveData"), "3");
}

TEST(DataCentre, ReconnectingStationKeepsOneBindingAndGetsCommands)
{
    RtuProcess centre;
    START_CENTRE(centre);

    StationLink old;
    ASSERT_TRUE(old.Connect(centre.Port()));
    const std::string first = Frame("0000000107", "32", Body(1, " ST 0000000107 H TT 2405061230 Z 1.0 VT 12.6"));
    ASSERT_TRUE(old.Send(first));
    ExpectAcknowledgementOf(old.ReadFrame(), first);

    StationLink fresh;
    ASSERT_TRUE(fresh.Connect(centre.Port()));
    const std::string second = Frame("0000000107", "32", Body(2, " ST 0000000107 H TT 2405061235 Z 1.1 VT 12.6"));
    ASSERT_TRUE(fresh.Send(second));
    ExpectAcknowledgementOf(fresh.ReadFrame(), second);
    EXPECT_TRUE(old.WaitClosed(10s)) << "the older connection of a reconnected station stays open";

    // A command queued in the command table reaches the station on its new
    // connection only.
    FrameBytes command;
    const DownlinkAddress address{"0000000107", "01", "B7E2"};
    SerialNumberCounter serials(0x0042);
    ASSERT_EQ(BuildCommandFrame(address, "45", "", serials, LocalNow(), command), CommandBuild::kBuilt);
    {
        storage::CAdoDB db;
        ASSERT_TRUE(db.Open("Driver=SQLite3;Database=" + centre.MainDatabase())) << db.LastError();
        ASSERT_TRUE(db.Execute("insert into SendCommandInfo (YCZNo, CommandData, Status) values ('0000000107', '" +
                               BytesToHexText(command.View()) + "', 0)"))
            << db.LastError();
    }
    const auto received = fresh.ReadFrame(15s);
    ASSERT_TRUE(received.has_value()) << "the queued command did not arrive";
    EXPECT_EQ(BytesToHexText(*received), BytesToHexText(command.View()));

    // The station answers with the same function code; the answer is acknowledged.
    sim::DownlinkFields fields;
    ASSERT_TRUE(sim::ReadDownlink(*received, fields));
    sim::StationIdentity id;
    id.station = "0000000107";
    const std::string answer =
        sim::EncodeUplinkFrame(id, "45", sim::AnswerBody(fields, id, LocalNow(), sim::StationReadings(1)));
    ASSERT_TRUE(fresh.Send(answer));
    std::optional<std::string> reply;
    // The poller may send the command again before its status is written.
    do {
        reply = fresh.ReadFrame(10s);
    } while (reply && !sim::LooksLikeAcknowledgement(*reply));
    ExpectAcknowledgementOf(reply, answer);

    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    EXPECT_EQ(Count(centre.MainDatabase(), "select Status from SendCommandInfo"), "1");
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from ReceiveData where CommandName = '45'"), "1");
}

TEST(DataCentre, SilentStationGoesOfflineAndKeepAlivesKeepAStationOnline)
{
    // OffLine below 120 seconds is raised to 120, and the check runs every
    // 10 seconds: the silent station is closed 121 to about 131 seconds
    // after its last frame. About two and a half minutes.
    CentreSettings settings;
    settings.offLine = 30;
    RtuProcess centre(settings);
    START_CENTRE(centre);

    StationLink silent;
    StationLink talking;
    ASSERT_TRUE(silent.Connect(centre.Port()));
    ASSERT_TRUE(talking.Connect(centre.Port()));
    const std::string report = Frame("0000000108", "32", Body(1, " ST 0000000108 H TT 2405061230 Z 1.0 VT 12.6"));
    ASSERT_TRUE(silent.Send(report));
    ExpectAcknowledgementOf(silent.ReadFrame(), report);
    const auto lastFrame = std::chrono::steady_clock::now();
    const std::string hello = Frame("0000000109", "32", Body(1, " ST 0000000109 H TT 2405061230 Z 1.0 VT 12.6"));
    ASSERT_TRUE(talking.Send(hello));
    ExpectAcknowledgementOf(talking.ReadFrame(), hello);

    // The talking station sends a keep-alive every 20 seconds while the
    // silent one is waited for; keep-alives are never answered.
    std::uint16_t serial = 2;
    bool closed = false;
    while (!closed && std::chrono::steady_clock::now() - lastFrame < 180s) {
        closed = silent.WaitClosed(20s);
        if (!closed) {
            ASSERT_TRUE(talking.Send(Frame("0000000109", "2F", Body(serial++, " ST 0000000109 H VT 12.6"))));
        }
    }
    const double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - lastFrame).count();
    ASSERT_TRUE(closed) << "the silent station was not closed within 180 s";
    EXPECT_GE(after, 119.0) << "closed before OffLine had passed";
    EXPECT_LE(after, 145.0);

    EXPECT_FALSE(talking.Closed());
    EXPECT_FALSE(talking.ReadFrame(0ms).has_value()) << "a keep-alive was answered";
    const std::string later = Frame("0000000109", "32", Body(serial, " ST 0000000109 H TT 2405061235 Z 1.0 VT 12.6"));
    ASSERT_TRUE(talking.Send(later));
    ExpectAcknowledgementOf(talking.ReadFrame(), later);
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
}

TEST(DataCentre, RegistrationModeEchoesThePacketAndRefusesBadOnes)
{
    CentreSettings settings;
    settings.regMode = 1;
    RtuProcess centre(settings);
    START_CENTRE(centre);

    StationLink link;
    ASSERT_TRUE(link.Connect(centre.Port()));
    const std::string packet = EncipherRegistration("0000000110");
    ASSERT_TRUE(link.Send(packet));
    EXPECT_EQ(link.ReadBytes(48), packet);
    const std::string report = Frame("0000000110", "32", Body(1, " ST 0000000110 H TT 2405061230 Z 3.5 VT 12.6"));
    ASSERT_TRUE(link.Send(report));
    ExpectAcknowledgementOf(link.ReadFrame(), report);

    // A packet that TCP splits, its rest merged with the first frame.
    StationLink split;
    ASSERT_TRUE(split.Connect(centre.Port()));
    const std::string second = EncipherRegistration("0000000111");
    ASSERT_TRUE(split.Send(second.substr(0, 47)));
    std::this_thread::sleep_for(100ms);  // gives the first part a block of its own
    const std::string report2 = Frame("0000000111", "32", Body(1, " ST 0000000111 H TT 2405061230 Z 3.6 VT 12.6"));
    ASSERT_TRUE(split.Send(second.substr(47) + report2));
    EXPECT_EQ(split.ReadBytes(48), second);
    ExpectAcknowledgementOf(split.ReadFrame(), report2);

    StationLink wrongKey;
    ASSERT_TRUE(wrongKey.Connect(centre.Port()));
    ASSERT_TRUE(wrongKey.Send(std::string(48, 'A')));
    EXPECT_TRUE(wrongKey.WaitClosed(10s)) << "a packet that deciphers to nothing was not refused";

    // Without a packet, a frame as first block is no registration either.
    StationLink plain;
    ASSERT_TRUE(plain.Connect(centre.Port()));
    ASSERT_TRUE(plain.Send(report));
    EXPECT_TRUE(plain.WaitClosed(10s));

    ASSERT_EQ(centre.Stop(), 0) << centre.Output();
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from ReceiveData where YCZNo = '0000000110'"), "1");
}

TEST(DataCentre, StationsimLoadIsAcknowledgedAndEveryRowStored)
{
    RtuProcess centre;
    START_CENTRE(centre);
    std::string output;
    const int status = RunStationsim("--port " + std::to_string(centre.Port()) +
                                         " --stations 40 --count 25 --fast --kind 32 --expect-acks --drain 20",
                                     output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("acknowledged: 1000 of 1000, bad acknowledgements 0, missing 0"), std::string::npos)
        << output;
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from ReceiveData"), "1000");
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from DeviceTimingData"), "6000");
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(distinct YCZNo) from DeviceTimingData"), "40");
    EXPECT_EQ(Count(centre.SecondaryDatabase(), "select count(*) from ST_RIVER_R"), "1000");
    EXPECT_EQ(Count(centre.SecondaryDatabase(), "select count(*) from ST_PPTN_R"), "1000");
}

TEST(DataCentre, StationsimAnswersQueuedCommands)
{
    RtuProcess centre;
    START_CENTRE(centre);
    // Waiting commands go out as soon as their stations are bound.
    QueueCommand(centre, "0000000301", "41", " 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0F 1F ");
    QueueCommand(centre, "0000000302", "38", "2405060824050610 DRN05 DRP ");

    std::string output;
    const int status = RunStationsim("--port " + std::to_string(centre.Port()) +
                                         " --base 301 --stations 2 --rate 4 --duration 6 --verbose --expect-acks",
                                     output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("0000000301 <- command 41"), std::string::npos) << output;
    EXPECT_NE(output.find("0000000302 <- command 38"), std::string::npos) << output;
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from SendCommandInfo where Status = 1"), "2");
    EXPECT_NE(Count(centre.MainDatabase(), "select count(*) from ReceiveData where CommandName = '41'"), "0");
    EXPECT_NE(Count(centre.MainDatabase(), "select count(*) from ReceiveData where CommandName = '38'"), "0");
}

TEST(DataCentre, StationsimPicturesAreFiledWindowByWindow)
{
    RtuProcess centre;
    START_CENTRE(centre);
    // 12 packets of 1000 bytes: windows acknowledged with 5, 10 and 12.
    std::string output;
    const int status = RunStationsim("--port " + std::to_string(centre.Port()) +
                                         " --base 401 --stations 2 --count 1 --fast --picture 12000 --packet-size 1000"
                                         " --expect-acks --drain 30",
                                     output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("pictures: started 2, completed 2"), std::string::npos) << output;
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    // Each station's file holds exactly the bytes it sent (the simulator's
    // picture of seed 1 and its station index).
    for (int index = 0; index < 2; ++index) {
        const std::string station = sim::StationAddress(401 + static_cast<std::uint64_t>(index));
        std::string found;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(centre.Folder() + "/Pict")) {
            if (entry.is_regular_file() && entry.path().string().find(station + "-01-1-0001") != std::string::npos) {
                found = entry.path().string();
            }
        }
        ASSERT_FALSE(found.empty()) << "no picture file for " << station;
        std::ifstream in(found, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes == sim::PictureBytes(12000, 31u + static_cast<std::uint32_t>(index)), true) << found;
    }
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from DeviceImage where CameraNo = 1 and PicFlag = '0001'"),
              "2");
}

TEST(DataCentre, StationsimMixInRegistrationModeAndRefusedPasswords)
{
    CentreSettings settings;
    settings.regMode = 1;
    RtuProcess centre(settings);
    START_CENTRE(centre);

    std::string output;
    int status = RunStationsim("--port " + std::to_string(centre.Port()) +
                                   " --mode registration --stations 20 --count 8 --fast --kind mix --expect-acks",
                               output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("registrations: echoed 20, failed 0"), std::string::npos) << output;

    output.clear();
    status = RunStationsim("--port " + std::to_string(centre.Port()) +
                               " --mode registration --base 501 --stations 5 --wrong-password --expect-close",
                           output);
    EXPECT_EQ(status, 0) << output;
    ASSERT_EQ(centre.Stop(), 0) << centre.Output();

    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from ReceiveData"), "160");
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from ReceiveData where YCZNo >= '0000000501'"), "0");
    EXPECT_EQ(Count(centre.MainDatabase(), "select count(*) from DeviceHourData where CommandName = '34'"), "240");
}

}  // namespace
}  // namespace rtu::e2e
