// Cutting frames out of byte streams: any split of the stream into blocks
// gives the same frames, and bad headers do not swallow good frames.
#include "rtu/uplink/CutFrames.h"

#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/FrameCodec.h"
#include "tests/transport/TestFrames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace rtu {
namespace {

using serialtest::Frame;

struct Collector : FrameSink {
    std::vector<std::string> headers;
    std::vector<std::string> frames;
    void OnHeader(std::string_view header) override { headers.emplace_back(header); }
    void OnFrame(std::string_view frame) override { frames.emplace_back(frame); }
};

// Feeds the stream in blocks cut at the given offsets.
std::vector<std::string> CutInBlocks(const std::string& stream, const std::vector<std::size_t>& cuts)
{
    auto state = std::make_unique<FramingState>();
    Collector sink;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        CutFrames(*state, std::string_view(stream).substr(from, cut - from), sink);
        from = cut;
    }
    CutFrames(*state, std::string_view(stream).substr(from), sink);
    return sink.frames;
}

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

TEST(CutFrames, RandomStreamsGiveTheSameFramesWhateverTheBlocks)
{
    // Good frames, damaged headers, stray SOH bytes and noise in random
    // order; cutting the stream into random blocks must not change what is
    // handed on, and nothing handed on is longer than a frame may be.
    std::mt19937 random(20240506);
    std::size_t handedOn = 0;
    for (int round = 0; round < 200; ++round) {
        std::string stream;
        for (int piece = 0; piece < 12; ++piece) {
            switch (random() % 6) {
            case 0: stream += kA; break;
            case 1: stream += kB; break;
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
        const auto whole = CutInBlocks(stream, {});
        std::vector<std::size_t> cuts;
        for (std::size_t at = random() % 64; at < stream.size(); at += 1 + random() % 64) {
            cuts.push_back(at);
        }
        ASSERT_EQ(CutInBlocks(stream, cuts), whole) << "round " << round;
        for (const std::string& frame : whole) {
            ASSERT_LE(frame.size(), kMaxFrameBytes);
            ASSERT_EQ(frame[0], kSoh);
        }
        handedOn += whole.size();
    }
    EXPECT_GT(handedOn, 500u);
}

}  // namespace
}  // namespace rtu
