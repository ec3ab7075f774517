// Hexadecimal texts of bytes: the raw-frame column of the database, frames
// prepared by other systems, and the dumps in log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rtu {

// Two upper-case hexadecimal digits per byte, no separators: 0x0A 0x1F give
// "0A1F".
std::string BytesToHexText(std::string_view bytes);

// Byte i is built from characters 2i and 2i+1. A decimal digit stands for its
// value; any other character c stands for (upper case of c) - 55, so "A".."F"
// and "a".."f" give 10..15 and other characters give out-of-range nibbles
// that are added as they are (the byte keeps the low 8 bits). Converts
// min(text.size() / 2, capacity) bytes into `out` and returns that count.
// Callers that must refuse bad input check IsHexText first.
std::size_t HexTextToBytes(std::string_view text, std::uint8_t* out, std::size_t capacity);

// True when the text has an even length and holds only hexadecimal digits
// (either case).
bool IsHexText(std::string_view text);

// Value of one hexadecimal digit, or -1.
int HexDigitValue(char c);

// "%02X" of the byte.
std::string ByteToHex2(std::uint8_t byte);

// Dump for log lines: (width - 1) / 3 bytes per line (13 for the width 40),
// each line "HH HH ... " padded to full width, " - ", the printable
// characters (others as "."), "\n".
std::string HexDumpText(std::string_view bytes, int width);

}  // namespace rtu
