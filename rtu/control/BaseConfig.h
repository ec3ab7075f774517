// The base configuration of a station (function codes 41 read, 40 write):
// the grid of 17 rows by 4 columns (label, value, label, value), which cell
// holds which identifier, the choice lists, the read command, the filling of
// the grid from a 41 answer and the composing of the 40 body from the grid.
//
//   identifier  cells (row, value column)
//   01          centre addresses (1,1) (1,3) (7,1) (7,3): 2 hex digits each
//   02 / 03     station address (13,1) / password (14,1)
//   04 .. 0B    channel type / address: 04 (2,1)/(3,1) 05 (4,1)/(5,1)
//               06 (2,3)/(3,3) 07 (4,3)/(5,3) 08 (8,1)/(9,1) 09 (10,1)/(11,1)
//               0A (8,3)/(9,3) 0B (10,3)/(11,3)
//   0C          working mode (16,1): "01" .. "04"
//   0D          element flags (15,3) bit 7 of byte 1, (16,3) byte 2 == 1
//   0F          device number (13,3), "3130" + hex of the text; (15,1) type
//   1F          (14,3) as text
// Rows 0, 6 and 12 head the parts of the grid (centres 1 and 2, centres 3
// and 4, the station). Texts are those of section BaseConfig of config.ini.
#pragma once

#include "rtu/control/ControlTypes.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace rtu::control {

inline constexpr int kBaseConfigRows = 17;
inline constexpr int kBaseConfigColumns = 4;
inline constexpr std::array<int, 4> kBaseConfigColumnWidths = {140, 175, 140, 175};

// The body of the read command: the fifteen identifiers, each after a blank
// and the last followed by one (there is no 0E).
inline constexpr std::string_view kBaseConfigReadBody = " 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0F 1F ";

struct CellSpec {
    Editor editor = Editor::None;
    // Keys (section BaseConfig) of a list's choices in their order; for the
    // running parameters, the fixed choice texts themselves.
    std::vector<std::string> choices;
    Rgb background;
    Rgb foreground{0, 0, 0};
    // The identifier the value cell belongs to; empty for labels and heads.
    std::string identifier;
};

// Editor, choices, colours and identifier of a cell of the base
// configuration grid. Label cells (columns 0 and 2) and the value cells of
// the head rows are not editable. Colours: a head row is white on
// RGB 100,100,100; rows 2, 4, 8, 10, 14, 16 are RGB 220,220,220; other label
// cells RGB 240,240,240; other value cells white.
CellSpec BaseConfigCell(int row, int column);

// The texts of a list cell's choices, in their order (empty for other cells).
std::vector<std::string> BaseConfigChoiceTexts(int row, int column, const TextLookup& texts);

// Key (section BaseConfig) of a label cell: "Item<row>" in column 0,
// "Item<row>-2" in column 2; empty for value cells and for (12,2).
std::string BaseConfigLabelKey(int row, int column);

// A grid with its labels filled and its value cells empty.
ConfigGrid NewBaseConfigGrid(const TextLookup& texts);

// The name of a value cell for messages: the label of its part's head, " / "
// and its own label ("Centre 2 / Main channel address").
std::string BaseConfigCellName(Cell cell, const TextLookup& texts);

// Function code 41 with kBaseConfigReadBody.
Command BaseConfigReadCommand();

// Fills the value cells from a 41 answer (the frame text from its body on),
// in the order 01, 02, 03, 04..0B, 0C, 0D, 0F, 1F. A missing 01 stops at
// once, a missing 0D or 0F stops there; an empty or unreadable value leaves
// its cells as they are. Nothing is read beyond a value: a short 01 value
// fills the centres it holds, a type-02 channel shorter than 20 digits
// shows its type and leaves its address cell.
void ShowBaseConfigReply(std::string_view replyText, ConfigGrid& grid, const TextLookup& texts);

// Composes the 40 command from the grid:
// "01 %s 02 %s 03 %s 04 %s 05 %s ... 0B %s 0C %02d 0D %s 0F %s 1F %s ".
// Every value the station receives is one the grid holds: a value cell that
// is empty or holds blanks, a list cell that matches none of its choices, a
// centre address other than two hexadecimal digits, or a malformed IPv4
// channel refuses the save, naming the cell. Channel values: "00"; "01" and
// the address text; "02", the four numbers as 3 digits each and the port
// (1..65535) as 6 digits. The device number type cell (15,1) is not saved.
SaveResult BaseConfigSaveCommand(const ConfigGrid& grid, const TextLookup& texts);

}  // namespace rtu::control
