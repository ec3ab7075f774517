// Cutting complete frames out of a byte stream that arrives in blocks of any
// size. The state of the frame in progress lives in a FramingState that the
// owner of the stream keeps (a connection's link record, the record of a
// connection not yet bound, or the serial frame queue); the owner serialises
// the calls for one state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rtu {

// Buffer of a frame in progress, from its SOH.
inline constexpr std::size_t kFramingBufferBytes = 8193;

struct FramingState {
    bool inFrame = false;       // an SOH has been seen and the frame is not complete
    bool headerParsed = false;  // 24 header bytes read, frameLength known
    std::uint32_t count = 0;    // bytes held in buffer
    std::uint32_t frameLength = 0;  // body length + 29, once the header is parsed
    std::array<char, kFramingBufferBytes> buffer{};

    // Idle: no frame in progress.
    void Reset();
};

// Receives what CutFrames finds. Both calls hand views into the framing
// state's buffer that are valid only during the call.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // The 24-byte header of a frame in progress has been read and accepted.
    // Owners that track the station's centre address and password (or, for a
    // connection not yet bound, its station address) take them from here.
    virtual void OnHeader(std::string_view header) { static_cast<void>(header); }
    // A complete frame, at most 4096 bytes.
    virtual void OnFrame(std::string_view frame) = 0;
};

// What one call did, for counting bad input.
struct CutResult {
    std::uint32_t frames = 0;           // complete frames handed to the sink
    std::uint32_t rejectedHeaders = 0;  // frames given up at their header
    std::uint32_t overflows = 0;        // frames given up for their size
};

// Runs the framing rule over one block:
// - outside a frame every byte but SOH is ignored; an SOH starts a frame;
// - inside a frame an SOH is an ordinary byte;
// - at 24 bytes the body length is read from positions 20..22: exactly three
//   hexadecimal digits and at most 4067. A header that fails is given up and
//   the scan goes on from the next SOH after its first byte, so a corrupted
//   header does not swallow the frames behind it;
// - the frame is complete when it holds body length + 29 bytes;
// - a frame that would hold more than 4096 bytes is never handed on, and a
//   byte arriving with more than 8192 bytes held resets the state.
CutResult CutFrames(FramingState& state, std::string_view bytes, FrameSink& sink);

}  // namespace rtu
