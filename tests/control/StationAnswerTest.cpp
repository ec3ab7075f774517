// The operator's view of stations' answers: the text of every answer code,
// the hand-over to the pages, and the period data of DRP and DRZ1 answers.
#include "rtu/control/BaseConfig.h"
#include "rtu/control/StationAnswer.h"

#include "ControlTestSupport.h"

#include <gtest/gtest.h>

namespace rtu::control {
namespace {

using test::AnswerFrame;
using test::NamedTexts;

const std::string kStation = "0000000042";
const std::string kPart = " ST 0000000042 H";

std::string Hex(int count, const char* pair)
{
    std::string hex;
    for (int i = 0; i < count; ++i) hex += pair;
    return hex;
}

TEST(StationAnswer, TextOfEveryAnswerCode)
{
    const TextLookup texts = NamedTexts({{"MainFrame.Text29", "Version of %s: %s"}, {"MainFrame.Text35", "Station"}});
    const std::string head = "Station:" + kStation + "\r\n";

    const struct {
        int code;
        const char* functionCode;
        const char* key;
        bool dataPanel;
        AnswerAction action;
    } simple[] = {
        {4, "48", "Text39", true, AnswerAction::kNone},      {5, "47", "Text40", true, AnswerAction::kNone},
        {6, "E2", "Text41", true, AnswerAction::kDropLink},  {7, "41", "Text43", false, AnswerAction::kBaseConfigReply},
        {8, "40", "Text44", false, AnswerAction::kNone},     {9, "43", "Text45", false, AnswerAction::kRunConfigReply},
        {10, "42", "Text46", false, AnswerAction::kNone},    {11, "E1", "Text42", false, AnswerAction::kNone},
        {14, "4A", "Text48", false, AnswerAction::kNone},
    };
    for (const auto& s : simple) {
        const StationAnswer a = PresentAnswer(s.code, AnswerFrame(kStation, s.functionCode, kPart), texts);
        EXPECT_EQ(a.station, kStation);
        EXPECT_EQ(a.logText, head + "MainFrame." + s.key) << s.code;
        EXPECT_EQ(a.showInDataPanel, s.dataPanel) << s.code;
        EXPECT_EQ(a.action, s.action) << s.code;
    }

    // 45: the text from frame offset 57 up to the end character.
    StationAnswer a = PresentAnswer(1, AnswerFrame(kStation, "45", kPart + " VER 2.1"), texts);
    EXPECT_EQ(a.logText, "Version of " + kStation + ": VER 2.1");
    EXPECT_TRUE(a.showInDataPanel);
    // Shorter than 62 characters: an empty version, nothing read before offset 57.
    a = PresentAnswer(1, AnswerFrame(kStation, "45", " ST"), texts);
    EXPECT_EQ(a.logText, "Version of " + kStation + ": ");
    // Cut to 1023 characters.
    a = PresentAnswer(1, AnswerFrame(kStation, "45", kPart + " " + std::string(2000, 'v')), texts);
    EXPECT_EQ(a.logText.size(), std::string("Version of " + kStation + ": ").size() + 1023);

    // 37: five element lines; a missing VT leaves its label before "(V)".
    a = PresentAnswer(2, AnswerFrame(kStation, "37", kPart + " PJ 12.5 PT 100.0 Z 3.21 Q 0.5 "), texts);
    EXPECT_EQ(a.logText, head + "MainFrame.Text3012.5(mm)\r\nMainFrame.Text31100.0(mm)\r\nMainFrame.Text323.21(m)\r\n"
                                "MainFrame.Text330.5(m^3/s)\r\nMainFrame.Text34(V)");
    // The last element directly before the end character is read.
    a = PresentAnswer(2, AnswerFrame(kStation, "37", kPart + " VT 12.6"), texts);
    EXPECT_EQ(a.logText.substr(a.logText.size() - 25), "\r\nMainFrame.Text3412.6(V)");

    // 39: 5-minute rainfall before water level; neither gives Text38.
    a = PresentAnswer(3, AnswerFrame(kStation, "39", kPart + " Z 3.21 PN05 0.5 "), texts);
    EXPECT_EQ(a.logText, head + "MainFrame.Text360.5(mm)\r\n");
    a = PresentAnswer(3, AnswerFrame(kStation, "39", kPart + " Z 3.21 "), texts);
    EXPECT_EQ(a.logText, head + "MainFrame.Text373.21(m)\r\n");
    a = PresentAnswer(3, AnswerFrame(kStation, "39", kPart), texts);
    EXPECT_EQ(a.logText, head + "MainFrame.Text38");

    // 51: the answer's send time.
    a = PresentAnswer(13, AnswerFrame(kStation, "51", kPart, "240506123045"), texts);
    EXPECT_EQ(a.logText, head + "MainFrame.Text472024-05-06 12:30:45");
    EXPECT_EQ(a.clockTime, "2024-05-06 12:30:45");
    EXPECT_EQ(a.action, AnswerAction::kClockReply);
    EXPECT_FALSE(a.showInDataPanel);

    // 38 posts an empty text; unknown codes too.
    a = PresentAnswer(12, AnswerFrame(kStation, "38", kPart + " TT 2405062300 DRP " + Hex(12, "0C")), texts);
    EXPECT_EQ(a.logText, "");
    EXPECT_EQ(a.action, AnswerAction::kPeriodReply);
    for (int code : {0, 15, -1}) {
        a = PresentAnswer(code, AnswerFrame(kStation, "30", kPart), texts);
        EXPECT_EQ(a.logText, "");
        EXPECT_EQ(a.action, AnswerAction::kNone);
    }
}

TEST(StationAnswer, ShortFramesAreReadOnlyAsFarAsTheyGo)
{
    const TextLookup texts = NamedTexts();
    // A frame cut inside its send time: the clock shows no time.
    const std::string full = AnswerFrame(kStation, "51", "");
    for (std::size_t size : {0u, 2u, 10u, 30u, 40u, 44u}) {
        const StationAnswer a = PresentAnswer(13, std::string_view(full).substr(0, size), texts);
        EXPECT_EQ(a.clockTime, "") << size;
    }
    for (int code = 1; code <= 14; ++code) {
        const StationAnswer a = PresentAnswer(code, std::string_view(full).substr(0, 7), texts);
        EXPECT_EQ(a.station, std::string(full.substr(3, 4)));
    }
}

TEST(StationAnswer, ConfigurationAnswersOnlyFromTheStationAsked)
{
    const TextLookup texts = NamedTexts();
    AskedStations asked;
    const std::string frame = AnswerFrame(kStation, "41", " 01 01020304 02 0000000042 ");

    // Nothing asked yet, or another station asked: the grid is left alone.
    StationAnswer a = PresentAnswer(7, frame, texts, &asked);
    EXPECT_TRUE(a.ignored);
    EXPECT_EQ(a.action, AnswerAction::kNone);
    EXPECT_EQ(a.logText, "MainFrame.Text35:" + kStation + "\r\nMainFrame.Text52");
    asked.Asked(AskedReply::kBaseConfig, "0000000007");
    EXPECT_TRUE(PresentAnswer(7, frame, texts, &asked).ignored);

    asked.Asked(AskedReply::kBaseConfig, kStation);
    a = PresentAnswer(7, frame, texts, &asked);
    EXPECT_FALSE(a.ignored);
    ASSERT_EQ(a.action, AnswerAction::kBaseConfigReply);
    ConfigGrid grid = NewBaseConfigGrid(texts);
    ShowBaseConfigReply(a.replyBody, grid, texts);
    EXPECT_EQ(grid.Get(13, 1), kStation);
    EXPECT_EQ(grid.Get(7, 3), "04");

    // The running parameters page asked nobody: its answers are ignored.
    EXPECT_TRUE(PresentAnswer(9, AnswerFrame(kStation, "43", " 20 01 "), texts, &asked).ignored);
    // Without a tracker every answer is handed over.
    EXPECT_EQ(PresentAnswer(9, AnswerFrame(kStation, "43", " 20 01 "), texts).action, AnswerAction::kRunConfigReply);
}

TEST(PeriodData, RainfallRowsRollOverDaysAndMonths)
{
    std::string hex = "0C" + Hex(10, "00") + "FF" + Hex(24, "05");
    const auto data = ExtractPeriodData(AnswerFrame(kStation, "38", kPart + " TT 2405062300 DRP " + hex));
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->kind, PeriodKind::kRainfall);
    EXPECT_EQ(data->observationTime, "2405062300");
    ASSERT_EQ(data->bytes.size(), 36u);

