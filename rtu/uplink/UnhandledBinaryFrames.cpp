#include "rtu/uplink/UnhandledBinaryFrames.h"

#include "rtu/common/Log.h"
#include "rtu/protocol/HexText.h"

#include <utility>

namespace rtu {

namespace {

// Anyone who reaches the port can send verified frames with made-up station
// addresses: the set of logged stations stays bounded, and stations beyond
// it are not logged.
constexpr std::size_t kMaxLoggedStations = 4096;

}  // namespace

std::string BinaryFrameStation(std::string_view frame) { return BytesToHexText(frame.substr(3, 5)); }

void UnhandledBinaryFrames::Take(std::string_view frame, const std::string& link)
{
    if (logged_.size() >= kMaxLoggedStations) return;
    std::string station = BinaryFrameStation(frame);
    if (!logged_.insert(std::move(station)).second) return;
    RTU_LOG_DEBUG(link << ": binary frame of station " << BinaryFrameStation(frame) << " not handled yet ("
                       << frame.size() << " bytes): " << BytesToHexText(frame));
}

}  // namespace rtu
