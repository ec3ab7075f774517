// Frame codec: check code, frame layouts, acknowledgement, command frames,
// serial numbers and the hex texts used in logs and the database.
#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"
#include "rtu/protocol/SerialNumber.h"
#include "rtu/protocol/TimeText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace rtu {
namespace {

// An uplink frame as a station writes it: centre address first.
std::string UplinkFrame(const std::string& body, bool upperCaseCheckCode = false)
{
    char length[4];
    std::snprintf(length, sizeof length, "%03X", static_cast<unsigned>(body.size()));
    std::string frame = std::string(1, kSoh) + "01" + "0012345678" + "1234" + "32" + "0" + length +
                        std::string(1, kStx) + body + "\x03";
    char code[5];
    std::snprintf(code, sizeof code, upperCaseCheckCode ? "%04X" : "%04x", CalcCrc16(frame));
    return frame + code;
}

const CalendarTime kSendTime{2024, 5, 6, 12, 30, 45};

TEST(Crc16, MatchesWorkedValues)
{
    EXPECT_EQ(CalcCrc16(std::string_view("123456789")), 0x4B37);
    EXPECT_EQ(CalcCrc16(std::string_view("abc")), 0x5749);
    const std::uint8_t bytes[] = {'a', 'b', 'c'};
    EXPECT_EQ(CalcCrc16(bytes, 3), 0x5749);
    EXPECT_EQ(CalcCrc16(std::string_view()), 0xFFFF);
}

TEST(VerifyCheckCode, AcceptsEitherCaseAndRefusesDamage)
{
    const std::string lower = UplinkFrame("00A7240506123045 TT 2405061230 Z 1.23 ");
    const std::string upper = UplinkFrame("00A7240506123045 TT 2405061230 Z 1.23 ", true);
    EXPECT_TRUE(VerifyCheckCode(lower));
    EXPECT_TRUE(VerifyCheckCode(upper));

    std::string damaged = lower;
    damaged[30] ^= 0x01;
    EXPECT_FALSE(VerifyCheckCode(damaged));
    std::string badDigits = lower;
    badDigits.replace(badDigits.size() - 4, 4, "zzzz");
    EXPECT_FALSE(VerifyCheckCode(badDigits));
    EXPECT_FALSE(VerifyCheckCode("abcd"));
}

TEST(ParseBodyLength, RequiresThreeHexDigitsThatFitAFrame)
{
    EXPECT_EQ(ParseBodyLength("02A"), 42);
    EXPECT_EQ(ParseBodyLength("000"), 0);
    EXPECT_EQ(ParseBodyLength("fe3"), 4067);
    for (const char* bad : {"FE4", "FFF", " 2A", "+2A", "-01", "2A ", "0x1", "2A", "0002"}) {
        EXPECT_FALSE(ParseBodyLength(bad)) << '"' << bad << '"';
    }
}

TEST(ReadUplinkHeader, TakesFieldsAtTheirOffsets)
{
    const std::string frame = UplinkFrame(std::string(42, 'x'));
    const auto h = ReadUplinkHeader(frame);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->centre, "01");
    EXPECT_EQ(h->station, "0012345678");
    EXPECT_EQ(h->password, "1234");
    EXPECT_EQ(h->functionCode, "32");
    EXPECT_EQ(h->lengthField, "02A");
    EXPECT_EQ(h->bodyLength, 42);
    EXPECT_EQ(h->startOfBody, kStx);
    EXPECT_EQ(frame.size(), 71u);
    EXPECT_FALSE(ReadUplinkHeader(frame.substr(0, 23)));
}

