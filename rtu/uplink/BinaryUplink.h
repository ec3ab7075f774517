// What becomes of a verified binary frame cut from a station's stream: a
// report or answer is handed to the parse threads as its text twin, which the
// one dispatcher handles as it handles a text frame, with the binary original
// riding along for storage. Frames with no twin are logged and dropped.
#pragma once

#include <string>
#include <string_view>

namespace rtu {

// Station key of a binary frame (at least 8 bytes): the 10 upper-case
// hexadecimal digits of its 5 address bytes, as the ASCII encoding writes
// the same address.
std::string BinaryFrameStation(std::string_view frame);

// The text twin of a verified binary frame, in `twin`; false when the frame
// is not handed on (a downlink frame, a picture packet, a body that cannot be
// read, or no text form). A frame that is dropped is logged, at most one line
// every few seconds per link and reason; `link` names where it came from. Never
// acknowledged: a station sends a report it sees unacknowledged again.
bool TwinForParsing(std::string_view frame, const std::string& link, std::string& twin);

}  // namespace rtu
