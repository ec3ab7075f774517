// Cutting complete frames out of a byte stream that arrives in blocks of any
// size. The state of the frame in progress lives in a FramingState that the
// owner of the stream keeps (a connection's link record, the record of a
// connection not yet bound, or the serial frame queue); the owner serialises
// the calls for one state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rtu {

struct FramingState {
    bool inFrame = false;       // an SOH has been seen and the frame is not complete
    bool headerParsed = false;  // 24 header bytes read, frameLength known
    // The frame in progress started while the bytes of a frame that failed its
    // check code were scanned again; if it fails too it is not scanned again.
    bool rescanned = false;
    std::uint32_t frameLength = 0;  // body length + 29, once the header is parsed
    // The frame in progress from its SOH. It grows to the frame's length (at
    // most 4096 bytes) and a large buffer is released when the frame ends, so
    // an idle link holds next to nothing.
    std::string buffer;

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
    std::uint32_t rescans = 0;          // frames given up for their check code and scanned again
};

// Runs the framing rule over one block:
// - outside a frame every byte but SOH is ignored; an SOH starts a frame;
// - inside a frame an SOH is an ordinary byte;
// - at 24 bytes the body length is read from positions 20..22: exactly three
//   hexadecimal digits and at most 4067. A header that fails is given up and
//   the scan goes on from the next SOH after its first byte, so a corrupted
//   header does not swallow the frames behind it;
// - the frame is complete when it holds body length + 29 bytes. A complete
//   frame whose check code fails while it holds another SOH is given up and
//   its bytes are scanned again from the byte after its SOH: a stray SOH in
//   front of a frame misaligns the header, and the frame itself starts
//   inside. Bytes are scanned again at most once, so hostile input costs at
//   most twice the work; a frame that fails and is not scanned again is
//   handed on, for the receiver to count and log.
CutResult CutFrames(FramingState& state, std::string_view bytes, FrameSink& sink);
}  // namespace rtu
