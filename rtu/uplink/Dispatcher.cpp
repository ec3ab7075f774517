#include "rtu/uplink/Dispatcher.h"

#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"
#include "rtu/common/Log.h"
#include "rtu/common/RateLimitedLog.h"
#include "rtu/runtime/Settings.h"
#include "rtu/runtime/TextFormat.h"
#include "rtu/protocol/TimeText.h"

#include <cctype>
#include <utility>

namespace rtu {

namespace {

constexpr std::size_t kPictureHeaderOffset = 30;  // after the two packet counters
constexpr std::size_t kPictureHeaderBytes = 71;
constexpr std::size_t kPicturePayloadOffset = 101;
constexpr std::size_t kPictureBodyBeforePayload = 77;
constexpr int kHexDumpWidth = 40;

// A number written as hexadecimal digits; -1 when a character is not one.
int HexNumber(std::string_view digits)
{
    int value = 0;
    for (char c : digits) {
        const int d = HexDigitValue(c);
        if (d < 0) return -1;
        value = value * 16 + d;
    }
    return value;
}

// The limiter key of a refusal: who sent the frame, and why it was refused.
std::string RefusalKey(int connectionId, int linkKind, const char* reason)
{
    if (linkKind != kNetworkLink) return std::string("serial line: ") + reason;
    return "connection " + std::to_string(connectionId) + ": " + reason;
}

std::string UpperCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Station text for a log line: a control character or line break is written
// as \xNN, so a frame cannot start a log line of its own or hide one.
std::string ForLog(std::string_view text)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            out += "\\x";
            out += kDigits[u >> 4];
            out += kDigits[u & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

int AnswerCode(std::string_view functionCode)
{
    static const std::pair<const char*, int> kCodes[] = {
        {"45", 1}, {"37", 2}, {"39", 3}, {"48", 4},  {"47", 5},  {"E2", 6},  {"41", 7},
        {"40", 8}, {"43", 9}, {"42", 10}, {"E1", 11}, {"38", 12}, {"51", 13}, {"4A", 14},
    };
    for (const auto& [code, answer] : kCodes)
        if (functionCode == code) return answer;
    return 0;
}

Dispatcher::Dispatcher(StationRegistry& registry, LinkTransport& transport, RuntimeView& view, ReportSink& reports,
                       PictureReception& pictures, const SettingsStore& settings, StorageNumberOf storageNumber)
    : registry_(registry),
      transport_(transport),
      view_(view),
      reports_(reports),
      pictures_(pictures),
      settings_(settings),
      storageNumber_(std::move(storageNumber))
{
}

std::optional<ParsedAnswer> Dispatcher::ParseFrame(int connectionId, std::string_view frame, int linkKind)
{
    if (frame.size() < kHeaderBytes + 5) return std::nullopt;
    const std::string centre(frame.substr(1, 2));
    const std::string station(frame.substr(3, 10));
    const std::string password(frame.substr(13, 4));
    const std::string functionCode = UpperCase(frame.substr(17, 2));
    const char startOfBody = frame[23];
    const std::string storageNumber = storageNumber_(station);
    const auto settings = settings_.Current();

    // The check code comes first: one corrupted byte must neither drop a good
    // station's link nor create a record for a station that does not exist.
    if (!VerifyCheckCode(frame)) {
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL, RefusalKey(connectionId, linkKind, "wrong check code"),
                        FormatConfigText("MainFrame", "Text18", {ForLog(storageNumber)}));
        return std::nullopt;
    }
    // A zero byte cuts the address short wherever it is used as text.
    if (station.find('\0') != std::string::npos) {
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL, RefusalKey(connectionId, linkKind, "zero byte in the address"),
                        "frame with a zero byte in its station address " << ForLog(station) << " dropped");
        return std::nullopt;
    }
    if (centre != settings->cent || password != settings->centPwd) {
        // The password a frame carried is never logged: a station that has
        // the wrong one may hold another centre's.
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL,
                        RefusalKey(connectionId, linkKind, "wrong centre address or password"),
                        FormatConfigText("MainFrame", "Text16", {ForLog(storageNumber), ForLog(centre)})
                            << "\n"
                            << FormatConfigText("MainFrame", "Text17", {ForLog(storageNumber)}));
        registry_.DropStationLink(connectionId, station, linkKind);
        return std::nullopt;
    }
    if (linkKind == kNetworkLink)
        registry_.RefreshNetworkStation(station, centre, password);
    else
        registry_.RefreshSerialStation(station, centre, password);

