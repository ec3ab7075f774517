#include "rtu/control/BaseConfig.h"

#include "rtu/control/ValueRules.h"
#include "rtu/protocol/Elements.h"
#include "rtu/protocol/HexText.h"

#include <cstdio>
#include <optional>

namespace rtu::control {

namespace {

constexpr const char* kSection = "BaseConfig";

struct Channel {
    const char* identifier;
    int typeRow;
    int addressRow;
    int column;
};

constexpr Channel kChannels[] = {
    {"04", 2, 3, 1}, {"05", 4, 5, 1}, {"06", 2, 3, 3},   {"07", 4, 5, 3},
    {"08", 8, 9, 1}, {"09", 10, 11, 1}, {"0A", 8, 9, 3}, {"0B", 10, 11, 3},
};

constexpr Cell kCentreCells[] = {{1, 1}, {1, 3}, {7, 1}, {7, 3}};
constexpr Cell kStationCell{13, 1};
constexpr Cell kPasswordCell{14, 1};
constexpr Cell kModeCell{16, 1};
constexpr Cell kFirstFlagCell{15, 3};
constexpr Cell kSecondFlagCell{16, 3};
constexpr Cell kDeviceNumberCell{13, 3};
constexpr Cell kDeviceTypeCell{15, 1};
constexpr Cell k1FCell{14, 3};

const std::vector<std::string> kChannelChoices = {"AddString1-2-0", "AddString1-2-1", "AddString1-2-2"};
const std::vector<std::string> kModeChoices = {"AddString1-16-0", "AddString1-16-1", "AddString1-16-2",
                                               "AddString1-16-3"};
const std::vector<std::string> kFlagChoices = {"AddString3-15-0", "AddString3-15-1"};

bool IsHeadRow(int row) { return row == 0 || row == 6 || row == 12; }

bool IsShadedRow(int row)
{
    return row == 2 || row == 4 || row == 8 || row == 10 || row == 14 || row == 16;
}

int HeadRowOf(int row) { return row >= 12 ? 12 : row >= 6 ? 6 : 0; }

std::string IdentifierOf(int row, int column)
{
    for (const Channel& c : kChannels) {
        if (c.column == column && (c.typeRow == row || c.addressRow == row)) return c.identifier;
    }
    const Cell cell{row, column};
    for (const Cell& centre : kCentreCells) {
        if (centre == cell) return "01";
    }
    if (cell == kStationCell) return "02";
    if (cell == kPasswordCell) return "03";
    if (cell == kModeCell) return "0C";
    if (cell == kFirstFlagCell || cell == kSecondFlagCell) return "0D";
    if (cell == kDeviceNumberCell || cell == kDeviceTypeCell) return "0F";
    if (cell == k1FCell) return "1F";
    return {};
}

// The position of the cell's text among the texts of its choices, or -1.
int ChoiceIndex(const std::string& cellText, const std::vector<std::string>& choiceKeys, const TextLookup& texts)
{
    for (std::size_t i = 0; i < choiceKeys.size(); ++i) {
        if (cellText == texts(kSection, choiceKeys[i])) return static_cast<int>(i);
    }
    return -1;
}

// A hex byte of two digits at `at`, or -1 when the value has no such digits.
int HexByteAt(std::string_view value, std::size_t at)
{
    if (value.size() < at + 2) return -1;
    const int high = HexDigitValue(value[at]);
    const int low = HexDigitValue(value[at + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

std::string Hex2(int byte)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(byte & 0xFF));
    return text;
}

// "%d.%d.%d.%d:%d" from the digit groups at 2-4, 5-7, 8-10, 11-13 and 14-19
// of a type-02 channel value; empty unless those 18 characters are digits.
std::string ShownAddress(std::string_view value)
{
    if (value.size() < 20 || !IsDecimal(value.substr(2, 18), 18)) return {};
    const auto group = [&](std::size_t at, std::size_t width) { return LeadingInt(value.substr(at, width)); };
    char text[40];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d:%d", group(2, 3), group(5, 3), group(8, 3), group(11, 3),
                  group(14, 6));
    return text;
}

void ShowChannel(const Channel& c, std::string_view value, ConfigGrid& grid, const TextLookup& texts)
{
    if (value.empty()) return;
    const int type = HexByteAt(value, 0);
    switch (type) {
    case 2: {
        grid.Set(c.typeRow, c.column, texts(kSection, "AddString1-2-2"));
        std::string address = ShownAddress(value);
        if (!address.empty()) grid.Set(c.addressRow, c.column, std::move(address));
        break;
    }
    case 1:
        grid.Set(c.typeRow, c.column, texts(kSection, "AddString1-2-1"));
        grid.Set(c.addressRow, c.column, std::string(value.substr(2)));
        break;
    case 0:
        grid.Set(c.typeRow, c.column, texts(kSection, "AddString1-2-0"));
        break;
    default:
        break;
    }
}

// The ASCII text of hex pairs, up to the first pair that is no hex byte or is
// a zero byte.
std::string TextOfHexPairs(std::string_view hex)
{
    std::string text;
    for (std::size_t at = 0; at + 2 <= hex.size(); at += 2) {
        const int byte = HexByteAt(hex, at);
        if (byte <= 0) break;
        text += static_cast<char>(byte);
    }
    return text;
}

class Refusal {
public:
    explicit Refusal(const TextLookup& texts) : texts_(texts) {}

