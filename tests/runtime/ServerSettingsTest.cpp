#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/Settings.h"

#include "RuntimeTestSupport.h"

#include <climits>
#include <cstdint>
#include <map>

namespace rtu {
namespace {

// Settings from an in-memory table of (section, key) -> text.
ServerSettings ReadFrom(const std::map<std::pair<std::string, std::string>, std::string>& table)
{
    return ReadServerSettings([&](std::string_view section, std::string_view key) {
        auto found = table.find({std::string(section), std::string(key)});
        return found == table.end() ? std::string() : found->second;
    });
}

TEST(ServerSettingsTest, AnEmptyFileGivesEveryDefault)
{
    ServerSettings s = ReadFrom({});
    EXPECT_EQ(s.port, 5001);
    EXPECT_EQ(s.offLine, 120);
    EXPECT_EQ(s.main.source, "127.0.0.1");
    EXPECT_EQ(s.main.name, "Demo");
    EXPECT_EQ(s.main.user, "sa");
    EXPECT_EQ(s.main.pwd, "");
    EXPECT_EQ(s.main.driver, "");
    EXPECT_EQ(s.main.tdsVersion, "");
    EXPECT_FALSE(s.main.Used());
    EXPECT_EQ(s.pict, "");
    EXPECT_EQ(s.protMode, 0);
    EXPECT_EQ(s.regMode, 0);
    EXPECT_EQ(s.cent, "01");
    EXPECT_EQ(s.centPwd, "B7E2");
    EXPECT_EQ(s.rebootHours, 0);
    EXPECT_EQ(s.RebootPeriod().count(), 0);
    EXPECT_EQ(s.third.source, "127.0.0.1");
    EXPECT_EQ(s.third.name, "Demo");
    EXPECT_EQ(s.third.user, "sa");
    EXPECT_FALSE(s.third.Used());
    EXPECT_EQ(s.comm.mode, 0);
    EXPECT_EQ(s.comm.com, "COM1");
    EXPECT_EQ(s.comm.baudRate, "115200");
    EXPECT_EQ(s.comm.byteSize, 0);
    EXPECT_EQ(s.comm.stopBit, 0);
    EXPECT_EQ(s.comm.parity, 0);
    EXPECT_EQ(s.comm.devicePattern, "/dev/ttyS%d");
    EXPECT_EQ(s.unboundTimeout, 120u);
    EXPECT_EQ(s.maxUnsentKB, 1024u);

    ServerSettings constructed;
    EXPECT_EQ(constructed.port, s.port);
    EXPECT_EQ(constructed.centPwd, s.centPwd);
    EXPECT_EQ(constructed.comm.devicePattern, s.comm.devicePattern);
}

TEST(ServerSettingsTest, WrittenValuesAreKeptAsRead)
{
    ServerSettings s = ReadFrom({{{"Set", "Port"}, "6000"},
                                 {{"Set", "OffLine"}, "300"},
                                 {{"Set", "Driver"}, "SQLite3"},
                                 {{"Set", "Name"}, "rtu.db"},
                                 {{"Set", "Pwd"}, "p;w}d"},
                                 {{"Set", "DBMode"}, "1"},
                                 {{"Set", "CentPwd"}, "b7e2"},
                                 {{"Set", "Reboot"}, "24"},
                                 {{"Set", "UnboundTimeout"}, "0"},
                                 {{"Set", "MaxUnsentKB"}, "64"},
                                 {{"SetThird", "Driver"}, "FreeTDS"},
                                 {{"SetThird", "TDS_Version"}, "7.4"},
                                 {{"SetThird", "DBMode"}, "1"},
                                 {{"COMM", "COM"}, "/dev/ttyUSB0"},
                                 {{"COMM", "BYTESIZE"}, "3"},
                                 {{"COMM", "PATITY"}, "2"},
                                 {{"COMM", "DevicePattern"}, "/dev/ttyUSB%d"}});
    EXPECT_EQ(s.port, 6000);
    EXPECT_EQ(s.offLine, 300);
    EXPECT_EQ(s.main.driver, "SQLite3");
    EXPECT_EQ(s.main.name, "rtu.db");
    EXPECT_EQ(s.main.pwd, "p;w}d");
    EXPECT_TRUE(s.main.Used());
    EXPECT_EQ(s.centPwd, "b7e2") << "start-up keeps the text as written";
    EXPECT_EQ(s.RebootPeriod().count(), 24LL * 3600 * 1000);
    EXPECT_EQ(s.unboundTimeout, 0u) << "0 never closes an unbound connection";
    EXPECT_EQ(s.maxUnsentKB, 64u);
    EXPECT_EQ(s.third.driver, "FreeTDS");
    EXPECT_EQ(s.third.tdsVersion, "7.4");
    EXPECT_TRUE(s.third.Used());
    EXPECT_EQ(s.comm.com, "/dev/ttyUSB0");
    EXPECT_EQ(s.comm.byteSize, 3);
    EXPECT_EQ(s.comm.parity, 2);
    EXPECT_EQ(s.comm.devicePattern, "/dev/ttyUSB%d");
}

TEST(ServerSettingsTest, NumbersAreReadLikeAtoi)
{
    EXPECT_EQ(AtoiText("  42abc"), 42);
    EXPECT_EQ(AtoiText("+7"), 7);
    EXPECT_EQ(AtoiText("-15"), -15);
    EXPECT_EQ(AtoiText("abc"), 0);
    EXPECT_EQ(AtoiText(""), 0);
    EXPECT_EQ(AtoiText("- 3"), 0);
    EXPECT_EQ(AtoiText("99999999999999999999999"), LLONG_MAX);
    EXPECT_EQ(AtoiText("-99999999999999999999999"), LLONG_MIN);

    ServerSettings s = ReadFrom({{{"Set", "Port"}, " 5002 # port"}, {{"Set", "DBMode"}, "1x"}});
    EXPECT_EQ(s.port, 5002);
    EXPECT_TRUE(s.main.Used());
}

TEST(ServerSettingsTest, PortZeroOrMissingListensOn5001)
{
    EXPECT_EQ(ReadFrom({{{"Set", "Port"}, "0"}}).port, 5001);
    EXPECT_EQ(ReadFrom({}).port, 5001);
    EXPECT_EQ(ReadFrom({{{"Set", "Port"}, "65535"}}).port, 65535);
    EXPECT_EQ(ReadFrom({{{"Set", "Port"}, "1"}}).port, 1);
}

TEST(ServerSettingsTest, APortOutsideTheRangeIsLoggedAndNotWrapped)
{
    for (const char* text : {"70000", "65536", "-1", "99999999999999999999"}) {
        test::LogCapture log;
        EXPECT_EQ(ReadFrom({{{"Set", "Port"}, text}}).port, 5001) << text;
        EXPECT_TRUE(log.Contains(std::string("Port=") + text + " is outside 1..65535")) << text;
    }
}

TEST(ServerSettingsTest, OffLineBelow120IsUsedAs120AndAboveTheRangeIsHeld)
{
    test::LogCapture log;
    EXPECT_EQ(ReadFrom({{{"Set", "OffLine"}, "30"}}).offLine, 120);
    EXPECT_TRUE(log.Contains("OffLine=30 is below 120"));
    EXPECT_EQ(ReadFrom({{{"Set", "OffLine"}, "-5"}}).offLine, 120) << "not 65531 seconds";
    EXPECT_EQ(ReadFrom({{{"Set", "OffLine"}, "120"}}).offLine, 120);
    EXPECT_EQ(ReadFrom({{{"Set", "OffLine"}, "70000"}}).offLine, 65535);
    EXPECT_TRUE(log.Contains("OffLine=70000 is above 65535"));
}

TEST(ServerSettingsTest, ModesOutsideTheirRangeAreLoggedAndNeverWrapped)
{
    test::LogCapture log;
    ServerSettings s = ReadFrom({{{"Set", "DBMode"}, "65537"}, {{"COMM", "MODE"}, "65536"},
                                 {{"Set", "RegMode"}, "-40000"}});
    EXPECT_FALSE(s.main.Used()) << "65537 must not wrap to 1";
    EXPECT_NE(s.comm.mode, 0) << "65536 must not wrap to 0";
    EXPECT_EQ(s.regMode, INT16_MIN);
    EXPECT_TRUE(log.Contains("DBMode=65537 is outside -32768..32767"));
    EXPECT_TRUE(log.Contains("MODE=65536 is outside"));

    // Serial values outside what the line understands are reported but kept.
    ServerSettings serial = ReadFrom({{{"COMM", "BYTESIZE"}, "4"}, {{"COMM", "PATITY"}, "3"}});
    EXPECT_EQ(serial.comm.byteSize, 4);
    EXPECT_EQ(serial.comm.parity, 3);
    EXPECT_TRUE(log.Contains("BYTESIZE=4 is outside 0..3"));
    EXPECT_TRUE(log.Contains("PATITY=3 is outside 0..2"));
}

// A port that is not a whole number is refused (held at 0: the service does
// not start); the other values are reported naming the key and the outcome.
TEST(ServerSettingsTest, ValuesTheCentreCannotHonourAreRefusedOrReportedByKey)
{
    const std::string none = "frame received over the network and acknowledges none";
    const struct {
        const char *section, *key, *text;
        std::string logged;  // empty: nothing is logged
        int port;
    } cases[] = {
        {"Set", "Port", "52O2", "Port=52O2 is not a whole number: the service does not start", 0},
        {"Set", "Port", "abc", "Port=abc is not a whole number", 0},
        {"Set", "Port", " 5002 ; the station port", "", 5002},
        {"Set", "OffLine", "300s", "OffLine=300s is not a whole number; it is read as 300", 5001},
        {"Set", "DBMode", "2", "[Set] DBMode=2 is neither 0 nor 1: the main database is not used", 5001},
        {"SetThird", "DBMode", "-1", "DBMode=-1 is neither 0 nor 1: the secondary database is not used", 5001},
        {"Set", "ProtMode", "1", "ProtMode=1 is not 0 (the telemetry protocol): the centre ignores every " + none,
         5001},
        {"Set", "RegMode", "2",
         "RegMode=2 is neither 0 (plain) nor 1 (registration): the centre ignores every " + none, 5001},
    };
    for (const auto& c : cases) {
        test::LogCapture log;
        EXPECT_EQ(ReadFrom({{{c.section, c.key}, c.text}}).port, c.port) << c.key << "=" << c.text;
        EXPECT_EQ(log.Lines().size(), c.logged.empty() ? 0u : 1u) << c.key << "=" << c.text;
        EXPECT_EQ(log.CountContaining(c.logged), c.logged.empty() ? 0 : 1) << c.key << "=" << c.text;
    }
}

TEST(ServerSettingsTest, ConnectionLimitsOutsideTheirRangeKeepTheDefaults)
{
    ServerSettings s = ReadFrom({{{"Set", "UnboundTimeout"}, "-1"}, {{"Set", "MaxUnsentKB"}, "1048577"}});
    EXPECT_EQ(s.unboundTimeout, 120u);
    EXPECT_EQ(s.maxUnsentKB, 1024u);
}

TEST(ServerSettingsTest, RebootThatIsNotPositiveMeansNoRestart)
{
    EXPECT_EQ(ReadFrom({{{"Set", "Reboot"}, "0"}}).RebootPeriod().count(), 0);
    EXPECT_EQ(ReadFrom({{{"Set", "Reboot"}, "-3"}}).RebootPeriod().count(), 0);
    ServerSettings huge = ReadFrom({{{"Set", "Reboot"}, "99999999999"}});
    EXPECT_EQ(huge.rebootHours, INT_MAX);
    EXPECT_GT(huge.RebootPeriod().count(), 0) << "no overflow of the period";
}

using SettingsFileTest = test::WorkingFolder;

TEST_F(SettingsFileTest, TheServiceDialogWritesItsKeysAndCentPwdInUpperCase)
{
    WriteFile("server.ini", "; delivered\n[Set]\nPort=5001\nDriver=SQLite3\n[COMM]\nMODE=0\n");
    FixSettingsPath();
    ServerSettings s = LoadServerSettings();
    s.port = 6001;
    s.offLine = 30;
    s.centPwd = "ab12";
    s.main.dbMode = 1;
    s.pict = "Pictures";
    ASSERT_TRUE(SaveServiceSettings(s));
    EXPECT_EQ(s.centPwd, "AB12");
    EXPECT_EQ(ReadSetting("Set", "CentPwd"), "AB12");
    EXPECT_EQ(ReadSetting("Set", "Port"), "6001");
    EXPECT_EQ(ReadSetting("Set", "OffLine"), "30");
    EXPECT_EQ(ReadSetting("Set", "Driver"), "SQLite3") << "keys the dialog does not edit stay";

    ServerSettings again = LoadServerSettings();
    EXPECT_EQ(again.port, 6001);
    EXPECT_EQ(again.offLine, 120) << "the start-up correction applies at the next start";
    EXPECT_TRUE(again.main.Used());
    EXPECT_EQ(again.pict, "Pictures");

    s.comm.mode = 1;
    s.comm.com = "COM3";
    s.comm.parity = 2;
    ASSERT_TRUE(SaveSerialSettings(s.comm));
    ServerSettings serial = LoadServerSettings();
    EXPECT_EQ(serial.comm.mode, 1);
    EXPECT_EQ(serial.comm.com, "COM3");
    EXPECT_EQ(serial.comm.parity, 2);
    EXPECT_EQ(ReadFile("server.ini").rfind("; delivered\n[Set]\nPort=6001\n", 0), 0u);
}

TEST_F(SettingsFileTest, AMissingOrUtf16ServerIniIsReportedWithTheDefaultsItGives)
{
    FixSettingsPath(PathOf("server.ini"));
    std::string utf16 = "\xFF\xFE";  // "[Set] Port=6001 DBMode=1" in UTF-16 with its mark
    for (char c : std::string("[Set]\nPort=6001\nDBMode=1\n")) utf16 += std::string{c, '\0'};
    for (const std::string& content : {std::string(), utf16, std::string("[Set]\nPort=6001\n")}) {
        if (!content.empty()) WriteFile("server.ini", content);
        const bool readable = content.rfind("[Set]", 0) == 0;
        test::LogCapture log;
        const ServerSettings s = LoadServerSettings();
        EXPECT_EQ(s.port, readable ? 6001 : 5001);
        EXPECT_FALSE(s.main.Used());
        EXPECT_EQ(log.CountContaining(content.empty() ? "server.ini not found at " + PathOf("server.ini")
                                                      : "is UTF-16 (or holds zero bytes) and cannot be decoded"),
                  readable ? 0 : 1);
        EXPECT_EQ(log.Lines().size(), readable ? 0u : 1u);
    }
}

}  // namespace
}  // namespace rtu
