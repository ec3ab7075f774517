// Telemetry frames: the uplink header as stations send it, the downlink
// layout the centre writes, the check code, the acknowledgement and the
// command frame.
//
// Uplink (offsets from SOH, L = body length):
//   0 SOH | 1 centre (2) | 3 station (10) | 13 password (4) | 17 function (2)
//   | 19 direction (1) | 20 L as 3 hex digits | 23 STX or SYN | 24 body (L)
//   | 24+L end character | 25+L check code (4 hex digits)
// Downlink: SOH | station (10) | centre (2) | password (4) | function (2)
//   | "8" + N as 3 hex digits | STX | body (N) | end character | check code
//   in lower case.
#pragma once

#include "rtu/protocol/SerialNumber.h"
#include "rtu/protocol/TimeText.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace rtu {

inline constexpr char kSoh = 0x01;
inline constexpr char kStx = 0x02;
inline constexpr char kSyn = 0x16;
inline constexpr char kEnq = 0x05;
inline constexpr char kAck = 0x06;

inline constexpr std::size_t kHeaderBytes = 24;      // SOH up to the start-of-body character
inline constexpr std::size_t kFrameOverhead = 29;    // header, end character, check code
inline constexpr std::size_t kMaxFrameBytes = 4096;  // largest frame received or written
inline constexpr std::size_t kMaxBodyBytes = kMaxFrameBytes - kFrameOverhead;  // 4067
inline constexpr std::size_t kMaxCommandBody = 1024;  // serial number, send time, text
inline constexpr std::size_t kCommandPrefixBytes = 16;  // serial number (4) + send time (12)
inline constexpr std::size_t kMaxCommandText = kMaxCommandBody - kCommandPrefixBytes;  // 1008
inline constexpr std::size_t kAcknowledgementBytes = 45;

// Input of EncodeFrame, one byte per character. The first 24 bytes are in
// the order of an uplink frame, so an acknowledgement takes them straight
// from the received frame.
struct FrameHeader {
    char start;                  // SOH
    char centre[2];
    char station[10];
    char password[4];
    char functionCode[2];
    char directionAndLength[4];  // "8" followed by the body length in 3 hex digits
    char startOfBody;            // STX
    char end;                    // ENQ for commands, ACK for acknowledgements
};
static_assert(sizeof(FrameHeader) == 25, "FrameHeader is 25 characters");

// A frame written into a fixed buffer.
class FrameBytes {
public:
    std::string_view View() const { return {data_.data(), size_}; }
    const char* Data() const { return data_.data(); }
    std::uint16_t Size() const { return size_; }
    void Clear() { size_ = 0; }

private:
    friend bool EncodeFrame(const FrameHeader&, std::string_view, FrameBytes&);
    std::array<char, kMaxFrameBytes> data_{};
    std::uint16_t size_ = 0;
};

// Fields of a received frame, as views into it.
struct UplinkHeader {
    std::string_view centre;        // 2 characters at 1
    std::string_view station;       // 10 characters at 3
    std::string_view password;      // 4 characters at 13
    std::string_view functionCode;  // 2 characters at 17, as received
    char direction = 0;             // at 19, not interpreted
    std::string_view lengthField;   // 3 characters at 20
    char startOfBody = 0;           // at 23: STX or SYN
    // The body length when the length field is 3 hexadecimal digits and the
    // frame would fit the largest frame; empty otherwise.
    std::optional<std::uint16_t> bodyLength;
};

// Reads the first 24 bytes of a frame; empty when there are fewer.
std::optional<UplinkHeader> ReadUplinkHeader(std::string_view frame);

// The body length from a 3-character length field: exactly three hexadecimal
// digits (no blanks, no signs) and at most 4067. Empty otherwise.
std::optional<std::uint16_t> ParseBodyLength(std::string_view field);

// The check code of a frame: every byte but the last four.
std::uint16_t FrameCheckCode(std::string_view frame);

// True when the last four characters of the frame are the check code of the
// bytes before them, in upper or lower case.
bool VerifyCheckCode(std::string_view frame);

// Writes the downlink frame: the header fields in downlink order, the
// direction-and-length field copied as it stands, the body, the end character
// and the check code. False, with `out` emptied, when body + 29 would exceed
// 4096 bytes.
bool EncodeFrame(const FrameHeader& header, std::string_view body, FrameBytes& out);

// The reply to a single uplink frame: the received header with direction and
// length "8010", STX, the received serial number (the first 4 body
// characters) and the send time, ending with ACK: 45 bytes. False when the
// received frame is shorter than 28 bytes.
bool BuildAcknowledgement(std::string_view received, const CalendarTime& sendTime, FrameBytes& out);
bool BuildAcknowledgement(std::string_view received, FrameBytes& out);  // local clock

// What a command frame is addressed with: the station's link record.
struct DownlinkAddress {
    std::string_view station;   // 10 characters
    std::string_view centre;    // 2 characters
    std::string_view password;  // 4 characters
};

enum class CommandBuild {
    kBuilt,
    kTooLong,     // serial number, send time and text would exceed 1024 bytes
    kBadAddress,  // an address field has the wrong width, or the function code is short
};

// The frame part of sending a command: body = serial number ("%04X", taken
// from `serials` only when the frame is built), send time, command text; end
// character ENQ; the first 2 characters of `functionCode`.
CommandBuild BuildCommandFrame(const DownlinkAddress& address, std::string_view functionCode,
                               std::string_view commandText, SerialNumberCounter& serials,
                               const CalendarTime& sendTime, FrameBytes& out);
// The same with the process counter and the local clock.
CommandBuild BuildCommandFrame(const DownlinkAddress& address, std::string_view functionCode,
                               std::string_view commandText, FrameBytes& out);

}  // namespace rtu
