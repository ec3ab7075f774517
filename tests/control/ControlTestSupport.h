// Helpers of the control tests: a text lookup that names its keys, and
// answer frames as a station writes them.
#pragma once

#include "rtu/control/ControlTypes.h"
#include "rtu/protocol/FrameCodec.h"

#include <cstdio>
#include <map>
#include <string>
#include <utility>

namespace rtu::control::test {

// Every text is "Section.Key", except those given.
inline TextLookup NamedTexts(std::map<std::string, std::string> overrides = {})
{
    return [overrides = std::move(overrides)](std::string_view section, std::string_view key) {
        std::string name = std::string(section) + "." + std::string(key);
        const auto it = overrides.find(name);
        return it == overrides.end() ? name : it->second;
    };
}

// An uplink frame: SOH, centre "01", the station, password "1234", the
// function code, "0" and the body length in 3 hex digits, STX, the body
// (serial number 0001, the 12-digit send time, then `text`), ETX and the
// check code.
inline std::string AnswerFrame(const std::string& station, const std::string& functionCode, const std::string& text,
                               const std::string& sendTime = "240506123045")
{
    const std::string body = "0001" + sendTime + text;
    char length[8];
    std::snprintf(length, sizeof length, "0%03X", static_cast<unsigned>(body.size()));
    std::string frame = std::string(1, kSoh) + "01" + station + "1234" + functionCode + length + kStx + body + '\x03';
    frame += "0000";
    char code[8];
    std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(FrameCheckCode(frame)));
    frame.replace(frame.size() - 4, 4, code);
    return frame;
}

}  // namespace rtu::control::test
