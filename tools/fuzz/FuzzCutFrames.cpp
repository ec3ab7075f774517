// The framing rule fed an arbitrary stream in arbitrary blocks.
//
// Input: byte 0 gives how many block sizes follow (0..15), each next byte a
// block size (1..256); the rest is the stream, cut into blocks of those sizes
// in turn. Checks: every header and frame handed on obeys the rule, and the
// frames and counts do not depend on where the blocks end (the stream in one
// block gives the same).
#include "rtu/protocol/FrameCodec.h"
#include "rtu/uplink/CutFrames.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct CheckingSink : rtu::FrameSink {
    std::vector<std::string> frames;
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
}

void CheckState(const rtu::FramingState& state)
{
    if (state.buffer.size() > rtu::kMaxFrameBytes) std::abort();
    if (!state.inFrame && !state.buffer.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t sizeCount = data[0] % 16;
    if (size < 1 + sizeCount) return 0;
    std::vector<std::size_t> blockSizes;
    for (std::size_t i = 0; i < sizeCount; ++i) blockSizes.push_back(std::size_t{data[1 + i]} + 1);
    if (blockSizes.empty()) blockSizes.push_back(1);
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + sizeCount, size - 1 - sizeCount);

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
        blocks->total.overflows != whole->total.overflows || blocks->total.rescans != whole->total.rescans)
        std::abort();
    if (blocks->total.frames != blocks->sink.frames.size()) std::abort();
    if (state->buffer != wholeState->buffer || state->inFrame != wholeState->inFrame) std::abort();
    return 0;
}
