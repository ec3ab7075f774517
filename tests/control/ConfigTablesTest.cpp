// Base configuration (40/41) and running parameters (42/43): the grids'
// cell maps, the filling from answers and the bodies a save sends.
#include "rtu/control/BaseConfig.h"
#include "rtu/control/RunConfig.h"

#include "ControlTestSupport.h"

#include <gtest/gtest.h>

namespace rtu::control {
namespace {

using test::NamedTexts;

// The elements of a full 41 answer, in the order a save writes them.
const std::string kBaseElements =
    "01 01020304 02 0000000001 03 1234 04 02192168001010005005 05 00 06 01host.example 07 00 08 00 09 00 "
    "0A 00 0B 00 0C 03 0D 8001000000000000 0F 3130313233 1F 7 ";

ConfigGrid BaseGridFromReply(const TextLookup& texts, const std::string& elements = kBaseElements)
{
    ConfigGrid grid = NewBaseConfigGrid(texts);
    ShowBaseConfigReply("0001240506123045 " + elements + "\x03" "ABCD", grid, texts);
    return grid;
}

std::string SavedBody(const ConfigGrid& grid, const TextLookup& texts)
{
    const SaveResult result = BaseConfigSaveCommand(grid, texts);
    EXPECT_FALSE(result.refusal.has_value()) << (result.refusal ? result.refusal->message : "");
    return result.command ? result.command->text : std::string();
}

TEST(BaseConfig, ReadBackAsksForTheFifteenIdentifiers)
{
    const Command read = BaseConfigReadCommand();
    EXPECT_EQ(read.functionCode, "41");
    EXPECT_EQ(read.text, " 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0F 1F ");
    EXPECT_EQ(read.text.size(), 46u);
}

TEST(BaseConfig, AnswerFillsEveryCellAndSavesBackUnchanged)
{
    const TextLookup texts = NamedTexts();
    const ConfigGrid grid = BaseGridFromReply(texts);

    EXPECT_EQ(grid.Get(1, 1), "01");
    EXPECT_EQ(grid.Get(1, 3), "02");
    EXPECT_EQ(grid.Get(7, 1), "03");
    EXPECT_EQ(grid.Get(7, 3), "04");
    EXPECT_EQ(grid.Get(13, 1), "0000000001");
    EXPECT_EQ(grid.Get(14, 1), "1234");
    EXPECT_EQ(grid.Get(2, 1), "BaseConfig.AddString1-2-2");
    EXPECT_EQ(grid.Get(3, 1), "192.168.1.10:5005");
    EXPECT_EQ(grid.Get(4, 1), "BaseConfig.AddString1-2-0");
    EXPECT_EQ(grid.Get(5, 1), "");
    EXPECT_EQ(grid.Get(2, 3), "BaseConfig.AddString1-2-1");
    EXPECT_EQ(grid.Get(3, 3), "host.example");
    EXPECT_EQ(grid.Get(16, 1), "BaseConfig.AddString1-16-2");
    EXPECT_EQ(grid.Get(15, 3), "BaseConfig.AddString3-15-1");
    EXPECT_EQ(grid.Get(16, 3), "BaseConfig.AddString3-15-1");
    EXPECT_EQ(grid.Get(15, 1), "BaseConfig.AddString1-15-0");
    EXPECT_EQ(grid.Get(13, 3), "123");
    EXPECT_EQ(grid.Get(14, 3), "7");
    EXPECT_EQ(grid.Get(3, 0), "BaseConfig.Item3");
    EXPECT_EQ(grid.Get(3, 2), "BaseConfig.Item3-2");
    EXPECT_EQ(grid.Get(12, 2), "");

    const SaveResult saved = BaseConfigSaveCommand(grid, texts);
    ASSERT_TRUE(saved.command.has_value());
    EXPECT_EQ(saved.command->functionCode, "40");
    EXPECT_EQ(saved.command->text, kBaseElements);
}

TEST(BaseConfig, ValuesAreWrittenInTheirWireFormat)
{
    const TextLookup texts = NamedTexts();
    ConfigGrid grid = BaseGridFromReply(texts);
    grid.Set(3, 1, "10.0.0.7:5005");
    grid.Set(9, 3, "10.0.0.7:5005");
    grid.Set(8, 3, "BaseConfig.AddString1-2-2");
    grid.Set(5, 1, "not used by a channel of type 00");
    grid.Set(16, 3, "BaseConfig.AddString3-15-0");
    grid.Set(16, 1, "BaseConfig.AddString1-16-3");
    const std::string body = SavedBody(grid, texts);
    EXPECT_NE(body.find(" 04 02010000000007005005 05 00 "), std::string::npos) << body;
    EXPECT_NE(body.find(" 0A 02010000000007005005 "), std::string::npos) << body;
    EXPECT_NE(body.find(" 0C 04 0D 8000000000000000 "), std::string::npos) << body;
    EXPECT_EQ(body.back(), ' ');
    EXPECT_NE(body.front(), ' ');
}

struct Refused {
    Cell cell;
    std::string text;
    SaveFault fault;
};

TEST(BaseConfig, SaveIsRefusedForValuesNobodyChose)
{
    const TextLookup texts = NamedTexts();
    const Refused cases[] = {
        {{3, 1}, "10.0.0.7", SaveFault::kNotAddressAndPort},
        {{3, 1}, "10.0.0.7:50:05", SaveFault::kNotAddressAndPort},
        {{3, 1}, "10.0.7:5005", SaveFault::kNotFourNumbers},
        {{3, 1}, "10.0.0.256:5005", SaveFault::kNumberOutOfRange},
        {{3, 1}, "10.0.0.1a:5005", SaveFault::kNumberOutOfRange},
        {{3, 1}, "10.0.-1.7:5005", SaveFault::kNumberOutOfRange},
        {{3, 1}, "10..0.7:5005", SaveFault::kNumberOutOfRange},
        {{3, 1}, "10.0.0.7:5005005", SaveFault::kBadPort},
        {{3, 1}, "10.0.0.7:65536", SaveFault::kBadPort},
        {{3, 1}, "10.0.0.7:", SaveFault::kBadPort},
        {{16, 1}, "", SaveFault::kNoChoice},
        {{16, 1}, "Self-reporting", SaveFault::kNoChoice},
        {{2, 3}, "", SaveFault::kNoChoice},
        {{3, 3}, "", SaveFault::kBadText},
        {{3, 3}, "two words", SaveFault::kBadText},
        {{15, 3}, "", SaveFault::kNoChoice},
        {{13, 1}, "", SaveFault::kBadText},
        {{14, 1}, "12\r\n34", SaveFault::kBadText},
        {{13, 3}, "", SaveFault::kBadText},
        {{14, 3}, "a b", SaveFault::kBadText},
        {{1, 3}, "2", SaveFault::kBadCentreAddress},
        {{7, 1}, "0G", SaveFault::kBadCentreAddress},
    };
    for (const Refused& c : cases) {
        ConfigGrid grid = BaseGridFromReply(texts);
        grid.Set(c.cell, c.text);
        const SaveResult result = BaseConfigSaveCommand(grid, texts);
        EXPECT_FALSE(result.command.has_value()) << c.text;
        ASSERT_TRUE(result.refusal.has_value()) << c.text;
        EXPECT_EQ(result.refusal->cell, c.cell) << c.text;
        EXPECT_EQ(result.refusal->fault, c.fault) << c.text;
    }

    // The message names the cell by its part and its label.
    ConfigGrid grid = BaseGridFromReply(texts);
    grid.Set(3, 3, "10.0.0.7");
    grid.Set(2, 3, "BaseConfig.AddString1-2-2");
    EXPECT_EQ(BaseConfigSaveCommand(grid, texts).refusal->message,
              "BaseConfig.Item0-2 / BaseConfig.Item3-2: BaseConfig.MessageBox1");
    grid.Set(3, 3, "10.0.0.7:5005");
    grid.Set(16, 1, "");
    EXPECT_EQ(BaseConfigSaveCommand(grid, texts).refusal->message,
              "BaseConfig.Item12 / BaseConfig.Item16: BaseConfig.MessageBox5");

    // A grid never read refuses its first cell.
    EXPECT_EQ(BaseConfigSaveCommand(NewBaseConfigGrid(texts), texts).refusal->cell, (Cell{1, 1}));
}

TEST(BaseConfig, AnswersThatStopEarlyOrCarryOddValues)
{
    const TextLookup texts = NamedTexts();

    // No 01: nothing is shown.
    ConfigGrid grid = BaseGridFromReply(texts, "02 0000000001 03 1234 0C 01 1F 7 ");
    for (int row = 0; row < kBaseConfigRows; ++row) {
        EXPECT_EQ(grid.Get(row, 1), "");
        EXPECT_EQ(grid.Get(row, 3), "");
    }

    // Working mode 07 and the second flag byte 03; no 0F: 1F is not reached.
    grid = BaseGridFromReply(texts, "01 01020304 0C 07 0D 0003000000000000 1F 7 ");
    EXPECT_EQ(grid.Get(16, 1), "");
    EXPECT_EQ(grid.Get(15, 3), "BaseConfig.AddString3-15-0");
    EXPECT_EQ(grid.Get(16, 3), "BaseConfig.AddString3-15-0");
    EXPECT_EQ(grid.Get(14, 3), "");

    // No 0D: the device number and 1F stay empty.
    grid = BaseGridFromReply(texts, "01 01020304 0F 3130313233 1F 7 ");
    EXPECT_EQ(grid.Get(13, 3), "");

    // Short values are read only as far as they go.
    grid = BaseGridFromReply(texts, "01 0102 04 0219216800 05 07 0D 80 0F 31 1F 7 ");
    EXPECT_EQ(grid.Get(1, 1), "01");
    EXPECT_EQ(grid.Get(1, 3), "02");
    EXPECT_EQ(grid.Get(7, 1), "");
    EXPECT_EQ(grid.Get(2, 1), "BaseConfig.AddString1-2-2");
    EXPECT_EQ(grid.Get(3, 1), "");
    EXPECT_EQ(grid.Get(4, 1), "");  // type 07 is no channel type
    EXPECT_EQ(grid.Get(15, 3), "BaseConfig.AddString3-15-1");
    EXPECT_EQ(grid.Get(16, 3), "");
    EXPECT_EQ(grid.Get(15, 1), "");
    EXPECT_EQ(grid.Get(13, 3), "");
    EXPECT_EQ(grid.Get(14, 3), "7");

    // A value equal to an identifier is not taken for one: 0C 02 does not
    // give 02 (the station address) a second value, and 1F 0C is read as 1F's.
    grid = BaseGridFromReply(texts, "01 01020304 0C 02 02 0000000009 0D 0000000000000000 0F 3130 1F 0C ");
    EXPECT_EQ(grid.Get(16, 1), "BaseConfig.AddString1-16-1");
    EXPECT_EQ(grid.Get(13, 1), "0000000009");
    EXPECT_EQ(grid.Get(14, 3), "0C");
}

TEST(BaseConfig, CellMapColoursAndEditors)
{
    // Head rows: white on dark grey, value cells not editable.
    for (int column = 0; column < 4; ++column) {
        const CellSpec head = BaseConfigCell(6, column);
        EXPECT_EQ(head.background, (Rgb{100, 100, 100}));
        EXPECT_EQ(head.foreground, (Rgb{255, 255, 255}));
        EXPECT_EQ(head.editor, Editor::None);
    }
    EXPECT_EQ(BaseConfigCell(4, 0).background, (Rgb{220, 220, 220}));  // row over column
    EXPECT_EQ(BaseConfigCell(5, 2).background, (Rgb{240, 240, 240}));
    EXPECT_EQ(BaseConfigCell(5, 3).background, (Rgb{255, 255, 255}));
    EXPECT_EQ(BaseConfigCell(5, 2).editor, Editor::None);

    const struct {
        Cell cell;
        const char* identifier;
        Editor editor;
        std::size_t choices;
    } expected[] = {
        {{1, 1}, "01", Editor::Text, 0}, {{7, 3}, "01", Editor::Text, 0},  {{10, 1}, "09", Editor::List, 3},
        {{11, 3}, "0B", Editor::Text, 0}, {{13, 1}, "02", Editor::Text, 0}, {{14, 1}, "03", Editor::Text, 0},
        {{16, 1}, "0C", Editor::List, 4}, {{15, 3}, "0D", Editor::List, 2}, {{16, 3}, "0D", Editor::List, 2},
        {{13, 3}, "0F", Editor::Text, 0}, {{15, 1}, "0F", Editor::List, 1}, {{14, 3}, "1F", Editor::Text, 0},
    };
    for (const auto& e : expected) {
        const CellSpec spec = BaseConfigCell(e.cell.row, e.cell.column);
        EXPECT_EQ(spec.identifier, e.identifier) << e.cell.row << "," << e.cell.column;
        EXPECT_EQ(spec.editor, e.editor) << e.cell.row << "," << e.cell.column;
        EXPECT_EQ(spec.choices.size(), e.choices) << e.cell.row << "," << e.cell.column;
    }
    EXPECT_EQ(BaseConfigCell(16, 1).choices.front(), "AddString1-16-0");
    EXPECT_EQ(BaseConfigLabelKey(12, 2), "");
    EXPECT_EQ(BaseConfigLabelKey(16, 2), "Item16-2");
}

// ---- running parameters ----------------------------------------------------

const std::string kRunElements = "20 24 21 05 22 10 23 200 24 050 25 0.5 26 0.1 27 100 28 0.01 38 300 ";

TEST(RunConfig, ReadAnswerAndSaveRoundTrip)
{
    const Command read = RunConfigReadCommand();
    EXPECT_EQ(read.functionCode, "43");
    EXPECT_EQ(read.text, " 20 21 22 23 24 25 26 27 28 38 ");

    const TextLookup texts = NamedTexts();
    ConfigGrid grid = NewRunConfigGrid(texts);
    ShowRunConfigReply("0001240506123045 " + kRunElements + "\x03" "ABCD", grid);
    // 20 holds 24: the value of 20 is not read as the identifier 24.
    EXPECT_EQ(grid.Get(0, 1), "24");
    EXPECT_EQ(grid.Get(1, 3), "050");
    EXPECT_EQ(grid.Get(3, 1), "05");
    EXPECT_EQ(grid.Get(2, 3), "300");
    EXPECT_EQ(grid.Get(4, 3), "100");
    EXPECT_EQ(grid.Get(2, 0), "RunConfig.Item2");

    const SaveResult saved = RunConfigSaveCommand(grid, texts);
    ASSERT_TRUE(saved.command.has_value());
    EXPECT_EQ(saved.command->functionCode, "42");
    EXPECT_EQ(saved.command->text, kRunElements);

    grid.Set(0, 1, "6");
    EXPECT_EQ(RunConfigSaveCommand(grid, texts).command->text.substr(0, 6), "20 06 ");

    // An answer without 38 empties that cell and fills the others.
    ShowRunConfigReply(" 20 01 21 05 22 10 23 200 24 050 25 0.5 26 0.1 27 100 28 0.01 ", grid);
    EXPECT_EQ(grid.Get(2, 3), "");
    EXPECT_EQ(grid.Get(0, 1), "01");
    EXPECT_EQ(grid.Get(3, 3), "0.01");
}

TEST(RunConfig, SaveIsRefusedForEmptyOrNonNumericValues)
{
    const TextLookup texts = NamedTexts();
    const Refused cases[] = {
        {{0, 1}, "", SaveFault::kNoChoice},
        {{0, 1}, "x", SaveFault::kNoChoice},
        {{0, 1}, "100", SaveFault::kNoChoice},
        {{2, 3}, "", SaveFault::kBadText},
        {{1, 1}, "0 5", SaveFault::kBadText},
    };
    for (const Refused& c : cases) {
        ConfigGrid grid = NewRunConfigGrid(texts);
        ShowRunConfigReply(" " + kRunElements, grid);
        grid.Set(c.cell, c.text);
        const SaveResult result = RunConfigSaveCommand(grid, texts);
        ASSERT_TRUE(result.refusal.has_value()) << c.text;
        EXPECT_EQ(result.refusal->cell, c.cell);
        EXPECT_EQ(result.refusal->fault, c.fault);
    }
    ConfigGrid grid = NewRunConfigGrid(texts);
    EXPECT_EQ(RunConfigSaveCommand(grid, texts).refusal->message, "RunConfig.Item0: BaseConfig.MessageBox5");

    EXPECT_EQ(RunConfigCell(0, 1).choices.size(), 9u);
    EXPECT_EQ(RunConfigCell(2, 1).choices.back(), "0.1");
    EXPECT_EQ(RunConfigCell(3, 3).identifier, "28");
    EXPECT_EQ(RunConfigCell(3, 0).background, (Rgb{220, 220, 220}));
    EXPECT_EQ(RunConfigCell(2, 2).background, (Rgb{240, 240, 240}));
}

}  // namespace
}  // namespace rtu::control
