#include "rtu/uplink/CutFrames.h"

#include "rtu/protocol/Crc16.h"
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
    encoding = FrameEncoding::kAscii;
    frameLength = 0;
    if (buffer.capacity() > kKeptCapacity)
        std::string().swap(buffer);
    else
        buffer.clear();
}

namespace {

// Position of the first byte at or after `from` that may start a frame: an
// SOH, or a 7E followed by 7E or by the end of the bytes (the next block
// decides). Two memchr passes, the second only up to the SOH found.
std::size_t FindStart(std::string_view bytes, std::size_t from)
{
    const char* data = bytes.data();
    const std::size_t size = bytes.size();
    if (from >= size) return std::string_view::npos;
    if (data[from] == kSoh) return from;  // frames back to back
    const void* soh = std::memchr(data + from, kSoh, size - from);
    const std::size_t limit = soh != nullptr ? static_cast<std::size_t>(static_cast<const char*>(soh) - data) : size;
    std::size_t at = from;
    while (at < limit) {
        const void* mark = std::memchr(data + at, kBinaryStart, limit - at);
        if (mark == nullptr) break;
        const std::size_t pos = static_cast<std::size_t>(static_cast<const char*>(mark) - data);
        if (pos + 1 == size || data[pos + 1] == kBinaryStart) return pos;
        at = pos + 1;
    }
    return soh != nullptr ? limit : std::string_view::npos;
}

bool IsBinaryEndCharacter(char c)
{
    switch (static_cast<unsigned char>(c)) {
    case 0x03:  // ETX
    case 0x17:  // ETB
    case 0x05:  // ENQ
    case 0x06:  // ACK
    case 0x15:  // NAK
    case 0x04:  // EOT
    case 0x1B:  // ESC
        return true;
    default:
        return false;
    }
}

// True when a complete ASCII frame holds an SOH after its first byte, or,
// when its end character is neither ETX nor ETB (it was cut short), the start
// of a binary frame. Sound frames are not searched for 7E: that search would
// cost every frame a second pass.
bool MayHoldAnotherFrame(std::string_view frame)
{
    if (frame.find(kSoh, 1) != std::string_view::npos) return true;
    const char end = frame[frame.size() - 5];
    if (end == 0x03 || end == 0x17) return false;
    return FindStart(frame, 1) != std::string_view::npos;
}

// Body length of an accepted binary header, or 0 when it is refused.
std::uint32_t BinaryBodyLength(std::string_view header)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(header[i]); };
    const unsigned word = (byte(11) << 8) | byte(12);
    const unsigned direction = word >> 12;
    const unsigned length = word & 0xFFFu;
    if (direction != 0 && direction != 8) return 0;
    if (header[13] == kStx) return length;
    if (header[13] == kSyn && length >= 3) return length;
    return 0;
}

bool BinaryCheckCodeIsRight(std::string_view frame)
{
    const std::size_t size = frame.size();
    const unsigned written = (static_cast<unsigned char>(frame[size - 2]) << 8) | static_cast<unsigned char>(frame[size - 1]);
    return IsBinaryEndCharacter(frame[size - 3]) && CalcCrc16(frame.substr(0, size - 2)) == written;
}

// One call of CutFrames. Bytes of a given-up frame that must be scanned
// again are replayed before the rest of the block: while the replay is not
// used up (it is dropped before the block's bytes are taken), the frame in
// progress holds only replayed bytes, the last ones before replayAt_ (every
// restart empties it), so a restart inside the replay just moves back in it.
class Cutter {
public:
    Cutter(FramingState& state, FrameSink& sink) : state_(state), sink_(sink) {}

    CutResult Run(std::string_view block)
    {
        std::size_t at = 0;
        for (;;) {
            if (replayAt_ < replay_.size()) {
                Scan(replay_, replayAt_, true);
                continue;
            }
            if (!replay_.empty()) {
                replay_.clear();
                replayAt_ = 0;
                rescanEnd_ = 0;
            }
            if (at >= block.size()) break;
            Scan(block, at, false);
        }
        return result_;
    }

private:
    // Takes bytes from `bytes` at `at` for the frames in progress, finding
    // frame starts and deciding on each frame when it holds enough. Returns
    // when the bytes are used up or a frame was given up to be scanned
    // again (the replay then holds what comes next).
    void Scan(std::string_view bytes, std::size_t& at, bool replaying)
    {
        restarted_ = false;
        while (at < bytes.size() && !restarted_) {
            if (!state_.inFrame) {
                const std::size_t start = FindStart(bytes, at);
                if (start == std::string_view::npos) {
                    at = bytes.size();
                    return;
                }
                at = start + 1;
                state_.inFrame = true;
                state_.headerParsed = false;
                state_.rescanned = replaying && start < rescanEnd_;
                state_.encoding = bytes[start] == kSoh ? FrameEncoding::kAscii : FrameEncoding::kBinary;
                state_.buffer.assign(1, bytes[start]);
                continue;
            }
            const bool binary = state_.encoding == FrameEncoding::kBinary;
            if (!state_.headerParsed) {
                const std::size_t need = binary ? kBinaryHeaderBytes : kHeaderBytes;
                const std::size_t take = std::min(need - state_.buffer.size(), bytes.size() - at);
                state_.buffer.append(bytes.data() + at, take);
                at += take;
                if (binary) {
                    // A 7E that is not followed by another is no frame start.
                    if (state_.buffer[1] != kBinaryStart)
                        Restart(state_.rescanned);
                    else if (state_.buffer.size() == need)
                        BinaryHeader();
                } else if (state_.buffer.size() == need) {
                    AsciiHeader();
                }
                continue;
            }
            // Inside a frame every byte is ordinary: take as many as it still needs.
            const std::size_t take =
                std::min<std::size_t>(state_.frameLength - state_.buffer.size(), bytes.size() - at);
            state_.buffer.append(bytes.data() + at, take);
            at += take;
            if (state_.buffer.size() != state_.frameLength) continue;
            if (binary)
                CompleteBinary();
            else
                CompleteAscii();
        }
    }

