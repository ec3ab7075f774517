// rtuframe: the frame codec of the data centre on the command line.
//
//   rtuframe crc TEXT          check code of the bytes of TEXT
//   rtuframe check HEX         is the frame's check code valid; its header and elements
//   rtuframe ack HEX           the acknowledgement the centre sends for the frame
//   rtuframe command STATION CENTRE PASSWORD FUNCTION BODY
//                              a downlink command frame (serial number 0001,
//                              send time now)
//
// Frames are given and printed as hexadecimal text, two digits per byte, as
// the raw-frame column of the database and the command table hold them;
// blanks in HEX are ignored. Exit status: 0 done (check: valid), 1 the frame
// fails its check, 2 usage or input error.
#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace rtu;

constexpr int kOk = 0;
constexpr int kFrameFails = 1;
constexpr int kUsage = 2;

int Usage()
{
    std::cerr << "usage: rtuframe crc TEXT\n"
                 "       rtuframe check HEX\n"
                 "       rtuframe ack HEX\n"
                 "       rtuframe command STATION CENTRE PASSWORD FUNCTION BODY\n";
    return kUsage;
}

int Fail(const std::string& message, int status = kUsage)
{
    std::cerr << "rtuframe: " << message << '\n';
    return status;
}

std::string Hex4(std::uint16_t value)
{
    char text[5];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value));
    return text;
}

// Control characters shown by name, others as they are.
std::string Shown(std::string_view text)
{
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F) {
            out.push_back(c);
        } else {
            out += "<" + ByteToHex2(u) + ">";
        }
    }
    return out;
}

std::string CharName(char c)
{
    switch (c) {
    case kSoh: return "SOH";
    case kStx: return "STX";
    case kSyn: return "SYN";
    case kEnq: return "ENQ";
    case kAck: return "ACK";
    case 0x03: return "ETX";
    case 0x17: return "ETB";
    default: return Shown(std::string_view(&c, 1));
    }
}

// The bytes of a hexadecimal text given on the command line.
std::optional<std::string> FrameFromHex(std::string_view hex, std::string& error)
{
    std::string digits;
    digits.reserve(hex.size());
    for (char c : hex) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            digits.push_back(c);
        }
    }
    if (!IsHexText(digits)) {
        error = "not hexadecimal text with two digits per byte";
        return std::nullopt;
    }
    if (digits.size() / 2 > kMaxFrameBytes) {
        error = "longer than the largest frame (" + std::to_string(kMaxFrameBytes) + " bytes)";
        return std::nullopt;
    }
    std::string bytes(digits.size() / 2, '\0');
    HexTextToBytes(digits, reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
    return bytes;
}

// A whole uplink frame: a readable header whose length matches the bytes.
std::optional<UplinkHeader> WholeFrame(std::string_view frame, std::string& error)
{
    if (frame.empty() || frame[0] != kSoh) {
        error = "a frame starts with SOH (01)";
        return std::nullopt;
    }
    const auto header = ReadUplinkHeader(frame);
    if (!header || frame.size() < kFrameOverhead) {
        error = "too short for a frame (" + std::to_string(frame.size()) + " bytes, at least " +
                std::to_string(kFrameOverhead) + ")";
        return std::nullopt;
    }
    if (!header->bodyLength) {
        error = "length field \"" + Shown(header->lengthField) +
                "\" is not three hexadecimal digits of at most " + std::to_string(kMaxBodyBytes);
        return std::nullopt;
    }
    const std::size_t expected = *header->bodyLength + kFrameOverhead;
    if (frame.size() != expected) {
        error = "length field " + std::string(header->lengthField) + " makes a frame of " +
                std::to_string(expected) + " bytes, but " + std::to_string(frame.size()) + " were given";
        return std::nullopt;
    }
    return header;
}

void PrintElements(std::string_view text)
{
    std::vector<std::string_view> tokens;
    for (std::string_view token : SplitText(text, ' ')) {
        if (!token.empty()) {
            tokens.push_back(token);
        }
    }
    if (tokens.empty()) {
        return;
    }
    std::cout << "elements:\n";
    for (std::size_t i = 0; i < tokens.size(); i += 2) {
        std::cout << "  " << Shown(tokens[i]);
        if (i + 1 < tokens.size()) {
            std::cout << ' ' << Shown(tokens[i + 1]);
        }
        std::cout << '\n';
    }
}

int Crc(std::string_view text)
{
    std::cout << Hex4(CalcCrc16(text)) << '\n';
    return kOk;
}

