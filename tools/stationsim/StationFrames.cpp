#include "tools/stationsim/StationFrames.h"

#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"

#include <gcrypt.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace rtu::sim {
namespace {

constexpr char kRegistrationKey[] = "kP3807#?-+.,!*@%";
constexpr std::size_t kKeyBytes = sizeof kRegistrationKey - 1;
constexpr std::size_t kPlainBytes = 24;

// The value with a fixed number of decimals.
std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Digits2(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value % 100);
    return text;
}

bool AllDigits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Number(std::string_view digits)
{
    int value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

// "ST 0000000101 H": the station's own address and its kind (hydrology).
std::string StationPart(const StationIdentity& id)
{
    return " ST " + id.station + " H";
}

// The bytes of one hour of five-minute values, as hex text: rainfall in
// tenths of a millimetre (one byte) or level in hundredths of a metre (a word).
std::string HourOfRain(const StationReadings& r, int hour)
{
    std::string hex;
    for (int step = 0; step < 12; ++step) {
        const int tenths = static_cast<int>(std::lround(r.rain5 * 10)) + (hour + step) % 3;
        hex += ByteToHex2(static_cast<std::uint8_t>(std::clamp(tenths, 0, 254)));
    }
    return hex;
}

std::string HourOfLevel(const StationReadings& r, int hour)
{
    std::string hex;
    for (int step = 0; step < 12; ++step) {
        const long hundredths = std::lround(r.level * 100) + (hour * 12 + step) % 7 - 3;
        const auto word = static_cast<std::uint16_t>(std::clamp(hundredths, 0L, 65534L));
        hex += ByteToHex2(static_cast<std::uint8_t>(word >> 8));
        hex += ByteToHex2(static_cast<std::uint8_t>(word & 0xFF));
    }
    return hex;
}

void EnsureCipherLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P) == 0) {
            gcry_check_version(nullptr);
            gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
            gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        }
    });
}

}  // namespace

std::string StationAddress(std::uint64_t number)
{
    char text[24];
    std::snprintf(text, sizeof text, "%010llu", static_cast<unsigned long long>(number % 10000000000ULL));
    return text;
}

std::string EncodeUplinkFrame(const StationIdentity& id, std::string_view functionCode,
                              std::string_view body, char startOfBody, char end)
{
    body = body.substr(0, std::min(body.size(), kMaxBodyBytes));
    std::string frame;
    frame.reserve(body.size() + kFrameOverhead);
    frame += kSoh;
    frame.append(id.centre, 0, 2);
    frame.append(id.station, 0, 10);
    frame.append(id.password, 0, 4);
    frame.append(functionCode.substr(0, 2));
    char length[8];
    std::snprintf(length, sizeof length, "0%03X", static_cast<unsigned>(body.size()));
    frame += length;
    frame += startOfBody;
    frame.append(body);
    frame += end;
    char check[8];
    std::snprintf(check, sizeof check, "%04X", static_cast<unsigned>(CalcCrc16(frame)));
    frame += check;
    return frame;
}

std::string BodyPrefix(std::uint16_t serial, const CalendarTime& sendTime)
{
    char serialText[8];
    std::snprintf(serialText, sizeof serialText, "%04X", static_cast<unsigned>(serial));
    return serialText + std::string(SendTimeText(sendTime).data());
}

std::string ObservationText(const CalendarTime& t)
{
    return Digits2(t.year - 2000) + Digits2(t.month) + Digits2(t.day) + Digits2(t.hour) + Digits2(t.minute);
}

std::string FunctionCodeOf(ReportKind kind)
{
    char text[4];
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(kind));
    return text;
}

StationReadings::StationReadings(std::uint32_t seed) : rng_(seed)
{
    std::uniform_real_distribution<double> base(80.0, 120.0);
    level = base(rng_);
    flow = level / 10.0;
    rainTotal = std::uniform_real_distribution<double>(100.0, 900.0)(rng_);
    voltage = std::uniform_real_distribution<double>(12.0, 13.5)(rng_);
    Step();
}

void StationReadings::Step()
{
    std::normal_distribution<double> drift(0.0, 0.01);
    level = std::max(0.0, level + drift(rng_));
    flow = std::max(0.0, flow + drift(rng_) * 3);
    // Mostly dry, sometimes a shower.
    const double shower = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
    rain5 = shower < 0.7 ? 0.0 : std::round((shower - 0.7) * 20.0) / 2.0;
    rainDay += rain5;
    rainTotal += rain5;
    voltage = std::clamp(voltage + drift(rng_), 11.5, 14.0);
}

