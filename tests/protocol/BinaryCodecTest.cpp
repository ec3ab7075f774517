// Binary encoding: every recorded frame is read to its known fields, the
// centre's replies and commands are written byte for byte, and reports cross
// to the text encoding and back without change.
#include "rtu/protocol/BinaryElements.h"
#include "rtu/protocol/BinaryFrame.h"
#include "rtu/protocol/BinaryIdentifiers.h"
#include "rtu/protocol/BinaryTwin.h"
#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace rtu {
namespace {

using Json = nlohmann::json;

const Json& Vectors()
{
    static const Json vectors = [] {
        std::ifstream in(RTU_BINARY_VECTORS);
        return Json::parse(in)["vectors"];
    }();
    return vectors;
}

std::string Bytes(const std::string& hex)
{
    std::string out(hex.size() / 2, '\0');
    HexTextToBytes(hex, reinterpret_cast<std::uint8_t*>(out.data()), out.size());
    return out;
}

std::string Frame(const std::string& id)
{
    for (const Json& v : Vectors()) {
        if (v["id"].get<std::string>().rfind(id, 0) == 0) return Bytes(v["frame_hex"]);
    }
    ADD_FAILURE() << "no vector " << id;
    return {};
}

std::string Hex2(unsigned v)
{
    char t[8];
    std::snprintf(t, sizeof t, "%02X", v);
    return t;
}

// "2024-05-06 08:00:05" from BCD bytes yyMMddHHmm[ss].
std::string TimeOf(std::string_view bcd)
{
    std::string d;
    if (!BcdDigits(bcd, d)) return "?";
    std::string t = "20" + d.substr(0, 2) + "-" + d.substr(2, 2) + "-" + d.substr(4, 2) + " " + d.substr(6, 2) + ":" +
                    d.substr(8, 2);
    return d.size() > 10 ? t + ":" + d.substr(10, 2) : t;
}

Json SeriesOf(const BinaryElement& e)
{
    Json series = Json::array();
    const std::string hex = BytesToHexText(e.value);
    if (e.kind == BinaryElementKind::kFiveMinuteRain || e.kind == BinaryElementKind::kFiveMinuteLevel) {
        const FiveMinuteTexts texts = e.kind == BinaryElementKind::kFiveMinuteRain ? DecodeFiveMinuteRain(hex)
                                                                                   : DecodeFiveMinuteLevel(hex);
        for (const std::string& t : texts) series.push_back(t.empty() ? Json() : Json(t));
        return series;
    }
    for (std::size_t at = 0; at < e.value.size(); at += e.groupBytes) {
        std::string t;
        series.push_back(AppendBcdNumber(e.value.substr(at, e.groupBytes), e.Decimals(), t) == BcdStatus::kValue
                             ? Json(t)
                             : Json());
    }
    return series;
}

// The fields of a vector's "expected" that the decoder gives, in its spelling.
void ExpectBodyMatches(const BinaryFrame& frame, const Json& expected, const std::string& id)
{
    if (expected.contains("payload_len")) {
        EXPECT_EQ(frame.body.size(), expected["payload_len"].get<std::size_t>()) << id;
        return;
    }
    if (expected["serial"].is_null()) return;
    BinaryBody body;
    ASSERT_EQ(DecodeBinaryBody(frame, body), BodyDecode::kOk) << id;
    EXPECT_EQ(body.serial, expected["serial"].get<int>()) << id;
    EXPECT_EQ(TimeOf(std::string_view(reinterpret_cast<const char*>(body.sendTime.data()), 6)),
              expected["send_time"].get<std::string>())
        << id;
    if (expected.contains("station_addr_hex")) {
        EXPECT_EQ(StationAddressText(body.station), expected["station_addr_hex"].get<std::string>()) << id;
        EXPECT_EQ(Hex2(body.kind), expected["station_kind"].get<std::string>()) << id;
    }
    if (!expected.contains("groups")) return;
    std::string observed;
    std::size_t next = 0;
    for (const Json& group : expected["groups"]) {
        for (const Json& want : group["elements"]) {
            // Skip to the next element, noting the observation time on the way.
            while (next < body.elements.size() && body.elements[next].kind == BinaryElementKind::kObservationTime) {
                observed = TimeOf(body.elements[next++].value);
            }
            ASSERT_LT(next, body.elements.size()) << id;
            const BinaryElement& e = body.elements[next++];
            const std::string where = id + " element " + want["id"].get<std::string>();
            EXPECT_EQ(observed, group["observe_time"].get<std::string>()) << where;
            EXPECT_EQ(BinaryElementLabel(e.identifier), want["ascii"].get<std::string>() == "DRxnn"
                                                            ? "04"
                                                            : want["ascii"].get<std::string>())
                << where;
            EXPECT_EQ(Hex2(e.definition), want["def"].get<std::string>()) << where;
            if (want.contains("series")) {
                EXPECT_EQ(SeriesOf(e), want["series"]) << where;
            } else if (want.contains("raw_head")) {
                EXPECT_EQ(e.value.size(), want["bytes"].get<std::size_t>()) << where;
                EXPECT_EQ(BytesToHexText(e.value.substr(0, 16)), want["raw_head"].get<std::string>()) << where;
            } else {
                EXPECT_EQ(BytesToHexText(e.value), want["raw"].get<std::string>()) << where;
                if (want.contains("value")) {
                    std::string t;
                    AppendBcdNumber(e.value, e.Decimals(), t);
                    EXPECT_EQ(t, want["value"].get<std::string>()) << where;
                }
            }
        }
    }
    EXPECT_EQ(next, body.elements.size()) << id << ": elements left over";
}

TEST(BinaryFrames, EveryVectorIsReadToItsFields)
{
    static const std::map<std::string, std::uint8_t> kBytes = {
        {"STX", 0x02}, {"SYN", 0x16}, {"ETX", 0x03}, {"ETB", 0x17}, {"ENQ", 0x05},
        {"ACK", 0x06}, {"NAK", 0x15}, {"EOT", 0x04}, {"ESC", 0x1B}};
    ASSERT_GE(Vectors().size(), 22U);
    for (const Json& v : Vectors()) {
        const std::string id = v["id"];
        const Json& e = v["expected"];
        const std::string bytes = Bytes(v["frame_hex"]);
        BinaryFrame f;
        ASSERT_EQ(ParseBinaryFrame(bytes, f), BinaryParse::kOk) << id;
        EXPECT_EQ(f.direction == BinaryDirection::kUp ? "up" : "down", e["direction"].get<std::string>()) << id;
        EXPECT_EQ(f.centre, e["centre_addr"].get<int>()) << id;
        EXPECT_EQ(StationAddressText(f.station), e["station_addr_hex"].get<std::string>()) << id;
        EXPECT_EQ(Hex2(f.password >> 8) + Hex2(f.password & 0xFF), e["password_hex"].get<std::string>()) << id;
        EXPECT_EQ(Hex2(f.functionCode), e["function"].get<std::string>()) << id;
        EXPECT_EQ(f.length, e["length"].get<int>()) << id;
        EXPECT_EQ(f.startOfBody, kBytes.at(e["start_char"])) << id;
        EXPECT_EQ(f.end, kBytes.at(e["end_char"])) << id;
        EXPECT_EQ(Hex2(f.checkCode >> 8) + Hex2(f.checkCode & 0xFF), e["crc_hex"].get<std::string>()) << id;
        EXPECT_EQ(bytes.size(), e["frame_len"].get<std::size_t>()) << id;
        EXPECT_EQ(f.packetTotal, e["packet_total"].is_null() ? 0 : e["packet_total"].get<int>()) << id;
        EXPECT_EQ(f.packetNumber, e["packet_seq"].is_null() ? 0 : e["packet_seq"].get<int>()) << id;
        ExpectBodyMatches(f, e["body"], id);
    }
}

// A copy of a frame with one byte changed and, unless told not to, a check
// code that matches again, so the intended test is the one that fails.
std::string Mutated(std::string frame, std::size_t at, std::uint8_t value, bool fixCheckCode = true)
{
    frame[at] = static_cast<char>(value);
    if (fixCheckCode) {
        const std::uint16_t crc = CalcCrc16(std::string_view(frame).substr(0, frame.size() - 2));
        frame[frame.size() - 2] = static_cast<char>(crc >> 8);
        frame[frame.size() - 1] = static_cast<char>(crc & 0xFF);
    }
    return frame;
}

TEST(BinaryFrames, MalformedFramesGiveTheirOwnResult)
{
    const std::string good = Frame("V02");
    const std::string packet = Frame("V05b");
    const struct {
        const char* what;
        std::string frame;
        BinaryParse result;
    } kCases[] = {
        {"empty", "", BinaryParse::kTooShort},
        {"header only", good.substr(0, 16), BinaryParse::kTooShort},
        {"one 7E", Mutated(good, 1, 0x7F), BinaryParse::kBadStart},
        {"direction 4", Mutated(good, 11, 0x40), BinaryParse::kBadDirection},
        {"length one more", Mutated(good, 12, 0x2C), BinaryParse::kLengthMismatch},
        {"cut short", good.substr(0, good.size() - 1), BinaryParse::kLengthMismatch},
        {"SOH instead of STX", Mutated(good, 13, 0x01), BinaryParse::kBadStartOfBody},
        {"packet 4 of 3", Mutated(packet, 16, 0x04), BinaryParse::kBadPacketField},
        {"packet 0", Mutated(packet, 16, 0x00), BinaryParse::kBadPacketField},
        {"downlink end on an uplink", Mutated(good, good.size() - 3, 0x1B), BinaryParse::kBadEnd},
        {"one body bit flipped", Mutated(good, 30, 0x49, false), BinaryParse::kBadCheckCode},
        {"check code bytes swapped", Mutated(Mutated(good, good.size() - 1, good[good.size() - 2], false),
                                             good.size() - 2, good[good.size() - 1], false),
         BinaryParse::kBadCheckCode},
    };
    for (const auto& c : kCases) {
        BinaryFrame f;
        EXPECT_EQ(ParseBinaryFrame(c.frame, f), c.result) << c.what;
    }
    // A damaged packet still names its number, so that it can be asked for again.
    BinaryFrame f;
    ASSERT_EQ(ParseBinaryFrame(Mutated(Frame("V05a"), 40, 0x00, false), f), BinaryParse::kBadCheckCode);
    EXPECT_EQ(f.packetNumber, 1);
    EXPECT_EQ(f.packetTotal, 3);
}

TEST(BinaryElements, NumbersSignsAndGapsFollowTheDefinitionByte)
{
    const struct {
        const char* hex;
        int decimals;
        BcdStatus status;
        const char* text;
    } kCases[] = {
        {"00012345", 3, BcdStatus::kValue, "12.345"}, {"000035", 1, BcdStatus::kValue, "3.5"},
        {"00000550", 3, BcdStatus::kValue, "0.550"},  {"29", 0, BcdStatus::kValue, "29"},
        {"05", 3, BcdStatus::kValue, "0.005"},        {"FF001235", 3, BcdStatus::kValue, "-1.235"},
        {"FF0055", 1, BcdStatus::kValue, "-5.5"},     {"FFFFFFFF", 3, BcdStatus::kMissing, ""},
        {"AAAA", 2, BcdStatus::kMissing, ""},         {"0A12", 1, BcdStatus::kInvalid, ""},
        {"", 0, BcdStatus::kInvalid, ""},
    };
    for (const auto& c : kCases) {
        std::string text;
        EXPECT_EQ(AppendBcdNumber(Bytes(c.hex), c.decimals, text), c.status) << c.hex;
        EXPECT_EQ(text, c.text) << c.hex;
        // Numbers go back to the same bytes.
        std::string bytes;
        if (c.status == BcdStatus::kValue) {
            ASSERT_TRUE(AppendBcdValue(c.text, c.decimals, std::string_view(c.hex).size() / 2, bytes)) << c.hex;
            EXPECT_EQ(BytesToHexText(bytes), c.hex);
        }
    }
    std::string bytes;
    EXPECT_FALSE(AppendBcdValue("123.45", 1, 4, bytes)) << "more decimals than declared";
    EXPECT_FALSE(AppendBcdValue("12345", 0, 2, bytes)) << "too many digits";
    EXPECT_FALSE(AppendBcdValue("1e3", 0, 2, bytes));
    EXPECT_TRUE(bytes.empty());

    // DRZ blocks are 24 bytes even when the station writes another
    // definition byte; unknown identifiers are kept by theirs.
    std::string body = Frame("V04").substr(14, 85);
    body[38] = 0x5C;
    BinaryBody decoded;
    ASSERT_EQ(DecodeBinaryBody(0x34, body, decoded), BodyDecode::kOk);
    ASSERT_GE(decoded.elements.size(), 4U);
    EXPECT_EQ(decoded.elements[2].kind, BinaryElementKind::kFiveMinuteLevel);
    EXPECT_EQ(decoded.elements[2].value.size(), 24U);
    EXPECT_EQ(BinaryElementLabel(decoded.elements[4].identifier), "PT");

    // An element that runs past the body is reported, the ones before it kept.
    ASSERT_EQ(DecodeBinaryBody(0x32, Frame("V02").substr(14, 40), decoded), BodyDecode::kTruncated);
    EXPECT_EQ(decoded.elements.size(), 4U);  // TT, PJ, PT, Z; VT lost its definition byte
    EXPECT_EQ(DecodeBinaryBody(0x32, Frame("V02").substr(14, 7), decoded), BodyDecode::kTooShort);
}

const CalendarTime kAckTime{2024, 5, 6, 8, 0, 7};

BinaryFrame Parsed(const std::string& frame)
{
    BinaryFrame f;
    EXPECT_EQ(ParseBinaryFrame(frame, f), BinaryParse::kOk);
    return f;
}

TEST(BinaryReplies, AcknowledgementsAndNaksAreWrittenByteForByte)
{
    const std::string v02 = Frame("V02");
    std::string out;
    ASSERT_TRUE(BuildBinaryAcknowledgement(Parsed(v02), kAckTime, true, out));
    EXPECT_EQ(BytesToHexText(out), BytesToHexText(Frame("V06a")));

    // The real centre's reply to a real station, from that station's header.
    BinaryFrame report = Parsed(Frame("R03"));
    report.direction = BinaryDirection::kUp;
    report.end = binary_byte::kEtx;
    const std::string serial("\x00\x9E", 2);
    report.body = serial;
    ASSERT_TRUE(BuildBinaryAcknowledgement(report, {2026, 2, 2, 9, 40, 24}, true, out));
    EXPECT_EQ(BytesToHexText(out), BytesToHexText(Frame("R03")));

    const BinaryFrame last = Parsed(Frame("V05b"));
    ASSERT_TRUE(BuildBinaryTransferAcknowledgement(last, 9, {2024, 5, 6, 9, 0, 20}, true, out));
    EXPECT_EQ(BytesToHexText(out), BytesToHexText(Frame("V07a")));
    ASSERT_TRUE(BuildBinaryNak(last, 2, 9, {2024, 5, 6, 9, 0, 20}, out));
    EXPECT_EQ(BytesToHexText(out), BytesToHexText(Frame("V07b")));
    EXPECT_FALSE(BuildBinaryNak(last, 4, 9, kAckTime, out));

    // No reply to a keep-alive, to a single packet, or to a downlink frame;
    // EOT lets the station hang up; ACK answers an ETB frame.
    EXPECT_FALSE(BuildBinaryAcknowledgement(Parsed(Frame("V01")), kAckTime, true, out));
    EXPECT_FALSE(BuildBinaryAcknowledgement(Parsed(Frame("V05a")), kAckTime, true, out));
    EXPECT_FALSE(BuildBinaryAcknowledgement(Parsed(Frame("V06a")), kAckTime, true, out));
    ASSERT_TRUE(BuildBinaryAcknowledgement(Parsed(v02), kAckTime, false, out));
    EXPECT_EQ(static_cast<std::uint8_t>(out[out.size() - 3]), binary_byte::kEot);
    ASSERT_TRUE(BuildBinaryAcknowledgement(Parsed(Mutated(v02, v02.size() - 3, binary_byte::kEtb)), kAckTime, true,
                                           out));
    EXPECT_EQ(static_cast<std::uint8_t>(out[out.size() - 3]), binary_byte::kAck);
}

// A text command frame as the centre builds it, with serial number 0.
std::string TextCommand(const char* function, const CalendarTime& t, const std::string& text)
{
    FrameHeader h{};
    h.start = kSoh;
    std::memcpy(h.centre, "01", 2);
    std::memcpy(h.station, "0012345678", 10);
    std::memcpy(h.password, "1234", 4);
    std::memcpy(h.functionCode, function, 2);
    const std::string body = "0000" + std::string(SendTimeText(t).data()) + text;
    char length[5];
    std::snprintf(length, sizeof length, "8%03X", static_cast<unsigned>(body.size()));
    std::memcpy(h.directionAndLength, length, 4);
    h.startOfBody = kStx;
    h.end = kEnq;
    FrameBytes out;
    EXPECT_TRUE(EncodeFrame(h, body, out));
    return std::string(out.View());
}

TEST(BinaryTwins, TextCommandsBecomeTheBinaryCommands)
{
    const struct {
        const char* vector;
        const char* function;
        CalendarTime time;
        const char* text;
    } kCases[] = {
        {"V08", "4A", {2024, 5, 6, 10, 0, 0}, ""},
        {"V09", "37", {2024, 5, 6, 10, 1, 0}, ""},
        {"V10", "38", {2024, 5, 6, 10, 2, 0}, "2405060024050608 DRN05 DRP "},
        {"V11", "3A", {2024, 5, 6, 10, 3, 0}, " Z PJ VT "},
        {"V12", "41", {2024, 5, 6, 10, 4, 0}, " 01 02 03 04 05 0C 0D 0F "},
        {"V13", "42", {2024, 5, 6, 10, 5, 0}, " 20 01 21 05 23 300 "},
    };
    for (const auto& c : kCases) {
        std::string out;
        ASSERT_EQ(BinaryDownlinkOf(TextCommand(c.function, c.time, c.text), binary_byte::kEsc, out),
                  TwinBuild::kBuilt)
            << c.vector;
        EXPECT_EQ(BytesToHexText(out), BytesToHexText(Frame(c.vector))) << c.vector;
    }
    std::string out;
    EXPECT_EQ(BinaryDownlinkOf(TextCommand("40", kAckTime, " 01 01 "), binary_byte::kEsc, out),
              TwinBuild::kUnsupported);
    std::string damaged = TextCommand("37", kAckTime, "");
    damaged[5] = '9';
    EXPECT_EQ(BinaryDownlinkOf(damaged, binary_byte::kEsc, out), TwinBuild::kBadFrame);
}

// Through the text encoding and back: the report's twin is what the text
// dispatcher reads, the text centre's acknowledgement of the twin is the
// binary acknowledgement, and the binary form of the twin is the report.
TEST(BinaryTwins, ReportsCrossToTextAndBack)
{
    std::string twin;
    ASSERT_EQ(BuildTextTwin(Parsed(Frame("V02")), twin), TwinBuild::kBuilt);
    EXPECT_TRUE(VerifyCheckCode(twin));
    EXPECT_EQ(BodyText(twin).substr(0, 16), "0006240506080005");
    EXPECT_EQ(FieldValue(twin, "ST"), "0012345678");
    EXPECT_EQ(FieldValue(twin, "TT"), "2405060800");
    EXPECT_EQ(FieldValue(twin, "PJ"), "3.5");
    EXPECT_EQ(FieldValue(twin, "Z"), "12.345");
    EXPECT_EQ(FieldValue(twin, "VT"), "12.68");

    FrameBytes ack;
    ASSERT_TRUE(BuildAcknowledgement(twin, kAckTime, ack));
    std::string binaryAck;
    ASSERT_EQ(BinaryDownlinkOf(ack.View(), binary_byte::kEsc, binaryAck), TwinBuild::kBuilt);
    EXPECT_EQ(BytesToHexText(binaryAck), BytesToHexText(Frame("V06a")));

    ASSERT_EQ(BuildTextTwin(Parsed(Frame("V03")), twin), TwinBuild::kBuilt);
    EXPECT_EQ(FieldValue(twin, "Z"), "-1.235");
    EXPECT_EQ(FieldValue(twin, "ZT"), "00000004");
    ASSERT_EQ(BuildTextTwin(Parsed(Frame("R05")), twin), TwinBuild::kBuilt);
    EXPECT_EQ(FieldValue(twin, "TT"), "2602020805");
    EXPECT_EQ(FieldValue(twin, "DRP"), "FFFFFFFFFFFFFFFFFFFFFF00");
    EXPECT_EQ(FieldValue(twin, "QA"), "43.000");
    ASSERT_EQ(BuildTextTwin(Parsed(Frame("R04")), twin), TwinBuild::kBuilt);
    EXPECT_NE(twin.find(" DRN05 Z M M M M M M M M M M M 0.170 "), std::string::npos);
    ASSERT_EQ(BuildTextTwin(Parsed(Frame("R07")), twin), TwinBuild::kBuilt);
    EXPECT_EQ(FieldValue(twin, "FFA0"), "28.8");

    // Every uplink report goes back to its own bytes; V03's air temperature
    // comes back in its usual 2 bytes instead of the 3 the vector spends.
    for (const char* id : {"V01", "V02", "V03", "V04", "R01", "R02", "R04", "R05", "R07"}) {
        const std::string frame = Frame(id);
        ASSERT_EQ(BuildTextTwin(Parsed(frame), twin), TwinBuild::kBuilt) << id;
        std::string back;
        ASSERT_EQ(BinaryUplinkOf(twin, back), TwinBuild::kBuilt) << id << ": " << twin;
        if (std::string_view(id) != "V03") {
            EXPECT_EQ(BytesToHexText(back), BytesToHexText(frame)) << id;
        }
        std::string again;
        ASSERT_EQ(BuildTextTwin(Parsed(back), again), TwinBuild::kBuilt) << id;
        EXPECT_EQ(again.substr(24, again.size() - 29), twin.substr(24, twin.size() - 29)) << id;
    }

    // Picture packets carry their bytes unchanged after the packet counters.
    const std::string packet3 = Frame("V05b");
    ASSERT_EQ(BuildTextTwin(Parsed(packet3), twin), TwinBuild::kBuilt);
    EXPECT_EQ(twin[23], kSyn);
    EXPECT_EQ(BodyText(twin).substr(0, 16), "003003" + packet3.substr(17, 10));
    ASSERT_EQ(BuildTextTwin(Parsed(Frame("V05a")), twin), TwinBuild::kBuilt);
    EXPECT_NE(twin.find(" PIC \xFF\xD8\xFF\xE0"), std::string::npos);
    EXPECT_TRUE(VerifyCheckCode(twin));
    EXPECT_EQ(BuildTextTwin(Parsed(Frame("V06a")), twin), TwinBuild::kNotUplink);
}

// Answers to queries: the version text, the station clock and the period
// data stand where the readers of text answers take them.
TEST(BinaryTwins, AnswersPutTheirFieldsWhereTheTextReadersLook)
{
    BinaryFrame header = Parsed(Frame("V02"));
    const std::string head = Bytes("0001240506100203F1F10012345678");
    const struct {
        std::uint8_t function;
        std::string body;
        std::size_t at;
        std::string text;  // at `at` of the twin, up to the end character
    } kCases[] = {
        {0x45, head + "\x0D" "V1.0.20220420", 57, "V1.0.20220420"},
        {0x51, head, 28, "240506100203 ST 0012345678 "},
        {0x38, head + Bytes("48" "F0F02405060000" "0418000000" "F460" "0000FF0A0001020304050607"), 41,
         "ST 0012345678 H TT 2405060000 DRH00 DRP 0000FF0A0001020304050607 "},
    };
    for (const auto& c : kCases) {
        header.functionCode = c.function;
        std::string frame;
        std::string twin;
        ASSERT_TRUE(EncodeBinaryFrame(header, c.body, frame));
        ASSERT_EQ(BuildTextTwin(Parsed(frame), twin), TwinBuild::kBuilt) << Hex2(c.function);
        EXPECT_EQ(twin.substr(c.at, twin.size() - 5 - c.at), c.text) << Hex2(c.function);
        std::string back;
        if (c.function == 0x38) {
            ASSERT_EQ(BinaryUplinkOf(twin, back), TwinBuild::kBuilt);
            EXPECT_EQ(BytesToHexText(back), BytesToHexText(frame));
        }
    }
}

}  // namespace
}  // namespace rtu
