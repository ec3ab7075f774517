// Elements of report and answer bodies: an identifier followed by its value,
// separated by blanks, after the serial number and send time. Finding and
// splitting them, and decoding the observation time and the five-minute
// rainfall and level sequences.
#pragma once

#include "rtu/protocol/TimeText.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rtu {

// The bytes as text: up to their first zero byte, or all of them.
std::string_view TextUpToZero(std::string_view bytes);

// The body of a frame given as text: from offset 24 (just after STX) to the
// end, end character and check code included. Empty for a shorter text.
std::string_view BodyText(std::string_view frameText);

// Value of an element: the identifier is looked for with one blank before and
// one blank after it (the first occurrence wins); the value runs from there
// to the next blank, the next control character (the end character of the
// frame) or the end of the text. Empty when the identifier is not found.
std::string_view FieldValue(std::string_view text, std::string_view identifier);

// Every piece between separators, empty pieces included, as if a separator
// were appended to the text: "a  b" gives "a", "", "b"; an empty text gives
// one empty token.
std::vector<std::string_view> SplitText(std::string_view text, char separator);

// Observation time of a `TT` value: the first 10 characters as yyMMddHHmm,
// year 2000 + yy, seconds 0. Day 0 is the last day of the previous month by
// the calendar (a station's way of writing the end of a day). Empty when the
// value is shorter than 10 characters, holds other than decimal digits, or is
// no time (month 13, hour 24, minute 60, day 31 of April and the like).
std::optional<CalendarTime> DecodeObservationTime(std::string_view value);

// Twelve five-minute values of an hour; an empty text is no value.
using FiveMinuteTexts = std::array<std::string, 12>;

// `DRP`: 12 bytes in 24 hexadecimal characters, tenths of a millimetre; 0xFF
// is no value, otherwise "%d.%d" (0x0F gives "1.5").
FiveMinuteTexts DecodeFiveMinuteRain(std::string_view value);

// `DRZ1`: 12 words of 2 bytes (high first) in 48 hexadecimal characters,
// hundredths of a metre; 0xFFFF is no value, otherwise "%d.%02d" (04D2 gives
// "12.34").
// For both: a step whose characters are missing or not hexadecimal digits has
// no value; nothing is read beyond the value.
FiveMinuteTexts DecodeFiveMinuteLevel(std::string_view value);

// Time of step 0..11 of an hourly report whose hour is that of `hour` (its
// minute is not used): HH:05 .. HH:55, and for step 11 the next full hour,
// rolling the day, month and year over.
CalendarTime FiveMinuteStepTime(const CalendarTime& hour, int step);

// Slot of a five-minute report: the minute moved up to the next multiple of 5
// (HH:00 stays, HH:01..HH:05 give HH:05, HH:56..HH:59 the next full hour,
// with the calendar roll-over); seconds 0.
CalendarTime FiveMinuteSlot(const CalendarTime& observed);

}  // namespace rtu
