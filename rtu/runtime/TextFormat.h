// Checked printf-style formatting of texts that come from files the operator
// may edit (config.ini, and DevicePattern of server.ini).
//
// The caller states the fields it supplies by the arguments it passes: an
// integer argument fills one integer conversion (%d %i %u %o %x %X), a text
// argument fills one %s. The text is formatted only when its conversions are
// accepted:
//   - each conversion, in order, matches the kind of the argument in its place;
//   - flags, a width and a precision (written as digits, at most 256) are
//     allowed where C defines them for that conversion; "*" widths, numbered
//     arguments ("%1$s"), %n, %c, %p, floating-point conversions and anything
//     unknown are refused;
//   - "%%" is a percent sign;
//   - there may be fewer conversions than arguments (the rest are unused, as
//     with printf), never more.
// A text that is refused is shown as it stands with each argument appended
// after a blank, so an edited file can never crash the program or lose the
// values of a log line. An empty text gives an empty result.
//
// Texts of this program used as formats, with their arguments:
//   MainFrame Text8 (port), Text11 (port)                       one integer
//   MainFrame Text10, Text12 (COM text, BAUDRATE text)          two texts
//   MainFrame Text16 (storage number, centre address)           two texts
//   MainFrame Text17, Text18 (storage number)                   one text
//   MainFrame Text29 (station address, answer text)             two texts
//   SLRtuApp Title (version "1.1.0")                            one text
//   BaseConfig Text1, Text4 (station address)                   one text
//   ClockControl Text1, Text2 (station address)                 one text
//   DeviceView Text1 ... Text6 (station address)                one text
//   server.ini COMM DevicePattern (port number)                 one integer
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace rtu {

// One argument of a checked format: an integer or a text. A text argument
// refers to the caller's characters, so arguments live only for the call.
class FormatArg {
public:
    enum class Kind { Integer, Text };

    template <typename T,
              std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    FormatArg(T value)  // NOLINT(google-explicit-constructor): arguments read like printf's
        : kind_(Kind::Integer), magnitude_(static_cast<std::uint64_t>(value))
    {
        if constexpr (std::is_signed_v<T>) {
            if (value < 0) {
                negative_ = true;
                magnitude_ = static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(value);
            }
        }
    }
    FormatArg(const char* text) : kind_(Kind::Text), text_(text ? text : "") {}  // NOLINT
    FormatArg(std::string_view text) : kind_(Kind::Text), text_(text) {}          // NOLINT
    FormatArg(const std::string& text) : kind_(Kind::Text), text_(text) {}        // NOLINT

    Kind kind() const { return kind_; }
    bool negative() const { return negative_; }
    std::uint64_t magnitude() const { return magnitude_; }
    std::string_view text() const { return text_; }

    // The argument as plain text (decimal for integers).
    std::string ToText() const;

private:
    Kind kind_;
    bool negative_ = false;
    std::uint64_t magnitude_ = 0;
    std::string_view text_;
};

// True when `format` would be formatted with `args` (see above).
bool FormatAccepts(std::string_view format, std::initializer_list<FormatArg> args);

// `format` filled with `args` when accepted, otherwise the fallback above.
std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args);

// The text under `key` of `section` in config.ini (LoadText) filled with
// `args`. A text that is refused is logged once per section and key.
std::string FormatConfigText(std::string_view section, std::string_view key,
                             std::initializer_list<FormatArg> args);

}  // namespace rtu
