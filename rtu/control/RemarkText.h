// The station remark dialog's values as server.ini keeps them. A remark may
// span several lines; it is stored on one line so that no line of it can
// become a key or a section of the file:
//   CR -> "\r", LF -> "\n", backslash -> "\\", a leading "[" -> "\[".
// Reading back undoes exactly these; any other backslash stays as it is, so
// remarks stored before are read as they were written.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rtu::control {

inline constexpr std::size_t kConversionIdLimit = 8;  // characters
inline constexpr std::size_t kRemarkLimit = 100;      // characters

std::string EscapeRemark(std::string_view remark);
std::string UnescapeRemark(std::string_view stored);

// Characters of a UTF-8 text (not bytes), as the dialog's limits count them.
std::size_t CharacterCount(std::string_view text);

enum class RemarkField { kNone, kConversionId, kRemark };

// The first field over its limit, or kNone: the dialog stays open on it.
RemarkField RemarkFieldOverLimit(std::string_view conversionId, std::string_view remark);

}  // namespace rtu::control
