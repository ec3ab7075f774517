#include "rtu/runtime/TextFormat.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/Settings.h"

#include <climits>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

namespace rtu {
namespace {

constexpr int kMaxWidth = 256;

// One piece of a parsed format: literal text, or one conversion.
struct Piece {
    bool conversion = false;
    std::string_view literal;
    std::string flags;
    int width = -1;
    int precision = -1;
    char type = 0;  // d i u o x X s
};

// Reads the digits of a width or precision (none reads as 0); false when the
// number passes kMaxWidth.
bool ReadNumber(std::string_view format, std::size_t& pos, int& number)
{
    number = 0;
    while (pos < format.size() && format[pos] >= '0' && format[pos] <= '9') {
        number = number * 10 + (format[pos] - '0');
        ++pos;
        if (number > kMaxWidth) {
            return false;
        }
    }
    return true;
}

bool FlagsAllowed(const std::string& flags, char type)
{
    std::string_view allowed = type == 's'                              ? "-"
                               : (type == 'd' || type == 'i' || type == 'u') ? "-+ 0"
                                                                           : "-+ 0#";
    return flags.find_first_not_of(allowed) == std::string::npos;
}

// Splits `format` into pieces; false when any conversion is refused.
bool Parse(std::string_view format, std::vector<Piece>& pieces)
{
    std::size_t pos = 0;
    while (pos < format.size()) {
        std::size_t percent = format.find('%', pos);
        if (percent == std::string_view::npos) {
            percent = format.size();
        }
        if (percent > pos) {
            Piece text;
            text.literal = format.substr(pos, percent - pos);
            pieces.push_back(text);
        }
        if (percent == format.size()) {
            break;
        }
        pos = percent + 1;
        if (pos < format.size() && format[pos] == '%') {
            Piece text;
            text.literal = "%";
            pieces.push_back(text);
            ++pos;
            continue;
        }
        Piece conv;
        conv.conversion = true;
        while (pos < format.size() && std::string_view("-+ #0").find(format[pos]) != std::string_view::npos) {
            conv.flags += format[pos++];
        }
        if (pos < format.size() && format[pos] >= '1' && format[pos] <= '9') {
            if (!ReadNumber(format, pos, conv.width)) {
                return false;
            }
        }
        if (pos < format.size() && format[pos] == '.') {
            ++pos;
            if (!ReadNumber(format, pos, conv.precision)) {
                return false;
            }
        }
        std::size_t modifierStart = pos;
        while (pos < format.size() && std::string_view("hljzt").find(format[pos]) != std::string_view::npos) {
            ++pos;
        }
        std::string_view modifier = format.substr(modifierStart, pos - modifierStart);
        if (pos == format.size()) {
            return false;  // a lone "%" at the end
        }
        conv.type = format[pos++];
        bool integer = std::string_view("diuoxX").find(conv.type) != std::string_view::npos;
        if (!integer && conv.type != 's') {
            return false;  // %n, %c, %p, floating point, "*", "$" and unknown letters
        }
        bool modifierOk = modifier.empty() ||
                          (integer && (modifier == "hh" || modifier == "h" || modifier == "l" ||
                                       modifier == "ll" || modifier == "j" || modifier == "z" ||
                                       modifier == "t"));
        if (!modifierOk || !FlagsAllowed(conv.flags, conv.type)) {
            return false;
        }
        pieces.push_back(conv);
    }
    return true;
}

bool Matches(const std::vector<Piece>& pieces, std::initializer_list<FormatArg> args)
{
    auto arg = args.begin();
    for (const Piece& piece : pieces) {
        if (!piece.conversion) {
            continue;
        }
        if (arg == args.end()) {
            return false;  // more fields than arguments
        }
        FormatArg::Kind wanted = piece.type == 's' ? FormatArg::Kind::Text : FormatArg::Kind::Integer;
        if (arg->kind() != wanted) {
            return false;
        }
        ++arg;
    }
    return true;
}

std::string SpecText(const Piece& piece, const char* lengthAndType)
{
    std::string spec = "%" + piece.flags;
    if (piece.width >= 0) {
        spec += std::to_string(piece.width);
    }
    if (piece.precision >= 0) {
        spec += "." + std::to_string(piece.precision);
    }
    return spec + lengthAndType;
}

// The conversion handed to snprintf is built above from a checked conversion and
// always matches the value's type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <typename T>
void AppendFormatted(std::string& out, const std::string& spec, T value)
{
    char buffer[2 * kMaxWidth + 64];
    int n = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
    if (n > 0) {
        out.append(buffer, static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n)
                                                                         : sizeof buffer - 1);
    }
}
#pragma GCC diagnostic pop

void AppendConversion(std::string& out, const Piece& piece, const FormatArg& arg)
{
    if (piece.type == 's') {
        std::string_view text = arg.text();
        if (piece.width <= 0 && piece.precision < 0) {
            out.append(text);
            return;
        }
        if (piece.precision >= 0 && text.size() > static_cast<std::size_t>(piece.precision)) {
            text = text.substr(0, static_cast<std::size_t>(piece.precision));
        }
        std::size_t width = piece.width > 0 ? static_cast<std::size_t>(piece.width) : 0;
        std::string padding(width > text.size() ? width - text.size() : 0, ' ');
        bool left = piece.flags.find('-') != std::string::npos;
        out += left ? std::string(text) + padding : padding + std::string(text);
        return;
    }
    bool isSignedConversion = piece.type == 'd' || piece.type == 'i';
    if (isSignedConversion && arg.negative()) {
        long long value = arg.magnitude() > static_cast<std::uint64_t>(LLONG_MAX)
                              ? LLONG_MIN
                              : -static_cast<long long>(arg.magnitude());
        AppendFormatted(out, SpecText(piece, "lld"), value);
    } else if (isSignedConversion && arg.magnitude() <= static_cast<std::uint64_t>(LLONG_MAX)) {
        AppendFormatted(out, SpecText(piece, "lld"), static_cast<long long>(arg.magnitude()));
    } else {
        // Unsigned conversions show a negative value in two's complement.
        unsigned long long value = arg.negative() ? 0ULL - arg.magnitude() : arg.magnitude();
        char type[4] = {'l', 'l', isSignedConversion ? 'u' : piece.type, '\0'};
        AppendFormatted(out, SpecText(piece, type), value);
    }
}

std::string Fallback(std::string_view format, std::initializer_list<FormatArg> args)
{
    std::string out(format);
    for (const FormatArg& arg : args) {
        out += ' ';
        out += arg.ToText();
    }
    return out;
}

}  // namespace