    std::vector<PeriodRow> rows = PeriodRows(data->observationTime, data->bytes, data->kind);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].label, "2024-05-06 23:00");
    EXPECT_EQ(rows[1].label, "2024-05-07 00:00");
    EXPECT_EQ(rows[2].label, "2024-05-07 01:00");
    EXPECT_EQ(rows[0].values[0], "1.2");
    EXPECT_EQ(rows[0].values[1], "0.0");
    EXPECT_EQ(rows[0].values[11], "FF");
    EXPECT_EQ(rows[2].values[11], "0.5");

    const std::vector<std::uint8_t> day(24, 0x01);
    rows = PeriodRows("2402282300", day, PeriodKind::kRainfall);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].label, "2024-02-29 00:00");
    rows = PeriodRows("2302282300", day, PeriodKind::kRainfall);
    EXPECT_EQ(rows[1].label, "2023-03-01 00:00");
    rows = PeriodRows("2312312300", day, PeriodKind::kRainfall);
    EXPECT_EQ(rows[1].label, "2024-01-01 00:00");
    // Hour 24 is 00:00 of the next day; left-over bytes give no row.
    rows = PeriodRows("2405062400", std::vector<std::uint8_t>(35, 0x01), PeriodKind::kRainfall);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].label, "2024-05-07 00:00");

    for (const char* time : {"", "2405", "24050623", "2413062300", "2402302300", "2405062500", "24O5062300"}) {
        EXPECT_EQ(PeriodRows(time, day, PeriodKind::kRainfall).size(), std::string_view(time) == "24050623" ? 2u : 0u)
            << time;
    }
}

