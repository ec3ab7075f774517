// The single commands: clock, period query, picture request, the upgrade
// order's 94-byte body, the context menu's commands and the remark's stored
// form.
#include "rtu/control/OperatorCommands.h"
#include "rtu/control/RemarkText.h"

#include <gtest/gtest.h>

namespace rtu::control {
namespace {

TEST(OperatorCommands, ClockCommandsCarryNoText)
{
    EXPECT_EQ(SetClockCommand().functionCode, "4A");
    EXPECT_EQ(SetClockCommand().text, "");
    EXPECT_EQ(QueryClockCommand().functionCode, "51");
    EXPECT_EQ(QueryClockCommand().text, "");
}

TEST(OperatorCommands, PeriodQueryFromPickerTextsAndTimes)
{
    Command c = PeriodQueryCommand("2024-05-06", "08:00:00", "2024/5/6", "20:00", PeriodElement::kRainfall);
    EXPECT_EQ(c.functionCode, "38");
    EXPECT_EQ(c.text, "2405060824050620 DRN05 DRP ");
    c = PeriodQueryCommand("2024-05-06", "8:00", "2024-05-07", "0:00", PeriodElement::kWaterLevel);
    EXPECT_EQ(c.text, "2405060824050700 DRN05 DRZ1 ");
    // A date that splits neither way is sent as it stands.
    EXPECT_EQ(PeriodDateText("6.5.2024"), "6.5.2024");

    const CalendarTime from{2024, 5, 6, 8, 30, 0};
    const CalendarTime to{2024, 5, 6, 20, 0, 0};
    EXPECT_EQ(PeriodQueryCommand(from, to, PeriodElement::kRainfall).text, "2405060824050620 DRN05 DRP ");
    EXPECT_EQ(PeriodQueryCommand(CalendarTime{2100, 1, 2, 3, 0, 0}, to, PeriodElement::kRainfall).text.substr(0, 8),
              "00010203");
}

TEST(OperatorCommands, PictureRequestListsTheTickedCameras)
{
    const CalendarTime now{2024, 5, 6, 12, 30, 45};
    const auto c = PictureRequestCommand(now, {true, false, true, false});
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->functionCode, "81");
    EXPECT_EQ(c->text, "240506123045 0103");
    EXPECT_EQ(PictureRequestCommand(now, {false, false, false, true})->text, "240506123045 04");
    EXPECT_FALSE(PictureRequestCommand(now, {false, false, false, false}).has_value());
}

TEST(OperatorCommands, UpgradeBodyLayout)
{
    const UpgradeResult r = UpgradeCommand("192.168.1.10", "5005", "1.2");
    ASSERT_TRUE(r.command.has_value());
    EXPECT_EQ(r.command->functionCode, "E1");
    const std::string& b = r.command->text;
    ASSERT_EQ(b.size(), 94u);
    EXPECT_EQ(b.substr(0, 4), std::string("\0\0\0\x04", 4));
    EXPECT_EQ(b.substr(4, 20), "cmnet" + std::string(15, ' '));
    EXPECT_EQ(b.substr(24, 20), "192.168.1.10" + std::string(8, ' '));
    EXPECT_EQ(b.substr(44, 5), "5005 ");
    EXPECT_EQ(b[49], '\x03');
    EXPECT_EQ(b.substr(50, 40), "1.2" + std::string(37, ' '));
    EXPECT_EQ(b.substr(90), "0000");

    // Fields filled to their last byte stay inside them.
    const UpgradeResult full = UpgradeCommand(std::string(20, 'a'), "65535", std::string(40, 'v'));
    ASSERT_TRUE(full.command.has_value());
    EXPECT_EQ(full.command->text.size(), 94u);
    EXPECT_EQ(full.command->text[49], '\x28');
    EXPECT_EQ(full.command->text.substr(44, 5), "65535");
    EXPECT_EQ(full.command->text.substr(90), "0000");

    const struct {
        const char* address;
        const char* port;
        std::string version;
        UpgradeFault fault;
    } refused[] = {
        {"", "5005", "1.2", UpgradeFault::kEmptyField},
        {"10.0.0.1", "", "1.2", UpgradeFault::kEmptyField},
        {"10.0.0.1", "5005", "", UpgradeFault::kEmptyField},
        {"100.100.100.100.1234", "5005", "1.2", UpgradeFault::kNone},
        {"100.100.100.100.12345", "5005", "1.2", UpgradeFault::kAddressTooLong},
        {"10.0.0.1", "123456", "1.2", UpgradeFault::kPortTooLong},
        {"10.0.0.1", "5005", std::string(41, 'v'), UpgradeFault::kVersionTooLong},
    };
    for (const auto& c : refused) {
        const UpgradeResult result = UpgradeCommand(c.address, c.port, c.version);
        EXPECT_EQ(result.fault, c.fault) << c.address << " " << c.port << " " << c.version;
        EXPECT_EQ(result.command.has_value(), c.fault == UpgradeFault::kNone);
    }
}

TEST(OperatorCommands, ContextMenuCommands)
{
    const struct {
        const char* menu;
        const char* code;
        const char* text;
        const char* confirm;
        const char* title;
    } expected[] = {
        {"Menu3", "45", "", "", "ShowDlg1"},          {"Menu4", "37", "", "", "ShowDlg2"},
        {"Menu6", "39", "", "", "ShowDlg3"},          {"Menu9", "48", "98", "Message1", "ShowDlg4"},
        {"Menu10", "47", "97", "Message2", "ShowDlg5"}, {"Menu12", "E2", "", "Message3", "ShowDlg6"},
    };
    ASSERT_EQ(ContextCommands().size(), 6u);
    for (const auto& e : expected) {
        const ContextCommand* c = ContextCommandOf(e.menu);
        ASSERT_NE(c, nullptr) << e.menu;
        EXPECT_EQ(c->command.functionCode, e.code);
        EXPECT_EQ(c->command.text, e.text);
        EXPECT_STREQ(c->confirmKey, e.confirm);
        EXPECT_STREQ(c->panelTitleKey, e.title);
    }
    EXPECT_EQ(ContextCommandOf("Menu5"), nullptr);
}

TEST(RemarkText, StoredOnOneLineAndReadBackAsTyped)
{
    const std::string remarks[] = {
        "plain remark",
        "first line\r\nsecond line\nthird",
        "[Set]\r\nPort=1",
        "C:\\data\\new",
        "ends with a backslash\\",
        "\\r is not a line break",
        "水位站 [备注]",
    };
    for (const std::string& remark : remarks) {
        const std::string stored = EscapeRemark(remark);
        EXPECT_EQ(stored.find_first_of("\r\n"), std::string::npos) << remark;
        EXPECT_NE(stored.front(), '[') << remark;
        EXPECT_EQ(UnescapeRemark(stored), remark) << remark;
    }
    EXPECT_EQ(EscapeRemark("[Set]\r\nPort=1"), "\\[Set]\\r\\nPort=1");
    // A remark stored before, with a lone backslash, reads as it was written.
    EXPECT_EQ(UnescapeRemark("D:\\pictures"), "D:\\pictures");

    EXPECT_EQ(RemarkFieldOverLimit("12345678", std::string(100, 'r')), RemarkField::kNone);
    EXPECT_EQ(RemarkFieldOverLimit("123456789", ""), RemarkField::kConversionId);
    EXPECT_EQ(RemarkFieldOverLimit("", std::string(101, 'r')), RemarkField::kRemark);
    // Limits count characters: 100 Chinese characters fit.
    std::string chinese;
    for (int i = 0; i < 100; ++i) chinese += "站";
    EXPECT_EQ(RemarkFieldOverLimit("", chinese), RemarkField::kNone);
    EXPECT_EQ(RemarkFieldOverLimit("", chinese + "站"), RemarkField::kRemark);
}

}  // namespace
}  // namespace rtu::control
