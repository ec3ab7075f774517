// Uplink frames for the serial tests: a header with the body length, the
// body, the end character and the check code.
#pragma once

#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/FrameCodec.h"

#include <cstdio>
#include <string>

namespace rtu::serialtest {

inline std::string Frame(const std::string& station, const std::string& body)
{
    char length[4];
    std::snprintf(length, sizeof length, "%03X", static_cast<unsigned>(body.size()));
    std::string frame = std::string(1, kSoh) + "01" + station + "1234" + "32" + "0" + length +
                        std::string(1, kStx) + body + "\x03";
    char code[5];
    std::snprintf(code, sizeof code, "%04x", CalcCrc16(frame));
    return frame + code;
}

}  // namespace rtu::serialtest
