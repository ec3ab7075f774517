// The framing rule fed an arbitrary stream in arbitrary blocks.
//
// Input: byte 0 gives how many block sizes follow (bits 0..3, 0..15), each
// next byte a block size (1..256); the rest is the stream, cut into blocks of
// those sizes in turn. When bit 4 of byte 0 is set, every binary frame the
// stream appears to hold (7E 7E and a length that fits, left to right) gets
// its right check code written in, so that mutated binary frames still
// verify and reach the sink. Checks: every header and frame handed on obeys
// the rule of its encoding, and the frames and counts do not depend on where
// the blocks end (the stream in one block gives the same).
#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/FrameEncoding.h"
#include "rtu/uplink/CutFrames.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

unsigned Byte(std::string_view bytes, std::size_t i) { return static_cast<unsigned char>(bytes[i]); }

// Body length of a binary header (14 bytes) as the rule reads it.
unsigned BinaryLength(std::string_view header) { return ((Byte(header, 11) & 0x0Fu) << 8) | Byte(header, 12); }

struct CheckingSink : rtu::FrameSink {
    std::vector<std::string> frames;  // both encodings, in order
    std::uint32_t headers = 0;

    void OnHeader(std::string_view header) override
    {
        if (header.size() != rtu::kHeaderBytes || header[0] != rtu::kSoh) std::abort();
        if (!rtu::ParseBodyLength(header.substr(20, 3))) std::abort();
        ++headers;
    }
    void OnFrame(std::string_view frame) override
    {
        if (frame.size() < rtu::kFrameOverhead || frame.size() > rtu::kMaxFrameBytes) std::abort();
        if (frame[0] != rtu::kSoh) std::abort();
        const auto length = rtu::ParseBodyLength(frame.substr(20, 3));
        if (!length || *length + rtu::kFrameOverhead != frame.size()) std::abort();
        frames.emplace_back(frame);
    }
    void OnBinaryHeader(std::string_view header) override
    {
        if (header.size() != rtu::kBinaryHeaderBytes || header.substr(0, 2) != "\x7E\x7E") std::abort();
        const unsigned direction = Byte(header, 11) >> 4;
        if ((direction != 0 && direction != 8) || BinaryLength(header) == 0) std::abort();
        ++headers;
    }
    void OnBinaryFrame(std::string_view frame) override
    {
        if (frame.size() < rtu::kBinaryHeaderBytes + 4 || frame.size() > rtu::kBinaryMaxFrameBytes) std::abort();
        if (frame.substr(0, 2) != "\x7E\x7E") std::abort();
        if (BinaryLength(frame) + rtu::kBinaryFrameOverhead != frame.size()) std::abort();
        const unsigned written = (Byte(frame, frame.size() - 2) << 8) | Byte(frame, frame.size() - 1);
        if (rtu::CalcCrc16(frame.substr(0, frame.size() - 2)) != written) std::abort();
        frames.emplace_back(frame);
    }
};

struct Outcome {
    CheckingSink sink;
    rtu::CutResult total;
};

void Add(rtu::CutResult& total, const rtu::CutResult& one)
{
    total.frames += one.frames;
    total.rejectedHeaders += one.rejectedHeaders;
    total.overflows += one.overflows;
    total.rescans += one.rescans;
    total.badChecks += one.badChecks;
}

void CheckState(const rtu::FramingState& state)
{
    if (state.buffer.size() > rtu::kBinaryMaxFrameBytes) std::abort();
    if (state.encoding == rtu::FrameEncoding::kAscii && state.buffer.size() > rtu::kMaxFrameBytes) std::abort();
    if (!state.inFrame && !state.buffer.empty()) std::abort();
}

// Writes the right check code into every binary frame the stream appears to
// hold, left to right, skipping over each frame so written.
void WriteBinaryCheckCodes(std::string& stream)
{
    std::size_t at = 0;
    while (at + rtu::kBinaryHeaderBytes <= stream.size()) {
        if (stream[at] != rtu::kBinaryStart || stream[at + 1] != rtu::kBinaryStart) {
            ++at;
            continue;
        }
        const std::size_t size = BinaryLength(std::string_view(stream).substr(at)) + rtu::kBinaryFrameOverhead;
        if (at + size > stream.size()) {
            ++at;
            continue;
        }
        const std::uint16_t crc = rtu::CalcCrc16(std::string_view(stream).substr(at, size - 2));
        stream[at + size - 2] = static_cast<char>(crc >> 8);
        stream[at + size - 1] = static_cast<char>(crc & 0xFF);
        at += size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t sizeCount = data[0] & 0x0F;
    if (size < 1 + sizeCount) return 0;
    std::vector<std::size_t> blockSizes;
    for (std::size_t i = 0; i < sizeCount; ++i) blockSizes.push_back(std::size_t{data[1 + i]} + 1);
    if (blockSizes.empty()) blockSizes.push_back(1);
    std::string owned(reinterpret_cast<const char*>(data) + 1 + sizeCount, size - 1 - sizeCount);
    if ((data[0] & 0x10) != 0) WriteBinaryCheckCodes(owned);
    const std::string_view stream(owned);

    auto blocks = std::make_unique<Outcome>();
    auto state = std::make_unique<rtu::FramingState>();
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::string_view block = stream.substr(at, blockSizes[i % blockSizes.size()]);
        Add(blocks->total, rtu::CutFrames(*state, block, blocks->sink));
        CheckState(*state);
        at += block.size();
    }

    auto whole = std::make_unique<Outcome>();
    auto wholeState = std::make_unique<rtu::FramingState>();
    whole->total = rtu::CutFrames(*wholeState, stream, whole->sink);
    CheckState(*wholeState);

    if (blocks->sink.frames != whole->sink.frames) std::abort();
    if (blocks->sink.headers != whole->sink.headers) std::abort();
    if (blocks->total.frames != whole->total.frames || blocks->total.rejectedHeaders != whole->total.rejectedHeaders ||
        blocks->total.overflows != whole->total.overflows || blocks->total.rescans != whole->total.rescans ||
        blocks->total.badChecks != whole->total.badChecks)
        std::abort();
    if (blocks->total.frames != blocks->sink.frames.size()) std::abort();
    if (state->buffer != wholeState->buffer || state->inFrame != wholeState->inFrame) std::abort();
    return 0;
}
