// What a simulated station puts on the wire and how it reads the centre's
// replies: uplink frames, report bodies with realistic elements, the
// enciphered registration packet, the check of an acknowledgement and the
// answer to a downlink command. No I/O; the simulator and the end-to-end
// tests build on it.
#pragma once

#include "rtu/protocol/TimeText.h"

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rtu::sim {

inline constexpr char kEtx = 0x03;  // end character of a single uplink frame

// The addresses a station writes into every frame header.
struct StationIdentity {
    std::string centre = "01";        // 2 characters
    std::string station;              // 10 characters
    std::string password = "B7E2";    // 4 characters
};

// The 10-digit station address of number n ("%010llu"): 101 gives 0000000101.
std::string StationAddress(std::uint64_t number);

// An uplink frame: SOH, centre, station, password, function code, direction
// flag "0", the body length as 3 upper-case hex digits, the start-of-body
// character, the body, the end character and the check code as 4 upper-case
// hex digits. The body must be at most 4067 bytes (longer bodies are cut).
std::string EncodeUplinkFrame(const StationIdentity& id, std::string_view functionCode,
                              std::string_view body, char startOfBody = 0x02, char end = kEtx);

// The first 16 body characters: the serial number as "%04X" and the send time
// as 12 digits yyMMddHHmmss.
std::string BodyPrefix(std::uint16_t serial, const CalendarTime& sendTime);

// "yyMMddHHmm" of an observation time.
std::string ObservationText(const CalendarTime& t);

// The report kinds a station sends.
enum class ReportKind { kTimed = 0x32, kAlarm = 0x33, kHourly = 0x34, kFiveMinute = 0x35, kKeepAlive = 0x2F };

// The function code text of a kind ("32", "2F" ...).
std::string FunctionCodeOf(ReportKind kind);

// Readings of one station that drift from report to report like a river
// gauge's: a water level, a flow, the rainfall of the day and a battery.
class StationReadings {
public:
    explicit StationReadings(std::uint32_t seed);

    // Moves every reading one step on.
    void Step();

    double level = 0;        // m
    double flow = 0;         // m^3/s
    double rain5 = 0;        // mm in the last five minutes
    double rainDay = 0;      // mm since 08:00
    double rainTotal = 0;    // mm since the gauge was installed
    double voltage = 0;      // V

private:
    std::mt19937 rng_;
};

// Report bodies, each beginning with the serial number and send time. The
// elements are laid out as stations of this network write them:
// - 32: ST addr H TT t PN05 v PJ v PT v Z v Q v ADC1 Z,v,m ADC2 VT,v,V VT v
// - 33: ST addr TT t <identifier> <value> VT v   (identifier: Z, PJ or Q)
// - 34: ST addr H TT yyMMddHH00 DRP <24 hex> DRZ1 <48 hex> VT v
// - 35: ST addr H TT t <identifier> <value> VT v (identifier: PN05, Z or Q)
// - 2F: ST addr H VT v
std::string ReportBody(ReportKind kind, const StationIdentity& id, std::uint16_t serial,
                       const CalendarTime& sendTime, const CalendarTime& observed,
                       const StationReadings& readings, int variant = 0);

// A 48-character registration packet: the plaintext 0x68 0x12 0x68 0x02,
// the station address, "1" (fresh start) or "0", zero-padded to 24 bytes,
// enciphered with Blowfish-ECB under the network's key and written as
// upper-case hex text.
std::string RegistrationPacket(std::string_view station, bool freshStart);

// What an acknowledgement of one frame is checked against.
struct SentFrame {
    std::string_view station;
    std::string_view centre;
    std::string_view password;
    std::string_view functionCode;
    std::string_view serial;  // 4 characters
};

enum class AckCheck {
    kGood,
    kWrongSize,      // not 45 bytes
    kBadCheckCode,
    kNotAck,         // end character is not ACK, or "8010"/STX missing
    kWrongHeader,    // station, centre, password or function code differ
    kWrongSerial,
    kBadTime,        // the send time is not 12 digits of a real time
};

const char* AckCheckText(AckCheck check);

// True when the frame ends with ACK (an acknowledgement, good or bad) rather
// than ENQ (a command).
bool LooksLikeAcknowledgement(std::string_view frame);

// Checks a frame received in reply against the frame it acknowledges.
AckCheck CheckAcknowledgement(std::string_view ack, const SentFrame& sent);

// Fields of a downlink frame (station first, then centre).
struct DownlinkFields {
    std::string_view station;
    std::string_view centre;
    std::string_view password;
    std::string_view functionCode;
    std::string_view serial;   // first 4 body characters
    std::string_view text;     // command text after serial number and send time
    char end = 0;
};
// False when the frame is too short or its length field disagrees with its size.
bool ReadDownlink(std::string_view frame, DownlinkFields& out);

// What a station keeps between commands: the values the centre last saved
// with a 40 (base configuration) and a 42 (running parameters), as
// identifier/value pairs in the order they first came.
struct StationMemory {
    std::vector<std::pair<std::string, std::string>> baseConfig;
    std::vector<std::pair<std::string, std::string>> runConfig;
};

// Keeps the values of a 40 or 42 command (pairs read from the left, so a
// value that looks like an identifier stays a value); other commands are
// ignored.
void RememberCommand(const DownlinkFields& command, StationMemory& memory);

// The body a station answers a downlink command with: the command's serial
// number, the station's send time and a plausible reply for the function
// code (software version for 45, readings for 37 and 39, the configuration
// for 41 and 43 with the values remembered from 40 and 42 in place of the
// factory ones, hourly data for a 38 period query, the command text echoed
// for 40 and 42, the station address otherwise).
std::string AnswerBody(const DownlinkFields& command, const StationIdentity& id,
                       const CalendarTime& sendTime, const StationReadings& readings,
                       const StationMemory* memory = nullptr);

// Pictures. A station sends a picture as numbered SYN frames with function
// code 81: body = total packets (3 hex digits), this packet (3 hex digits,
// from 1), a 71-character header " CAMID c PICTYPE t PICFLAG f " padded with
// blanks, then the payload. The centre answers each window of five packets
// with an 81 command "flag camera good", or "flag camera good missing... "
// to ask for packets again.
inline constexpr std::size_t kPictureHeaderBytes = 71;
inline constexpr std::size_t kMaxPicturePayload = 2048;  // five of them fill the centre's window

struct PictureInfo {
    std::string camera = "01";
    std::string type = "1";
    std::string flag = "0001";
};

std::string PicturePacketBody(int total, int number, const PictureInfo& info, std::string_view payload);

// Bytes that look like a JPEG file (start and end markers), `size` >= 4.
std::string PictureBytes(std::size_t size, std::uint32_t seed);

// True when an 81 command asks for a picture: it begins with the 12-digit
// time and a blank.
bool IsPictureRequest(std::string_view commandText);

// The centre's answer to a window; valid false when the text is no answer.
struct PictureAnswer {
    bool valid = false;
    std::string flag;
    std::string camera;
    int good = 0;
    std::vector<int> missing;
};
PictureAnswer ReadPictureAnswer(std::string_view commandText);

}  // namespace rtu::sim
