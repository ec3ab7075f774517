#include "rtu/protocol/BinaryFrame.h"

#include "rtu/protocol/Crc16.h"

namespace rtu {
namespace {

std::uint8_t At(std::string_view bytes, std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); }

bool IsUplinkEnd(std::uint8_t b) { return b == binary_byte::kEtx || b == binary_byte::kEtb; }

bool IsDownlinkEnd(std::uint8_t b)
{
    return b == binary_byte::kEnq || b == binary_byte::kAck || b == binary_byte::kNak || b == binary_byte::kEot ||
           b == binary_byte::kEsc;
}

std::uint8_t Bcd(int value) { return static_cast<std::uint8_t>(((value / 10) % 10) << 4 | (value % 10)); }

void Put(std::string& out, std::uint8_t b) { out.push_back(static_cast<char>(b)); }

// Serial number + time, the body of every acknowledgement and NAK.
std::array<char, 8> AnswerBody(std::uint16_t serial, const CalendarTime& now)
{
    std::array<char, 8> body{};
    body[0] = static_cast<char>(serial >> 8);
    body[1] = static_cast<char>(serial & 0xFF);
    const auto time = BcdTime(now);
    for (std::size_t i = 0; i < time.size(); ++i) body[2 + i] = static_cast<char>(time[i]);
    return body;
}

// The downlink header of a reply: addresses, password and function code from
// the frame it answers.
BinaryFrame ReplyHeader(const BinaryFrame& received)
{
    BinaryFrame reply;
    reply.direction = BinaryDirection::kDown;
    reply.centre = received.centre;
    reply.station = received.station;
    reply.password = received.password;
    reply.functionCode = received.functionCode;
    return reply;
}

}  // namespace

const char* BinaryParseText(BinaryParse result)
{
    switch (result) {
    case BinaryParse::kOk: return "ok";
    case BinaryParse::kTooShort: return "shorter than a frame";
    case BinaryParse::kBadStart: return "no 7E 7E start";
    case BinaryParse::kBadDirection: return "direction neither up nor down";
    case BinaryParse::kLengthMismatch: return "length field does not match the frame";
    case BinaryParse::kBadStartOfBody: return "start of body neither STX nor SYN";
    case BinaryParse::kBadPacketField: return "bad packet number or total";
    case BinaryParse::kBadEnd: return "unknown end byte";
    case BinaryParse::kBadCheckCode: return "wrong check code";
    }
    return "?";
}

BinaryParse ParseBinaryFrame(std::string_view frame, BinaryFrame& out)
{
    out = BinaryFrame{};
    if (frame.size() < kBinaryFrameOverhead) return BinaryParse::kTooShort;
    if (At(frame, 0) != kBinaryStart || At(frame, 1) != kBinaryStart) return BinaryParse::kBadStart;
    const unsigned word = static_cast<unsigned>(At(frame, 11)) << 8 | At(frame, 12);
    const unsigned nibble = word >> 12;
    if (nibble != 0 && nibble != 8) return BinaryParse::kBadDirection;
    out.direction = nibble == 0 ? BinaryDirection::kUp : BinaryDirection::kDown;
    const std::size_t stationAt = out.direction == BinaryDirection::kUp ? 3 : 2;
    out.centre = At(frame, out.direction == BinaryDirection::kUp ? 2 : 7);
    for (std::size_t i = 0; i < out.station.size(); ++i) out.station[i] = At(frame, stationAt + i);
    out.password = static_cast<std::uint16_t>(At(frame, 8) << 8 | At(frame, 9));
    out.functionCode = At(frame, 10);
    out.length = static_cast<std::uint16_t>(word & 0xFFF);
    if (frame.size() != out.length + kBinaryFrameOverhead) return BinaryParse::kLengthMismatch;
    out.startOfBody = At(frame, 13);
    out.end = At(frame, kBinaryHeaderBytes + out.length);
    out.checkCode = static_cast<std::uint16_t>(At(frame, frame.size() - 2) << 8 | At(frame, frame.size() - 1));
    std::size_t bodyAt = kBinaryHeaderBytes;
    if (out.startOfBody == binary_byte::kSyn) {
        if (out.length < kBinaryPacketFieldBytes) return BinaryParse::kBadPacketField;
        const unsigned packet = static_cast<unsigned>(At(frame, 14)) << 16 | At(frame, 15) << 8 | At(frame, 16);
        out.packetTotal = static_cast<std::uint16_t>(packet >> 12);
        out.packetNumber = static_cast<std::uint16_t>(packet & 0xFFF);
        if (out.packetNumber == 0 || out.packetNumber > out.packetTotal) return BinaryParse::kBadPacketField;
        bodyAt += kBinaryPacketFieldBytes;
    } else if (out.startOfBody != binary_byte::kStx) {
        return BinaryParse::kBadStartOfBody;
    }
    out.body = frame.substr(bodyAt, kBinaryHeaderBytes + out.length - bodyAt);
    if (out.direction == BinaryDirection::kUp ? !IsUplinkEnd(out.end) : !IsDownlinkEnd(out.end)) {
        return BinaryParse::kBadEnd;
    }
    if (CalcCrc16(frame.substr(0, frame.size() - 2)) != out.checkCode) return BinaryParse::kBadCheckCode;
    return BinaryParse::kOk;
}