int Check(std::string_view hex)
{
    std::string error;
    const auto frame = FrameFromHex(hex, error);
    if (!frame) {
        return Fail(error);
    }
    const auto header = WholeFrame(*frame, error);
    if (!header) {
        return Fail(error);
    }
    const std::string_view f = *frame;
    const std::uint16_t bodyLength = *header->bodyLength;
    const std::string_view body = f.substr(kHeaderBytes, bodyLength);
    const bool valid = VerifyCheckCode(f);

    std::cout << "check code: " << Shown(f.substr(f.size() - 4)) << (valid ? " valid" : " INVALID")
              << " (computed " << Hex4(FrameCheckCode(f)) << ")\n"
              << "frame length: " << f.size() << '\n';
    // The centre writes direction 8 and puts the station address first.
    const bool downlink = header->direction == '8';
    std::cout << "direction: " << CharName(header->direction) << (downlink ? " (downlink)" : " (uplink)")
              << '\n'
              << "centre address: " << Shown(downlink ? f.substr(11, 2) : header->centre) << '\n'
              << "station address: " << Shown(downlink ? f.substr(1, 10) : header->station) << '\n'
              << "password: " << Shown(header->password) << '\n'
              << "function code: " << Shown(header->functionCode) << '\n'
              << "body length: " << header->lengthField << " (" << bodyLength << ")\n"
              << "start of body: " << CharName(header->startOfBody) << '\n'
              << "end character: " << CharName(f[kHeaderBytes + bodyLength]) << '\n';
    if (header->startOfBody == kSyn && bodyLength >= 6) {
        std::cout << "packet: " << Shown(body.substr(3, 3)) << " of " << Shown(body.substr(0, 3)) << '\n';
        const std::string_view packetHeader = body.substr(6, 71);
        for (const char* id : {"CAMID", "PICTYPE", "PICFLAG"}) {
            std::cout << id << ": " << Shown(FieldValue(packetHeader, id)) << '\n';
        }
        if (bodyLength > 77) {
            std::cout << "payload: " << bodyLength - 77 << " bytes\n";
        }
    } else {
        if (bodyLength >= 4) {
            std::cout << "serial number: " << Shown(body.substr(0, 4)) << '\n';
        }
        if (bodyLength >= 16) {
            std::cout << "send time: " << Shown(body.substr(4, 12)) << '\n';
            PrintElements(body.substr(16));
        }
    }
    return valid ? kOk : kFrameFails;
}

int Ack(std::string_view hex)
{
    std::string error;
    const auto frame = FrameFromHex(hex, error);
    if (!frame) {
        return Fail(error);
    }
    const auto header = WholeFrame(*frame, error);
    if (!header) {
        return Fail(error);
    }
    if (!VerifyCheckCode(*frame)) {
        return Fail("the check code is invalid: the centre does not acknowledge this frame",
                    kFrameFails);
    }
    if (header->startOfBody != kStx) {
        return Fail("only single (STX) frames are acknowledged", kFrameFails);
    }
    if (header->functionCode == "2F" || header->functionCode == "2f") {
        return Fail("keep-alive frames (2F) are not acknowledged", kFrameFails);
    }
    FrameBytes ack;
    if (!BuildAcknowledgement(*frame, ack)) {
        return Fail("the frame body is too short for a serial number");
    }
    std::cout << BytesToHexText(ack.View()) << '\n';
    return kOk;
}

int Command(std::string_view station, std::string_view centre, std::string_view password,
            std::string_view function, std::string_view body)
{
    if (function.size() != 2) {
        return Fail("FUNCTION is 2 characters");
    }
    FrameBytes frame;
    switch (BuildCommandFrame({station, centre, password}, function, body, frame)) {
    case CommandBuild::kBuilt:
        std::cout << BytesToHexText(frame.View()) << '\n';
        return kOk;
    case CommandBuild::kTooLong:
        return Fail("BODY is longer than " + std::to_string(kMaxCommandText) + " bytes");
    case CommandBuild::kBadAddress:
        break;
    }
    return Fail("STATION is 10 characters, CENTRE 2 and PASSWORD 4");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return Usage();
    }
    const std::string_view command = argv[1];
    if (command == "crc" && argc == 3) {
        return Crc(argv[2]);
    }
    if (command == "check" && argc == 3) {
        return Check(argv[2]);
    }
    if (command == "ack" && argc == 3) {
        return Ack(argv[2]);
    }
    if (command == "command" && argc == 7) {
        return Command(argv[2], argv[3], argv[4], argv[5], argv[6]);
    }
    return Usage();
}
