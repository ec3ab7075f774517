#include "rtu/protocol/Elements.h"

#include "rtu/protocol/HexText.h"

#include <algorithm>
#include <cstdio>

namespace rtu {
namespace {

bool EndsValue(char c)
{
    return c == ' ' || static_cast<unsigned char>(c) < 0x20;
}

int TwoDigits(std::string_view text, std::size_t at)
{
    const char a = text[at];
    const char b = text[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') {
        return -1;
    }
    return (a - '0') * 10 + (b - '0');
}

// Value of hexadecimal characters [at, at + width) of the text, or -1 when
// they are missing or not all hexadecimal digits.
long HexAt(std::string_view text, std::size_t at, std::size_t width)
{
    if (at + width > text.size()) {
        return -1;
    }
    long value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        const int digit = HexDigitValue(text[i]);
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace

std::string_view TextUpToZero(std::string_view bytes)
{
    const std::size_t zero = bytes.find('\0');
    return zero == std::string_view::npos ? bytes : bytes.substr(0, zero);
}

std::string_view BodyText(std::string_view frameText)
{
    return frameText.size() > 24 ? frameText.substr(24) : std::string_view{};
}

std::string_view FieldValue(std::string_view text, std::string_view identifier)
{
    if (identifier.empty()) {
        return {};
    }
    // Look for " ID " without building the pattern.
    std::size_t from = 0;
    while (true) {
        const std::size_t at = text.find(identifier, from);
        if (at == std::string_view::npos) {
            return {};
        }
        const std::size_t after = at + identifier.size();
        if (at > 0 && text[at - 1] == ' ' && after < text.size() && text[after] == ' ') {
            const std::size_t start = after + 1;
            std::size_t end = start;
            while (end < text.size() && !EndsValue(text[end])) {
                ++end;
            }
            return text.substr(start, end - start);
        }
        from = at + 1;
    }
}

std::vector<std::string_view> SplitText(std::string_view text, char separator)
{
    std::vector<std::string_view> tokens;
    tokens.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), separator)) + 1);
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            tokens.push_back(text.substr(start));
            return tokens;
        }
        tokens.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::optional<CalendarTime> DecodeObservationTime(std::string_view value)
{
    if (value.size() < 10) {
        return std::nullopt;
    }
    int groups[5];
    for (int i = 0; i < 5; ++i) {
        groups[i] = TwoDigits(value, static_cast<std::size_t>(2 * i));
        if (groups[i] < 0) {
            return std::nullopt;
        }
    }
    CalendarTime t;
    t.year = 2000 + groups[0];
    t.month = groups[1];
    t.day = groups[2];
    t.hour = groups[3];
    t.minute = groups[4];
    t.second = 0;
    if (t.month < 1 || t.month > 12 || t.day > DaysInMonth(t.year, t.month) || t.hour > 23 ||
        t.minute > 59) {
        return std::nullopt;
    }
    if (t.day == 0) {
        t.day = 1;
        t = PreviousDay(t);
    }
    return t;
}

FiveMinuteTexts DecodeFiveMinuteRain(std::string_view value)
{
    FiveMinuteTexts texts;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const long b = HexAt(value, 2 * i, 2);
        if (b < 0 || b == 0xFF) {
            continue;
        }
        char text[24];
        std::snprintf(text, sizeof text, "%ld.%ld", b / 10, b % 10);
        texts[i] = text;
    }
    return texts;
}

FiveMinuteTexts DecodeFiveMinuteLevel(std::string_view value)
{
    FiveMinuteTexts texts;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const long w = HexAt(value, 4 * i, 4);
        if (w < 0 || w == 0xFFFF) {
            continue;
        }
        char text[24];
        std::snprintf(text, sizeof text, "%ld.%02ld", w / 100, w % 100);
        texts[i] = text;
    }
    return texts;
}

CalendarTime FiveMinuteStepTime(const CalendarTime& hour, int step)
{
    step = std::clamp(step, 0, 11);
    CalendarTime t = hour;
    t.second = 0;
    if (step == 11) {
        t = NextHour(t);
        t.minute = 0;
    } else {
        t.minute = 5 * step + 5;
    }
    return t;
}

CalendarTime FiveMinuteSlot(const CalendarTime& observed)
{
    CalendarTime t = observed;
    t.second = 0;
    const int m = std::clamp(observed.minute, 0, 59);
    const int slotMinute = (m + 4) / 5 * 5;
    if (slotMinute == 60) {
        t = NextHour(t);
        t.minute = 0;
    } else {
        t.minute = slotMinute;
    }
    return t;
}

}  // namespace rtu
