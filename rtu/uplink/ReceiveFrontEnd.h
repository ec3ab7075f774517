// The receive front end of network connections: cuts frames out of the
// blocks the network library delivers, binds each new connection to the
// station address of its first frame (plain mode) or of its registration
// packet (registration mode), and queues every complete frame for the
// network parse thread.
#pragma once

#include "rtu/runtime/ServerSettings.h"
#include "rtu/runtime/StationRegistry.h"
#include "rtu/uplink/FrameQueue.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace rtu {

class ReceiveFrontEnd {
public:
    // Discards the picture in progress of a station that starts afresh; called
    // with the registry lock held (it takes the picture lock inside it).
    using PictureDiscard = std::function<void(const std::string& station)>;

    ReceiveFrontEnd(StationRegistry& registry, FrameQueue& queue, RuntimeView& view, const SettingsStore& settings,
                    PictureDiscard discardPicture);

    // A block of bytes from a connection (the network library's data callback).
    void OnTcpData(const char* peer, int connectionId, const char* bytes, int length);

    // Frames refused by a full queue, for the log and tests.
    std::uint64_t DroppedFrames() const { return dropped_.load(); }

private:
    void RecvPlain(StationRegistry::NetworkAccess& access, int connectionId, const std::string& peer,
                   std::string_view block, const ServerSettings& settings);
    void RecvWithRegistration(StationRegistry::NetworkAccess& access, int connectionId, const std::string& peer,
                              std::string_view block, const ServerSettings& settings,
                              std::vector<std::string>& afterEcho);
    // Frames a connection that has bound no station yet until a first frame
    // that verifies binds it; frames to hand on go to afterEcho when given.
    void FrameUnbound(StationRegistry::NetworkAccess& access, int connectionId, const std::string& peer,
                      std::string_view block, const ServerSettings& settings, std::vector<std::string>* afterEcho);
    void HandOffFrame(std::string_view frame, int connectionId);

    StationRegistry& registry_;
    FrameQueue& queue_;
    RuntimeView& view_;
    const SettingsStore& settings_;
    PictureDiscard discardPicture_;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::int64_t> lastDropReport_{0};
};

}  // namespace rtu
