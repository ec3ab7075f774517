// Element values: finding and splitting elements, observation times, the
// five-minute sequences and the times they stand for.
#include "rtu/protocol/Elements.h"

#include <gtest/gtest.h>

#include <string>

namespace rtu {
namespace {

TEST(FieldValue, FindsValuesIncludingTheLastBeforeTheEndCharacter)
{
    const std::string body = "00012405061230 TT 2405061230 PZ 9 Z 12.3 Q 0.5 VT 12.6\x03" "ab12";
    EXPECT_EQ(FieldValue(body, "Z"), "12.3");
    EXPECT_EQ(FieldValue(body, "Q"), "0.5");
    EXPECT_EQ(FieldValue(body, "TT"), "2405061230");
    EXPECT_EQ(FieldValue(body, "VT"), "12.6");        // last, before the end character
    EXPECT_EQ(FieldValue("x Z 1.5", "Z"), "1.5");     // last, at the end of the text
    EXPECT_EQ(FieldValue("x Z  Q 1", "Z"), "");       // empty value
    EXPECT_EQ(FieldValue("x Z \x03" "ab12", "Z"), "");
    EXPECT_EQ(FieldValue(body, "PJ"), "");
    EXPECT_EQ(FieldValue("Z 1 Q 2", "Z"), "");        // needs a blank before it
    EXPECT_EQ(FieldValue("x Z 1 Z 2", "Z"), "1");     // first occurrence wins
    EXPECT_EQ(FieldValue("x ZZ 1 Z 2", "Z"), "2");
    EXPECT_EQ(FieldValue("x Z", "Z"), "");
}

TEST(SplitText, KeepsEmptyTokens)
{
    const auto tokens = SplitText("a  b c ", ' ');
    ASSERT_EQ(tokens.size(), 5u);
    EXPECT_EQ(tokens[0], "a");
    EXPECT_EQ(tokens[1], "");
    EXPECT_EQ(tokens[2], "b");
    EXPECT_EQ(tokens[3], "c");
    EXPECT_EQ(tokens[4], "");
    EXPECT_EQ(SplitText("", ' ').size(), 1u);
    EXPECT_EQ(SplitText("2024-05-06", '-').size(), 3u);
}

TEST(TextUpToZero, EndsAtTheFirstZeroByte)
{
    EXPECT_EQ(TextUpToZero(std::string_view("ab\0cd", 5)), "ab");
    EXPECT_EQ(TextUpToZero("abc"), "abc");
    EXPECT_EQ(BodyText(std::string(24, 'h') + "body"), "body");
    EXPECT_EQ(BodyText("short"), "");
}

TEST(DecodeObservationTime, ReadsDayZeroAsTheLastDayOfThePreviousMonth)
{
    struct Case {
        const char* value;
        const char* text;
    };
    const Case cases[] = {
        {"2405061230", "2024-05-06 12:30:00"},
        {"2403000815", "2024-02-29 08:15:00"},
        {"2303000815", "2023-02-28 08:15:00"},
        {"2401000000", "2023-12-31 00:00:00"},
        {"2405002359", "2024-04-30 23:59:00"},
        {"2402290815", "2024-02-29 08:15:00"},
        {"240506123099", "2024-05-06 12:30:00"},  // only the first 10 characters count
    };
    for (const Case& c : cases) {
        const auto t = DecodeObservationTime(c.value);
        ASSERT_TRUE(t) << c.value;
        EXPECT_EQ(MinuteText(*t), c.text) << c.value;
    }
    for (const char* bad : {"", "24050612", "24O5061230", "2413061230", "2400061230", "2302290815",
                            "2404310815", "2405062400", "2405061260", "24 5061230"}) {
        EXPECT_FALSE(DecodeObservationTime(bad)) << bad;
    }
}

TEST(FiveMinuteValues, DecodeRainAndLevelSteps)
{
    const auto rain = DecodeFiveMinuteRain("FF0A0F00FFFFFFFFFFFFFFC8");
    EXPECT_EQ(rain[0], "");
    EXPECT_EQ(rain[1], "1.0");
    EXPECT_EQ(rain[2], "1.5");
    EXPECT_EQ(rain[3], "0.0");
    EXPECT_EQ(rain[4], "");
    EXPECT_EQ(rain[11], "20.0");

    const auto level = DecodeFiveMinuteLevel("FFFF006404D2" + std::string(32, 'F') + "0005");
    EXPECT_EQ(level[0], "");
    EXPECT_EQ(level[1], "1.00");
    EXPECT_EQ(level[2], "12.34");
    EXPECT_EQ(level[3], "");
    EXPECT_EQ(level[11], "0.05");

    // Short or damaged values: the missing or unreadable steps have no value.
    const auto shortRain = DecodeFiveMinuteRain("0A0B0");
    EXPECT_EQ(shortRain[0], "1.0");
    EXPECT_EQ(shortRain[1], "1.1");
    EXPECT_EQ(shortRain[2], "");
    EXPECT_EQ(DecodeFiveMinuteLevel("00640G64")[1], "");
    EXPECT_EQ(DecodeFiveMinuteLevel("00640G64")[0], "1.00");
}

TEST(FiveMinuteTimes, StepsAndSlotsRollOverTheCalendar)
{
    const CalendarTime hour23{2023, 12, 31, 23, 40, 0};
    EXPECT_EQ(MinuteText(FiveMinuteStepTime(hour23, 0)), "2023-12-31 23:05:00");
    EXPECT_EQ(MinuteText(FiveMinuteStepTime(hour23, 10)), "2023-12-31 23:55:00");
    EXPECT_EQ(MinuteText(FiveMinuteStepTime(hour23, 11)), "2024-01-01 00:00:00");
    EXPECT_EQ(MinuteText(FiveMinuteStepTime({2024, 2, 28, 23, 0, 0}, 11)), "2024-02-29 00:00:00");
    EXPECT_EQ(MinuteText(FiveMinuteStepTime({2100, 2, 28, 23, 0, 0}, 11)), "2100-03-01 00:00:00");
    EXPECT_EQ(MinuteText(FiveMinuteStepTime({2000, 2, 28, 23, 0, 0}, 11)), "2000-02-29 00:00:00");
    EXPECT_EQ(MinuteText(FiveMinuteStepTime({2024, 5, 6, 8, 0, 0}, 11)), "2024-05-06 09:00:00");

    struct Case {
        int hour, minute;
        const char* slot;
    };
    const Case slots[] = {
        {10, 0, "2024-05-06 10:00:00"},  {10, 1, "2024-05-06 10:05:00"},
        {10, 5, "2024-05-06 10:05:00"},  {10, 6, "2024-05-06 10:10:00"},
        {10, 55, "2024-05-06 10:55:00"}, {10, 57, "2024-05-06 11:00:00"},
    };
    for (const Case& c : slots) {
        EXPECT_EQ(MinuteText(FiveMinuteSlot({2024, 5, 6, c.hour, c.minute, 0})), c.slot)
            << c.hour << ':' << c.minute;
    }
    EXPECT_EQ(MinuteText(FiveMinuteSlot({2023, 12, 31, 23, 58, 0})), "2024-01-01 00:00:00");
    EXPECT_EQ(MinuteText(FiveMinuteSlot({2023, 2, 28, 23, 56, 0})), "2023-03-01 00:00:00");
}

}  // namespace
}  // namespace rtu
