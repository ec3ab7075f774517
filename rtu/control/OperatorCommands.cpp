#include "rtu/control/OperatorCommands.h"

#include "rtu/control/ValueRules.h"
#include "rtu/protocol/Elements.h"

#include <cstdio>

namespace rtu::control {

namespace {

std::string TwoDigits(int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

std::string PeriodBody(const std::string& startDate, const std::string& startHour, const std::string& endDate,
                       const std::string& endHour, PeriodElement element)
{
    return startDate + startHour + endDate + endHour +
           (element == PeriodElement::kRainfall ? " DRN05 DRP " : " DRN05 DRZ1 ");
}

}  // namespace

Command SetClockCommand() { return Command{"4A", ""}; }

Command QueryClockCommand() { return Command{"51", ""}; }

std::string PeriodDateText(std::string_view pickerText)
{
    std::vector<std::string_view> parts = SplitText(pickerText, '-');
    if (parts.size() != 3) parts = SplitText(pickerText, '/');
    if (parts.size() != 3) return std::string(pickerText);
    return TwoDigits(LeadingInt(parts[0]) - 2000) + TwoDigits(LeadingInt(parts[1])) + TwoDigits(LeadingInt(parts[2]));
}

std::string PeriodHourText(std::string_view pickerText)
{
    return TwoDigits(LeadingInt(SplitText(pickerText, ':').front()));
}

Command PeriodQueryCommand(std::string_view startDate, std::string_view startTime, std::string_view endDate,
                           std::string_view endTime, PeriodElement element)
{
    return Command{"38", PeriodBody(PeriodDateText(startDate), PeriodHourText(startTime), PeriodDateText(endDate),
                                    PeriodHourText(endTime), element)};
}

Command PeriodQueryCommand(const CalendarTime& start, const CalendarTime& end, PeriodElement element)
{
    const auto date = [](const CalendarTime& t) {
        return TwoDigits(((t.year % 100) + 100) % 100) + TwoDigits(t.month) + TwoDigits(t.day);
    };
    return Command{"38", PeriodBody(date(start), TwoDigits(start.hour), date(end), TwoDigits(end.hour), element)};
}

std::optional<Command> PictureRequestCommand(const CalendarTime& now, const std::array<bool, 4>& ticked)
{
    std::string cameras;
    for (std::size_t row = 0; row < ticked.size(); ++row) {
        if (ticked[row]) cameras += TwoDigits(static_cast<int>(row) + 1);
    }
    if (cameras.empty()) return std::nullopt;
    return Command{"81", std::string(SendTimeText(now).data()) + ' ' + cameras};
}

UpgradeResult UpgradeCommand(std::string_view serverAddress, std::string_view port, std::string_view version)
{
    UpgradeResult result;
    if (serverAddress.empty() || port.empty() || version.empty()) {
        result.fault = UpgradeFault::kEmptyField;
    } else if (serverAddress.size() > kUpgradeAddressBytes) {
        result.fault = UpgradeFault::kAddressTooLong;
    } else if (port.size() > kUpgradePortBytes) {
        result.fault = UpgradeFault::kPortTooLong;
    } else if (version.size() > kUpgradeVersionBytes) {
        result.fault = UpgradeFault::kVersionTooLong;
    }
    if (result.fault != UpgradeFault::kNone) return result;

    std::string body(kUpgradeBodyBytes, ' ');
    body[0] = body[1] = body[2] = '\0';
    body[3] = '\x04';
    body.replace(4, 5, "cmnet");
    body.replace(24, serverAddress.size(), serverAddress);
    body.replace(44, port.size(), port);
    body[49] = static_cast<char>(version.size());
    body.replace(50, version.size(), version);
    body.replace(90, 4, "0000");
    result.command = Command{"E1", std::move(body)};
    return result;
}

const std::vector<ContextCommand>& ContextCommands()
{
    static const std::vector<ContextCommand> kCommands = {
        {"Menu3", {"45", ""}, "", "ShowDlg1", "Text1"},
        {"Menu4", {"37", ""}, "", "ShowDlg2", "Text2"},
        {"Menu6", {"39", ""}, "", "ShowDlg3", "Text3"},
        {"Menu9", {"48", "98"}, "Message1", "ShowDlg4", "Text4"},
        {"Menu10", {"47", "97"}, "Message2", "ShowDlg5", "Text5"},
        {"Menu12", {"E2", ""}, "Message3", "ShowDlg6", "Text6"},
    };
    return kCommands;
}

const ContextCommand* ContextCommandOf(std::string_view menuKey)
{
    for (const ContextCommand& c : ContextCommands()) {
        if (menuKey == c.menuKey) return &c;
    }
    return nullptr;
}

}  // namespace rtu::control
