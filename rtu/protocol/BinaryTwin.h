// Translation between the two encodings, so that one dispatcher serves both:
// a verified binary uplink frame becomes the text-encoded frame a station of
// the text encoding would have sent (its "twin"), and the text-encoded
// downlink frames the centre builds (acknowledgements, commands) become the
// binary frames a binary station understands. The text-to-binary uplink
// direction serves the station simulator.
#pragma once

#include "rtu/protocol/BinaryFrame.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace rtu {

enum class TwinBuild {
    kBuilt,
    kNotUplink,     // a downlink frame has no twin
    kBadBody,       // the body could not be decoded
    kTooLong,       // the twin's body would exceed the 3-digit length field
    kUnsupported,   // a function code or command text with no counterpart
    kBadFrame,      // the text frame is malformed (header, length or check code)
};

const char* TwinBuildText(TwinBuild result);

// The twin of a verified binary uplink frame (ParseBinaryFrame gave kOk):
// SOH, centre address as 2 hexadecimal digits, station address as 10,
// password as 4, function code as 2, "0" and the body length as 3, STX or
// SYN, the body, the same end byte, and the check code as 4 upper-case
// digits. The body is the serial number ("%04X"), the 12 send-time digits
// and the elements as "NAME value " with the declared decimals; a value that
// is missing (all FF) or no BCD number is left out rather than stored as a
// number. Picture packets carry their payload bytes unchanged, after the
// packet counters ("%03X%03X") and, in packet 1, the text head and "PIC ".
TwinBuild BuildTextTwin(const BinaryFrame& frame, std::string& out);

// The binary form of a text downlink frame built by the centre (an
// acknowledgement or a command) for the same station. The acknowledgement's
// ACK becomes `acknowledgementEnd` (ESC to keep the station online, EOT to let
// it hang up, ACK after an ETB frame); commands keep ENQ.
TwinBuild BinaryDownlinkOf(std::string_view textFrame, std::uint8_t acknowledgementEnd, std::string& out);

// The binary form of a text uplink report (single frames only): what a
// station of the binary encoding sends for the same report.
TwinBuild BinaryUplinkOf(std::string_view textFrame, std::string& out);

}  // namespace rtu
