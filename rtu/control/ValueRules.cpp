#include "rtu/control/ValueRules.h"

#include <algorithm>
#include <climits>

namespace rtu::control {

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

}  // namespace

bool IsWireValue(std::string_view text)
{
    if (text.empty()) return false;
    return std::none_of(text.begin(), text.end(), [](char c) { return c == ' ' || IsControl(c); });
}

int LeadingInt(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool IsDecimal(std::string_view text, std::size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::map<std::string, std::string> ReadElementPairs(std::string_view text,
                                                    const std::vector<std::string_view>& identifiers)
{
    const auto end = std::find_if(text.begin(), text.end(), IsControl);
    text = text.substr(0, static_cast<std::size_t>(end - text.begin()));

    std::vector<std::string_view> tokens;
    std::size_t from = 0;
    while (true) {
        const std::size_t blank = text.find(' ', from);
        tokens.push_back(text.substr(from, blank == std::string_view::npos ? std::string_view::npos : blank - from));
        if (blank == std::string_view::npos) break;
        from = blank + 1;
    }

    std::map<std::string, std::string> pairs;
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        const bool known = std::find(identifiers.begin(), identifiers.end(), tokens[i]) != identifiers.end();
        if (!known || tokens[i].empty()) continue;
        pairs.emplace(std::string(tokens[i]), std::string(tokens[i + 1]));
        ++i;  // the value is not an identifier
    }
    return pairs;
}

}  // namespace rtu::control
