#include "rtu/control/StationAnswer.h"

#include "rtu/protocol/Elements.h"
#include "rtu/runtime/TextFormat.h"

namespace rtu::control {

namespace {

constexpr const char* kSection = "MainFrame";
constexpr std::size_t kStationOffset = 3;
constexpr std::size_t kStationBytes = 10;
constexpr std::size_t kVersionOffset = 57;   // the answer text of a 45 answer
constexpr std::size_t kTrailerBytes = 5;     // end character and check code
constexpr std::size_t kMaxAnswerText = 1023;
constexpr std::size_t kSendTimeOffset = 28;  // after SOH .. STX (24) and the serial number (4)
constexpr std::size_t kSendTimeBytes = 12;
constexpr int kRestartAnswer = 6;  // E2

std::string_view Slice(std::string_view text, std::size_t at, std::size_t count)
{
    return at >= text.size() ? std::string_view() : text.substr(at, count);
}

// "%s:%s\r\n%s" of Text35, the station and a text.
std::string StationLine(const TextLookup& texts, std::string_view station, std::string_view text)
{
    std::string line = texts(kSection, "Text35");
    line += ':';
    line += station;
    line += "\r\n";
    line += text;
    return line;
}

std::string ElementLine(const TextLookup& texts, const char* key, std::string_view value, const char* unit)
{
    return texts(kSection, key) + std::string(value) + unit;
}

}  // namespace

void AskedStations::Asked(AskedReply reply, std::string station)
{
    (reply == AskedReply::kBaseConfig ? baseConfig_ : runConfig_) = std::move(station);
}

bool AskedStations::Accepts(AskedReply reply, std::string_view station) const
{
    const std::string& asked = Station(reply);
    return !asked.empty() && asked == station;
}

const std::string& AskedStations::Station(AskedReply reply) const
{
    return reply == AskedReply::kBaseConfig ? baseConfig_ : runConfig_;
}

bool AnswerDropsLink(int answerCode) { return answerCode == kRestartAnswer; }

std::string ClockTimeText(std::string_view sendTime)
{
    if (sendTime.size() < kSendTimeBytes) return {};
    const auto pair = [&](std::size_t i) { return std::string(sendTime.substr(2 * i, 2)); };
    return "20" + pair(0) + '-' + pair(1) + '-' + pair(2) + ' ' + pair(3) + ':' + pair(4) + ':' + pair(5);
}

std::string ClockReplyText(std::string_view station, std::string_view sendTime, const TextLookup& texts)
{
    return StationLine(texts, station, texts(kSection, "Text47") + ClockTimeText(sendTime));
}

StationAnswer PresentAnswer(int answerCode, std::string_view frameText, const TextLookup& texts,
                            const AskedStations* asked)
{
    StationAnswer answer;
    answer.code = answerCode;
    answer.station = std::string(Slice(frameText, kStationOffset, kStationBytes));
    const std::string_view body = BodyText(frameText);
    const auto line = [&](const char* key) { return StationLine(texts, answer.station, texts(kSection, key)); };

    switch (answerCode) {
    case 1: {
        std::string_view version;
        if (frameText.size() >= kVersionOffset + kTrailerBytes) {
            version = frameText.substr(kVersionOffset, frameText.size() - kTrailerBytes - kVersionOffset);
            version = version.substr(0, kMaxAnswerText);
        }
        answer.logText = FormatText(texts(kSection, "Text29"), {answer.station, version});
        answer.showInDataPanel = true;
        break;
    }
    case 2:
        answer.logText = StationLine(texts, answer.station,
                                     ElementLine(texts, "Text30", FieldValue(body, "PJ"), "(mm)\r\n") +
                                         ElementLine(texts, "Text31", FieldValue(body, "PT"), "(mm)\r\n") +
                                         ElementLine(texts, "Text32", FieldValue(body, "Z"), "(m)\r\n") +
                                         ElementLine(texts, "Text33", FieldValue(body, "Q"), "(m^3/s)\r\n") +
                                         ElementLine(texts, "Text34", FieldValue(body, "VT"), "(V)"));
        answer.showInDataPanel = true;
        break;
    case 3: {
        const std::string_view rain = FieldValue(body, "PN05");
        const std::string_view level = FieldValue(body, "Z");
        const std::string reading = !rain.empty()    ? ElementLine(texts, "Text36", rain, "(mm)\r\n")
                                    : !level.empty() ? ElementLine(texts, "Text37", level, "(m)\r\n")
                                                     : texts(kSection, "Text38");
        answer.logText = StationLine(texts, answer.station, reading);
        answer.showInDataPanel = true;
        break;
    }
    case 4: answer.logText = line("Text39"); answer.showInDataPanel = true; break;
    case 5: answer.logText = line("Text40"); answer.showInDataPanel = true; break;
    case kRestartAnswer:
        answer.logText = line("Text41");
        answer.showInDataPanel = true;
        answer.action = AnswerAction::kDropLink;
        break;
    case 7:
    case 9: {
        const bool base = answerCode == 7;
        if (asked != nullptr && !asked->Accepts(base ? AskedReply::kBaseConfig : AskedReply::kRunConfig, answer.station)) {
            answer.ignored = true;
            answer.logText = line("Text52");
            break;
        }
        answer.action = base ? AnswerAction::kBaseConfigReply : AnswerAction::kRunConfigReply;
        answer.replyBody = std::string(body);
        answer.logText = line(base ? "Text43" : "Text45");
        break;
    }
    case 8: answer.logText = line("Text44"); break;
    case 10: answer.logText = line("Text46"); break;
    case 11: answer.logText = line("Text42"); break;
    case 12:
        answer.period = ExtractPeriodData(frameText);
        if (answer.period) answer.action = AnswerAction::kPeriodReply;
        break;
    case 13: {
        // The send time must lie inside the body, before the end character.
        std::string_view sendTime;
        if (frameText.size() >= kSendTimeOffset + kSendTimeBytes + kTrailerBytes) {
            sendTime = frameText.substr(kSendTimeOffset, kSendTimeBytes);
        }
        answer.clockTime = ClockTimeText(sendTime);
        answer.logText = ClockReplyText(answer.station, sendTime, texts);
        answer.action = AnswerAction::kClockReply;
        break;
    }
    case 14: answer.logText = line("Text48"); break;
    default: break;
    }
    return answer;
}

}  // namespace rtu::control