TEST(PeriodData, LevelRowsUseTwoBytesPerValue)
{
    const std::string hex = "04B5" + Hex(10, "0064") + "FFFF";
    const auto data = ExtractPeriodData(AnswerFrame(kStation, "38", kPart + " TT 2405060800 DRZ1 " + hex));
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->kind, PeriodKind::kWaterLevel);
    const std::vector<PeriodRow> rows = PeriodRows(data->observationTime, data->bytes, data->kind);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].label, "2024-05-06 08:00");
    EXPECT_EQ(rows[0].values[0], "12.05");
    EXPECT_EQ(rows[0].values[1], "1.00");
    EXPECT_EQ(rows[0].values[11], "FFFF");
    EXPECT_EQ(PeriodColumnTitles()[11], "60");
}

TEST(PeriodData, DataAreBoundedByTheValue)
{
    // Blanks between the hours are dropped; elements after the data, the end
    // character and the check code are not read as data.
    auto data = ExtractPeriodData(AnswerFrame(kStation, "38", " TT 2405060800 DRP " + Hex(12, "01") + " " +
                                                                  Hex(12, "02") + " VT 12.5 "));
    ASSERT_TRUE(data.has_value());
    ASSERT_EQ(data->bytes.size(), 24u);
    EXPECT_EQ(data->bytes[23], 0x02);

    // A last odd digit is ignored; no data at all gives no bytes.
    data = ExtractPeriodData(AnswerFrame(kStation, "38", " TT 2405060800 DRP 0102030"));
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->bytes, (std::vector<std::uint8_t>{1, 2, 3}));
    data = ExtractPeriodData(AnswerFrame(kStation, "38", " TT 2405060800 DRP"));
    ASSERT_TRUE(data.has_value());
    EXPECT_TRUE(data->bytes.empty());

    // DRP wins over DRZ1; neither gives nothing.
    data = ExtractPeriodData(AnswerFrame(kStation, "38", " DRZ1 0001 DRP 05"));
    EXPECT_EQ(data->kind, PeriodKind::kRainfall);
    EXPECT_FALSE(ExtractPeriodData(AnswerFrame(kStation, "38", " TT 2405060800 PN05 1.0")).has_value());
    EXPECT_FALSE(ExtractPeriodData("").has_value());
    EXPECT_FALSE(ExtractPeriodData(std::string(1, '\x01') + "DRP").has_value());
}

}  // namespace
}  // namespace rtu::control
