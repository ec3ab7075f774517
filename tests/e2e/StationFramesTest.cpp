// The simulated station's frames, read back with the codec and the framing
// of the data centre: what the simulator sends must be what the centre reads
// at the fixed positions, and its checks of acknowledgements must catch a
// wrong byte.
#include "tools/stationsim/StationFrames.h"

#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/uplink/CutFrames.h"
#include "rtu/uplink/RegistrationPacket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rtu::sim {
namespace {

StationIdentity Station101()
{
    StationIdentity id;
    id.station = StationAddress(101);
    return id;
}

const CalendarTime kSent{2024, 5, 6, 12, 30, 45};
const CalendarTime kObserved{2024, 5, 6, 12, 25, 0};

std::string Report(ReportKind kind, int variant = 0)
{
    const StationIdentity id = Station101();
    return EncodeUplinkFrame(id, FunctionCodeOf(kind),
                             ReportBody(kind, id, 0x00A7, kSent, kObserved, StationReadings(7), variant));
}

TEST(StationFrames, ReportsCarryTheirElementsWhereTheCentreReadsThem)
{
    EXPECT_EQ(StationAddress(101), "0000000101");

    const std::string timed = Report(ReportKind::kTimed);
    ASSERT_TRUE(VerifyCheckCode(timed));
    const auto header = ReadUplinkHeader(timed);
    ASSERT_TRUE(header && header->bodyLength);
    EXPECT_EQ(*header->bodyLength + kFrameOverhead, timed.size());
    EXPECT_EQ(header->centre, "01");
    EXPECT_EQ(header->station, "0000000101");
    EXPECT_EQ(header->password, "B7E2");
    EXPECT_EQ(header->functionCode, "32");
    EXPECT_EQ(header->startOfBody, kStx);
    const std::string_view body = BodyText(timed);
    EXPECT_EQ(body.substr(0, 16), "00A7240506123045");
    EXPECT_EQ(FieldValue(body, "TT"), "2405061225");
    for (const char* id : {"PJ", "PT", "Z", "Q", "PN05", "VT"}) {
        EXPECT_FALSE(FieldValue(body, id).empty()) << id;
    }
    int adc = 0;
    const auto tokens = SplitText(timed, ' ');
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (tokens[i].find("ADC") != std::string_view::npos) {
            ++adc;
            EXPECT_EQ(SplitText(tokens[i + 1], ',').size(), 3u) << tokens[i + 1];
        }
    }
    EXPECT_EQ(adc, 2);

    const char* const alarmIds[] = {"Z", "PJ", "Q"};
    const char* const fiveMinuteIds[] = {"PN05", "Z", "Q"};
    for (int variant = 0; variant < 3; ++variant) {
        const std::string alarm = Report(ReportKind::kAlarm, variant);
        const auto alarmTokens = SplitText(BodyText(alarm), ' ');
        ASSERT_GE(alarmTokens.size(), 7u);
        EXPECT_EQ(alarmTokens[5], alarmIds[variant]);
        EXPECT_FALSE(alarmTokens[6].empty());

        const std::string five = Report(ReportKind::kFiveMinute, variant);
        const auto fiveTokens = SplitText(five, ' ');
        ASSERT_GE(fiveTokens.size(), 8u);
        EXPECT_EQ(fiveTokens[6], fiveMinuteIds[variant]);
        EXPECT_EQ(FieldValue(five, "TT"), "2405061225");
    }

    const std::string hourly = Report(ReportKind::kHourly);
    EXPECT_EQ(FieldValue(hourly, "TT"), "2405061200");
    const std::string_view drp = FieldValue(BodyText(hourly), "DRP");
    const std::string_view drz = FieldValue(BodyText(hourly), "DRZ1");
    ASSERT_EQ(drp.size(), 24u);
    ASSERT_EQ(drz.size(), 48u);
    for (const std::string& value : DecodeFiveMinuteLevel(drz)) {
        EXPECT_FALSE(value.empty());
    }
    for (const std::string& value : DecodeFiveMinuteRain(drp)) {
        EXPECT_FALSE(value.empty());
    }

