// The station simulator: N station connections to one data centre served by
// one thread with epoll and non-blocking sockets, so thousands of stations
// cost little. With a serial device instead of a host and port, the stations
// share one line (as radio modems or a multi-drop cable do): their frames go
// out whole one after another and the centre's frames are handed to the
// station they address. Each station sends reports at a rate or as fast as they are
// acknowledged, checks every acknowledgement, answers downlink commands and
// keeps the figures for the summary.
//
// For load and soak runs the stations can also behave as a network does over
// hours: a top-of-the-hour burst of reports in a compressed hour, stations that
// drop their link and come back, and links that are not stations at all
// (random bytes, half-open connections).
#pragma once

#include "tools/stationsim/StationFrames.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace rtu::sim {

enum class KindChoice { kTimed, kAlarm, kHourly, kFiveMinute, kKeepAlive, kMix };

struct SimOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 5001;
    std::string serialDevice;            // a serial device path: the stations share this line, no TCP
    unsigned long baud = 115200;         // rate of the serial line
    int stations = 1;
    std::uint64_t base = 101;            // first station number
    bool registration = false;           // send the registration packet first
    bool freshStart = true;              // the packet's fresh-start flag
    std::string centre = "01";
    std::string password = "B7E2";
    bool wrongPassword = false;          // frames carry a password the centre refuses
    KindChoice kind = KindChoice::kTimed;
    double rate = 10.0;                  // frames per second over all stations; 0: none paced
    int sources = 1;                     // source addresses 127.0.0.1 .. 127.0.0.N in turn (loopback)
    bool fast = false;                   // one frame in flight per station
    std::uint64_t count = 0;             // frames per station; 0: until the duration ends
    double duration = 0;                 // seconds of sending; 0: until the count is sent
    double keepAlive = 0;                // seconds between keep-alives per station; 0: none
    double drain = 5;                    // seconds to wait for the last acknowledgements
    double connectTimeout = 5;           // seconds for a connection (and its registration echo)
    int connectBurst = 64;               // connections being opened at once
    bool observedNow = false;            // observation times: the clock instead of a 5-minute walk
    std::size_t pictureBytes = 0;        // each station sends a picture of this size; 0: only when asked
    std::size_t packetSize = 1024;       // picture bytes per packet (at most 2048)
    // Compressed hours: every `hour` seconds from the start each station sends
    // `burstReports` reports spread over the first `burstWindow` seconds.
    double hour = 0;                     // 0: no bursts
    double burstWindow = 5;
    int burstReports = 1;
    bool burstKindGiven = false;         // burst reports of their own kind (else `kind`)
    KindChoice burstKind = KindChoice::kMix;
    // A share of the stations closes its link now and then (about every
    // `reconnectEvery` seconds, never with a report in flight) and reconnects.
    double reconnectShare = 0;
    double reconnectEvery = 30;
    // Links that are not stations, opened after the stations.
    int garbage = 0;                     // send random bytes and corrupted frames, never a valid frame
    double garbageEvery = 2;             // seconds between two writes of a garbage link
    int halfOpen = 0;                    // in turn: silent; part of a frame, then silent; sending side shut down
    std::uint32_t seed = 1;
    bool verbose = false;
};

// Rows the centre stores for the acknowledged reports, per table, as the
// stations' observation times make them (the secondary tables only when the
// centre writes its secondary database).
struct ExpectedRows {
    std::uint64_t receiveData = 0;       // every acknowledged frame
    std::uint64_t deviceTimingData = 0;  // the readings of timed reports
    std::uint64_t deviceAlarmData = 0;
    std::uint64_t deviceHourData = 0;    // hourly steps and five-minute slots, one row per slot and kind
    std::uint64_t precipitation = 0;     // ST_PPTN_R
    std::uint64_t river = 0;             // ST_RIVER_R
};

struct SimSummary {
    int stations = 0;
    int connected = 0;
    int connectFailures = 0;
    int registrationsEchoed = 0;
    int registrationFailures = 0;
    int closedByCentre = 0;
    bool serialLineLost = false;         // the serial device went away (the other end closed)
    std::uint64_t framesSent = 0;        // every uplink frame
    std::uint64_t reportsSent = 0;
    std::uint64_t keepAlivesSent = 0;
    std::uint64_t answersSent = 0;
    std::uint64_t expectedAcks = 0;      // frames the centre must acknowledge
    std::uint64_t acknowledged = 0;
    std::uint64_t badAcks = 0;
    std::uint64_t missingAcks = 0;
    std::uint64_t commandsReceived = 0;
    std::uint64_t otherFrames = 0;       // neither acknowledgements nor commands
    std::uint64_t picturesStarted = 0;
    std::uint64_t picturesCompleted = 0; // the centre acknowledged the last window
    std::uint64_t picturePackets = 0;    // including packets sent again
    std::uint64_t packetsResent = 0;
    double seconds = 0;                  // from the first frame to the last acknowledgement
    double p50Ms = 0, p99Ms = 0, maxMs = 0;
    // Acknowledged frames by function code: timed, alarm, hourly, five-minute
    // reports, answers to commands.
    std::uint64_t acked32 = 0, acked33 = 0, acked34 = 0, acked35 = 0, ackedAnswers = 0;
    ExpectedRows rows;
    // Station links held at once: the most, and at the end of sending.
    int heldPeak = 0;
    int heldAtEnd = 0;
    std::uint64_t reconnects = 0;        // links closed on purpose and opened again
    // Top-of-the-hour bursts: frames sent inside a window, their
    // acknowledgements, and the time from each window's start to the last
    // acknowledgement of its frames (summed over the windows).
    int burstWindows = 0;
    std::uint64_t burstFrames = 0;
    std::uint64_t burstAcked = 0;
    double burstSeconds = 0;
    double burstP50Ms = 0, burstP99Ms = 0, burstMaxMs = 0;
    // Links that are not stations.
    int garbageLinks = 0;
    int halfOpenLinks = 0;
    int extraConnectFailures = 0;
    int extraClosedByCentre = 0;
    int extraHeldAtEnd = 0;
    std::uint64_t garbageBytes = 0;

    double AckedPerSecond() const { return seconds > 0 ? static_cast<double>(acknowledged) / seconds : 0; }
    double BurstAckedPerSecond() const
    {
        return burstSeconds > 0 ? static_cast<double>(burstAcked) / burstSeconds : 0;
    }
    void Print(std::ostream& out) const;
};

// Runs the simulation to its end (count or duration, then the drain) and
// returns the figures. Lines of --verbose go to `log`.
SimSummary RunSimulation(const SimOptions& options, std::ostream& log);

// The termios rate constant of a line speed; false for a rate the line
// cannot be set to.
bool SerialSpeed(unsigned long baud, unsigned int& speed);

// Raises the limit of open files so that `wanted` descriptors fit; returns
// the limit in force afterwards.
std::uint64_t RaiseOpenFileLimit(std::uint64_t wanted);

}  // namespace rtu::sim
