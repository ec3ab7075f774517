// Calendar times and their texts: the local clock, the 12-digit send time of
// downlink frames, and the time texts of log lines and database rows.
#pragma once

#include <array>
#include <string>

namespace rtu {

struct CalendarTime {
    int year = 2000;  // four digits
    int month = 1;    // 1..12
    int day = 1;      // 1..days of the month
    int hour = 0;
    int minute = 0;
    int second = 0;
};

bool operator==(const CalendarTime& a, const CalendarTime& b);
inline bool operator!=(const CalendarTime& a, const CalendarTime& b) { return !(a == b); }

bool IsLeapYear(int year);
// 28..31; 0 for a month outside 1..12.
int DaysInMonth(int year, int month);

// The next calendar day, rolling the month and the year over.
CalendarTime NextDay(CalendarTime t);
// The previous calendar day, rolling the month and the year back.
CalendarTime PreviousDay(CalendarTime t);
// One hour later; hour 23 becomes 00 of the next day.
CalendarTime NextHour(CalendarTime t);

// The local time now.
CalendarTime LocalNow();

// "%04d-%02d-%02d %02d:%02d:%02d".
std::string TimeText(const CalendarTime& t);
// The same with ":00" seconds, as observation times are written.
std::string MinuteText(const CalendarTime& t);
// TimeText(LocalNow()).
std::string NowText();

// Send time of a downlink frame: 12 digits "%02d" of year - 2000, month, day,
// hour, minute, second, with a terminating zero.
using SendTimeDigits = std::array<char, 13>;
SendTimeDigits SendTimeText(const CalendarTime& t);

}  // namespace rtu
