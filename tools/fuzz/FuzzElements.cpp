// The element decoders of report and answer bodies: finding and splitting
// elements, the observation time (TT), the five-minute rainfall (DRP) and
// level (DRZ1) sequences and the five-minute step times.
//
// Input: byte 0 gives the length (0..7) of an identifier that follows; the
// rest is the text. Checks besides the sanitizers: values lie inside the text
// and hold no blank or control character, split pieces give back the text,
// decoded times are times of the calendar.
#include "rtu/protocol/Elements.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool InsideOf(std::string_view part, std::string_view whole)
{
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void CheckValue(std::string_view value, std::string_view text)
{
    if (!InsideOf(value, text)) std::abort();
    for (char c : value)
        if (c == ' ' || static_cast<unsigned char>(c) < 0x20) std::abort();
}

int DaysIn(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && rtu::IsLeapYear(year) ? 29 : days[month - 1];
}

void CheckTime(const rtu::CalendarTime& t)
{
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysIn(t.year, t.month)) std::abort();
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59) std::abort();
}

// A five-minute value: empty, or digits, a point and one or two digits.
void CheckStepText(const std::string& value, std::size_t decimals)
{
    if (value.empty()) return;
    const auto point = value.find('.');
    if (point == std::string::npos || point == 0 || value.size() - point - 1 != decimals) std::abort();
    for (std::size_t i = 0; i < value.size(); ++i)
        if (i != point && (value[i] < '0' || value[i] > '9')) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t idLength = data[0] % 8;
    if (size < 1 + idLength) return 0;
    const std::string_view identifier(reinterpret_cast<const char*>(data) + 1, idLength);
    const std::string_view input(reinterpret_cast<const char*>(data) + 1 + idLength, size - 1 - idLength);

    const std::string_view text = rtu::TextUpToZero(input);
    if (!InsideOf(text, input) || text.find('\0') != std::string_view::npos) std::abort();
    const std::string_view body = rtu::BodyText(input);
    if (!InsideOf(body, input)) std::abort();

    if (!identifier.empty()) CheckValue(rtu::FieldValue(text, identifier), text);
    for (const char* id : {"TT", "DRP", "DRZ1", "ST", "PJ", "Z"}) CheckValue(rtu::FieldValue(text, id), text);

    const auto pieces = rtu::SplitText(text, ' ');
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (!InsideOf(pieces[i], text)) std::abort();
        if (i > 0) joined += ' ';
        joined += pieces[i];
    }
    if (joined != text) std::abort();

    if (const auto observed = rtu::DecodeObservationTime(input)) {
        CheckTime(*observed);
        CheckTime(rtu::FiveMinuteSlot(*observed));
        for (int step = 0; step < 12; ++step) CheckTime(rtu::FiveMinuteStepTime(*observed, step));
    }
    for (const auto& value : rtu::DecodeFiveMinuteRain(input)) CheckStepText(value, 1);
    for (const auto& value : rtu::DecodeFiveMinuteLevel(input)) CheckStepText(value, 2);
    return 0;
}
