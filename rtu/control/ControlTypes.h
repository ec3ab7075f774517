// What the operator's command code shares: a command ready for
// CMainFrame::SendCommand, the lookup of config.ini texts, the value grid of
// the two configuration pages and the reasons a save is refused.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtu::control {

// A downlink command: the function code and the command text that
// CMainFrame::SendCommand takes. The text may hold any byte (the upgrade
// order carries zero bytes); its length is text.size().
struct Command {
    std::string functionCode;
    std::string text;
};

// The text under `key` of `section` of config.ini; empty when missing.
using TextLookup = std::function<std::string(std::string_view section, std::string_view key)>;

// The program's config.ini (LoadText).
TextLookup ConfigTexts();

struct Rgb {
    std::uint8_t r = 255;
    std::uint8_t g = 255;
    std::uint8_t b = 255;
};
bool operator==(const Rgb& a, const Rgb& b);

struct Cell {
    int row = 0;
    int column = 0;
};
bool operator==(const Cell& a, const Cell& b);

enum class Editor { None, Text, List };

// The texts of a grid of label and value columns, row by row. Cells outside
// the grid read as empty and ignore writes.
class ConfigGrid {
public:
    ConfigGrid(int rows, int columns);

    int Rows() const { return rows_; }
    int Columns() const { return columns_; }
    const std::string& Get(int row, int column) const;
    const std::string& Get(Cell cell) const { return Get(cell.row, cell.column); }
    void Set(int row, int column, std::string text);
    void Set(Cell cell, std::string text) { Set(cell.row, cell.column, std::move(text)); }
    // Empties the value columns (1 and 3), as a read back does first.
    void ClearValues();

private:
    int rows_;
    int columns_;
    std::vector<std::string> cells_;
};

// Why a save was refused. The message box names the cell and says what is
// wrong with it; the text of each reason is under `MessageKey` of section
// BaseConfig.
enum class SaveFault {
    kNotAddressAndPort,  // MessageBox1: an IPv4 channel is not address:port
    kNotFourNumbers,     // MessageBox2: the address is not four dotted parts
    kNumberOutOfRange,   // MessageBox3: a part is not a number from 0 to 255
    kBadPort,            // MessageBox4: the port is not a number from 1 to 65535
    kNoChoice,           // MessageBox5: a list cell holds none of its choices
    kBadText,            // MessageBox6: a value is empty or holds blanks or control characters
    kBadCentreAddress,   // MessageBox7: a centre address is not two hexadecimal digits
};

const char* MessageKey(SaveFault fault);

struct SaveRefusal {
    Cell cell;
    SaveFault fault = SaveFault::kBadText;
    // The cell's name (its part head and its label) followed by ": " and the
    // reason's text; the cell's name alone when config.ini lacks the text.
    std::string message;
};

// A save either gives a command or says which cell stopped it.
struct SaveResult {
    std::optional<Command> command;
    std::optional<SaveRefusal> refusal;
};

// "%s[%s]->%s" of the text under Text35 of MainFrame, the station address and
// the text under `key` of `section`: the log line of a command sent.
std::string CommandLogLine(const TextLookup& texts, std::string_view station, std::string_view section,
                           std::string_view key);

}  // namespace rtu::control
