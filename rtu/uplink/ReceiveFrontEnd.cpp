#include "rtu/uplink/ReceiveFrontEnd.h"

#include "rtu/protocol/FrameCodec.h"

#include "rtu/common/Log.h"
#include "rtu/common/RateLimitedLog.h"
#include "rtu/runtime/Settings.h"
#include "rtu/uplink/CutFrames.h"
#include "rtu/uplink/RegistrationPacket.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace rtu {

namespace {

constexpr std::chrono::seconds kStatePostInterval{15};
constexpr std::chrono::seconds kDropReportInterval{10};
// A registration packet must be complete within this time of its first byte.
constexpr std::chrono::seconds kRegistrationTime{30};

// Hands every complete frame of a block to a function.
class FrameForwarder : public FrameSink {
public:
    explicit FrameForwarder(std::function<void(std::string_view)> onFrame) : onFrame_(std::move(onFrame)) {}
    void OnFrame(std::string_view frame) override { onFrame_(frame); }

private:
    std::function<void(std::string_view)> onFrame_;
};

}  // namespace

ReceiveFrontEnd::ReceiveFrontEnd(StationRegistry& registry, FrameQueue& queue, RuntimeView& view,
                                 const SettingsStore& settings, PictureDiscard discardPicture)
    : registry_(registry), queue_(queue), view_(view), settings_(settings), discardPicture_(std::move(discardPicture))
{
}

void ReceiveFrontEnd::OnTcpData(const char* peer, int connectionId, const char* bytes, int length)
{
    if (bytes == nullptr || length <= 0) return;
    const auto settings = settings_.Current();
    if (settings->protMode != 0) return;
    if (settings->regMode != 0 && settings->regMode != 1) return;

    const std::string peerText = peer != nullptr ? peer : "";
    const std::string_view block(bytes, static_cast<std::size_t>(length));
    std::vector<std::string> afterEcho;
    {
        auto access = registry_.LockNetwork();
        if (!access.Accepting()) return;  // the service is stopping
        if (settings->regMode == 0)
            RecvPlain(access, connectionId, peerText, block, *settings);
        else
            RecvWithRegistration(access, connectionId, peerText, block, *settings, afterEcho);
    }
    // Frames that came in one block with a registration packet are handed on
    // once its echo has gone out, so their acknowledgements cannot overtake it.
    for (const std::string& frame : afterEcho) HandOffFrame(frame, connectionId);
}

void ReceiveFrontEnd::RecvPlain(StationRegistry::NetworkAccess& access, int connectionId, const std::string& peer,
                                std::string_view block, const ServerSettings& settings)
{
    if (CltDevInfo* record = access.FindConnection(connectionId)) {
        record->lastDataTime = static_cast<std::int64_t>(std::time(nullptr));
        record->lastDataSteady = std::chrono::steady_clock::now();
        FrameForwarder sink([&](std::string_view frame) { HandOffFrame(frame, connectionId); });
        CutFrames(record->framing, block, sink);
        return;
    }
    FrameUnbound(access, connectionId, peer, block, settings, nullptr);
}

void ReceiveFrontEnd::FrameUnbound(StationRegistry::NetworkAccess& access, int connectionId, const std::string& peer,
                                   std::string_view block, const ServerSettings& settings,
                                   std::vector<std::string>* afterEcho)
{
    // Not bound yet: the framing state is kept from block to block, so a
    // first frame that arrives in pieces still binds the connection. A frame
    // with a valid check code, the configured centre address and password and
    // a station address without a zero byte binds the connection to that
    // station (binding closes any older link of the station, so a corrupt or
    // forged frame must not bind: anyone who reaches the port could otherwise
    // drop a station's link). After a registration packet the frame must also
    // name the registered station. Every frame of the block that binds is
    // checked the same way, and a later one rebinds. A corrupt frame binds
    // nothing and is not handed on; the next one may bind. Any other refused
    // frame ends the connection and is not handed on either: the dispatcher
    // would drop "the station's link" by a connection id that holds no link.
    // The record's centre address and password are the configured ones, so a
    // command can be addressed at once.
    PendingConnection& pending = access.Pending(connectionId);
    CltDevInfo* bound = nullptr;
    bool refused = false;
    FrameForwarder sink([&](std::string_view frame) {
        if (refused || !VerifyCheckCode(frame)) return;
        const std::string station(frame.substr(3, 10));
        if (frame.substr(1, 2) != settings.cent || frame.substr(13, 4) != settings.centPwd ||
            station.find('\0') != std::string::npos || (pending.registered && station != pending.station)) {
            refused = true;
            access.Close(connectionId);
            return;
        }
        if (pending.freshStart && discardPicture_) discardPicture_(station);
        pending.freshStart = false;
        bound = &access.BindConnection(connectionId, peer, station, settings.cent.substr(0, 2),
                                       settings.centPwd.substr(0, 4));
        if (afterEcho != nullptr)
            afterEcho->emplace_back(frame);
        else
            HandOffFrame(frame, connectionId);
    });
    CutFrames(pending.framing, block, sink);
    if (bound != nullptr) bound->framing = std::move(pending.framing);
    if (bound != nullptr || refused) access.ForgetPending(connectionId);
}

