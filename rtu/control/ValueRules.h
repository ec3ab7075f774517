// Small rules on value texts shared by the configuration pages and the
// commands: what a value on the wire may hold, C atoi, and the reading of
// identifier/value pairs from an answer.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace rtu::control {

// A value that can stand in a body between blanks: not empty, and without
// blanks or control characters (which would end it early or end the frame).
bool IsWireValue(std::string_view text);

// C atoi: blanks skipped, an optional sign, the leading decimal digits; no
// digits give 0. Held at the int range.
int LeadingInt(std::string_view text);

// True when the text is 1 to `maxDigits` decimal digits.
bool IsDecimal(std::string_view text, std::size_t maxDigits);

// Reads an answer as identifier/value pairs. The text is cut at its first
// control character (the end character of the frame) and split at blanks;
// walking the tokens from the left, a token that is one of `identifiers`
// takes the token after it as its value, and that value is never read as an
// identifier itself ("20 24 21 05" gives 20 = "24", 21 = "05", no 24). The
// first pair of an identifier wins. Identifiers without a pair are missing.
std::map<std::string, std::string> ReadElementPairs(std::string_view text,
                                                    const std::vector<std::string_view>& identifiers);

}  // namespace rtu::control
