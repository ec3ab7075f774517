#include "rtu/control/PeriodData.h"

#include "rtu/control/ValueRules.h"
#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"

#include <algorithm>
#include <cstdio>

namespace rtu::control {

namespace {

// The body of a frame text without its end character and check code.
std::string_view BodyOnly(std::string_view frameText)
{
    if (frameText.size() < kFrameOverhead) return BodyText(frameText);
    return frameText.substr(kHeaderBytes, frameText.size() - kFrameOverhead);
}

bool IsHexToken(std::string_view token)
{
    return std::all_of(token.begin(), token.end(), [](char c) { return HexDigitValue(c) >= 0; });
}

std::string ValueText(unsigned value, PeriodKind kind)
{
    char text[16];
    if (kind == PeriodKind::kRainfall) {
        if (value == 0xFF) return "FF";
        std::snprintf(text, sizeof text, "%u.%u", value / 10, value % 10);
    } else {
        if (value == 0xFFFF) return "FFFF";
        std::snprintf(text, sizeof text, "%u.%02u", value / 100, value % 100);
    }
    return text;
}

}  // namespace

std::optional<PeriodData> ExtractPeriodData(std::string_view frameText)
{
    const std::string_view body = BodyOnly(frameText);
    PeriodData data;
    std::size_t at = body.find("DRP");
    std::size_t after = at + 3;
    if (at == std::string_view::npos) {
        at = body.find("DRZ1");
        if (at == std::string_view::npos) return std::nullopt;
        after = at + 4;
        data.kind = PeriodKind::kWaterLevel;
    }
    data.observationTime = std::string(FieldValue(body, "TT"));

    std::string hex;
    std::string_view rest = body.substr(after);
    const auto control = std::find_if(rest.begin(), rest.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    rest = rest.substr(0, static_cast<std::size_t>(control - rest.begin()));
    for (std::string_view token : SplitText(rest, ' ')) {
        if (!IsHexToken(token)) break;
        hex += token;
    }
    data.bytes.resize(hex.size() / 2);
    HexTextToBytes(hex, data.bytes.data(), data.bytes.size());
    return data;
}

std::vector<PeriodRow> PeriodRows(std::string_view observationTime, const std::vector<std::uint8_t>& bytes,
                                  PeriodKind kind)
{
    std::vector<PeriodRow> rows;
    if (observationTime.size() < 8 || !IsDecimal(observationTime.substr(0, 8), 8)) return rows;
    const auto two = [&](std::size_t at) { return LeadingInt(observationTime.substr(at, 2)); };
    CalendarTime t;
    t.year = 2000 + two(0);
    t.month = two(2);
    t.day = two(4);
    t.hour = two(6);
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) || t.hour > 24) return rows;

    const std::size_t width = kind == PeriodKind::kRainfall ? 1 : 2;
    const std::size_t count = bytes.size() / (12 * width);
    rows.reserve(count);
    for (std::size_t r = 0; r < count; ++r) {
        if (t.hour == 24) {
            t = NextDay(t);
            t.hour = 0;
        }
        PeriodRow row;
        char label[32];
        std::snprintf(label, sizeof label, "%04d-%02d-%02d %02d:00", t.year, t.month, t.day, t.hour);
        row.label = label;
        for (std::size_t i = 0; i < 12; ++i) {
            const std::size_t at = (r * 12 + i) * width;
            const unsigned value = width == 1 ? bytes[at] : (static_cast<unsigned>(bytes[at]) << 8) | bytes[at + 1];
            row.values[i] = ValueText(value, kind);
        }
        rows.push_back(std::move(row));
        ++t.hour;
    }
    return rows;
}

std::array<std::string, 12> PeriodColumnTitles()
{
    std::array<std::string, 12> titles;
    for (std::size_t i = 0; i < titles.size(); ++i) titles[i] = std::to_string((i + 1) * 5);
    return titles;
}

}  // namespace rtu::control
