#include "rtu/uplink/ReceiveFrontEnd.h"

#include "rtu/protocol/FrameCodec.h"

#include "rtu/common/Log.h"
#include "rtu/common/RateLimitedLog.h"
#include "rtu/runtime/Settings.h"
#include "rtu/uplink/CutFrames.h"
#include "rtu/uplink/RegistrationPacket.h"

#include <utility>

namespace rtu {

namespace {

constexpr std::chrono::seconds kStatePostInterval{15};
constexpr std::chrono::seconds kDropReportInterval{10};

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
    auto access = registry_.LockNetwork();
    if (!access.Accepting()) return;  // the service is stopping
    if (settings->regMode == 0)
        RecvPlain(access, connectionId, peerText, block, *settings);
    else
        RecvWithRegistration(access, connectionId, peerText, block, *settings);
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

    // Not bound yet: the framing state is kept from block to block, so a
    // first frame that arrives in pieces still binds the connection. The
    // first frame with a valid check code and the configured centre address
    // and password binds it to the station address it carries (binding closes
    // any older link of that station, so a corrupt or forged frame must not
    // bind: anyone who reaches the port could otherwise drop a station's
    // link). A corrupt frame binds nothing and the next frame may; a frame
    // with the wrong centre or password ends the connection. The record's
    // centre address and password are the configured ones, so a command can
    // be addressed at once.
    FramingState framing = access.PendingFraming(connectionId);
    CltDevInfo* bound = nullptr;
    bool refused = false;
    FrameForwarder sink([&](std::string_view frame) {
        if (refused) return;
        HandOffFrame(frame, connectionId);
        if (!VerifyCheckCode(frame)) return;
        if (frame.substr(1, 2) != settings.cent || frame.substr(13, 4) != settings.centPwd) {
            refused = true;
            access.Close(connectionId);
            return;
        }
        const std::string station(frame.substr(3, 10));
        bound = &access.BindConnection(connectionId, peer, station, settings.cent.substr(0, 2),
                                       settings.centPwd.substr(0, 4), nullptr);
    });
    CutFrames(framing, block, sink);
    if (bound != nullptr)
        bound->framing = framing;
    else if (!refused)
        access.PendingFraming(connectionId) = framing;
}

void ReceiveFrontEnd::RecvWithRegistration(StationRegistry::NetworkAccess& access, int connectionId,
                                           const std::string& peer, std::string_view block,
                                           const ServerSettings& settings)
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

    const Registration registration = DecodeRegistrationPacket(block);
    if (registration.check == RegistrationCheck::kLengthError) {
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL,
                        "connection " + std::to_string(connectionId) + ": registration of a wrong length",
                        "Reg Length Error");
        access.Close(connectionId);
        return;
    }
    if (registration.check != RegistrationCheck::kAccepted) {
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL,
                        "connection " + std::to_string(connectionId) + ": registration refused", "Reg Error");
        access.Close(connectionId);
        return;
    }
    const std::string station(registration.Station());
    if (registration.freshStart) {
        if (discardPicture_) discardPicture_(station);
    } else {
        RTU_LOG_DEBUG(LoadText("MainFrame", "Text1"));
    }
    access.BindConnection(connectionId, peer, station, settings.cent.substr(0, 2), settings.centPwd.substr(0, 4),
                          nullptr);
    if (connectionId != -1) access.Send(connectionId, std::string(block));
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