std::string ReportBody(ReportKind kind, const StationIdentity& id, std::uint16_t serial,
                       const CalendarTime& sendTime, const CalendarTime& observed,
                       const StationReadings& r, int variant)
{
    std::string body = BodyPrefix(serial, sendTime);
    const std::string level = Fixed(r.level, 3);
    const std::string flow = Fixed(r.flow, 3);
    const std::string volts = Fixed(r.voltage, 2);
    switch (kind) {
    case ReportKind::kTimed:
        body += StationPart(id) + " TT " + ObservationText(observed);
        body += " PN05 " + Fixed(r.rain5, 1);
        body += " PJ " + Fixed(r.rainDay, 1);
        body += " PT " + Fixed(r.rainTotal, 1);
        body += " Z " + level + " Q " + flow;
        body += " ADC1 Z," + level + ",m ADC2 VT," + volts + ",V";
        break;
    case ReportKind::kAlarm: {
        // Token 5 of the body is the identifier, token 6 its value.
        static const char* const kIds[] = {"Z", "PJ", "Q"};
        const char* idText = kIds[variant % 3];
        const std::string value = variant % 3 == 0 ? level : variant % 3 == 1 ? Fixed(r.rainDay, 1) : flow;
        body += " ST " + id.station + " TT " + ObservationText(observed) + " " + idText + " " + value;
        break;
    }
    case ReportKind::kHourly: {
        CalendarTime hour = observed;
        hour.minute = 0;
        body += StationPart(id) + " TT " + ObservationText(hour);
        body += " DRP " + HourOfRain(r, hour.hour) + " DRZ1 " + HourOfLevel(r, hour.hour);
        break;
    }
    case ReportKind::kFiveMinute: {
        // Token 6 of the frame is the identifier, token 7 its value.
        static const char* const kIds[] = {"PN05", "Z", "Q"};
        const char* idText = kIds[variant % 3];
        const std::string value = variant % 3 == 0 ? Fixed(r.rain5, 1) : variant % 3 == 1 ? level : flow;
        body += StationPart(id) + " TT " + ObservationText(observed) + " " + idText + " " + value;
        break;
    }
    case ReportKind::kKeepAlive:
        body += StationPart(id);
        break;
    }
    body += " VT " + volts;
    return body;
}

std::string RegistrationPacket(std::string_view station, bool freshStart)
{
    std::string plain("\x68\x12\x68\x02", 4);
    plain.append(station.substr(0, 10));
    plain.resize(14, ' ');
    plain += freshStart ? '1' : '0';
    plain.resize(kPlainBytes, '\0');

    EnsureCipherLibrary();
    std::uint8_t cipher[kPlainBytes] = {};
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, GCRY_CIPHER_BLOWFISH, GCRY_CIPHER_MODE_ECB, 0) != 0) {
        return {};
    }
    const bool ok = gcry_cipher_setkey(handle, kRegistrationKey, kKeyBytes) == 0 &&
                    gcry_cipher_encrypt(handle, cipher, sizeof cipher, plain.data(), plain.size()) == 0;
    gcry_cipher_close(handle);
    if (!ok) {
        return {};
    }
    return BytesToHexText(std::string_view(reinterpret_cast<const char*>(cipher), sizeof cipher));
}

const char* AckCheckText(AckCheck check)
{
    switch (check) {
    case AckCheck::kGood: return "good";
    case AckCheck::kWrongSize: return "not 45 bytes";
    case AckCheck::kBadCheckCode: return "bad check code";
    case AckCheck::kNotAck: return "not an acknowledgement layout";
    case AckCheck::kWrongHeader: return "wrong station, centre, password or function code";
    case AckCheck::kWrongSerial: return "serial number not echoed";
    case AckCheck::kBadTime: return "send time is no time";
    }
    return "?";
}

bool LooksLikeAcknowledgement(std::string_view frame)
{
    return frame.size() >= kFrameOverhead && frame[frame.size() - 5] == kAck;
}

