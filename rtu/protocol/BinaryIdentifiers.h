// Element identifiers of the binary encoding and their names in the text
// encoding: one byte per element (FF xx for a user extension), and the
// data-definition byte a station usually sends with it (value bytes in the
// high 5 bits, decimals in the low 3).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rtu {

// Identifier bytes with a layout of their own.
namespace binary_id {
inline constexpr std::uint8_t kTimeStep = 0x04;         // DRD/DRH/DRN + 2 digits
inline constexpr std::uint8_t kStateWord = 0x45;        // ZT, 4 bytes binary
inline constexpr std::uint8_t kObservationTime = 0xF0;  // TT, 5 BCD bytes
inline constexpr std::uint8_t kStationAddress = 0xF1;   // ST, 5 bytes
inline constexpr std::uint8_t kManualEntry = 0xF2;      // RGZS, rest of the body
inline constexpr std::uint8_t kPicture = 0xF3;          // PIC, rest of the body
inline constexpr std::uint8_t kFiveMinuteRain = 0xF4;   // DRP, always 12 bytes
inline constexpr std::uint8_t kFiveMinuteLevel1 = 0xF5;  // DRZ1 .. DRZ8 (F5..FC), always 24 bytes
inline constexpr std::uint8_t kFiveMinuteLevel8 = 0xFC;
inline constexpr std::uint8_t kBulkData = 0xFD;         // DATA, rest of the body
inline constexpr std::uint8_t kExtension = 0xFF;        // FF xx: user extension
}  // namespace binary_id

inline constexpr std::size_t kFiveMinuteRainBytes = 12;
inline constexpr std::size_t kFiveMinuteLevelBytes = 24;

// Text name of an element identifier ("PJ", "Z", "DRZ3"); empty for an
// identifier without one (reserved and vendor codes).
std::string_view BinaryElementName(std::uint8_t identifier);

// The name a decoded element is written with in the text encoding: the table
// name, or the identifier as hexadecimal digits ("7A", "FFA0") when it has
// none. `identifier` is 0xFFxx for an extension.
std::string BinaryElementLabel(std::uint16_t identifier);

struct BinaryIdentifier {
    std::uint8_t code = 0;
    std::uint8_t usualDefinition = 0;  // 0 when the table has no usual width
};

// The identifier of a text name, the inverse of BinaryElementName. The
// time-step code (DRxnn) and extension labels are not names of this table.
std::optional<BinaryIdentifier> BinaryIdentifierOf(std::string_view name);

}  // namespace rtu