    const std::string keepAlive = Report(ReportKind::kKeepAlive);
    EXPECT_EQ(ReadUplinkHeader(keepAlive)->functionCode, "2F");
    EXPECT_TRUE(VerifyCheckCode(keepAlive));
}

TEST(StationFrames, RegistrationPacketDecipheresToTheStation)
{
    const std::string packet = RegistrationPacket("0000000123", true);
    ASSERT_EQ(packet.size(), 48u);
    Registration reg = DecodeRegistrationPacket(packet);
    EXPECT_EQ(reg.check, RegistrationCheck::kAccepted);
    EXPECT_EQ(reg.Station(), "0000000123");
    EXPECT_TRUE(reg.freshStart);
    EXPECT_FALSE(DecodeRegistrationPacket(RegistrationPacket("0000000123", false)).freshStart);
}

TEST(StationFrames, AcknowledgementCheckCatchesEveryWrongField)
{
    const std::string sent = Report(ReportKind::kTimed);
    FrameBytes ack;
    ASSERT_TRUE(BuildAcknowledgement(sent, kSent, ack));
    const SentFrame frame{"0000000101", "01", "B7E2", "32", "00A7"};
    const std::string good(ack.View());
    EXPECT_TRUE(LooksLikeAcknowledgement(good));
    EXPECT_EQ(CheckAcknowledgement(good, frame), AckCheck::kGood);

    EXPECT_EQ(CheckAcknowledgement(good.substr(0, 44), frame), AckCheck::kWrongSize);
    std::string corrupt = good;
    corrupt[30] = static_cast<char>(corrupt[30] ^ 1);
    EXPECT_EQ(CheckAcknowledgement(corrupt, frame), AckCheck::kBadCheckCode);

    SentFrame other = frame;
    other.serial = "00A8";
    EXPECT_EQ(CheckAcknowledgement(good, other), AckCheck::kWrongSerial);
    other = frame;
    other.station = "0000000102";
    EXPECT_EQ(CheckAcknowledgement(good, other), AckCheck::kWrongHeader);
    other = frame;
    other.functionCode = "33";
    EXPECT_EQ(CheckAcknowledgement(good, other), AckCheck::kWrongHeader);

    // A command is no acknowledgement, even when its check code is right.
    FrameBytes command;
    SerialNumberCounter serials;
    ASSERT_EQ(BuildCommandFrame({"0000000101", "01", "B7E2"}, "32", "", serials, kSent, command),
              CommandBuild::kBuilt);
    EXPECT_FALSE(LooksLikeAcknowledgement(command.View()));
    EXPECT_EQ(CheckAcknowledgement(command.View(), frame), AckCheck::kNotAck);  // 45 bytes, ends with ENQ
    FrameBytes badTime;
    ASSERT_TRUE(BuildAcknowledgement(sent, CalendarTime{2024, 13, 6, 12, 30, 45}, badTime));
    EXPECT_EQ(CheckAcknowledgement(badTime.View(), frame), AckCheck::kBadTime);
}