AckCheck CheckAcknowledgement(std::string_view ack, const SentFrame& sent)
{
    if (ack.size() != kAcknowledgementBytes) {
        return AckCheck::kWrongSize;
    }
    if (!VerifyCheckCode(ack)) {
        return AckCheck::kBadCheckCode;
    }
    if (ack[0] != kSoh || ack.substr(19, 4) != "8010" || ack[23] != kStx || ack[40] != kAck) {
        return AckCheck::kNotAck;
    }
    if (ack.substr(1, 10) != sent.station || ack.substr(11, 2) != sent.centre ||
        ack.substr(13, 4) != sent.password || ack.substr(17, 2) != sent.functionCode) {
        return AckCheck::kWrongHeader;
    }
    if (ack.substr(24, 4) != sent.serial) {
        return AckCheck::kWrongSerial;
    }
    const std::string_view time = ack.substr(28, 12);
    if (!AllDigits(time)) {
        return AckCheck::kBadTime;
    }
    const int month = Number(time.substr(2, 2));
    const int day = Number(time.substr(4, 2));
    if (month < 1 || month > 12 || day < 1 || day > 31 || Number(time.substr(6, 2)) > 23 ||
        Number(time.substr(8, 2)) > 59 || Number(time.substr(10, 2)) > 60) {
        return AckCheck::kBadTime;
    }
    return AckCheck::kGood;
}

bool ReadDownlink(std::string_view frame, DownlinkFields& out)
{
    if (frame.size() < kFrameOverhead + kCommandPrefixBytes || frame[0] != kSoh) {
        return false;
    }
    const auto length = ParseBodyLength(frame.substr(20, 3));
    if (!length || *length + kFrameOverhead != frame.size() || *length < kCommandPrefixBytes) {
        return false;
    }
    out.station = frame.substr(1, 10);
    out.centre = frame.substr(11, 2);
    out.password = frame.substr(13, 4);
    out.functionCode = frame.substr(17, 2);
    out.serial = frame.substr(24, 4);
    out.text = frame.substr(24 + kCommandPrefixBytes, *length - kCommandPrefixBytes);
    out.end = frame[24 + *length];
    return true;
}

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Identifier/value pairs of a configuration text, read from the left.
Pairs ReadPairs(std::string_view text)
{
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && text[at] == ' ') ++at;
        std::size_t end = at;
        while (end < text.size() && text[end] != ' ') ++end;
        if (end > at) tokens.emplace_back(text.substr(at, end - at));
        at = end;
    }
    Pairs pairs;
    for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) {
        pairs.emplace_back(tokens[i], tokens[i + 1]);
    }
    return pairs;
}

// Each pair of `changes` replaces the value of its identifier, or is added.
void Merge(Pairs& into, const Pairs& changes)
{
    for (const auto& change : changes) {
        auto it = std::find_if(into.begin(), into.end(), [&](const auto& p) { return p.first == change.first; });
        if (it != into.end()) {
            it->second = change.second;
        } else {
            into.push_back(change);
        }
    }
}

// " 01 v 02 v ... " with a blank at the end.
std::string PairsText(const Pairs& pairs)
{
    std::string text;
    for (const auto& p : pairs) {
        text += ' ' + p.first + ' ' + p.second;
    }
    return text + ' ';
}

