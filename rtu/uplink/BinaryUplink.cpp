#include "rtu/uplink/BinaryUplink.h"

#include "rtu/common/Log.h"
#include "rtu/common/RateLimitedLog.h"
#include "rtu/protocol/BinaryTwin.h"
#include "rtu/protocol/HexText.h"

namespace rtu {

std::string BinaryFrameStation(std::string_view frame) { return BytesToHexText(frame.substr(3, 5)); }

bool TwinForParsing(std::string_view frame, const std::string& link, std::string& twin)
{
    twin.clear();
    BinaryFrame parsed;
    const BinaryParse parse = ParseBinaryFrame(frame, parsed);
    const char* reason = nullptr;
    if (parse != BinaryParse::kOk)
        reason = BinaryParseText(parse);
    else if (parsed.startOfBody == binary_byte::kSyn || parsed.functionCode == 0x36)
        reason = "picture packet, not handled for binary stations";
    else if (const TwinBuild built = BuildTextTwin(parsed, twin); built != TwinBuild::kBuilt)
        reason = TwinBuildText(built);
    if (reason == nullptr) return true;
    twin.clear();
    const std::string station = frame.size() >= 8 ? BinaryFrameStation(frame) : std::string("?");
    RTU_LOG_LIMITED(log4cplus::WARN_LOG_LEVEL, link + ": binary frame dropped: " + reason,
                    link << ": binary frame of station " << station << " dropped, not acknowledged (" << reason
                         << ", " << frame.size() << " bytes): " << BytesToHexText(frame.substr(0, 64))
                         << (frame.size() > 64 ? "..." : ""));
    return false;
}

}  // namespace rtu
