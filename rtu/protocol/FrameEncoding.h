// The two encodings of the telemetry protocol that share one station port:
// ASCII frames start with SOH (0x01), binary frames with the two bytes 7E 7E.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtu {

enum class FrameEncoding : std::uint8_t { kAscii = 0, kBinary = 1 };

// Binary frame layout, as far as framing needs it: 7E 7E, centre address,
// 5-byte station address, 2-byte password, function code, a 16-bit word
// (direction in the top 4 bits: 0 up, 8 down; body length L in the low 12),
// STX or SYN, L bytes, end character, check code (CRC-16 high byte first)
// over everything from the first 7E to the end character.
inline constexpr char kBinaryStart = 0x7E;
inline constexpr std::size_t kBinaryHeaderBytes = 14;  // 7E 7E up to the start-of-body character
inline constexpr std::size_t kBinaryFrameOverhead = 17;
inline constexpr std::size_t kBinaryMaxFrameBytes = 4095 + kBinaryFrameOverhead;  // 4112

}  // namespace rtu
