// Cutting complete frames of both encodings (ASCII from SOH, binary from
// 7E 7E) out of a byte stream that arrives in blocks of any size; a station
// may switch between the encodings from one frame to the next. The state of the frame in progress lives in a FramingState that the
// owner of the stream keeps (a connection's link record, the record of a
// connection not yet bound, or the serial frame queue); the owner serialises
// the calls for one state.
#pragma once

#include "rtu/protocol/FrameEncoding.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rtu {

struct FramingState {
    bool inFrame = false;       // a frame start has been seen and the frame is not complete
    bool headerParsed = false;  // header read (24 ASCII, 14 binary bytes), frameLength known
    // The frame in progress started while the bytes of a frame that failed its
    // check code were scanned again; if it fails too it is not scanned again.
    bool rescanned = false;
    FrameEncoding encoding = FrameEncoding::kAscii;  // of the frame in progress
    // Body length + 29 (ASCII) or + 17 (binary), once the header is parsed.
    std::uint32_t frameLength = 0;
    // The frame in progress from its first byte. It grows to the frame's
    // length (at most 4096 bytes ASCII, 4112 binary) and a large buffer is
    // released when the frame ends, so an idle link holds next to nothing.
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
    // A complete ASCII frame, at most 4096 bytes.
    virtual void OnFrame(std::string_view frame) = 0;
    // The 14-byte header of a binary frame in progress has been read and
    // accepted (7E 7E up to the start-of-body character).
    virtual void OnBinaryHeader(std::string_view header) { static_cast<void>(header); }
    // A complete binary frame whose check code is right, 18 to 4112 bytes.
    // Sinks that do not take binary frames drop them: they never reach
    // OnFrame.
    virtual void OnBinaryFrame(std::string_view frame) { static_cast<void>(frame); }
};

// What one call did, for counting bad input.
struct CutResult {
    std::uint32_t frames = 0;           // complete frames handed to the sink
    std::uint32_t rejectedHeaders = 0;  // frames given up at their header
    std::uint32_t overflows = 0;        // frames given up for their size
    std::uint32_t rescans = 0;          // frames given up for their check code and scanned again
    // Binary frames given up for their check code or end character (they are
    // never handed on), whether or not their bytes were scanned again.
    std::uint32_t badChecks = 0;
};

// Runs the framing rule over one block:
// - outside a frame every byte but SOH and 7E is ignored; an SOH starts an
//   ASCII frame, 7E 7E a binary one (in a run of 7E bytes the first pair is
//   tried first, and the next on failure);
// - inside a frame every byte is ordinary;
// - at 24 bytes the body length is read from positions 20..22: exactly three
//   hexadecimal digits and at most 4067. A header that fails is given up and
//   the scan goes on from the next frame start after its first byte, so a
//   corrupted header does not swallow the frames behind it;
// - the frame is complete when it holds body length + 29 bytes. A complete
//   frame whose check code fails while it holds another frame start is given
//   up and its bytes are scanned again from that start: a stray SOH in
//   front of a frame misaligns the header, and the frame itself starts
//   inside. Bytes are scanned again at most once, so hostile input costs at
//   most twice the work; a frame that fails and is not scanned again is
//   handed on, for the receiver to count and log;
// - a binary header (14 bytes) needs direction 0 or 8, a body length L of at
//   least 1 and STX, or SYN with L of at least 3 (the packet numbers); the
//   frame is complete at L + 17 bytes and is handed on only when its end
//   character is one of ETX, ETB, ENQ, ACK, NAK, EOT, ESC and its check code
//   is right. A binary frame refused at its header, or for its check code,
//   is given up and the scan goes on one byte after its first 7E (for the
//   check code, once: a frame that starts inside the bytes scanned again and
//   fails its check code too is dropped whole).
CutResult CutFrames(FramingState& state, std::string_view bytes, FrameSink& sink);
}  // namespace rtu