TEST(StationFrames, EveryCommandGetsAnAnswerWithItsCodeAndSerial)
{
    const StationIdentity id = Station101();
    const StationReadings readings(3);
    struct Case {
        const char* code;
        const char* text;
        const char* element;  // an element the answer must carry, or ""
    };
    const Case cases[] = {
        {"45", "", ""},           {"37", "", "Z"},        {"39", "", "PN05"},
        {"41", " 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0F 1F ", "01"},
        {"43", " 20 21 22 23 24 25 26 27 28 38 ", "25"},
        {"40", "01 01000000 02 0000000101 ", "02"},
        {"38", "2405060824050610 DRN05 DRP ", "DRP"},
        {"51", "", ""},           {"4A", "", ""},         {"E1", "x", ""},
        {"48", "98", ""},         {"E2", "", ""},
    };
    SerialNumberCounter serials(0x0100);
    for (const Case& c : cases) {
        FrameBytes command;
        ASSERT_EQ(BuildCommandFrame({"0000000101", "01", "B7E2"}, c.code, c.text, serials, kSent, command),
                  CommandBuild::kBuilt);
        DownlinkFields fields;
        ASSERT_TRUE(ReadDownlink(command.View(), fields)) << c.code;
        EXPECT_EQ(fields.text, c.text);
        EXPECT_EQ(fields.end, kEnq);
        const std::string answer = EncodeUplinkFrame(id, fields.functionCode, AnswerBody(fields, id, kSent, readings));
        ASSERT_TRUE(VerifyCheckCode(answer));
        const auto header = ReadUplinkHeader(answer);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->functionCode, c.code);
        EXPECT_EQ(BodyText(answer).substr(0, 4), fields.serial);
        if (*c.element != '\0') {
            EXPECT_FALSE(FieldValue(BodyText(answer), c.element).empty()) << c.code << ": " << answer;
        }
    }
    // The period answer carries twelve values for each hour asked: 08 to 10.
    FrameBytes period;
    ASSERT_EQ(BuildCommandFrame({"0000000101", "01", "B7E2"}, "38", "2405060824050610 DRN05 DRZ1 ", serials, kSent,
                                period),
              CommandBuild::kBuilt);
    DownlinkFields fields;
    ASSERT_TRUE(ReadDownlink(period.View(), fields));
    const std::string body = AnswerBody(fields, id, kSent, readings);
    EXPECT_EQ(FieldValue(body, "TT"), "2405060800");
    EXPECT_EQ(body.substr(body.find(" DRZ1 ") + 6).size(), 3u * 48u);
    // The version text of a 45 answer starts 17 characters into the reply.
    FrameBytes version;
    ASSERT_EQ(BuildCommandFrame({"0000000101", "01", "B7E2"}, "45", "", serials, kSent, version),
              CommandBuild::kBuilt);
    ASSERT_TRUE(ReadDownlink(version.View(), fields));
    const std::string versionFrame = EncodeUplinkFrame(id, "45", AnswerBody(fields, id, kSent, readings));
    EXPECT_EQ(versionFrame.substr(57, 3), "VER");
}

// A command frame of station 101 read back as the station reads it.
DownlinkFields Command(const char* code, std::string_view text, FrameBytes& frame)
{
    SerialNumberCounter serials(0x0200);
    DownlinkFields fields;
    EXPECT_EQ(BuildCommandFrame({"0000000101", "01", "B7E2"}, code, text, serials, kSent, frame),
              CommandBuild::kBuilt);
    EXPECT_TRUE(ReadDownlink(frame.View(), fields)) << code;
    return fields;
}

TEST(StationFrames, SavedConfigurationIsReadBackAndPeriodsCrossMonthEnds)
{
    const StationIdentity id = Station101();
    const StationReadings readings(3);
    StationMemory memory;
    FrameBytes frame;    // the fields read point into their frame: one for the 41 read, one for the rest
    FrameBytes frame41;
    const DownlinkFields read41 = Command("41", " 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0F 1F ", frame41);
    const std::string factory = AnswerBody(read41, id, kSent, readings, &memory);

    // A 40 save changes the channel and the working mode; a 41 read after it
    // shows them in their places and every other value as before.
    RememberCommand(Command("40", " 04 02192168001010005002 0C 01 ", frame), memory);
    std::string changed = factory;
    changed.replace(changed.find("02127000000001005001"), 20, "02192168001010005002");
    changed.replace(changed.find(" 0C 02 "), 7, " 0C 01 ");
    EXPECT_EQ(AnswerBody(read41, id, kSent, readings, &memory), changed);
    EXPECT_EQ(AnswerBody(read41, id, kSent, readings), factory) << "without memory: the factory values";

    // A 42 value that reads like an identifier ("24") stays a value.
    RememberCommand(Command("42", " 20 24 21 07 ", frame), memory);
    const std::string run = AnswerBody(Command("43", " 20 21 22 23 24 25 26 27 28 38 ", frame), id, kSent, readings,
                                       &memory);
    EXPECT_EQ(run.substr(16), " 20 24 21 07 22 10 23 200 24 050 25 0.5 26 0.5 27 100 28 0.01 38 300 ");

    // Periods across a month end and a year end: one group per hour.
    struct Case {
        const char* text;
        const char* tt;
        std::size_t hours;
    };
    for (const Case& c : {Case{"2405312224060101 DRN05 DRP ", "2405312200", 4},
                          Case{"2412312325010100 DRN05 DRP ", "2412312300", 2},
                          Case{"2402282224030100 DRN05 DRP ", "2402282200", 24}}) {
        const std::string body = AnswerBody(Command("38", c.text, frame), id, kSent, readings);
        EXPECT_EQ(FieldValue(body, "TT"), c.tt) << c.text;
        EXPECT_EQ(body.substr(body.find(" DRP ") + 5).size(), c.hours * 24u) << c.text;
    }
}

