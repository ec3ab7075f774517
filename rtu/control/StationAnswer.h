// What the operator sees of a station's answer to a query or command: the
// text for the log pane and the data panel, and what the answer hands to the
// configuration pages, the period table and the clock panel. The windows
// (OnStationAnswer) and scripts share it; nothing here touches a window.
//
// Answer codes: 1 = 45, 2 = 37, 3 = 39, 4 = 48, 5 = 47, 6 = E2, 7 = 41,
// 8 = 40, 9 = 43, 10 = 42, 11 = E1, 12 = 38, 13 = 51, 14 = 4A.
// Texts: section MainFrame, keys Text29 to Text48.
#pragma once

#include "rtu/control/ControlTypes.h"
#include "rtu/control/PeriodData.h"

#include <optional>
#include <string>
#include <string_view>

namespace rtu::control {

// The replies a page asked a station for. A configuration page fills its grid
// only from the station it asked, so one station's configuration (address
// and password included) can never be saved to another.
enum class AskedReply { kBaseConfig, kRunConfig };

class AskedStations {
public:
    // A read was sent to `station`.
    void Asked(AskedReply reply, std::string station);
    // True when `station` is the one last asked for this reply.
    bool Accepts(AskedReply reply, std::string_view station) const;
    const std::string& Station(AskedReply reply) const;

private:
    std::string baseConfig_;
    std::string runConfig_;
};

enum class AnswerAction {
    kNone,
    kBaseConfigReply,  // ShowBaseConfigReply(replyBody, ...)
    kRunConfigReply,   // ShowRunConfigReply(replyBody, ...)
    kPeriodReply,      // PeriodRows(period->observationTime, period->bytes, period->kind)
    kClockReply,       // the clock panel shows logText
    kDropLink,         // the runtime has closed the station's network link (AnswerDropsLink)
};

// True for the answer of a station that restarts (E2): the data centre closes
// the station's network link when it arrives, in either program.
bool AnswerDropsLink(int answerCode);

struct StationAnswer {
    int code = 0;
    std::string station;       // the 10 characters at frame offset 3
    std::string logText;       // posted to the log pane (empty for 38 and unknown codes)
    bool showInDataPanel = false;  // codes 1 to 6: the data panel's text becomes logText
    AnswerAction action = AnswerAction::kNone;
    // A configuration answer from a station that its page did not ask: the
    // grid is left alone, logText says so (Text52 of MainFrame).
    bool ignored = false;
    std::string replyBody;              // 41 and 43: the frame text from its body on
    std::optional<PeriodData> period;   // 38
    std::string clockTime;              // 51: "20yy-MM-dd HH:mm:ss" of the answer's send time
};

// The clock panel's text: "%s:%s\r\n%s%s" of Text35, the station, Text47 and
// "20%s-%s-%s %s:%s:%s" of the six pairs of the 12-digit send time (an empty
// time when fewer than 12 characters are given).
std::string ClockReplyText(std::string_view station, std::string_view sendTime, const TextLookup& texts);

// "20%s-%s-%s %s:%s:%s" of the six pairs; empty for fewer than 12 characters.
std::string ClockTimeText(std::string_view sendTime);

// Presents one answer (the frame as text). With `asked`, 41 and 43 answers
// from a station other than the one asked are ignored.
StationAnswer PresentAnswer(int answerCode, std::string_view frameText, const TextLookup& texts,
                            const AskedStations* asked = nullptr);

}  // namespace rtu::control