std::string StationAddressText(const StationAddressBytes& address)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(10, '0');
    for (std::size_t i = 0; i < address.size(); ++i) {
        text[2 * i] = kDigits[address[i] >> 4];
        text[2 * i + 1] = kDigits[address[i] & 0xF];
    }
    return text;
}

std::array<std::uint8_t, 6> BcdTime(const CalendarTime& t)
{
    return {Bcd(((t.year % 100) + 100) % 100), Bcd(t.month), Bcd(t.day), Bcd(t.hour), Bcd(t.minute), Bcd(t.second)};
}

bool EncodeBinaryFrame(const BinaryFrame& frame, std::string_view body, std::string& out)
{
    out.clear();
    const bool packets = frame.startOfBody == binary_byte::kSyn;
    const std::size_t length = body.size() + (packets ? kBinaryPacketFieldBytes : 0);
    if (length > kBinaryMaxLength) return false;
    out.reserve(length + kBinaryFrameOverhead);
    Put(out, kBinaryStart);
    Put(out, kBinaryStart);
    const bool up = frame.direction == BinaryDirection::kUp;
    if (up) Put(out, frame.centre);
    for (std::uint8_t b : frame.station) Put(out, b);
    if (!up) Put(out, frame.centre);
    Put(out, static_cast<std::uint8_t>(frame.password >> 8));
    Put(out, static_cast<std::uint8_t>(frame.password & 0xFF));
    Put(out, frame.functionCode);
    Put(out, static_cast<std::uint8_t>((up ? 0x00 : 0x80) | (length >> 8)));
    Put(out, static_cast<std::uint8_t>(length & 0xFF));
    Put(out, frame.startOfBody);
    if (packets) {
        const unsigned field = (frame.packetTotal & 0xFFFU) << 12 | (frame.packetNumber & 0xFFFU);
        Put(out, static_cast<std::uint8_t>(field >> 16));
        Put(out, static_cast<std::uint8_t>(field >> 8));
        Put(out, static_cast<std::uint8_t>(field));
    }
    out.append(body.data(), body.size());
    Put(out, frame.end);
    const std::uint16_t crc = CalcCrc16(out);
    Put(out, static_cast<std::uint8_t>(crc >> 8));
    Put(out, static_cast<std::uint8_t>(crc & 0xFF));
    return true;
}

bool BuildBinaryAcknowledgement(const BinaryFrame& report, const CalendarTime& now, bool keepOnline, std::string& out)
{
    out.clear();
    if (report.direction != BinaryDirection::kUp || report.startOfBody != binary_byte::kStx ||
        report.functionCode == 0x2F || report.body.size() < 2) {
        return false;
    }
    BinaryFrame ack = ReplyHeader(report);
    ack.startOfBody = binary_byte::kStx;
    ack.end = report.end == binary_byte::kEtb ? binary_byte::kAck
              : keepOnline                     ? binary_byte::kEsc
                                               : binary_byte::kEot;
    const std::uint16_t serial = static_cast<std::uint16_t>(static_cast<std::uint8_t>(report.body[0]) << 8 |
                                                            static_cast<std::uint8_t>(report.body[1]));
    const auto body = AnswerBody(serial, now);
    return EncodeBinaryFrame(ack, std::string_view(body.data(), body.size()), out);
}

bool BuildBinaryTransferAcknowledgement(const BinaryFrame& lastPacket, std::uint16_t firstPacketSerial,
                                        const CalendarTime& now, bool keepOnline, std::string& out)
{
    out.clear();
    if (lastPacket.direction != BinaryDirection::kUp || lastPacket.startOfBody != binary_byte::kSyn ||
        lastPacket.packetTotal == 0) {
        return false;
    }
    BinaryFrame ack = ReplyHeader(lastPacket);
    ack.startOfBody = binary_byte::kSyn;
    ack.packetTotal = lastPacket.packetTotal;
    ack.packetNumber = lastPacket.packetTotal;
    ack.end = keepOnline ? binary_byte::kEsc : binary_byte::kEot;
    const auto body = AnswerBody(firstPacketSerial, now);
    return EncodeBinaryFrame(ack, std::string_view(body.data(), body.size()), out);
}

bool BuildBinaryNak(const BinaryFrame& packet, std::uint16_t missing, std::uint16_t serial, const CalendarTime& now,
                    std::string& out)
{
    out.clear();
    if (packet.direction != BinaryDirection::kUp || missing == 0 || missing > packet.packetTotal) return false;
    BinaryFrame nak = ReplyHeader(packet);
    nak.startOfBody = binary_byte::kSyn;
    nak.packetTotal = packet.packetTotal;
    nak.packetNumber = missing;
    nak.end = binary_byte::kNak;
    const auto body = AnswerBody(serial, now);
    return EncodeBinaryFrame(nak, std::string_view(body.data(), body.size()), out);
}

}  // namespace rtu
