// The operator's single commands to one station: clock set and query, the
// period query, the picture request, the upgrade order, and the queries and
// controls of the station list's context menu. Each gives the function code
// and command text that CMainFrame::SendCommand takes.
#pragma once

#include "rtu/control/ControlTypes.h"
#include "rtu/protocol/TimeText.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtu::control {

// "4A" with an empty text: the station takes the send time every command
// frame carries.
Command SetClockCommand();
// "51" with an empty text.
Command QueryClockCommand();

// The element asked for by a period query: the first or second choice.
enum class PeriodElement { kRainfall = 0, kWaterLevel = 1 };

// A date picker's text as "%02d%02d%02d" of year - 2000, month and day: the
// text split at "-", or at "/" when that does not give three parts; with
// neither, the text as it stands.
std::string PeriodDateText(std::string_view pickerText);
// A time picker's text: its part before the first ":" as "%02d".
std::string PeriodHourText(std::string_view pickerText);

// "38" with YYMMDDHHYYMMDDHH followed by " DRN05 DRP " (rainfall) or
// " DRN05 DRZ1 " (water level), from the four pickers' texts.
Command PeriodQueryCommand(std::string_view startDate, std::string_view startTime, std::string_view endDate,
                           std::string_view endTime, PeriodElement element);
// The same from two times (their minutes and seconds are not used). Years
// keep two digits.
Command PeriodQueryCommand(const CalendarTime& start, const CalendarTime& end, PeriodElement element);

// "81": the 12-digit time, a blank, then "01" .. "04" for each ticked camera
// row in order. Empty when no row is ticked (nothing is to be sent).
std::optional<Command> PictureRequestCommand(const CalendarTime& now, const std::array<bool, 4>& ticked);

// The upgrade order's fields.
inline constexpr std::size_t kUpgradeBodyBytes = 94;
inline constexpr std::size_t kUpgradeAddressBytes = 20;
inline constexpr std::size_t kUpgradePortBytes = 5;
inline constexpr std::size_t kUpgradeVersionBytes = 40;

// The message box of an empty upgrade field: text and caption.
inline constexpr const char* kUpgradeEmptyText = "不能为空";
inline constexpr const char* kUpgradeEmptyCaption = "提示";

enum class UpgradeFault {
    kNone,
    kEmptyField,       // a field is empty: message box "不能为空", caption "提示"
    kAddressTooLong,   // more than 20 bytes
    kPortTooLong,      // more than 5 bytes
    kVersionTooLong,   // more than 40 bytes
};

struct UpgradeResult {
    std::optional<Command> command;
    UpgradeFault fault = UpgradeFault::kNone;
};

// "E1" with the 94-byte body, built over blanks:
//   0 00 00 00 | 3 04 | 4 "cmnet" (20) | 24 server address (20) | 44 port (5)
//   | 49 length of the version text as one byte | 50 version text (40) | 90 "0000"
// A field that does not fit is refused rather than cut: no field spills into
// the next and the body is always 94 bytes.
UpgradeResult UpgradeCommand(std::string_view serverAddress, std::string_view port, std::string_view version);

// One sending entry of the station list's context menu. Keys are those of
// section DeviceView (menu, confirmation, log) and ConfigView (data panel
// title); an empty confirmation key means the command is sent at once.
struct ContextCommand {
    const char* menuKey;
    Command command;
    const char* confirmKey;
    const char* panelTitleKey;  // ShowDlg<n>: n is also the data panel's number
    const char* logKey;         // a format with the station address
};

// Menu3 45, Menu4 37, Menu6 39, Menu9 48 "98", Menu10 47 "97", Menu12 E2.
const std::vector<ContextCommand>& ContextCommands();
// The entry of a menu key, or null.
const ContextCommand* ContextCommandOf(std::string_view menuKey);

}  // namespace rtu::control
