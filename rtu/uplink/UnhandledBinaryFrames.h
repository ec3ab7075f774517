// Where verified binary frames end until the centre decodes them: they must
// not reach the ASCII dispatcher. The first frame of each station is logged
// at DEBUG, later ones are dropped silently.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace rtu {

// Station key of a binary frame (at least 8 bytes): the 10 upper-case
// hexadecimal digits of its 5 address bytes, as the ASCII encoding writes
// the same address.
std::string BinaryFrameStation(std::string_view frame);

// Not thread-safe: the owner serialises the calls (the registry's network
// lock, or the serial framing lock).
class UnhandledBinaryFrames {
public:
    // `link` names where the frame came from, for the log line.
    void Take(std::string_view frame, const std::string& link);

private:
    std::unordered_set<std::string> logged_;  // stations whose first frame was logged
};

}  // namespace rtu
