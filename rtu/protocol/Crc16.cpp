#include "rtu/protocol/Crc16.h"

#include <array>

namespace rtu {
namespace {

// The two tables are the bitwise CRC of every byte value, split into the byte
// that lands in the high half and the byte that lands in the low half of the
// running value. Built at compile time from the polynomial.
struct CrcTables {
    std::array<std::uint8_t, 256> high{};
    std::array<std::uint8_t, 256> low{};
};

constexpr CrcTables MakeTables()
{
    CrcTables t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ 0xA001U : crc >> 1;
        }
        t.high[i] = static_cast<std::uint8_t>(crc >> 8);
        t.low[i] = static_cast<std::uint8_t>(crc & 0xFFU);
    }
    return t;
}

constexpr CrcTables kTables = MakeTables();

std::uint16_t Run(const unsigned char* p, std::size_t count)
{
    unsigned hi = 0xFF;
    unsigned lo = 0xFF;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned index = (lo ^ p[i]) & 0xFFU;
        lo = hi ^ kTables.low[index];
        hi = kTables.high[index];
    }
    return static_cast<std::uint16_t>((hi << 8) | lo);
}

}  // namespace

std::uint16_t CalcCrc16(const std::uint8_t* bytes, std::uint16_t count)
{
    return bytes == nullptr ? std::uint16_t{0xFFFF} : Run(bytes, count);
}

std::uint16_t CalcCrc16(std::string_view bytes)
{
    return Run(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

}  // namespace rtu