    if (startOfBody == kSyn) {
        HandlePicturePacket(connectionId, frame, linkKind, station, storageNumber);
        return std::nullopt;
    }
    // A keep-alive, or not a single frame.
    if (startOfBody != kStx || functionCode == "2F") return std::nullopt;

    // The acknowledgement goes out only once the report is kept: a station
    // deletes what it sees acknowledged.
    FrameBytes built;
    if (!BuildAcknowledgement(frame, built)) return std::nullopt;
    const bool network = linkKind == kNetworkLink;
    RTU_LOG_DEBUG(LoadText("MainFrame", network ? "Text19" : "Text21") << "\n"
                                                                        << HexDumpText(frame, kHexDumpWidth));
    StoredReport report;
    report.receivedAt = NowText();
    report.storageNumber = storageNumber;
    report.station = station;
    report.centre = centre;
    report.functionCode = functionCode;
    report.linkKind = linkKind;
    report.frame = std::string(frame);
    auto acknowledge = [this, connectionId, linkKind, ack = std::string(built.View())] {
        SendAcknowledgement(connectionId, ack, linkKind);
    };
    switch (reports_.Keep(std::move(report), acknowledge)) {
    case ReportSink::Kept::Yes:
        break;
    case ReportSink::Kept::NotNeeded:
        acknowledge();
        break;
    case ReportSink::Kept::Refused:
        // Not kept, not acknowledged: the station keeps the report and sends it again.
        RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL, RefusalKey(connectionId, linkKind, "report not kept"),
                        "report of " << ForLog(storageNumber) << " not kept, not acknowledged");
        return std::nullopt;
    }

    const std::string_view frameText = TextUpToZero(frame);
    view_.PostLogLine(std::string(frameText));
    if (const int answer = AnswerCode(functionCode)) {
        return ParsedAnswer{answer, station, std::string(frameText), linkKind};
    }
    if (functionCode == "32") {
        const TimedReadings readings = ReadTimedReadings(frameText);
        if (readings.valid)
            registry_.UpdateLatestReadings(station, readings.waterLevel, readings.periodRainfall,
                                           readings.dailyRainfall, readings.flow, readings.observationTime, linkKind);
    } else if (functionCode == "83") {
        pictures_.DiscardPicture(station);
    }
    return std::nullopt;
}

void Dispatcher::SendAcknowledgement(int connectionId, const std::string& ack, int linkKind)
{
    const bool network = linkKind == kNetworkLink;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(ack.data());
    if (network)
        transport_.SendTcp(connectionId, bytes, ack.size());
    else
        transport_.WriteSerial(bytes, ack.size());
    RTU_LOG_DEBUG(LoadText("MainFrame", network ? "Text20" : "Text22") << "\n"
                                                                        << HexDumpText(ack, kHexDumpWidth));
}

void Dispatcher::HandlePicturePacket(int connectionId, std::string_view frame, int linkKind,
                                     const std::string& station, const std::string& storageNumber)
{
    if (frame.size() < kPicturePayloadOffset) return;
    if (UpperCase(frame.substr(17, 2)) != "81") return;
    // The body holds the two counters and the 71-character header before the
    // payload; a shorter body has no payload and is dropped.
    const int bodyLength = HexNumber(frame.substr(20, 3));
    const int total = HexNumber(frame.substr(24, 3));
    const int number = HexNumber(frame.substr(27, 3));
    if (bodyLength < static_cast<int>(kPictureBodyBeforePayload) || total < 0 || number < 0) return;
    const std::size_t payloadLength = static_cast<std::size_t>(bodyLength) - kPictureBodyBeforePayload;
    if (kPicturePayloadOffset + payloadLength > frame.size()) return;

    // Picture fields come from the packet header only, never from the payload.
    const std::string_view header = TextUpToZero(frame.substr(kPictureHeaderOffset, kPictureHeaderBytes));
    PicturePacket packet;
    packet.linkKind = linkKind;
    packet.number = number;
    packet.total = total;
    packet.payloadLength = static_cast<int>(payloadLength);
    packet.connectionId = connectionId;
    packet.station = station;
    packet.camera = std::string(FieldValue(header, "CAMID"));
    packet.flag = std::string(FieldValue(header, "PICFLAG"));
    packet.type = std::string(FieldValue(header, "PICTYPE"));
    packet.payload = std::string(frame.substr(kPicturePayloadOffset, payloadLength));
    pictures_.StorePicturePacket(packet);

    const std::string line =
        SqlText("Addr:[%s]->cur:[%d],total:[%d]", ForLog(storageNumber).c_str(), number, total);
    RTU_LOG_DEBUG(line);
    view_.PostLogLine(line);
}

}  // namespace rtu