std::string FormatArg::ToText() const
{
    if (kind_ == Kind::Text) {
        return std::string(text_);
    }
    std::string digits = std::to_string(magnitude_);
    return negative_ ? "-" + digits : digits;
}

bool FormatAccepts(std::string_view format, std::initializer_list<FormatArg> args)
{
    std::vector<Piece> pieces;
    return Parse(format, pieces) && Matches(pieces, args);
}

std::string FormatText(std::string_view format, std::initializer_list<FormatArg> args)
{
    if (format.empty()) {
        return {};
    }
    std::vector<Piece> pieces;
    if (!Parse(format, pieces) || !Matches(pieces, args)) {
        return Fallback(format, args);
    }
    std::string out;
    auto arg = args.begin();
    for (const Piece& piece : pieces) {
        if (piece.conversion) {
            AppendConversion(out, piece, *arg++);
        } else {
            out.append(piece.literal);
        }
    }
    return out;
}

std::string FormatConfigText(std::string_view section, std::string_view key,
                             std::initializer_list<FormatArg> args)
{
    std::string format = LoadText(section, key);
    if (!format.empty() && !FormatAccepts(format, args)) {
        static std::mutex reportedLock;
        static std::set<std::string> reported;
        std::string name = std::string(section) + "/" + std::string(key);
        bool first;
        {
            std::lock_guard<std::mutex> lock(reportedLock);
            first = reported.insert(name).second;
        }
        if (first) {
            RTU_LOG_ERROR("config.ini [" << section << "] " << key << " = \"" << format << "\" holds fields "
                                         << "that do not fit its " << args.size()
                                         << " value(s); shown unformatted");
        }
    }
    return FormatText(format, args);
}

}  // namespace rtu
