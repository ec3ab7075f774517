// Frames of the binary encoding of the telemetry protocol: reading and
// verifying one frame, and writing downlink frames (acknowledgements, NAKs and
// commands) and uplink frames.
//
// Layout (offsets from the first 7E, L = the 12-bit length):
//   0 7E 7E | 2 first address (1 or 5) | ... | 8 password (2, high first)
//   | 10 function code | 11 direction nibble (0 up, 8 down) + L (12 bits)
//   | 13 STX or SYN | 14 for SYN only: packet total (12 bits) and number
//   (12 bits) | body | 14+L end byte | 15+L check code (2, high first)
// Uplink frames carry the centre address (1 byte) at 2 and the station
// address (5 bytes) at 3; downlink frames the station address at 2 and the
// centre address at 7. L counts every byte between the start-of-body byte and
// the end byte, the 3 packet bytes of a SYN frame included, so a frame is
// L + 17 bytes. The check code is the same CRC-16 as the text encoding's,
// over every byte from the first 7E up to and including the end byte.
#pragma once

#include "rtu/protocol/TimeText.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rtu {

inline constexpr std::uint8_t kBinaryStart = 0x7E;
inline constexpr std::size_t kBinaryHeaderBytes = 14;    // 7E 7E up to STX/SYN
inline constexpr std::size_t kBinaryFrameOverhead = 17;  // header, end byte, check code
inline constexpr std::size_t kBinaryMaxLength = 0xFFF;   // the 12-bit length field
inline constexpr std::size_t kBinaryMaxFrameBytes = kBinaryMaxLength + kBinaryFrameOverhead;  // 4112
inline constexpr std::size_t kBinaryPacketFieldBytes = 3;

// Start-of-body and end bytes of binary frames.
namespace binary_byte {
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kSyn = 0x16;
inline constexpr std::uint8_t kEtx = 0x03;  // up: last frame
inline constexpr std::uint8_t kEtb = 0x17;  // up: more frames follow
inline constexpr std::uint8_t kEnq = 0x05;  // down: command or query
inline constexpr std::uint8_t kAck = 0x06;  // down: reply to an ETB frame
inline constexpr std::uint8_t kNak = 0x15;  // down: resend packet n
inline constexpr std::uint8_t kEot = 0x04;  // down: received, the station may hang up
inline constexpr std::uint8_t kEsc = 0x1B;  // down: received, the station stays online
}  // namespace binary_byte

using StationAddressBytes = std::array<std::uint8_t, 5>;

enum class BinaryDirection : std::uint8_t { kUp = 0, kDown = 8 };

// Header fields of a binary frame; `body` views the bytes after the
// start-of-body byte (after the packet field for SYN) up to the end byte.
struct BinaryFrame {
    BinaryDirection direction = BinaryDirection::kUp;
    std::uint8_t centre = 0;
    StationAddressBytes station{};
    std::uint16_t password = 0;
    std::uint8_t functionCode = 0;
    std::uint16_t length = 0;  // L
    std::uint8_t startOfBody = binary_byte::kStx;
    std::uint16_t packetTotal = 0;   // SYN only
    std::uint16_t packetNumber = 0;  // SYN only
    std::string_view body;
    std::uint8_t end = 0;
    std::uint16_t checkCode = 0;  // as sent
};

enum class BinaryParse {
    kOk,
    kTooShort,          // fewer than 17 bytes
    kBadStart,          // not 7E 7E
    kBadDirection,      // direction nibble other than 0 and 8
    kLengthMismatch,    // the frame is not L + 17 bytes
    kBadStartOfBody,    // neither STX nor SYN
    kBadPacketField,    // SYN with L < 3, a packet number 0, or a number above the total
    kBadEnd,            // an end byte that the direction does not use
    kBadCheckCode,      // everything else is sound; the fields are filled in
};

const char* BinaryParseText(BinaryParse result);

// Reads and verifies exactly one frame. Every field that could be read is
// filled in, also for kBadCheckCode, so that a damaged packet of a
// multi-packet transfer can be answered with a NAK for its number.
BinaryParse ParseBinaryFrame(std::string_view frame, BinaryFrame& out);

// The 10 upper-case hexadecimal digits of a station address: the key of a
// station in both encodings.
std::string StationAddressText(const StationAddressBytes& address);

// Writes a frame from the header fields of `frame` (body, length and check
// code are taken from `body` and computed) into `out`, replacing its
// contents. False, with `out` emptied, when the body and the packet field
// would exceed 4095 bytes.
bool EncodeBinaryFrame(const BinaryFrame& frame, std::string_view body, std::string& out);

// The centre's acknowledgement of a verified single uplink report: the same
// function code, addresses and password, STX, body = the report's serial
// number + `now` as 6 BCD bytes, end byte ESC (keep the station online) or
// EOT, or ACK when the report ended with ETB. False for a keep-alive (2F),
// a SYN packet, a downlink frame and a body shorter than its serial number:
// those get no acknowledgement.
bool BuildBinaryAcknowledgement(const BinaryFrame& report, const CalendarTime& now, bool keepOnline,
                                std::string& out);

// The answer to the last packet of a multi-packet transfer that arrived
// whole: SYN, packet field total/total, body = the serial number of packet 1
// + `now`, end ESC or EOT. `lastPacket` gives addresses, password, function
// code and total.
bool BuildBinaryTransferAcknowledgement(const BinaryFrame& lastPacket, std::uint16_t firstPacketSerial,
                                        const CalendarTime& now, bool keepOnline, std::string& out);

// The request to send packet `missing` of a transfer again: SYN, packet field
// total/missing, body = `serial` + `now` (0 when the damaged packet's serial
// cannot be trusted), end NAK. `packet` is any packet of the transfer, the
// damaged one included (its header is read even when its check code is
// wrong). False when `missing` is 0 or above the total.
bool BuildBinaryNak(const BinaryFrame& packet, std::uint16_t missing, std::uint16_t serial, const CalendarTime& now,
                    std::string& out);

// Six BCD bytes YY MM DD HH mm SS of a time.
std::array<std::uint8_t, 6> BcdTime(const CalendarTime& t);

}  // namespace rtu
