#include "rtu/uplink/CutFrames.h"

#include "rtu/protocol/FrameCodec.h"

#include <cstring>

namespace rtu {

void FramingState::Reset()
{
    inFrame = false;
    headerParsed = false;
    count = 0;
    frameLength = 0;
}

namespace {

// The header in the buffer was refused: drop its first byte and restart from
// the next SOH among the bytes already held, if any. At most 23 bytes move.
void RestartAfterBadHeader(FramingState& state)
{
    const char* held = state.buffer.data();
    const void* soh = std::memchr(held + 1, kSoh, state.count - 1);
    if (soh == nullptr) {
        state.Reset();
        return;
    }
    const auto from = static_cast<std::uint32_t>(static_cast<const char*>(soh) - held);
    state.count -= from;
    std::memmove(state.buffer.data(), held + from, state.count);
    state.headerParsed = false;
    state.frameLength = 0;
}

}  // namespace

CutResult CutFrames(FramingState& state, std::string_view bytes, FrameSink& sink)
{
    CutResult result;
    for (char b : bytes) {
        if (!state.inFrame) {
            if (b == kSoh) {
                state.inFrame = true;
                state.headerParsed = false;
                state.buffer[0] = b;
                state.count = 1;
            }
            continue;
        }
        if (state.count > kFramingBufferBytes - 1) {
            state.Reset();
            ++result.overflows;
            continue;
        }
        state.buffer[state.count++] = b;

        if (!state.headerParsed) {
            if (state.count < kHeaderBytes) {
                continue;
            }
            const auto length = ParseBodyLength(std::string_view(state.buffer.data() + 20, 3));
            if (!length) {
                ++result.rejectedHeaders;
                RestartAfterBadHeader(state);
                continue;
            }
            state.frameLength = *length + kFrameOverhead;
            state.headerParsed = true;
            sink.OnHeader(std::string_view(state.buffer.data(), kHeaderBytes));
            // A header is never a whole frame (29 bytes at least), so nothing
            // more to check for this byte.
            continue;
        }
        if (state.count == state.frameLength) {
            state.inFrame = false;
            state.headerParsed = false;
            if (state.frameLength <= kMaxFrameBytes) {
                ++result.frames;
                sink.OnFrame(std::string_view(state.buffer.data(), state.frameLength));
            } else {
                ++result.overflows;
            }
            state.count = 0;
        }
    }
    return result;
}

}  // namespace rtu
