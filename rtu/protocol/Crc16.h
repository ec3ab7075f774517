// Check code of telemetry frames: CRC-16 with the reflected polynomial 0xA001,
// initial value 0xFFFF and no final XOR, computed with the two 256-byte
// tables (high and low byte) indexed by the low byte of the running value
// XOR the next data byte.
#pragma once

#include <cstdint>
#include <string_view>

namespace rtu {

std::uint16_t CalcCrc16(const std::uint8_t* bytes, std::uint16_t count);

// Same over the characters of a text; texts longer than 65535 bytes are
// taken in full.
std::uint16_t CalcCrc16(std::string_view bytes);

}  // namespace rtu
