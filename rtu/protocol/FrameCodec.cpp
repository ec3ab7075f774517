#include "rtu/protocol/FrameCodec.h"

#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/HexText.h"

#include <cstdio>
#include <cstring>

namespace rtu {
namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";

void CopyField(char* to, std::string_view from, std::size_t width)
{
    std::memcpy(to, from.data(), width);
}

void WriteHex4(char* to, unsigned value)
{
    std::snprintf(to, 5, "%04X", value & 0xFFFFU);
}

}  // namespace

std::optional<std::uint16_t> ParseBodyLength(std::string_view field)
{
    if (field.size() != 3) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : field) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    if (value > kMaxBodyBytes) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<UplinkHeader> ReadUplinkHeader(std::string_view frame)
{
    if (frame.size() < kHeaderBytes) {
        return std::nullopt;
    }
    UplinkHeader h;
    h.centre = frame.substr(1, 2);
    h.station = frame.substr(3, 10);
    h.password = frame.substr(13, 4);
    h.functionCode = frame.substr(17, 2);
    h.direction = frame[19];
    h.lengthField = frame.substr(20, 3);
    h.startOfBody = frame[23];
    h.bodyLength = ParseBodyLength(h.lengthField);
    return h;
}

std::uint16_t FrameCheckCode(std::string_view frame)
{
    return CalcCrc16(frame.substr(0, frame.size() >= 4 ? frame.size() - 4 : 0));
}

bool VerifyCheckCode(std::string_view frame)
{
    if (frame.size() < 5) {
        return false;
    }
    const std::string_view written = frame.substr(frame.size() - 4);
    unsigned value = 0;
    for (char c : written) {
        const int digit = HexDigitValue(c);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value == FrameCheckCode(frame);
}

bool EncodeFrame(const FrameHeader& header, std::string_view body, FrameBytes& out)
{
    out.Clear();
    if (body.size() > kMaxBodyBytes) {
        return false;
    }
    char* p = out.data_.data();
    p[0] = header.start;
    std::memcpy(p + 1, header.station, sizeof header.station);
    std::memcpy(p + 11, header.centre, sizeof header.centre);
    std::memcpy(p + 13, header.password, sizeof header.password);
    std::memcpy(p + 17, header.functionCode, sizeof header.functionCode);
    std::memcpy(p + 19, header.directionAndLength, sizeof header.directionAndLength);
    p[23] = header.startOfBody;
    if (!body.empty()) {
        std::memcpy(p + kHeaderBytes, body.data(), body.size());
    }
    std::size_t n = kHeaderBytes + body.size();
    p[n++] = header.end;
    const std::uint16_t crc = CalcCrc16(std::string_view(p, n));
    p[n++] = kLowerDigits[(crc >> 12) & 0xF];
    p[n++] = kLowerDigits[(crc >> 8) & 0xF];
    p[n++] = kLowerDigits[(crc >> 4) & 0xF];
    p[n++] = kLowerDigits[crc & 0xF];
    out.size_ = static_cast<std::uint16_t>(n);
    return true;
}

bool BuildAcknowledgement(std::string_view received, const CalendarTime& sendTime, FrameBytes& out)
{
    // The acknowledgement repeats the body's 4-character serial number: a
    // body too short to hold one is not acknowledged.
    const auto bodyLength = received.size() >= kHeaderBytes ? ParseBodyLength(received.substr(20, 3)) : std::nullopt;
    if (!bodyLength || *bodyLength < 4 || received.size() < kHeaderBytes + *bodyLength) {
        out.Clear();
        return false;
    }
    FrameHeader header;
    std::memcpy(&header, received.data(), kHeaderBytes);
    std::memcpy(header.directionAndLength, "8010", 4);
    header.startOfBody = kStx;
    header.end = kAck;

    char body[kCommandPrefixBytes];
    std::memcpy(body, received.data() + kHeaderBytes, 4);
    const SendTimeDigits digits = SendTimeText(sendTime);
    std::memcpy(body + 4, digits.data(), 12);
    return EncodeFrame(header, std::string_view(body, sizeof body), out);
}

bool BuildAcknowledgement(std::string_view received, FrameBytes& out)
{
    return BuildAcknowledgement(received, LocalNow(), out);
}

CommandBuild BuildCommandFrame(const DownlinkAddress& address, std::string_view functionCode,
                               std::string_view commandText, SerialNumberCounter& serials,
                               const CalendarTime& sendTime, FrameBytes& out)
{
    out.Clear();
    const std::size_t n = kCommandPrefixBytes + commandText.size();
    if (n > kMaxCommandBody) {
        return CommandBuild::kTooLong;
    }
    if (address.station.size() != 10 || address.centre.size() != 2 || address.password.size() != 4 ||
        functionCode.size() < 2) {
        return CommandBuild::kBadAddress;
    }

    FrameHeader header;
    header.start = kSoh;
    CopyField(header.centre, address.centre, 2);
    CopyField(header.station, address.station, 10);
    CopyField(header.password, address.password, 4);
    CopyField(header.functionCode, functionCode, 2);
    char field[5];
    WriteHex4(field, static_cast<unsigned>(n));
    field[0] = '8';  // n <= 0x400, so the first digit is always 0
    std::memcpy(header.directionAndLength, field, 4);
    header.startOfBody = kStx;
    header.end = kEnq;

    char body[kMaxCommandBody];
    char serial[5];
    WriteHex4(serial, serials.Take());
    std::memcpy(body, serial, 4);
    const SendTimeDigits digits = SendTimeText(sendTime);
    std::memcpy(body + 4, digits.data(), 12);
    if (!commandText.empty()) {
        std::memcpy(body + kCommandPrefixBytes, commandText.data(), commandText.size());
    }
    EncodeFrame(header, std::string_view(body, n), out);
    return CommandBuild::kBuilt;
}

CommandBuild BuildCommandFrame(const DownlinkAddress& address, std::string_view functionCode,
                               std::string_view commandText, FrameBytes& out)
{
    return BuildCommandFrame(address, functionCode, commandText, ProcessSerialNumbers(), LocalNow(),
                             out);
}

}  // namespace rtu
