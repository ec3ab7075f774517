#include "rtu/runtime/StationRegistry.h"

#include "rtu/common/Log.h"
#include "rtu/runtime/Settings.h"

#include <ctime>

namespace rtu {

namespace {
constexpr std::chrono::seconds kStatePostInterval{15};

// The station list and the command paths read a record often: the frame in
// progress is of no use to them.
void CopyWithoutFraming(const CltDevInfo& from, CltDevInfo& to)
{
    to.framing.Reset();
    to.linkKind = from.linkKind;
    to.centre = from.centre;
    to.password = from.password;
    to.connectTime = from.connectTime;
    to.lastDataTime = from.lastDataTime;
    to.refreshTime = from.refreshTime;
    to.lastDataSteady = from.lastDataSteady;
    to.refreshSteady = from.refreshSteady;
    to.station = from.station;
    to.peer = from.peer;
    to.observationTime = from.observationTime;
    to.waterLevel = from.waterLevel;
    to.periodRainfall = from.periodRainfall;
    to.dailyRainfall = from.dailyRainfall;
    to.flow = from.flow;
}
}

StationRegistry::StationRegistry(RuntimeView& view, LinkTransport& transport)
    : view_(view), transport_(transport)
{
    clock_.wallSeconds = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
    clock_.steadyNow = [] { return std::chrono::steady_clock::now(); };
}

void StationRegistry::SetClock(Clock clock) { clock_ = std::move(clock); }

// ---- receive path -------------------------------------------------------

StationRegistry::NetworkAccess::NetworkAccess(StationRegistry& registry)
    : registry_(registry), lock_(registry.registryLock_)
{
}

StationRegistry::NetworkAccess::~NetworkAccess()
{
    lock_.unlock();
    registry_.RunDeferred(deferred_);
}

bool StationRegistry::NetworkAccess::Accepting() const { return registry_.accepting_; }

CltDevInfo* StationRegistry::NetworkAccess::FindConnection(int connectionId)
{
    auto it = registry_.m_mapCltDev.find(connectionId);
    return it == registry_.m_mapCltDev.end() ? nullptr : &it->second;
}

PendingConnection& StationRegistry::NetworkAccess::Pending(int connectionId)
{
    auto [it, added] = registry_.pending_.try_emplace(connectionId);
    if (added) it->second.since = registry_.clock_.steadyNow();
    return it->second;
}

void StationRegistry::NetworkAccess::ForgetPending(int connectionId) { registry_.pending_.erase(connectionId); }

std::chrono::steady_clock::time_point StationRegistry::NetworkAccess::SteadyNow() const
{
    return registry_.clock_.steadyNow();
}

bool StationRegistry::NetworkAccess::HasLink(const std::string& station) const
{
    const auto it = registry_.BoundRecordLocked(station);
    return it != registry_.m_mapCltDev.end() && it->second.station == station;
}

CltDevInfo& StationRegistry::NetworkAccess::BindConnection(int connectionId, const std::string& peer,
                                                           const std::string& station, const std::string& centre,
                                                           const std::string& password)
{
    auto& reg = registry_;
    // An older connection of the same station is closed and forgotten.
    auto bound = reg.m_mapDevAddr.find(station);
    if (bound != reg.m_mapDevAddr.end()) {
        const int older = bound->second.connectionId;
        auto olderRecord = reg.m_mapCltDev.find(older);
        if (older != connectionId && olderRecord != reg.m_mapCltDev.end() && olderRecord->second.station == station) {
            Close(older);
            reg.m_mapCltDev.erase(olderRecord);
            RTU_LOG_DEBUG(LoadText("MainFrame", "Text2"));
        }
        reg.m_mapDevAddr.erase(bound);
    }

    // A reused connection id must not inherit another station's record: a
    // record still filed under this id (its close not yet reported) is
    // replaced, and its station unbound if it still names this connection.
    auto stale = reg.m_mapCltDev.find(connectionId);
    if (stale != reg.m_mapCltDev.end()) {
        if (stale->second.station != station) reg.UnbindStationLocked(stale->second.station, connectionId);
        reg.m_mapCltDev.erase(stale);
    }

    CltDevInfo record;
    record.linkKind = kNetworkLink;
    record.peer = peer.substr(0, 15);
    record.connectTime = record.lastDataTime = record.refreshTime = reg.clock_.wallSeconds();
    record.lastDataSteady = record.refreshSteady = reg.clock_.steadyNow();
    record.station = station;
    record.centre = centre;
    record.password = password;

    CltDevInfo& stored = reg.m_mapCltDev.emplace(connectionId, std::move(record)).first->second;
    reg.m_mapDevAddr[station] = DevAddrEntry{station, connectionId};
    reg.view_.PostStationState(station, StationState::Online, kNetworkLink);
    return stored;
}

void StationRegistry::NetworkAccess::PostOnline(const std::string& station, int linkKind)
{
    if (!station.empty()) registry_.view_.PostStationState(station, StationState::Online, linkKind);
}

void StationRegistry::RunDeferred(DeferredLinkCalls& calls)
{
    for (auto& [id, bytes] : calls.sends)
        transport_.SendTcp(id, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    for (int id : calls.closes) transport_.CloseTcp(id);
    calls.sends.clear();
    calls.closes.clear();
}

void StationRegistry::UnbindStationLocked(const std::string& station, int connectionId)
{
    auto it = m_mapDevAddr.find(station);
    if (it != m_mapDevAddr.end() && it->second.connectionId == connectionId) m_mapDevAddr.erase(it);
}

std::map<int, CltDevInfo>::iterator StationRegistry::BoundRecordLocked(const std::string& station)
{
    auto bound = m_mapDevAddr.find(station);
    return bound == m_mapDevAddr.end() ? m_mapCltDev.end() : m_mapCltDev.find(bound->second.connectionId);
}

std::map<int, CltDevInfo>::const_iterator StationRegistry::BoundRecordLocked(const std::string& station) const
{
    auto bound = m_mapDevAddr.find(station);
    return bound == m_mapDevAddr.end() ? m_mapCltDev.cend() : m_mapCltDev.find(bound->second.connectionId);
}

void StationRegistry::OnConnectionClosed(int connectionId)
{
    std::string station;
    {
        std::lock_guard<std::mutex> lock(registryLock_);
        pending_.erase(connectionId);
        auto it = m_mapCltDev.find(connectionId);
        if (it == m_mapCltDev.end()) return;
        station = it->second.station;
        UnbindStationLocked(station, connectionId);
        m_mapCltDev.erase(it);
    }
    if (!station.empty()) view_.PostStationState(station, StationState::Offline, kNetworkLink);
}

// ---- dispatcher ---------------------------------------------------------

void StationRegistry::RefreshNetworkStation(const std::string& station, const std::string& centre,
                                            const std::string& password)
{
    std::lock_guard<std::mutex> lock(registryLock_);
    auto it = BoundRecordLocked(station);
    if (it == m_mapCltDev.end()) return;
    it->second.lastDataTime = clock_.wallSeconds();
    it->second.lastDataSteady = clock_.steadyNow();
    it->second.centre = centre;
    it->second.password = password;
    view_.PostStationState(station, StationState::Online, kNetworkLink);
}

void StationRegistry::RefreshSerialStation(const std::string& station, const std::string& centre,
                                           const std::string& password)
{
    std::lock_guard<std::mutex> lock(serialStationsLock_);
    const auto now = clock_.steadyNow();
    auto it = m_csCommDev.find(station);
    if (it != m_csCommDev.end()) {
        it->second.lastDataTime = clock_.wallSeconds();
        it->second.lastDataSteady = now;
        it->second.centre = centre;
        it->second.password = password;
        if (now - it->second.refreshSteady >= kStatePostInterval) {
            it->second.refreshTime = it->second.lastDataTime;
            it->second.refreshSteady = now;
            view_.PostStationState(station, StationState::Online, kSerialLink);
        }
        return;
    }
    CltDevInfo record;
    record.linkKind = kSerialLink;
    record.lastDataTime = clock_.wallSeconds();
    record.lastDataSteady = now;
    record.station = station;
    record.centre = centre;
    record.password = password;
    record.peer = "127.0.0.1";
    m_csCommDev.emplace(station, std::move(record));
    view_.PostStationState(station, StationState::Online, kSerialLink);
}

void StationRegistry::DropStationLink(int connectionId, const std::string& station, int linkKind)
{
    if (linkKind == kNetworkLink) {
        bool dropped = false;
        {
            std::lock_guard<std::mutex> lock(registryLock_);
            // Connection ids are reused: by the time a refused frame is
            // handled, its id may hold another station's new link.
            auto it = m_mapCltDev.find(connectionId);
            if (it != m_mapCltDev.end() && it->second.station == station) {
                UnbindStationLocked(station, connectionId);
                m_mapCltDev.erase(it);
                dropped = true;
                view_.PostStationState(station, StationState::Offline, kNetworkLink);
            }
        }
        if (dropped) transport_.CloseTcp(connectionId);
        return;
    }
    std::lock_guard<std::mutex> lock(serialStationsLock_);
    if (m_csCommDev.erase(station) != 0) view_.PostStationState(station, StationState::Offline, kSerialLink);
}

bool StationRegistry::DropNetworkStation(const std::string& station)
{
    int connectionId = -1;
    {
        std::lock_guard<std::mutex> lock(registryLock_);
        auto bound = m_mapDevAddr.find(station);
        if (bound == m_mapDevAddr.end()) return false;
        connectionId = bound->second.connectionId;
        m_mapDevAddr.erase(bound);
        // Only the station's own record goes: the id may have been reused.
        auto it = m_mapCltDev.find(connectionId);
        if (it == m_mapCltDev.end() || it->second.station != station) return false;
        m_mapCltDev.erase(it);
        view_.PostStationState(station, StationState::Offline, kNetworkLink);
    }
    transport_.CloseTcp(connectionId);
    return true;
}

bool StationRegistry::GetLinkRecord(const std::string& station, int linkKind, CltDevInfo& out) const
{
    if (linkKind == kNetworkLink) {
        std::lock_guard<std::mutex> lock(registryLock_);
        auto it = BoundRecordLocked(station);
        if (it == m_mapCltDev.end()) return false;
        CopyWithoutFraming(it->second, out);
        return true;
    }
    std::lock_guard<std::mutex> lock(serialStationsLock_);
    auto it = m_csCommDev.find(station);
    if (it == m_csCommDev.end()) return false;
    CopyWithoutFraming(it->second, out);
    return true;
}

void StationRegistry::UpdateLatestReadings(const std::string& station, const std::string& waterLevel,
                                           const std::string& periodRainfall, const std::string& dailyRainfall,
                                           const std::string& flow, const std::string& observationTime,
                                           int linkKind)
{
    auto update = [&](CltDevInfo& record) {
        record.waterLevel = waterLevel;
        record.periodRainfall = periodRainfall;
        record.dailyRainfall = dailyRainfall;
        record.flow = flow;
        record.observationTime = observationTime;
        view_.PostStationState(station, StationState::Online, linkKind);
    };
    if (linkKind == kNetworkLink) {
        std::lock_guard<std::mutex> lock(registryLock_);
        auto it = BoundRecordLocked(station);
        if (it != m_mapCltDev.end()) update(it->second);
        return;
    }
    std::lock_guard<std::mutex> lock(serialStationsLock_);
    auto it = m_csCommDev.find(station);
    if (it != m_csCommDev.end()) update(it->second);
}

// ---- downlink -----------------------------------------------------------

bool StationRegistry::SendToStation(const std::string& station, int linkKind,
                                    const std::function<std::string(const CltDevInfo&)>& build)
{
    CltDevInfo record;
    int connectionId = -1;
    if (linkKind == kNetworkLink) {
        std::lock_guard<std::mutex> lock(registryLock_);
        auto it = BoundRecordLocked(station);
        if (it == m_mapCltDev.end()) return false;
        connectionId = it->first;
        record.station = it->second.station;
        record.centre = it->second.centre;
        record.password = it->second.password;
    } else {
        std::lock_guard<std::mutex> lock(serialStationsLock_);
        auto it = m_csCommDev.find(station);
        if (it == m_csCommDev.end()) return false;
        record.station = it->second.station;
        record.centre = it->second.centre;
        record.password = it->second.password;
    }
    const std::string frame = build(record);
    if (frame.empty()) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame.data());
    if (linkKind == kNetworkLink) return connectionId != -1 && transport_.SendTcp(connectionId, bytes, frame.size());
    return transport_.WriteSerial(bytes, frame.size());
}

SendResult StationRegistry::SendRaw(const std::string& station, const std::uint8_t* bytes, std::size_t length)
{
    int connectionId = -1;
    bool network = false;
    {
        std::lock_guard<std::mutex> lock(registryLock_);
        auto it = BoundRecordLocked(station);
        if (it != m_mapCltDev.end()) {
            network = true;
            connectionId = it->first;
        }
    }
    if (network) {
        const bool sent = connectionId != -1 && transport_.SendTcp(connectionId, bytes, length);
        return sent ? SendResult::HandedOver : SendResult::NotHandedOver;
    }
    bool serial = false;
    {
        std::lock_guard<std::mutex> lock(serialStationsLock_);
        serial = m_csCommDev.count(station) != 0;
    }
    if (!serial) return SendResult::NoLink;
    return transport_.WriteSerial(bytes, length) ? SendResult::HandedOver : SendResult::NotHandedOver;
}

std::vector<std::string> StationRegistry::LinkedStations() const
{
    std::vector<std::string> stations;
    {
        std::lock_guard<std::mutex> lock(registryLock_);
        for (const auto& entry : m_mapDevAddr) stations.push_back(entry.first);
    }
    std::lock_guard<std::mutex> lock(serialStationsLock_);
    for (const auto& entry : m_csCommDev) stations.push_back(entry.first);
    return stations;
}

// ---- online check and stop ---------------------------------------------

std::vector<std::string> StationRegistry::CheckOnline(std::chrono::seconds offline)
{
    std::vector<std::string> online;
    std::vector<int> closes;
    const auto now = clock_.steadyNow();
    auto silentTooLong = [&](const CltDevInfo& record) {
        return std::chrono::duration_cast<std::chrono::seconds>(now - record.lastDataSteady) > offline;
    };
    {
        std::lock_guard<std::mutex> lock(registryLock_);
        for (auto it = m_mapCltDev.begin(); it != m_mapCltDev.end();) {
            if (silentTooLong(it->second)) {
                UnbindStationLocked(it->second.station, it->first);
                RTU_LOG_DEBUG("CMainFrame::CheckOnline() m_mapCltDev offline");
                view_.PostStationState(it->second.station, StationState::Offline, kNetworkLink);
                closes.push_back(it->first);
                it = m_mapCltDev.erase(it);
            } else {
                online.push_back(it->second.station);
                ++it;
            }
        }
        for (auto it = pending_.begin(); it != pending_.end();) {
            const auto deadline = it->second.gatherDeadline;
            if (!it->second.registered && deadline != std::chrono::steady_clock::time_point{} && now > deadline) {
                closes.push_back(it->first);
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (int id : closes) transport_.CloseTcp(id);
    {
        std::lock_guard<std::mutex> lock(serialStationsLock_);
        for (auto it = m_csCommDev.begin(); it != m_csCommDev.end();) {
            if (silentTooLong(it->second)) {
                view_.PostStationState(it->second.station, StationState::Offline, kSerialLink);
                RTU_LOG_DEBUG("CMainFrame::CheckOnline()m_csCommDev offline");
                it = m_csCommDev.erase(it);
            } else {
                online.push_back(it->second.station);
                ++it;
            }
        }
    }
    return online;
}

std::size_t StationRegistry::CloseUnbound(std::chrono::seconds limit)
{
    std::vector<int> closes;
    const auto now = clock_.steadyNow();
    {
        std::lock_guard<std::mutex> lock(registryLock_);
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (now - it->second.since < limit) {
                ++it;
                continue;
            }
            // Forgotten now: a block that arrives before the close starts a
            // new wait rather than binding on old framing state.
            closes.push_back(it->first);
            it = pending_.erase(it);
        }
    }
    for (int id : closes) transport_.CloseTcp(id);
    return closes.size();
}

std::size_t StationRegistry::UnboundCount() const
{
    std::lock_guard<std::mutex> lock(registryLock_);
    return pending_.size();
}

void StationRegistry::BeginStop()
{
    std::vector<int> closes;
    {
        std::lock_guard<std::mutex> lock(registryLock_);
        accepting_ = false;
        for (const auto& entry : m_mapCltDev) closes.push_back(entry.first);
        m_mapCltDev.clear();
        m_mapDevAddr.clear();
        pending_.clear();
    }
    for (int id : closes) transport_.CloseTcp(id);
}

void StationRegistry::FinishStop()
{
    std::lock_guard<std::mutex> lock(registryLock_);
    m_mapCltDev.clear();
    m_mapDevAddr.clear();
    pending_.clear();
    accepting_ = true;
}

void StationRegistry::ClearSerialStations()
{
    std::lock_guard<std::mutex> lock(serialStationsLock_);
    m_csCommDev.clear();
}

std::size_t StationRegistry::NetworkStationCount() const
{
    std::lock_guard<std::mutex> lock(registryLock_);
    return m_mapDevAddr.size();
}

std::size_t StationRegistry::SerialStationCount() const
{
    std::lock_guard<std::mutex> lock(serialStationsLock_);
    return m_csCommDev.size();
}

}  // namespace rtu
