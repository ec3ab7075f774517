// The running parameters of a station (function codes 43 read, 42 write):
// ten identifiers in a grid of 5 rows by 4 columns (label, value, label,
// value). Labels are Item<row> and Item<row>-2 of section RunConfig.
//
//   (0,1) 20 list "00" "01" "02" "03" "04" "06" "08" "12" "24"
//   (1,1) 25 list "1.0" "0.5" "0.2" "0.1"      (0,3) 22 text
//   (2,1) 26 list "1.0" "0.5" "0.1"            (1,3) 24 text
//   (3,1) 21 text                              (2,3) 38 text
//   (4,1) 23 text                              (3,3) 28 text
//                                              (4,3) 27 text
#pragma once

#include "rtu/control/BaseConfig.h"
#include "rtu/control/ControlTypes.h"

#include <array>
#include <string>
#include <string_view>

namespace rtu::control {

inline constexpr int kRunConfigRows = 5;
inline constexpr int kRunConfigColumns = 4;
inline constexpr std::array<int, 4> kRunConfigColumnWidths = {220, 125, 220, 125};

inline constexpr std::string_view kRunConfigReadBody = " 20 21 22 23 24 25 26 27 28 38 ";

// Editor, fixed choice texts, colours and identifier of a cell: rows 1 and 3
// RGB 220,220,220; other label cells RGB 240,240,240; value cells white.
// Labels are not editable.
CellSpec RunConfigCell(int row, int column);

// Key (section RunConfig) of a label cell; empty for value cells.
std::string RunConfigLabelKey(int row, int column);

ConfigGrid NewRunConfigGrid(const TextLookup& texts);

// The label of a value cell, for messages.
std::string RunConfigCellName(Cell cell, const TextLookup& texts);

// Function code 43 with kRunConfigReadBody.
Command RunConfigReadCommand();

// Writes the value of each identifier of a 43 answer into its cell, as
// received; a missing identifier empties its cell. All ten cells are visited.
void ShowRunConfigReply(std::string_view replyText, ConfigGrid& grid);

// The 42 command: "20 %s 21 %s 22 %s 23 %s 24 %s 25 %s 26 %s 27 %s 28 %s 38 %s "
// with 20 as "%02d" of the cell's one or two digits and the other nine as the
// cells hold them. A `20` cell that is not one or two digits, or any other
// cell that is empty or holds blanks or control characters, refuses the save.
SaveResult RunConfigSaveCommand(const ConfigGrid& grid, const TextLookup& texts);

}  // namespace rtu::control
