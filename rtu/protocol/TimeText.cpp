#include "rtu/protocol/TimeText.h"

#include <cstdio>
#include <ctime>

namespace rtu {

bool operator==(const CalendarTime& a, const CalendarTime& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        return 0;
    }
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

CalendarTime NextDay(CalendarTime t)
{
    if (++t.day > DaysInMonth(t.year, t.month)) {
        t.day = 1;
        if (++t.month > 12) {
            t.month = 1;
            ++t.year;
        }
    }
    return t;
}

CalendarTime PreviousDay(CalendarTime t)
{
    if (--t.day < 1) {
        if (--t.month < 1) {
            t.month = 12;
            --t.year;
        }
        t.day = DaysInMonth(t.year, t.month);
    }
    return t;
}

CalendarTime NextHour(CalendarTime t)
{
    if (++t.hour > 23) {
        t.hour = 0;
        t = NextDay(t);
    }
    return t;
}

CalendarTime LocalNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    CalendarTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    return t;
}

std::string TimeText(const CalendarTime& t)
{
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

std::string MinuteText(const CalendarTime& t)
{
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:00", t.year, t.month, t.day, t.hour,
                  t.minute);
    return text;
}

std::string NowText()
{
    return TimeText(LocalNow());
}

SendTimeDigits SendTimeText(const CalendarTime& t)
{
    // Each field is kept to two digits so the send time is always 12
    // characters and the frame layout cannot shift.
    auto two = [](int v) { return ((v % 100) + 100) % 100; };
    SendTimeDigits digits{};
    std::snprintf(digits.data(), digits.size(), "%02d%02d%02d%02d%02d%02d", two(t.year - 2000),
                  two(t.month), two(t.day), two(t.hour), two(t.minute), two(t.second));
    return digits;
}

}  // namespace rtu