TEST(Acknowledgement, EchoesHeaderAndSerialNumberWithAck)
{
    const std::string received = UplinkFrame("00A7240506120000 TT 2405061200 Z 1.23 ");
    FrameBytes ack;
    ASSERT_TRUE(BuildAcknowledgement(received, kSendTime, ack));
    const std::string_view a = ack.View();
    ASSERT_EQ(a.size(), kAcknowledgementBytes);
    EXPECT_EQ(a[0], kSoh);
    // Downlink order: station address, then centre address.
    EXPECT_EQ(a.substr(1, 10), "0012345678");
    EXPECT_EQ(a.substr(11, 2), "01");
    EXPECT_EQ(a.substr(13, 4), "1234");
    EXPECT_EQ(a.substr(17, 2), "32");
    EXPECT_EQ(a.substr(19, 4), "8010");
    EXPECT_EQ(a[23], kStx);
    EXPECT_EQ(a.substr(24, 16), "00A7240506123045");
    EXPECT_EQ(a[40], kAck);
    const std::string code(a.substr(41));
    EXPECT_TRUE(std::all_of(code.begin(), code.end(),
                            [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f'); }))
        << code;
    EXPECT_TRUE(VerifyCheckCode(a));

    EXPECT_FALSE(BuildAcknowledgement(received.substr(0, 27), kSendTime, ack));
    EXPECT_EQ(ack.Size(), 0);
}

TEST(CommandFrame, LengthFieldSerialNumberAndLimit)
{
    SerialNumberCounter serials(0x0042);
    const DownlinkAddress to{"0012345678", "01", "1234"};
    FrameBytes frame;

    ASSERT_EQ(BuildCommandFrame(to, "41", std::string(30, 'c'), serials, kSendTime, frame),
              CommandBuild::kBuilt);
    const std::string_view f = frame.View();
    EXPECT_EQ(f.size(), 46u + kFrameOverhead);
    EXPECT_EQ(f.substr(1, 10), "0012345678");
    EXPECT_EQ(f.substr(11, 2), "01");
    EXPECT_EQ(f.substr(17, 2), "41");
    EXPECT_EQ(f.substr(19, 4), "802E");
    EXPECT_EQ(f.substr(24, 16), "0042240506123045");
    EXPECT_EQ(f[24 + 46], kEnq);
    EXPECT_TRUE(VerifyCheckCode(f));

    ASSERT_EQ(BuildCommandFrame(to, "4A", "", serials, kSendTime, frame), CommandBuild::kBuilt);
    EXPECT_EQ(frame.View().substr(19, 4), "8010");
    EXPECT_EQ(frame.View().substr(24, 4), "0043");

    ASSERT_EQ(BuildCommandFrame(to, "E1", std::string(kMaxCommandText, 'c'), serials, kSendTime, frame),
              CommandBuild::kBuilt);
    EXPECT_EQ(frame.View().substr(19, 4), "8400");
    EXPECT_EQ(frame.Size(), 1053);

    // Refused frames do not use up a serial number.
    EXPECT_EQ(BuildCommandFrame(to, "E1", std::string(kMaxCommandText + 1, 'c'), serials, kSendTime, frame),
              CommandBuild::kTooLong);
    EXPECT_EQ(frame.Size(), 0);
    EXPECT_EQ(BuildCommandFrame({"12345", "01", "1234"}, "41", "", serials, kSendTime, frame),
              CommandBuild::kBadAddress);
    EXPECT_EQ(BuildCommandFrame(to, "4", "", serials, kSendTime, frame), CommandBuild::kBadAddress);
    EXPECT_EQ(serials.Peek(), 0x0045);
}

TEST(SerialNumbers, WrapFromFFFEToOneAndNeverRepeatAcrossThreads)
{
    SerialNumberCounter serials(0xFFFD);
    EXPECT_EQ(serials.Take(), 0xFFFD);
    EXPECT_EQ(serials.Take(), 0xFFFE);
    EXPECT_EQ(serials.Take(), 0x0001);
    EXPECT_EQ(SerialNumberCounter(0xFFFF).Peek(), 1);
    EXPECT_EQ(SerialNumberCounter(0).Peek(), 1);

    const DownlinkAddress to{"0012345678", "01", "1234"};
    SerialNumberCounter atEnd(0xFFFE);
    FrameBytes frame;
    BuildCommandFrame(to, "51", "", atEnd, kSendTime, frame);
    EXPECT_EQ(frame.View().substr(24, 4), "FFFE");
    BuildCommandFrame(to, "51", "", atEnd, kSendTime, frame);
    EXPECT_EQ(frame.View().substr(24, 4), "0001");

    // Four threads together take most of a cycle: no value twice.
    SerialNumberCounter shared;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 16000;
    std::vector<std::vector<std::uint16_t>> taken(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                taken[t].push_back(shared.Take());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::set<std::uint16_t> all;
    for (const auto& list : taken) {
        all.insert(list.begin(), list.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(all.count(0), 0u);
    EXPECT_EQ(all.count(0xFFFF), 0u);
}

TEST(HexText, ConvertsBothWays)
{
    EXPECT_EQ(BytesToHexText(std::string_view("\x0A\x1F", 2)), "0A1F");
    EXPECT_EQ(BytesToHexText(std::string_view("\xB5\x00", 2)), "B500");
    EXPECT_EQ(ByteToHex2(0x0B), "0B");

    std::uint8_t out[4] = {};
    EXPECT_EQ(HexTextToBytes("0a1FfF", out, sizeof out), 3u);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x1F);
    EXPECT_EQ(out[2], 0xFF);
    // Never writes past the capacity; an odd last character is not a byte.
    EXPECT_EQ(HexTextToBytes("0102030405", out, 2), 2u);
    EXPECT_EQ(HexTextToBytes("123", out, sizeof out), 1u);
    // Characters that are not digits keep the lenient rule: 'G' is 16.
    EXPECT_EQ(HexTextToBytes("1G", out, 1), 1u);
    EXPECT_EQ(out[0], 0x20);

    EXPECT_TRUE(IsHexText("00aBcF"));
    EXPECT_FALSE(IsHexText("0"));
    EXPECT_FALSE(IsHexText("0G"));
    EXPECT_FALSE(IsHexText(std::string_view("0\0", 2)));
}

TEST(HexDumpText, LaysOutColumnsForWidth40)
{
    std::string bytes;
    for (int i = 0; i < 20; ++i) {
        bytes.push_back(static_cast<char>('A' + i));
    }
    bytes[19] = '\xB5';
    const std::string dump = HexDumpText(bytes, 40);
    const std::string first = "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D  - ABCDEFGHIJKLM\n";
    const std::string second = "4E 4F 50 51 52 53 B5 " + std::string(6 * 3, ' ') + " - NOPQRS.\n";
    EXPECT_EQ(dump, first + second);
    EXPECT_EQ(HexDumpText("", 40), "");
    EXPECT_EQ(HexDumpText(std::string(13, '\x01'), 40),
              std::string("01 ") + "01 01 01 01 01 01 01 01 01 01 01 01  - " + std::string(13, '.') + "\n");
}

TEST(TimeText, SendTimeAndTextsHaveFixedWidths)
{
    EXPECT_STREQ(SendTimeText(kSendTime).data(), "240506123045");
    EXPECT_STREQ(SendTimeText({2100, 1, 2, 3, 4, 5}).data(), "000102030405");
    EXPECT_EQ(TimeText(kSendTime), "2024-05-06 12:30:45");
    EXPECT_EQ(MinuteText(kSendTime), "2024-05-06 12:30:00");
    EXPECT_EQ(NowText().size(), 19u);
}

}  // namespace
}  // namespace rtu