    SaveResult operator()(Cell cell, SaveFault fault) const
    {
        SaveRefusal refusal;
        refusal.cell = cell;
        refusal.fault = fault;
        refusal.message = BaseConfigCellName(cell, texts_);
        const std::string reason = texts_(kSection, MessageKey(fault));
        if (!reason.empty()) refusal.message += ": " + reason;
        SaveResult result;
        result.refusal = std::move(refusal);
        return result;
    }

private:
    const TextLookup& texts_;
};

// The value of an IPv4 channel cell "a.b.c.d:port", or the fault.
std::optional<SaveFault> ComposeIpv4(const std::string& cellText, std::string& value)
{
    const std::vector<std::string_view> halves = SplitText(cellText, ':');
    if (halves.size() != 2) return SaveFault::kNotAddressAndPort;
    const std::vector<std::string_view> parts = SplitText(halves[0], '.');
    if (parts.size() != 4) return SaveFault::kNotFourNumbers;
    char text[32];
    int numbers[4];
    for (int i = 0; i < 4; ++i) {
        if (!IsDecimal(parts[static_cast<std::size_t>(i)], 3)) return SaveFault::kNumberOutOfRange;
        numbers[i] = LeadingInt(parts[static_cast<std::size_t>(i)]);
        if (numbers[i] > 255) return SaveFault::kNumberOutOfRange;
    }
    // Leading zeros are allowed as long as the number fits its six digits.
    const std::string_view port = halves[1];
    if (!IsDecimal(port, 6)) return SaveFault::kBadPort;
    const int portNumber = LeadingInt(port);
    if (portNumber < 1 || portNumber > 65535) return SaveFault::kBadPort;
    std::snprintf(text, sizeof text, "02%03d%03d%03d%03d%06d", numbers[0], numbers[1], numbers[2], numbers[3],
                  portNumber);
    value = text;
    return std::nullopt;
}

}  // namespace

CellSpec BaseConfigCell(int row, int column)
{
    CellSpec spec;
    if (row < 0 || row >= kBaseConfigRows || column < 0 || column >= kBaseConfigColumns) return spec;

    const bool label = column % 2 == 0;
    if (IsHeadRow(row)) {
        spec.background = Rgb{100, 100, 100};
        spec.foreground = Rgb{255, 255, 255};
    } else if (IsShadedRow(row)) {
        spec.background = Rgb{220, 220, 220};
    } else if (label) {
        spec.background = Rgb{240, 240, 240};
    }
    if (label || IsHeadRow(row)) return spec;

    spec.identifier = IdentifierOf(row, column);
    spec.editor = Editor::Text;
    const Cell cell{row, column};
    for (const Channel& c : kChannels) {
        if (c.column == column && c.typeRow == row) {
            spec.editor = Editor::List;
            spec.choices = kChannelChoices;
        }
    }
    if (cell == kModeCell) {
        spec.editor = Editor::List;
        spec.choices = kModeChoices;
    } else if (cell == kFirstFlagCell || cell == kSecondFlagCell) {
        spec.editor = Editor::List;
        spec.choices = kFlagChoices;
    } else if (cell == kDeviceTypeCell) {
        spec.editor = Editor::List;
        spec.choices = {"AddString1-2-2"};
    }
    return spec;
}

std::vector<std::string> BaseConfigChoiceTexts(int row, int column, const TextLookup& texts)
{
    std::vector<std::string> choices;
    for (const std::string& key : BaseConfigCell(row, column).choices) choices.push_back(texts(kSection, key));
    return choices;
}

std::string BaseConfigLabelKey(int row, int column)
{
    if (row < 0 || row >= kBaseConfigRows) return {};
    if (column == 0) return "Item" + std::to_string(row);
    if (column == 2 && row != 12) return "Item" + std::to_string(row) + "-2";
    return {};
}

ConfigGrid NewBaseConfigGrid(const TextLookup& texts)
{
    ConfigGrid grid(kBaseConfigRows, kBaseConfigColumns);
    for (int row = 0; row < kBaseConfigRows; ++row) {
        for (int column = 0; column < kBaseConfigColumns; column += 2) {
            const std::string key = BaseConfigLabelKey(row, column);
            if (!key.empty()) grid.Set(row, column, texts(kSection, key));
        }
    }
    return grid;
}

std::string BaseConfigCellName(Cell cell, const TextLookup& texts)
{
    const int labelColumn = cell.column - 1;
    const int head = HeadRowOf(cell.row);
    std::string headKey = BaseConfigLabelKey(head, labelColumn);
    if (headKey.empty()) headKey = BaseConfigLabelKey(head, 0);
    std::string name = texts(kSection, headKey);
    const std::string label = texts(kSection, BaseConfigLabelKey(cell.row, labelColumn));
    if (!name.empty() && !label.empty()) name += " / ";
    return name + label;
}

Command BaseConfigReadCommand() { return Command{"41", std::string(kBaseConfigReadBody)}; }

void ShowBaseConfigReply(std::string_view replyText, ConfigGrid& grid, const TextLookup& texts)
{
    const auto pairs = ReadElementPairs(replyText, {"01", "02", "03", "04", "05", "06", "07", "08", "09", "0A", "0B",
                                                    "0C", "0D", "0F", "1F"});
    const auto value = [&](const char* identifier) -> std::string_view {
        const auto it = pairs.find(identifier);
        return it == pairs.end() ? std::string_view() : std::string_view(it->second);
    };

    const std::string_view centres = value("01");
    if (centres.empty()) return;
    for (std::size_t i = 0; i < 4; ++i) {
        const int byte = HexByteAt(centres, 2 * i);
        if (byte >= 0) grid.Set(kCentreCells[i], Hex2(byte));
    }

    grid.Set(kStationCell, std::string(value("02")));
    grid.Set(kPasswordCell, std::string(value("03")));

    for (const Channel& c : kChannels) ShowChannel(c, value(c.identifier), grid, texts);

    const int mode = LeadingInt(value("0C"));
    if (mode >= 1 && mode <= 4) grid.Set(kModeCell, texts(kSection, kModeChoices[static_cast<std::size_t>(mode - 1)]));

    const std::string_view flags = value("0D");
    if (flags.empty()) return;
    const int first = HexByteAt(flags, 0);
    const int second = HexByteAt(flags, 2);
    if (first >= 0) grid.Set(kFirstFlagCell, texts(kSection, kFlagChoices[(first & 0x80) != 0 ? 1 : 0]));
    if (second >= 0) grid.Set(kSecondFlagCell, texts(kSection, kFlagChoices[second == 1 ? 1 : 0]));

    const std::string_view device = value("0F");
    if (device.empty()) return;
    if (device.substr(0, 4) == "3130") grid.Set(kDeviceTypeCell, texts(kSection, "AddString1-15-0"));
    grid.Set(kDeviceNumberCell, TextOfHexPairs(device.size() > 4 ? device.substr(4) : std::string_view()));

    grid.Set(k1FCell, std::string(value("1F")));
}

SaveResult BaseConfigSaveCommand(const ConfigGrid& grid, const TextLookup& texts)
{
    const Refusal refuse(texts);

    std::string centres;
    for (const Cell& cell : kCentreCells) {
        const std::string& text = grid.Get(cell);
        if (text.size() != 2 || HexByteAt(text, 0) < 0) return refuse(cell, SaveFault::kBadCentreAddress);
        centres += text;
    }
    for (const Cell& cell : {kStationCell, kPasswordCell}) {
        if (!IsWireValue(grid.Get(cell))) return refuse(cell, SaveFault::kBadText);
    }

    std::string channels;
    for (const Channel& c : kChannels) {
        const Cell typeCell{c.typeRow, c.column};
        const Cell addressCell{c.addressRow, c.column};
        const std::string& address = grid.Get(addressCell);
        std::string channel;
        switch (ChoiceIndex(grid.Get(typeCell), kChannelChoices, texts)) {
        case 0:
            channel = "00";
            break;
        case 1:
            if (!IsWireValue(address)) return refuse(addressCell, SaveFault::kBadText);
            channel = "01" + address;
            break;
        case 2:
            if (const auto fault = ComposeIpv4(address, channel)) return refuse(addressCell, *fault);
            break;
        default:
            return refuse(typeCell, SaveFault::kNoChoice);
        }
        channels += std::string(c.identifier) + ' ' + channel + ' ';
    }

    const int mode = ChoiceIndex(grid.Get(kModeCell), kModeChoices, texts);
    if (mode < 0) return refuse(kModeCell, SaveFault::kNoChoice);

    const int first = ChoiceIndex(grid.Get(kFirstFlagCell), kFlagChoices, texts);
    if (first < 0) return refuse(kFirstFlagCell, SaveFault::kNoChoice);
    const int second = ChoiceIndex(grid.Get(kSecondFlagCell), kFlagChoices, texts);
    if (second < 0) return refuse(kSecondFlagCell, SaveFault::kNoChoice);
    const std::string flags = Hex2(first == 1 ? 0x80 : 0) + Hex2(second == 1 ? 1 : 0) + "000000000000";

    const std::string& number = grid.Get(kDeviceNumberCell);
    if (!IsWireValue(number)) return refuse(kDeviceNumberCell, SaveFault::kBadText);
    const std::string device = BytesToHexText("10" + number);

    const std::string& value1F = grid.Get(k1FCell);
    if (!IsWireValue(value1F)) return refuse(k1FCell, SaveFault::kBadText);

    char modeText[16];
    std::snprintf(modeText, sizeof modeText, "%02d", mode + 1);
    std::string body = "01 " + centres + " 02 " + grid.Get(kStationCell) + " 03 " + grid.Get(kPasswordCell) + ' ' +
                       channels + "0C " + modeText + " 0D " + flags + " 0F " + device + " 1F " + value1F + ' ';
    SaveResult result;
    result.command = Command{"40", std::move(body)};
    return result;
}

}  // namespace rtu::control
