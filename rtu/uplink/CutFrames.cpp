#include "rtu/uplink/CutFrames.h"

#include "rtu/protocol/FrameCodec.h"

#include <algorithm>
#include <cstring>

namespace rtu {

namespace {

// A buffer larger than this is released when its frame ends; smaller ones
// are kept for the next frame of the link.
constexpr std::size_t kKeptCapacity = 256;

}  // namespace

void FramingState::Reset()
{
    inFrame = false;
    headerParsed = false;
    rescanned = false;
    frameLength = 0;
    if (buffer.capacity() > kKeptCapacity)
        std::string().swap(buffer);
    else
        buffer.clear();
}

namespace {

// The header in the buffer was refused: drop its first byte and restart from
// the next SOH among the bytes already held, if any. At most 23 bytes move.
void RestartAfterBadHeader(FramingState& state)
{
    const std::size_t soh = state.buffer.find(kSoh, 1);
    if (soh == std::string::npos) {
        state.Reset();
        return;
    }
    state.buffer.erase(0, soh);
    state.headerParsed = false;
    state.frameLength = 0;
}

void Cut(FramingState& state, std::string_view bytes, FrameSink& sink, CutResult& result, bool rescanning);

// The frame in the buffer is complete: hand it on, or scan its bytes again
// when its check code fails and another SOH inside may start the real frame.
void CompleteFrame(FramingState& state, FrameSink& sink, CutResult& result)
{
    const std::string_view frame(state.buffer);
    if (!state.rescanned) {
        const std::size_t next = frame.find(kSoh, 1);
        if (next != std::string_view::npos && !VerifyCheckCode(frame)) {
            ++result.rescans;
            const std::string held(frame.substr(next));
            state.Reset();
            Cut(state, held, sink, result, true);
            return;
        }
    }
    ++result.frames;
    sink.OnFrame(frame);
    state.Reset();
}

void Cut(FramingState& state, std::string_view bytes, FrameSink& sink, CutResult& result, bool rescanning)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (!state.inFrame) {
            const std::size_t soh = bytes.find(kSoh, at);
            if (soh == std::string_view::npos) return;
            at = soh + 1;
            state.inFrame = true;
            state.headerParsed = false;
            state.rescanned = rescanning;
            state.buffer.assign(1, kSoh);
            continue;
        }
        if (!state.headerParsed) {
            const std::size_t take = std::min(kHeaderBytes - state.buffer.size(), bytes.size() - at);
            state.buffer.append(bytes.data() + at, take);
            at += take;
            if (state.buffer.size() < kHeaderBytes) continue;
            const auto length = ParseBodyLength(std::string_view(state.buffer).substr(20, 3));
            if (!length || *length + kFrameOverhead > kMaxFrameBytes) {
                ++(length ? result.overflows : result.rejectedHeaders);
                RestartAfterBadHeader(state);
                continue;
            }
            state.frameLength = *length + static_cast<std::uint32_t>(kFrameOverhead);
            state.headerParsed = true;
            state.buffer.reserve(state.frameLength);
            sink.OnHeader(std::string_view(state.buffer.data(), kHeaderBytes));
            continue;
        }
        // Inside a frame every byte is ordinary: take as many as it still needs.
        const std::size_t take = std::min<std::size_t>(state.frameLength - state.buffer.size(), bytes.size() - at);
        state.buffer.append(bytes.data() + at, take);
        at += take;
        if (state.buffer.size() == state.frameLength) CompleteFrame(state, sink, result);
    }
}

}  // namespace

CutResult CutFrames(FramingState& state, std::string_view bytes, FrameSink& sink)
{
    CutResult result;
    Cut(state, bytes, sink, result, false);
    return result;
}

}  // namespace rtu
