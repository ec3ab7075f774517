#include "rtu/runtime/TextFormat.h"

#include "RuntimeTestSupport.h"

namespace rtu {
namespace {

TEST(TextFormatTest, MatchingTextsAreFilledLikePrintf)
{
    EXPECT_EQ(FormatText("Service started on port %d.", {5001}), "Service started on port 5001.");
    EXPECT_EQ(FormatText("Serial port %s opened at %s baud.", {"COM1", std::string("115200")}),
              "Serial port COM1 opened at 115200 baud.");
    EXPECT_EQ(FormatText("Telemetry Centre %s", {std::string_view("1.1.0")}), "Telemetry Centre 1.1.0");
    EXPECT_EQ(FormatText("/dev/ttyS%d", {0}), "/dev/ttyS0");
    EXPECT_EQ(FormatText("[%5d|%-5d|%05d|%+d|%x|%X|%#o|%.3d]", {42, 42, 42, 42, 255, 255, 8, 7}),
              "[   42|42   |00042|+42|ff|FF|010|007]");
    EXPECT_EQ(FormatText("[%6s|%-6s|%.2s]", {"ab", "ab", "abcdef"}), "[    ab|ab    |ab]");
    EXPECT_EQ(FormatText("%ld %hu %lld", {-3, static_cast<unsigned short>(65535), 1LL << 40}),
              "-3 65535 1099511627776");
    EXPECT_EQ(FormatText("%d", {static_cast<std::uint64_t>(1) << 63}), "9223372036854775808");
}

TEST(TextFormatTest, PercentSignsAndFewerFieldsThanValuesAreFine)
{
    EXPECT_EQ(FormatText("100%% of %d", {7}), "100% of 7");
    EXPECT_EQ(FormatText("%%d stays", {7}), "%d stays");
    EXPECT_EQ(FormatText("Service started", {5001}), "Service started");
    EXPECT_EQ(FormatText("%s only", {"a", "b"}), "a only");
    EXPECT_EQ(FormatText("", {5001}), "");
}

TEST(TextFormatTest, TextsThatDoNotFitTheirValuesAreShownUnformattedWithTheValues)
{
    struct Case {
        const char* format;
        const char* expected;
    };
    const Case cases[] = {
        {"port %s", "port %s 5001"},              // text field for an integer
        {"port %d %d", "port %d %d 5001"},        // more fields than values
        {"port %n%d", "port %n%d 5001"},          // writes memory in printf
        {"port %hn", "port %hn 5001"},
        {"port %*d", "port %*d 5001"},            // width taken from the arguments
        {"port %1$d", "port %1$d 5001"},          // numbered argument
        {"port %f", "port %f 5001"},
        {"port %c", "port %c 5001"},
        {"port %p", "port %p 5001"},
        {"port %", "port % 5001"},                // lone percent at the end
        {"port %999999999d", "port %999999999d 5001"},
        {"port %.300d", "port %.300d 5001"},
        {"port %#d", "port %#d 5001"},            // flag C leaves undefined for d
        {"port %ls", "port %ls 5001"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(FormatAccepts(c.format, {5001})) << c.format;
        EXPECT_EQ(FormatText(c.format, {5001}), c.expected) << c.format;
    }
    EXPECT_EQ(FormatText("%d station", {"0012345678"}), "%d station 0012345678");
    EXPECT_EQ(FormatText("%s at %s", {"COM1", 115200}), "%s at %s COM1 115200");
    EXPECT_EQ(FormatText("%05s", {"ab"}), "%05s ab") << "0 flag is undefined for %s";
}

TEST(TextFormatTest, WidthsUpToTheLimitStayBounded)
{
    EXPECT_EQ(FormatText("%256d", {1}).size(), 256u);
    EXPECT_EQ(FormatText("%256s", {"x"}).size(), 256u);
    EXPECT_EQ(FormatText("%.256d", {-1}).size(), 257u);
}

using ConfigTextTest = test::WorkingFolder;

TEST_F(ConfigTextTest, ConfigTextsAreLookedUpFilledAndBadOnesLoggedOnce)
{
    WriteFile("config.ini", "[MainFrame]\nText8=Listening on %d\nText11=Stopped %n\n");
    test::LogCapture log;
    EXPECT_EQ(FormatConfigText("MainFrame", "Text8", {5001}), "Listening on 5001");
    EXPECT_EQ(FormatConfigText("MainFrame", "Text11", {5001}), "Stopped %n 5001");
    EXPECT_EQ(FormatConfigText("MainFrame", "Text11", {5001}), "Stopped %n 5001");
    EXPECT_EQ(FormatConfigText("MainFrame", "Missing", {5001}), "");
    int reports = 0;
    for (const std::string& line : log.Lines()) {
        reports += line.find("Text11") != std::string::npos;
    }
    EXPECT_EQ(reports, 1);
}

}  // namespace
}  // namespace rtu
