// Cutting frames out of byte streams: any split of the stream into blocks
// gives the same frames, bad headers do not swallow good frames, and ASCII
// and binary frames are told apart in one stream.
#include "rtu/uplink/CutFrames.h"

#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace rtu {
namespace {

std::string Frame(const std::string& station, const std::string& body)
{
    char length[4];
    std::snprintf(length, sizeof length, "%03X", static_cast<unsigned>(body.size()));
    std::string frame = std::string(1, kSoh) + "01" + station + "1234" + "32" + "0" + length +
                        std::string(1, kStx) + body + "\x03";
    char code[5];
    std::snprintf(code, sizeof code, "%04x", CalcCrc16(frame));
    return frame + code;
}

struct Collector : FrameSink {
    std::vector<std::string> headers;
    std::vector<std::string> frames;  // ASCII only
    std::vector<std::string> all;     // ASCII and binary, in order
    void OnHeader(std::string_view header) override { headers.emplace_back(header); }
    void OnFrame(std::string_view frame) override
    {
        frames.emplace_back(frame);
        all.emplace_back(frame);
    }
    void OnBinaryHeader(std::string_view header) override { headers.emplace_back(header); }
    void OnBinaryFrame(std::string_view frame) override { all.emplace_back(frame); }
};

// Feeds the stream in blocks cut at the given offsets; gives the ASCII
// frames, or all frames when `all` is set.
std::vector<std::string> CutInBlocks(const std::string& stream, const std::vector<std::size_t>& cuts,
                                     bool all = false, CutResult* total = nullptr)
{
    auto state = std::make_unique<FramingState>();
    Collector sink;
    CutResult sum;
    const auto add = [&sum](const CutResult& one) {
        sum.frames += one.frames;
        sum.rejectedHeaders += one.rejectedHeaders;
        sum.rescans += one.rescans;
        sum.badChecks += one.badChecks;
    };
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        add(CutFrames(*state, std::string_view(stream).substr(from, cut - from), sink));
        from = cut;
    }
    add(CutFrames(*state, std::string_view(stream).substr(from), sink));
    if (total != nullptr) *total = sum;
    return all ? sink.all : sink.frames;
}

std::vector<std::size_t> EveryByte(const std::string& stream)
{
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < stream.size(); ++i) cuts.push_back(i);
    return cuts;
}

std::string Bytes(std::string_view hex)
{
    std::string bytes(hex.size() / 2, '\0');
    HexTextToBytes(hex, reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

// Binary frames recorded from stations: a keep-alive, a device's test
// report, and the first packet of a picture in several packets (SYN, ETB).
const std::string kKeepAliveBin = Bytes("7E7E011090330853A0002F000802009F26020209410003BDE3");
const std::string kTestReportBin =
    Bytes("7E7E0101000000011234300033020040201126142746F1F1010000000148F0F0201126142720190000002619000000392300000075"
          "381212087A0829FFA011028803E43B");
const std::string kPictureBin =
    Bytes("7E7E0100123456781234360030160030010009240506090012F1F1001234567848F0F02405060900F3F3FFD8FFE000104A4649460001"
          "010000010001000017906C");
// An acknowledgement with an empty body, as some centres send it: refused.
const std::string kEmptyBodyBin = Bytes("7E7E0012345678011234328000021B6355");

const std::string kA = Frame("0000000001", "0001240506123000 TT 2405061230 Z 1.23 ");
const std::string kB = Frame("0000000002", "0002240506123100 TT 2405061231 PJ 4.5 \x01 inside");

TEST(CutFrames, AssemblesAFrameSplitOverThreeBlocksOnce)
{
    const auto frames = CutInBlocks(kA, {5, 30});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], kA);
    EXPECT_TRUE(VerifyCheckCode(frames[0]));
}

TEST(CutFrames, HandsOnMergedFramesInOrderWhateverTheSplit)
{
    const std::string stream = "noise" + kA + "\r\n" + kB + kA;
    const std::vector<std::string> expected = {kA, kB, kA};
    EXPECT_EQ(CutInBlocks(stream, {}), expected);
    // Every single cut point, and the stream byte by byte.
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        ASSERT_EQ(CutInBlocks(stream, {cut}), expected) << "cut at " << cut;
    }
    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < stream.size(); ++i) {
        everyByte.push_back(i);
    }
    EXPECT_EQ(CutInBlocks(stream, everyByte), expected);
}

