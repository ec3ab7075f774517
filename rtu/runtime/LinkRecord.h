// CltDevInfo: what the data centre knows of one station link.
#pragma once

#include "rtu/uplink/CutFrames.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace rtu {

enum LinkKind : int { kNetworkLink = 0, kSerialLink = 1 };

struct CltDevInfo {
    FramingState framing;          // the frame being cut from this link's stream
    int linkKind = kNetworkLink;
    std::string centre;            // 2 characters, as last received (or Cent after a registration)
    std::string password;          // 4 characters, as last received (or CentPwd after a registration)
    std::int64_t connectTime = 0;  // seconds since 1970; 0 for serial records
    std::int64_t lastDataTime = 0; // wall clock, for display
    std::int64_t refreshTime = 0;  // last online post under the 15-second rule
    // Silence is measured on a steady clock, so a step of the wall clock
    // cannot drop every station at once.
    std::chrono::steady_clock::time_point lastDataSteady{};
    std::chrono::steady_clock::time_point refreshSteady{};
    std::string station;           // 10-character station address
    std::string peer;              // dotted IPv4 text, "127.0.0.1" for serial records
    // Latest readings, for the station list.
    std::string observationTime;
    std::string waterLevel;
    std::string periodRainfall;
    std::string dailyRainfall;
    std::string flow;
};

}  // namespace rtu