void ReceiveFrontEnd::RecvWithRegistration(StationRegistry::NetworkAccess& access, int connectionId,
                                           const std::string& peer, std::string_view block,
                                           const ServerSettings& settings, std::vector<std::string>& afterEcho)
{
    if (CltDevInfo* record = access.FindConnection(connectionId)) {
        const auto now = std::chrono::steady_clock::now();
        record->lastDataTime = static_cast<std::int64_t>(std::time(nullptr));
        record->lastDataSteady = now;
        if (now - record->refreshSteady >= kStatePostInterval) {
            record->refreshSteady = now;
            record->refreshTime = record->lastDataTime;
            access.PostOnline(record->station, kNetworkLink);
        }
        FrameForwarder sink([&](std::string_view frame) { HandOffFrame(frame, connectionId); });
        CutFrames(record->framing, block, sink);
        return;
    }

    PendingConnection& pending = access.Pending(connectionId);
    if (pending.registered) {
        FrameUnbound(access, connectionId, peer, block, settings, nullptr);
        return;
    }
    // The registration packet is the first 48 bytes of the connection,
    // whichever blocks they come in; what follows them is framed.
    const auto now = access.SteadyNow();
    if (pending.registration.empty()) pending.gatherDeadline = now + kRegistrationTime;
    if (now > pending.gatherDeadline) {
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL,
                        "connection " + std::to_string(connectionId) + ": registration of a wrong length",
                        "Reg Length Error");
        access.ForgetPending(connectionId);
        access.Close(connectionId);
        return;
    }
    const std::size_t take = std::min(kRegistrationPacketBytes - pending.registration.size(), block.size());
    pending.registration.append(block.substr(0, take));
    block.remove_prefix(take);
    if (pending.registration.size() < kRegistrationPacketBytes) return;

    const Registration registration = DecodeRegistrationPacket(pending.registration);
    if (registration.check != RegistrationCheck::kAccepted) {
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL,
                        "connection " + std::to_string(connectionId) + ": registration refused", "Reg Error");
        access.ForgetPending(connectionId);
        access.Close(connectionId);
        return;
    }
    const std::string station(registration.Station());
    if (!registration.freshStart) RTU_LOG_DEBUG(LoadText("MainFrame", "Text1"));
    // The packet is answered with itself, as stations expect.
    access.Send(connectionId, pending.registration);
    pending.registration.clear();
    pending.registration.shrink_to_fit();
    if (access.HasLink(station)) {
        // The packet holds no secret of the station: a live link is replaced
        // only by a first frame that verifies. Until then the station's
        // commands and answers keep going to the live link; this connection
        // gets only the echo of its own packet, which a station waits for
        // before its first frame.
        pending.registered = true;
        pending.freshStart = registration.freshStart;
        pending.station = station;
        FrameUnbound(access, connectionId, peer, block, settings, &afterEcho);
        return;
    }
    if (registration.freshStart && discardPicture_) discardPicture_(station);
    CltDevInfo& record = access.BindConnection(connectionId, peer, station, settings.cent.substr(0, 2),
                                               settings.centPwd.substr(0, 4));
    access.ForgetPending(connectionId);
    FrameForwarder sink([&](std::string_view frame) { afterEcho.emplace_back(frame); });
    CutFrames(record.framing, block, sink);
}

void ReceiveFrontEnd::HandOffFrame(std::string_view frame, int connectionId)
{
    if (queue_.Push(connectionId, kNetworkLink, frame)) return;
    const std::uint64_t dropped = ++dropped_;
    // Every drop is counted: the limited line of the connection carries the
    // drops held back before it, and the periodic flush those after it.
    RTU_LOG_LIMITED(log4cplus::ERROR_LOG_LEVEL,
                    "connection " + std::to_string(connectionId) + ": network frame queue full, frames dropped",
                    "network frame queue full: a frame of connection " << connectionId << " dropped; " << dropped
                                                                        << " dropped in all");
    // The operator's pane hears of it at most once every few seconds.
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count();
    auto last = lastDropReport_.load();
    if (now - last >= kDropReportInterval.count() && lastDropReport_.compare_exchange_strong(last, now))
        view_.PostLogLine(LoadText("MainFrame", "Text15"));
}

}  // namespace rtu
