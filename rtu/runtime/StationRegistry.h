// The registry of station links: which network connection each station last
// bound, which stations speak on the serial line, their link records, and the
// routing of every downlink send.
//
// Locks: registryLock_ (network maps and the framing state inside their
// records) and serialStationsLock_ (serial map), never held together; their
// place among the others is in rtu/runtime/Locks.h. Calls into the network
// library (sends, closes) are never made under either lock: they are
// collected while the lock is held and made after it is released, because the
// library's closed callback takes the registry lock.
#pragma once

#include "rtu/runtime/LinkRecord.h"
#include "rtu/runtime/LinkTransport.h"
#include "rtu/runtime/RuntimeView.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rtu {

struct DevAddrEntry {
    std::string station;
    int connectionId = -1;
};

// A connection that has not bound a station yet: the registration packet
// being gathered (registration mode) and the frame being cut.
struct PendingConnection {
    FramingState framing;
    std::string registration;  // bytes of the registration packet gathered so far
    // Registration mode: the packet must be complete by then, or the
    // connection is closed (by the next block or the online check).
    std::chrono::steady_clock::time_point gatherDeadline{};
    // Registration mode: the packet named a station that has a live link.
    // That link is replaced only by a first frame that verifies; until then
    // the connection is bound to nothing.
    bool registered = false;
    bool freshStart = false;
    std::string station;
    // When the connection sent its first block: it has the unbound time
    // from then to bind a station (CloseUnbound).
    std::chrono::steady_clock::time_point since{};
};

// Network-library calls collected under the registry lock, made once it is released.
struct DeferredLinkCalls {
    std::vector<int> closes;
    std::vector<std::pair<int, std::string>> sends;
};

class StationRegistry {
public:
    StationRegistry(RuntimeView& view, LinkTransport& transport);

    // Exclusive access to the network maps for the receive path: the registry
    // lock is held for the object's life; collected sends and closes are made
    // when it is destroyed, after the lock has been released.
    class NetworkAccess {
    public:
        ~NetworkAccess();
        NetworkAccess(NetworkAccess&&) = delete;

        // False once a stop of the service has begun: receive events are ignored.
        bool Accepting() const;
        CltDevInfo* FindConnection(int connectionId);
        // State of a connection that has not bound a station yet; kept from
        // block to block until it binds or closes. Its first use starts the
        // time the connection has to bind (CloseUnbound).
        PendingConnection& Pending(int connectionId);
        void ForgetPending(int connectionId);
        // The registry's steady clock.
        std::chrono::steady_clock::time_point SteadyNow() const;
        // Whether station S has a network link now.
        bool HasLink(const std::string& station) const;
        // Binds a connection to station S (closing an older connection of S)
        // and posts the station online. The record starts with an idle framing
        // state; the pending state of the connection is kept for the caller
        // to move or forget.
        CltDevInfo& BindConnection(int connectionId, const std::string& peer, const std::string& station,
                                   const std::string& centre, const std::string& password);
        void Close(int connectionId) { deferred_.closes.push_back(connectionId); }
        void Send(int connectionId, std::string bytes) { deferred_.sends.emplace_back(connectionId, std::move(bytes)); }
        void PostOnline(const std::string& station, int linkKind);

    private:
        friend class StationRegistry;
        explicit NetworkAccess(StationRegistry& registry);
        StationRegistry& registry_;
        std::unique_lock<std::mutex> lock_;
        DeferredLinkCalls deferred_;
    };

    NetworkAccess LockNetwork() { return NetworkAccess(*this); }

    // A network connection closed: its station (if it is still bound to this
    // connection) goes offline.
    void OnConnectionClosed(int connectionId);

    // An accepted frame of station S refreshes its last-data time (network) or
    // creates or refreshes its serial record. The centre address and password
    // of the verified frame become the ones downlink frames carry.
    void RefreshNetworkStation(const std::string& station, const std::string& centre, const std::string& password);
    void RefreshSerialStation(const std::string& station, const std::string& centre, const std::string& password);

    // Closes the link of a station that sent a wrong centre address or password,
    // when the connection still holds that station's link (ids are reused).
    void DropStationLink(int connectionId, const std::string& station, int linkKind);

    // Drops the network link of station S (a station that announced its
    // restart): offline, connection closed, unbound. False when it has none.
    bool DropNetworkStation(const std::string& station);

    // A copy of the station's record without its framing state.
    bool GetLinkRecord(const std::string& station, int linkKind, CltDevInfo& out) const;

    void UpdateLatestReadings(const std::string& station, const std::string& waterLevel,
                              const std::string& periodRainfall, const std::string& dailyRainfall,
                              const std::string& flow, const std::string& observationTime, int linkKind);

    // Builds a downlink frame with `build` from the station's record and sends
    // it on the station's link. False when the station has no record for the
    // link kind or the frame could not be built (build returns an empty frame).
    bool SendToStation(const std::string& station, int linkKind,
                       const std::function<std::string(const CltDevInfo&)>& build);

    // Sends a prepared frame on the station's network link, or else on the
    // serial line, and says whether the bytes were handed over.
    SendResult SendRaw(const std::string& station, const std::uint8_t* bytes, std::size_t length);

    // Addresses of the stations that have a network or a serial link now.
    std::vector<std::string> LinkedStations() const;

    // Marks stations silent for longer than offlineSeconds offline and closes
    // their connections, and closes connections whose registration packet is
    // overdue; returns the addresses of the stations still online.
    std::vector<std::string> CheckOnline(std::chrono::seconds offline);

    // Closes the connections that sent bytes but bound no station for
    // longer than `limit` since their first block; returns how many. A
    // connection that never sends a byte is closed by the network library.
    std::size_t CloseUnbound(std::chrono::seconds limit);
    std::size_t UnboundCount() const;

    // The service stops: receive events are ignored from now on, every
    // connection is closed and the network maps emptied.
    void BeginStop();
    // After the network library has stopped: empty the maps once more and
    // accept receive events again at the next start.
    void FinishStop();
    void ClearSerialStations();

    std::size_t NetworkStationCount() const;
    std::size_t SerialStationCount() const;

    // The clock used for times and silence; tests replace it.
    struct Clock {
        std::function<std::int64_t()> wallSeconds;
        std::function<std::chrono::steady_clock::time_point()> steadyNow;
    };
    void SetClock(Clock clock);

private:
    void RunDeferred(DeferredLinkCalls& calls);
    void UnbindStationLocked(const std::string& station, int connectionId);
    // The record of the connection station S is bound to; null when it has
    // none. The registry lock is held.
    std::map<int, CltDevInfo>::iterator BoundRecordLocked(const std::string& station);
    std::map<int, CltDevInfo>::const_iterator BoundRecordLocked(const std::string& station) const;

    RuntimeView& view_;
    LinkTransport& transport_;
    Clock clock_;

    mutable std::mutex registryLock_;
    std::map<int, CltDevInfo> m_mapCltDev;
    std::map<std::string, DevAddrEntry> m_mapDevAddr;
    std::map<int, PendingConnection> pending_;
    bool accepting_ = true;

    mutable std::mutex serialStationsLock_;
    std::map<std::string, CltDevInfo> m_csCommDev;
};

}  // namespace rtu