// Days since 1970-01-01 of a civil date.
long DaysFromCivil(int year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yoe = year - era * 400;
    const long doy = (153L * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

void RememberCommand(const DownlinkFields& command, StationMemory& memory)
{
    if (command.functionCode == "40") {
        Merge(memory.baseConfig, ReadPairs(command.text));
    } else if (command.functionCode == "42") {
        Merge(memory.runConfig, ReadPairs(command.text));
    }
}

std::string AnswerBody(const DownlinkFields& command, const StationIdentity& id,
                       const CalendarTime& sendTime, const StationReadings& r, const StationMemory* memory)
{
    std::string body(command.serial);
    body += SendTimeText(sendTime).data();
    std::string code(command.functionCode);
    for (char& c : code) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const std::string level = Fixed(r.level, 3);
    const std::string flow = Fixed(r.flow, 3);
    const std::string volts = Fixed(r.voltage, 2);

    if (code == "45") {
        // The version text starts 17 characters into the reply text.
        body += StationPart(id) + " VER stationsim-1.0";
    } else if (code == "37") {
        body += StationPart(id) + " TT " + ObservationText(sendTime) + " PJ " + Fixed(r.rainDay, 1) +
                " PT " + Fixed(r.rainTotal, 1) + " Z " + level + " Q " + flow + " VT " + volts + " ";
    } else if (code == "39") {
        body += StationPart(id) + " TT " + ObservationText(sendTime) + " PN05 " + Fixed(r.rain5, 1) +
                " Z " + level + " ";
    } else if (code == "41") {
        std::string device;
        for (char c : "10" + id.station.substr(6)) {
            device += ByteToHex2(static_cast<std::uint8_t>(c));
        }
        Pairs pairs = ReadPairs(" 01 " + id.centre + "000000 02 " + id.station + " 03 " + id.password +
                                " 04 02127000000001005001 05 00 06 00 07 00 08 00 09 00 0A 00 0B 00 0C 02"
                                " 0D 8001000000000000 0F " + device + " 1F 0 ");
        if (memory != nullptr) Merge(pairs, memory->baseConfig);
        body += PairsText(pairs);
    } else if (code == "43") {
        Pairs pairs = ReadPairs(" 20 01 21 05 22 10 23 200 24 050 25 0.5 26 0.5 27 100 28 0.01 38 300 ");
        if (memory != nullptr) Merge(pairs, memory->runConfig);
        body += PairsText(pairs);
    } else if (code == "40" || code == "42") {
        body += ' ';
        body.append(command.text);
    } else if (code == "38") {
        // Period query "YYMMDDHHYYMMDDHH DRN05 DRP " (or DRZ1): one set of
        // twelve values per hour from the start hour to the end hour, at most
        // a day; the span is counted in calendar time, so it may cross the
        // end of a month or a year.
        const std::string_view text = command.text;
        int hours = 1;
        CalendarTime from = sendTime;
        from.minute = 0;
        if (text.size() >= 16 && AllDigits(text.substr(0, 16))) {
            from.year = 2000 + Number(text.substr(0, 2));
            from.month = Number(text.substr(2, 2));
            from.day = Number(text.substr(4, 2));
            from.hour = Number(text.substr(6, 2));
            const long start = DaysFromCivil(from.year, from.month, from.day) * 24 + from.hour;
            const long end = DaysFromCivil(2000 + Number(text.substr(8, 2)), Number(text.substr(10, 2)),
                                           Number(text.substr(12, 2))) * 24 + Number(text.substr(14, 2));
            hours = static_cast<int>(std::clamp(end - start + 1, 1L, 24L));
        }
        const bool levels = text.find("DRZ1") != std::string_view::npos;
        body += StationPart(id) + " TT " + ObservationText(from) + (levels ? " DRZ1 " : " DRP ");
        for (int h = 0; h < hours; ++h) {
            body += levels ? HourOfLevel(r, from.hour + h) : HourOfRain(r, from.hour + h);
        }
    } else {
        body += StationPart(id);
    }
    return body;
}

std::string PicturePacketBody(int total, int number, const PictureInfo& info, std::string_view payload)
{
    char counters[8];
    std::snprintf(counters, sizeof counters, "%03X%03X", static_cast<unsigned>(total & 0xFFF),
                  static_cast<unsigned>(number & 0xFFF));
    std::string header = " CAMID " + info.camera + " PICTYPE " + info.type + " PICFLAG " + info.flag + " ";
    header.resize(kPictureHeaderBytes, ' ');
    std::string body = counters + header;
    body.append(payload.substr(0, kMaxPicturePayload));
    return body;
}

std::string PictureBytes(std::size_t size, std::uint32_t seed)
{
    size = std::max<std::size_t>(size, 4);
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(rng() & 0xFF);
    }
    bytes[0] = static_cast<char>(0xFF);
    bytes[1] = static_cast<char>(0xD8);
    bytes[size - 2] = static_cast<char>(0xFF);
    bytes[size - 1] = static_cast<char>(0xD9);
    return bytes;
}

bool IsPictureRequest(std::string_view commandText)
{
    return commandText.size() >= 13 && AllDigits(commandText.substr(0, 12)) && commandText[12] == ' ';
}

PictureAnswer ReadPictureAnswer(std::string_view commandText)
{
    PictureAnswer answer;
    std::vector<std::string_view> tokens;
    for (std::string_view token : SplitText(commandText, ' ')) {
        if (!token.empty()) tokens.push_back(token);
    }
    if (tokens.size() < 3 || !AllDigits(tokens[2]) || tokens[2].size() > 6) {
        return answer;
    }
    answer.flag = std::string(tokens[0]);
    answer.camera = std::string(tokens[1]);
    answer.good = Number(tokens[2]);
    for (std::size_t i = 3; i < tokens.size(); ++i) {
        if (!AllDigits(tokens[i]) || tokens[i].size() > 6) return answer;
        answer.missing.push_back(Number(tokens[i]));
    }
    answer.valid = true;
    return answer;
}

}  // namespace rtu::sim
