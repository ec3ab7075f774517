// The answer to a period query (function code 38): the observation time and
// the five-minute values after DRP (one byte each, tenths of a millimetre) or
// DRZ1 (two bytes each, hundredths of a metre), and the rows of the result
// table, one per hour with twelve values.
#pragma once

#include "rtu/protocol/TimeText.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtu::control {

enum class PeriodKind { kRainfall = 0, kWaterLevel = 1 };

struct PeriodData {
    std::string observationTime;      // value of TT
    std::vector<std::uint8_t> bytes;  // the values' bytes
    PeriodKind kind = PeriodKind::kRainfall;
};

// Reads a 38 answer given as the whole frame text. The data follow the first
// "DRP" of the body, or the first "DRZ1" when there is none; they are the
// hexadecimal tokens after it (blanks between them are dropped), up to the
// first token that is not hexadecimal or the end of the body (the end
// character and the check code are never read). A last odd digit is ignored.
// Empty when the body holds neither identifier.
std::optional<PeriodData> ExtractPeriodData(std::string_view frameText);

struct PeriodRow {
    std::string label;                 // "%04d-%02d-%02d %02d:00"
    std::array<std::string, 12> values;
};

// The rows of the result table: bytes / 12 rows for rainfall, bytes / 24 for
// levels (left-over bytes are not shown), from the hour of the observation
// time (its first 8 characters yyMMddHH), one hour per row; hour 24 is
// 00:00 of the next day. Rainfall 255 shows "FF", else "%d.%d" of v / 10 and
// v % 10; levels 65535 show "FFFF", else "%d.%02d" of v / 100 and v % 100.
// No rows when the observation time is not 8 digits naming a day and an hour
// from 0 to 24.
std::vector<PeriodRow> PeriodRows(std::string_view observationTime, const std::vector<std::uint8_t>& bytes,
                                  PeriodKind kind);

// Background of a result row: light grey (220,220,220) for odd rows.
inline bool PeriodRowShaded(std::size_t index) { return index % 2 == 1; }

// Headers of the result table's columns 1 to 12: "5", "10" .. "60".
std::array<std::string, 12> PeriodColumnTitles();

}  // namespace rtu::control