TEST(CutFrames, ReadsTheLengthAndReportsTheHeader)
{
    const std::string frame = Frame("0012345678", std::string(0x2A, 'x'));
    ASSERT_EQ(frame.substr(20, 3), "02A");
    auto state = std::make_unique<FramingState>();
    Collector sink;
    const CutResult result = CutFrames(*state, frame + frame.substr(0, 30), sink);
    EXPECT_EQ(result.frames, 1u);
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0].size(), 71u);
    ASSERT_EQ(sink.headers.size(), 2u);  // the second frame is under way
    EXPECT_EQ(sink.headers[0], frame.substr(0, 24));
    EXPECT_TRUE(state->inFrame);
    EXPECT_TRUE(state->headerParsed);
    EXPECT_EQ(state->buffer.size(), 30u);
    EXPECT_EQ(state->frameLength, 71u);

    state->Reset();
    CutFrames(*state, frame.substr(30), sink);
    EXPECT_EQ(sink.frames.size(), 1u);  // the rest of a frame after a reset is ignored
    EXPECT_FALSE(state->inFrame);
}

TEST(CutFrames, BadLengthFieldDoesNotSwallowTheFramesBehindIt)
{
    struct Case {
        const char* name;
        std::string lengthField;
    };
    const Case cases[] = {{"blank", " 2A"}, {"sign", "+2A"}, {"not hex", "0G1"}, {"too long", "FE4"},
                          {"largest", "FFF"}};
    for (const Case& c : cases) {
        std::string bad = kA;
        bad.replace(20, 3, c.lengthField);
        auto state = std::make_unique<FramingState>();
        Collector sink;
        const CutResult result = CutFrames(*state, bad + kB + kA, sink);
        EXPECT_EQ(result.rejectedHeaders, 1u) << c.name;
        ASSERT_EQ(sink.frames.size(), 2u) << c.name;
        EXPECT_EQ(sink.frames[0], kB) << c.name;
        EXPECT_EQ(sink.frames[1], kA) << c.name;
    }
    // The largest acceptable body still makes a frame of 4096 bytes.
    const std::string largest = Frame("0012345678", std::string(4067, 'y'));
    EXPECT_EQ(largest.size(), 4096u);
    EXPECT_EQ(CutInBlocks(largest, {1000, 4095}), std::vector<std::string>{largest});
}

TEST(CutFrames, RestartsAtAnSohInsideARejectedHeader)
{
    // A frame cut short after 21 bytes, then a good frame: the good frame's
    // SOH lands in the length field of the broken one.
    const std::string stream = kA.substr(0, 21) + kB;
    auto state = std::make_unique<FramingState>();
    Collector sink;
    const CutResult result = CutFrames(*state, stream, sink);
    EXPECT_EQ(result.rejectedHeaders, 1u);
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0], kB);
    EXPECT_EQ(CutInBlocks(stream, {12, 20, 40}), std::vector<std::string>{kB});
}

TEST(CutFrames, AFrameThatFailsItsCheckIsScannedAgainFromTheByteAfterItsSoh)
{
    std::string corrupt = kA;
    corrupt[30] = corrupt[30] == 'x' ? 'y' : 'x';
    struct Case {
        const char* name;
        std::string stream;
        std::vector<std::string> frames;
    };
    const Case cases[] = {
        // The stray SOH misaligns the header, which still reads as a length.
        {"stray SOH", "\x01" + kA + kB, {kA, kB}},
        {"stray SOH between frames", kA + "\x01" + kB, {kA, kB}},
        {"frame cut short", kA.substr(0, 40) + kB + kA, {kB, kA}},
        // Nothing to find inside: handed on for the receiver to count.
        {"corrupt frame", corrupt + kB, {corrupt, kB}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CutInBlocks(c.stream, {}), c.frames) << c.name;
        std::vector<std::size_t> everyByte;
        for (std::size_t i = 1; i < c.stream.size(); ++i) everyByte.push_back(i);
        EXPECT_EQ(CutInBlocks(c.stream, everyByte), c.frames) << c.name;
    }
}

