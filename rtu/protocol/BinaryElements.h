// Bodies of binary frames: the serial number and send time every body starts
// with, the station group, and the elements (identifier, data-definition
// byte, value). Numbers are packed BCD whose size and decimals come from the
// data-definition byte: value bytes in its high 5 bits, decimals in its low 3.
#pragma once

#include "rtu/protocol/BinaryFrame.h"
#include "rtu/protocol/TimeText.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rtu {

enum class BcdStatus {
    kValue,    // a number
    kMissing,  // all bytes FF (or the vendor form, all AA): no value
    kInvalid,  // a nibble that is no decimal digit, or an empty value
};

// Appends the decimal text of a BCD value to `text`: no leading zeros before
// the point (but one "0"), exactly `decimals` digits after it, and "-" for a
// value whose first byte is FF (the sign byte, counted in the value's size).
// "000035" with 1 decimal is "3.5"; "FF001235" with 3 is "-1.235". Appends
// nothing unless the result is kValue.
BcdStatus AppendBcdNumber(std::string_view bytes, int decimals, std::string& text);

// Appends a decimal text ("12.3", "-1.235", "7") as a BCD value of exactly
// `size` bytes with `decimals` decimals (more decimals in the text are
// refused, fewer are padded with zeros); a negative value takes FF as its
// first byte. False, appending nothing, for a text that is no plain decimal
// number or does not fit.
bool AppendBcdValue(std::string_view text, int decimals, std::size_t size, std::string& out);

// Decimal digits and decimals of a number text: the usual data-definition
// byte for it ("12.34" gives 2 bytes, 2 decimals; "-1.5" 2 bytes, 1 decimal).
// 0 for a text that is no plain decimal number.
std::uint8_t DefinitionFor(std::string_view text);

// Two decimal digits per byte; false for a nibble above 9.
bool BcdDigits(std::string_view bytes, std::string& digits);

enum class BinaryElementKind : std::uint8_t {
    kNumber,           // BCD number, size and decimals from the definition byte
    kObservationTime,  // TT: 5 BCD bytes yyMMddHHmm
    kTimeStep,         // 3 BCD bytes: days, hours, minutes
    kSeries,           // values of one identifier at a time step: `value` holds every group
    kFiveMinuteRain,   // DRP: 12 bytes, tenths of a millimetre, FF = none
    kFiveMinuteLevel,  // DRZ1..8: 12 words high byte first, centimetres, FFFF = none
    kStateWord,        // ZT: 4 bytes binary
    kRest,             // RGZS, PIC, DATA: the rest of the body
    kParameter,        // configuration parameter of 40..43, 49
};

struct BinaryElement {
    BinaryElementKind kind = BinaryElementKind::kNumber;
    std::uint16_t identifier = 0;  // 0xFFxx for an extension
    std::uint8_t definition = 0;
    std::string_view value;        // the value bytes, views into the frame
    std::size_t groupBytes = 0;    // kSeries: bytes per value

    int Decimals() const { return definition & 7; }
};

// What follows the station group, by function code.
enum class BinaryBodyLayout : std::uint8_t {
    kHeadOnly,    // 2F: serial number and send time
    kReport,      // 30..34, 36, 37, 38, 3A, 44: ST, kind, elements
    kManual,      // 35, 39: F2 F2 and the entry text
    kParameters,  // 40..43, 49: ST, parameters
    kVersion,     // 45: ST, a length byte and the version text
    kStation,     // 46..4B, 50, 51 and others: ST, then elements if any
};

BinaryBodyLayout BodyLayoutOf(std::uint8_t functionCode);

struct BinaryBody {
    std::uint16_t serial = 0;
    std::array<std::uint8_t, 6> sendTime{};  // BCD YY MM DD HH mm SS
    bool hasStation = false;
    StationAddressBytes station{};
    bool hasKind = false;
    std::uint8_t kind = 0;       // the letter of the text encoding: 'H', 'P', ...
    std::string_view text;       // kVersion: the version text; kHeadOnly/kStation: bytes left unread
    std::vector<BinaryElement> elements;
};

enum class BodyDecode {
    kOk,
    kTooShort,       // no serial number and send time
    kBadSendTime,    // the send time is no BCD date and time
    kBadStation,     // a report without its station group
    kTruncated,      // an element runs past the end of the body (the elements before it are kept)
    kBadSeries,      // a series with 0-byte values
};

const char* BodyDecodeText(BodyDecode result);

// Decodes the body of a single frame or of packet 1 of a transfer. Unknown
// and vendor identifiers are kept by their definition byte. DRP and DRZ
// blocks are read at their fixed size whatever their definition byte says.
// In a 31 or 38 body the identifier after the time step is a series running
// to the end of the body.
BodyDecode DecodeBinaryBody(std::uint8_t functionCode, std::string_view body, BinaryBody& out);

// The same for a parsed frame; a downlink body (acknowledgement or command)
// is read as its serial number and send time, the rest left in `text`.
BodyDecode DecodeBinaryBody(const BinaryFrame& frame, BinaryBody& out);

// The send time and the 10 digits of an observation time as text digits
// ("240506080005", "2405060800"); false for a nibble above 9.
bool SendTimeDigitsOf(const BinaryBody& body, std::string& digits);

}  // namespace rtu