    void AsciiHeader()
    {
        const auto length = ParseBodyLength(std::string_view(state_.buffer).substr(20, 3));
        if (!length || *length + kFrameOverhead > kMaxFrameBytes) {
            ++(length ? result_.overflows : result_.rejectedHeaders);
            return Restart(state_.rescanned);
        }
        state_.frameLength = *length + static_cast<std::uint32_t>(kFrameOverhead);
        state_.headerParsed = true;
        state_.buffer.reserve(state_.frameLength);
        sink_.OnHeader(std::string_view(state_.buffer.data(), kHeaderBytes));
    }

    void BinaryHeader()
    {
        const std::uint32_t length = BinaryBodyLength(state_.buffer);
        if (length == 0) {
            ++result_.rejectedHeaders;
            return Restart(state_.rescanned);
        }
        state_.frameLength = length + static_cast<std::uint32_t>(kBinaryFrameOverhead);
        state_.headerParsed = true;
        state_.buffer.reserve(state_.frameLength);
        sink_.OnBinaryHeader(std::string_view(state_.buffer.data(), kBinaryHeaderBytes));
    }

    // An ASCII frame whose check code fails while it holds another frame
    // start is scanned again from there; any other is handed on, for the
    // receiver to count and log.
    void CompleteAscii()
    {
        const std::string_view frame(state_.buffer);
        if (!state_.rescanned && MayHoldAnotherFrame(frame) && !VerifyCheckCode(frame)) {
            ++result_.rescans;
            return Restart(true);
        }
        ++result_.frames;
        sink_.OnFrame(frame);
        state_.Reset();
    }

    // A binary frame is handed on only when its check code is right; one
    // that fails is scanned again from the byte after its first 7E, unless
    // it started inside bytes already scanned again.
    void CompleteBinary()
    {
        const std::string_view frame(state_.buffer);
        if (BinaryCheckCodeIsRight(frame)) {
            ++result_.frames;
            sink_.OnBinaryFrame(frame);
            state_.Reset();
            return;
        }
        ++result_.badChecks;
        if (state_.rescanned) {
            state_.Reset();
            return;
        }
        ++result_.rescans;
        Restart(true);
    }

    // Gives up the frame in progress and scans its bytes again from the next
    // frame start after its first byte. Frames that start in those bytes
    // count as scanned again when `rescan` is set.
    void Restart(bool rescan)
    {
        const std::size_t next = FindStart(state_.buffer, 1);
        const std::size_t held = state_.buffer.size();
        const std::size_t keep = next == std::string_view::npos ? 0 : held - next;
        if (!replay_.empty()) {
            // The frame holds only replayed bytes, the last `held` before
            // replayAt_: step back over the bytes to scan again.
            if (rescan) rescanEnd_ = std::max(rescanEnd_, replayAt_);
            replayAt_ -= keep;
        } else {
            replay_.assign(state_.buffer, held - keep, keep);
            replayAt_ = 0;
            rescanEnd_ = rescan ? keep : 0;
        }
        state_.Reset();
        restarted_ = true;
    }

    FramingState& state_;
    FrameSink& sink_;
    CutResult result_;
    std::string replay_;        // bytes to scan again before the rest of the block
    std::size_t replayAt_ = 0;  // next replayed byte
    std::size_t rescanEnd_ = 0; // frames starting before this replay position count as scanned again
    bool restarted_ = false;    // the last Scan gave up a frame to scan it again
};

}  // namespace

CutResult CutFrames(FramingState& state, std::string_view bytes, FrameSink& sink)
{
    if (bytes.empty()) return CutResult();
    return Cutter(state, sink).Run(bytes);
}

}  // namespace rtu