TEST(CutFrames, BinaryAndAsciiFramesShareOneStreamWhateverTheBlocks)
{
    std::string badCheck = kTestReportBin;
    badCheck[40] ^= 0x10;
    std::string badEnd = kKeepAliveBin;
    badEnd[22] = 0x02;
    struct Case {
        const char* name;
        std::string stream;
        std::vector<std::string> frames;
        std::uint32_t badChecks;
    };
    const Case cases[] = {
        {"binary frames", kKeepAliveBin + kTestReportBin + kPictureBin, {kKeepAliveBin, kTestReportBin, kPictureBin}, 0},
        {"switching encodings", "noise" + kA + kKeepAliveBin + kB + kPictureBin + kA,
         {kA, kKeepAliveBin, kB, kPictureBin, kA}, 0},
        {"stray 7E between frames", kKeepAliveBin + "\x7E" + kTestReportBin + "\x7E" + kA + "\x7E",
         {kKeepAliveBin, kTestReportBin, kA}, 0},
        {"run of 7E before a frame", "\x7E\x7E\x7E" + kTestReportBin, {kTestReportBin}, 0},
        {"bad check code, then a good frame", badCheck + kKeepAliveBin, {kKeepAliveBin}, 1},
        {"bad end character", badEnd + kA, {kA}, 1},
        {"binary frame cut short", kTestReportBin.substr(0, 30) + kKeepAliveBin + kA, {kKeepAliveBin, kA}, 1},
        {"ASCII frame cut short", kA.substr(0, 40) + kTestReportBin + kA, {kTestReportBin, kA}, 0},
        {"empty body refused", kEmptyBodyBin + kKeepAliveBin, {kKeepAliveBin}, 0},
    };
    for (const Case& c : cases) {
        CutResult whole;
        EXPECT_EQ(CutInBlocks(c.stream, {}, true, &whole), c.frames) << c.name;
        EXPECT_EQ(whole.badChecks, c.badChecks) << c.name;
        EXPECT_EQ(whole.frames, c.frames.size()) << c.name;
        EXPECT_EQ(CutInBlocks(c.stream, EveryByte(c.stream), true), c.frames) << c.name;
    }
}

TEST(CutFrames, RandomStreamsGiveTheSameFramesWhateverTheBlocks)
{
    // Good frames of both encodings, damaged headers and check codes, stray
    // SOH and 7E bytes and noise in random order; cutting the stream into random blocks must not change what is
    // handed on, and nothing handed on is longer than a frame may be.
    std::mt19937 random(20240506);
    std::size_t handedOn = 0;
    for (int round = 0; round < 200; ++round) {
        std::string stream;
        for (int piece = 0; piece < 12; ++piece) {
            switch (random() % 10) {
            case 0: stream += kA; break;
            case 1: stream += kB; break;
            case 6: stream += kTestReportBin; break;
            case 7: stream += kPictureBin.substr(0, random() % kPictureBin.size()); break;
            case 8: stream += '\x7E'; break;
            case 9: {
                std::string bad = kKeepAliveBin;
                bad[random() % bad.size()] ^= static_cast<char>(1 + random() % 255);
                stream += bad;
                break;
            }
            case 2: {
                std::string bad = kA;
                bad[20 + random() % 3] = static_cast<char>(' ' + random() % 3);
                stream += bad;
                break;
            }
            case 3: stream += kB.substr(0, random() % kB.size()); break;
            case 4: stream += '\x01'; break;
            default:
                for (int i = static_cast<int>(random() % 40); i > 0; --i) {
                    stream.push_back(static_cast<char>(random() % 256));
                }
            }
        }
        const auto whole = CutInBlocks(stream, {}, true);
        std::vector<std::size_t> cuts;
        for (std::size_t at = random() % 64; at < stream.size(); at += 1 + random() % 64) {
            cuts.push_back(at);
        }
        ASSERT_EQ(CutInBlocks(stream, cuts, true), whole) << "round " << round;
        for (const std::string& frame : whole) {
            ASSERT_LE(frame.size(), kMaxFrameBytes);
            if (frame[0] == kSoh) continue;
            // Binary frames are handed on only whole and with a right check code.
            ASSERT_EQ(frame.substr(0, 2), "\x7E\x7E");
            const auto crc = CalcCrc16(std::string_view(frame).substr(0, frame.size() - 2));
            ASSERT_EQ(static_cast<unsigned char>(frame[frame.size() - 2]), crc >> 8);
            ASSERT_EQ(static_cast<unsigned char>(frame[frame.size() - 1]), crc & 0xFF);
        }
        handedOn += whole.size();
    }
    EXPECT_GT(handedOn, 500u);
}

}  // namespace
}  // namespace rtu