TEST(StationFrames, UpgradeCommandWithZeroBytesIsReadByItsLength)
{
    // The upgrade text holds zero bytes: framing and reading go by the
    // length field, and the frame arrives in pieces.
    std::string text("\0\0\0\x04" "cmnet", 9);
    text += std::string("192.168.1.10").append(8, ' ') + "05002";
    text += '\x03';
    text += std::string("1.2").append(37, ' ');
    text.resize(94, '0');
    FrameBytes frame;
    SerialNumberCounter serials(0x0300);
    ASSERT_EQ(BuildCommandFrame({"0000000101", "01", "B7E2"}, "E1", text, serials, kSent, frame),
              CommandBuild::kBuilt);
    class Collect : public FrameSink {
    public:
        void OnFrame(std::string_view f) override { frames.emplace_back(f); }
        std::vector<std::string> frames;
    } sink;
    FramingState framing;
    const std::string_view bytes = frame.View();
    CutFrames(framing, bytes.substr(0, 30), sink);
    CutFrames(framing, bytes.substr(30), sink);
    ASSERT_EQ(sink.frames.size(), 1u);
    DownlinkFields fields;
    ASSERT_TRUE(ReadDownlink(sink.frames[0], fields));
    EXPECT_EQ(fields.text, text);
    EXPECT_EQ(fields.end, kEnq);
    const std::string answer = AnswerBody(fields, Station101(), kSent, StationReadings(1));
    EXPECT_EQ(answer.substr(16), " ST 0000000101 H");
}

TEST(StationFrames, PicturePacketsAndWindowAnswers)
{
    const StationIdentity id = Station101();
    PictureInfo info;
    info.flag = "0007";
    const std::string picture = PictureBytes(2500, 5);
    EXPECT_EQ(picture.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(picture.substr(2498), "\xFF\xD9");

    const std::string payload = picture.substr(1024, 1024);
    const std::string packet = EncodeUplinkFrame(id, "81", PicturePacketBody(3, 2, info, payload), kSyn);
    ASSERT_TRUE(VerifyCheckCode(packet));
    const auto header = ReadUplinkHeader(packet);
    ASSERT_TRUE(header && header->bodyLength);
    EXPECT_EQ(header->startOfBody, kSyn);
    EXPECT_EQ(packet.substr(24, 6), "003002");
    const std::string_view fields = std::string_view(packet).substr(30, kPictureHeaderBytes);
    EXPECT_EQ(FieldValue(fields, "CAMID"), "01");
    EXPECT_EQ(FieldValue(fields, "PICTYPE"), "1");
    EXPECT_EQ(FieldValue(fields, "PICFLAG"), "0007");
    EXPECT_EQ(*header->bodyLength - 77u, payload.size());
    EXPECT_EQ(packet.substr(101, payload.size()), payload);

    EXPECT_TRUE(IsPictureRequest("240506123045 0103"));
    EXPECT_FALSE(IsPictureRequest("0007 01 5"));
    PictureAnswer answer = ReadPictureAnswer("0007 01 5");
    EXPECT_TRUE(answer.valid);
    EXPECT_EQ(answer.flag, "0007");
    EXPECT_EQ(answer.camera, "01");
    EXPECT_EQ(answer.good, 5);
    EXPECT_TRUE(answer.missing.empty());
    answer = ReadPictureAnswer("0007 01 5 3 ");
    EXPECT_TRUE(answer.valid);
    EXPECT_EQ(answer.missing, std::vector<int>{3});
    EXPECT_FALSE(ReadPictureAnswer("0007 01").valid);
    EXPECT_FALSE(ReadPictureAnswer("0007 01 x").valid);
}

}  // namespace
}  // namespace rtu::sim
