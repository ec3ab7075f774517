#include "rtu/protocol/BinaryTwin.h"

#include "rtu/protocol/BinaryElements.h"
#include "rtu/protocol/BinaryIdentifiers.h"
#include "rtu/protocol/Crc16.h"
#include "rtu/protocol/Elements.h"
#include "rtu/protocol/FrameCodec.h"
#include "rtu/protocol/HexText.h"

#include <cstdio>

namespace rtu {
namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr std::size_t kTextMaxBody = 0xFFF;  // three hexadecimal digits

void AppendHex(std::string& out, std::string_view bytes)
{
    for (char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        out.push_back(kUpperDigits[b >> 4]);
        out.push_back(kUpperDigits[b & 0xF]);
    }
}

void AppendHexNumber(std::string& out, unsigned value, int digits)
{
    for (int i = digits - 1; i >= 0; --i) out.push_back(kUpperDigits[(value >> (4 * i)) & 0xF]);
}

// Definition bytes of the running parameters (read and written with 42/43).
std::uint8_t RunParameterDefinition(std::uint8_t id)
{
    if (id >= 0x20 && id <= 0x22) return 0x08;
    if (id == 0x23) return 0x10;
    if (id == 0x24 || id == 0x27) return 0x08;
    if (id == 0x25 || id == 0x26) return 0x09;
    if (id >= 0x28 && id <= 0x2F) return 0x23;  // level bases, signed
    if (id >= 0x30 && id <= 0x37) return 0x1B;  // level corrections, signed
    if (id >= 0x38 && id <= 0x41) return 0x12;
    return 0;
}

// Definition bytes of the base configuration (read with 41); the
// variable-length ones are asked for with 00.
std::uint8_t BaseParameterDefinition(std::uint8_t id)
{
    switch (id) {
    case 0x01: return 0x20;
    case 0x02: return 0x28;
    case 0x03: return 0x10;
    case 0x0C: return 0x08;
    case 0x0D: return 0x40;
    default: return 0x00;
    }
}

// ---------------------------------------------------------------- twin ----

// The time step as DRDdd, DRHhh or DRNmm: the first non-zero of days, hours
// and minutes. No step at all (hourly blocks follow) is DRH00.
bool AppendTimeStep(std::string& out, std::string_view value)
{
    std::string digits;
    if (value.size() != 3 || !BcdDigits(value, digits)) return false;
    static const char* const kUnits[] = {"DRD", "DRH", "DRN"};
    std::size_t unit = 0;
    while (unit < 3 && digits.compare(2 * unit, 2, "00") == 0) ++unit;
    if (unit == 3) unit = 1;
    out += kUnits[unit];
    out.append(digits, 2 * unit, 2);
    out += ' ';
    return true;
}

bool AppendElement(std::string& out, std::uint8_t functionCode, const BinaryElement& e)
{
    const std::string label = BinaryElementLabel(e.identifier);
    switch (e.kind) {
    case BinaryElementKind::kObservationTime: {
        std::string digits;
        if (e.value.size() != 5 || !BcdDigits(e.value, digits)) return false;
        out += "TT " + digits + ' ';
        return true;
    }
    case BinaryElementKind::kTimeStep: return AppendTimeStep(out, e.value);
    case BinaryElementKind::kFiveMinuteRain:
    case BinaryElementKind::kFiveMinuteLevel:
    case BinaryElementKind::kStateWord:
        out += label + ' ';
        AppendHex(out, e.value);
        out += ' ';
        return true;
    case BinaryElementKind::kSeries:
        out += label + ' ';
        if (e.identifier >= binary_id::kFiveMinuteRain && e.identifier <= binary_id::kFiveMinuteLevel8) {
            AppendHex(out, e.value);
            out += ' ';
            return true;
        }
        // Every position keeps its place: a missing value is written "M".
        for (std::size_t at = 0; at + e.groupBytes <= e.value.size(); at += e.groupBytes) {
            if (AppendBcdNumber(e.value.substr(at, e.groupBytes), e.Decimals(), out) != BcdStatus::kValue) out += 'M';
            out += ' ';
        }
        return true;
    case BinaryElementKind::kRest:
        out += label + ' ';
        if (e.identifier == binary_id::kBulkData) {
            AppendHex(out, e.value);
            out += ' ';
        } else {
            out.append(e.value.data(), e.value.size());
            if (e.identifier == binary_id::kManualEntry) out += ' ';
        }
        return true;
    case BinaryElementKind::kParameter:
        AppendHexNumber(out, e.identifier & 0xFFU, e.identifier > 0xFF ? 4 : 2);
        out += ' ';
        if (functionCode == 0x42 || functionCode == 0x43) {
            std::string number;
            if (AppendBcdNumber(e.value, e.Decimals(), number) == BcdStatus::kValue) {
                out += number + ' ';
                return true;
            }
        }
        AppendHex(out, e.value);
        out += ' ';
        return true;
    case BinaryElementKind::kNumber: {
        std::string number;
        if (AppendBcdNumber(e.value, e.Decimals(), number) == BcdStatus::kValue) out += label + ' ' + number + ' ';
        return true;
    }
    }
    return true;
}

// The text head of a body: serial number, send time and station group.
void AppendHead(std::string& out, const BinaryBody& body)
{
    AppendHexNumber(out, body.serial, 4);
    SendTimeDigitsOf(body, out);
    if (!body.hasStation) return;
    out += " ST " + StationAddressText(body.station) + ' ';
    if (body.hasKind) {
        if (body.kind >= 'A' && body.kind <= 'Z') {
            out += static_cast<char>(body.kind);
        } else {
            AppendHexNumber(out, body.kind, 2);
        }
        out += ' ';
    }
}

TwinBuild TwinBody(const BinaryFrame& frame, std::string& body)
{
    if (frame.startOfBody == binary_byte::kSyn) {
        AppendHexNumber(body, frame.packetTotal, 3);
        AppendHexNumber(body, frame.packetNumber, 3);
        // Packets after the first carry picture bytes only.
        if (frame.packetNumber > 1) {
            body.append(frame.body.data(), frame.body.size());
            return TwinBuild::kBuilt;
        }
    }
    BinaryBody decoded;
    if (DecodeBinaryBody(frame.functionCode, frame.body, decoded) != BodyDecode::kOk) return TwinBuild::kBadBody;
    AppendHead(body, decoded);
    if (!decoded.hasStation && BodyLayoutOf(frame.functionCode) != BinaryBodyLayout::kHeadOnly) body += ' ';
    for (const BinaryElement& e : decoded.elements) {
        if (!AppendElement(body, frame.functionCode, e)) return TwinBuild::kBadBody;
    }
    switch (BodyLayoutOf(frame.functionCode)) {
    case BinaryBodyLayout::kVersion:
        // The version text follows its length as 2 digits, with no blank.
        AppendHexNumber(body, static_cast<unsigned>(decoded.text.size()), 2);
        body.append(decoded.text.data(), decoded.text.size());
        break;
    case BinaryBodyLayout::kStation:
        if (!decoded.text.empty()) {
            AppendHex(body, decoded.text);
            body += ' ';
        }
        break;
    default: break;
    }
    return TwinBuild::kBuilt;
}

// -------------------------------------------------------- text frames ----

// Header fields of a text frame in either direction.
struct TextFrame {
    std::string_view station;
    std::string_view centre;
    std::string_view password;
    std::string_view functionCode;
    char startOfBody = 0;
    std::string_view body;
    char end = 0;
};

bool ReadTextFrame(std::string_view frame, bool downlink, TextFrame& out)
{
    if (frame.size() < kFrameOverhead || frame[0] != kSoh) return false;
    out.station = frame.substr(downlink ? 1 : 3, 10);
    out.centre = frame.substr(downlink ? 11 : 1, 2);
    out.password = frame.substr(13, 4);
    out.functionCode = frame.substr(17, 2);
    const auto length = ParseBodyLength(frame.substr(20, 3));
    if (!length || frame.size() != *length + kFrameOverhead || !VerifyCheckCode(frame)) return false;
    out.startOfBody = frame[23];
    out.body = frame.substr(kHeaderBytes, *length);
    out.end = frame[kHeaderBytes + *length];
    return true;
}

bool HexBytes(std::string_view text, std::uint8_t* out, std::size_t count)
{
    return text.size() == 2 * count && IsHexText(text) && HexTextToBytes(text, out, count) == count;
}

// The binary header of a text frame's addresses, password and function code.
bool BinaryHeaderOf(const TextFrame& text, BinaryDirection direction, BinaryFrame& out)
{
    std::uint8_t centre = 0;
    std::uint8_t password[2];
    std::uint8_t function = 0;
    if (!HexBytes(text.station, out.station.data(), 5) || !HexBytes(text.centre, &centre, 1) ||
        !HexBytes(text.password, password, 2) || !HexBytes(text.functionCode, &function, 1)) {
        return false;
    }
    out.direction = direction;
    out.centre = centre;
    out.password = static_cast<std::uint16_t>(password[0] << 8 | password[1]);
    out.functionCode = function;
    return true;
}

// Serial number (4 hexadecimal digits) and send time (12 decimal digits) of
// a text body as the 8 binary head bytes.
bool AppendBinaryHead(std::string_view body, std::string& out)
{
    std::uint8_t serial[2];
    if (body.size() < kCommandPrefixBytes || !HexBytes(body.substr(0, 4), serial, 2)) return false;
    out.push_back(static_cast<char>(serial[0]));
    out.push_back(static_cast<char>(serial[1]));
    return AppendBcdValue(body.substr(4, 12), 0, 6, out);
}

bool IsDigits(std::string_view text)
{
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// "DRN05", "DRH01", "DRD01": the time-step code 04 18 + days, hours, minutes.
bool AppendTimeStepCode(std::string_view token, bool hourlyBlocks, std::string& out)
{
    if (token.size() != 5 || token.substr(0, 2) != "DR" || !IsDigits(token.substr(3))) return false;
    const std::size_t slot = token[2] == 'D' ? 0 : token[2] == 'H' ? 1 : token[2] == 'N' ? 2 : 3;
    if (slot == 3) return false;
    std::string digits = "000000";
    if (!hourlyBlocks) digits.replace(2 * slot, 2, token.substr(3));
    out += '\x04';
    out += '\x18';
    return AppendBcdValue(digits, 0, 3, out);
}

std::vector<std::string_view> Tokens(std::string_view text)
{
    std::vector<std::string_view> tokens;
    for (std::string_view t : SplitText(text, ' ')) {
        if (!t.empty()) tokens.push_back(t);
    }
    return tokens;
}

bool IsFiveMinuteName(std::string_view name)
{
    const auto id = BinaryIdentifierOf(name);
    return id && id->code >= binary_id::kFiveMinuteRain && id->code <= binary_id::kFiveMinuteLevel8;
}

// A name followed by a number: the identifier, its definition byte and BCD.
// The usual definition byte is used when the value fits it. "M" is no value.
bool AppendNumberElement(std::string_view name, std::string_view value, std::string& out)
{
    std::uint16_t id = 0;
    std::uint8_t def = 0;
    if (const auto known = BinaryIdentifierOf(name)) {
        // Groups and blocks (TT, ST, RGZS, PIC, DATA) are no numbers.
        if (known->code >= binary_id::kObservationTime) return false;
        id = known->code;
        def = known->usualDefinition;
    } else if ((name.size() == 2 || (name.size() == 4 && name.substr(0, 2) == "FF")) && IsHexText(name)) {
        std::uint8_t bytes[2] = {};
        HexTextToBytes(name, bytes, 2);
        id = name.size() == 4 ? static_cast<std::uint16_t>(0xFF00 | bytes[1]) : bytes[0];
    } else {
        return false;
    }
    if (id > 0xFF) out += '\xFF';
    out += static_cast<char>(id & 0xFF);
    if (value == "M") {
        if (def == 0) def = 0x08;
        out += static_cast<char>(def);
        out.append(def >> 3, '\xFF');
        return true;
    }
    std::string bcd;
    if (def == 0 || !AppendBcdValue(value, def & 7, def >> 3, bcd)) {
        def = DefinitionFor(value);
        if (def == 0 || !AppendBcdValue(value, def & 7, def >> 3, bcd)) return false;
    }
    out += static_cast<char>(def);
    out += bcd;
    return true;
}

// The command text of a downlink frame as binary body bytes.
TwinBuild CommandBody(std::uint8_t function, std::string_view text, std::string& out)
{
    const std::vector<std::string_view> tokens = Tokens(text);
    switch (function) {
    case 0x36: case 0x37: case 0x39: case 0x44: case 0x45: case 0x46: case 0x4A: case 0x50: case 0x51:
        return TwinBuild::kBuilt;
    case 0x47: case 0x48: {
        std::uint8_t code = 0;
        if (tokens.size() != 1 || !HexBytes(tokens[0], &code, 1)) return TwinBuild::kBadBody;
        out += static_cast<char>(code);
        out += '\0';
        return TwinBuild::kBuilt;
    }
    case 0x38: {
        // Start and end hour, the time step and the element. A station
        // answers a DRP or DRZ query with hourly blocks, asked for with the
        // step 00 00 00.
        if (tokens.size() != 3 || tokens[0].size() != 16 || !IsDigits(tokens[0])) return TwinBuild::kBadBody;
        const auto id = BinaryIdentifierOf(tokens[2]);
        if (!id || !AppendBcdValue(tokens[0], 0, 8, out) ||
            !AppendTimeStepCode(tokens[1], IsFiveMinuteName(tokens[2]), out)) {
            return TwinBuild::kBadBody;
        }
        out += static_cast<char>(id->code);
        out += static_cast<char>(id->usualDefinition);
        return TwinBuild::kBuilt;
    }
    case 0x3A:
        for (std::string_view name : tokens) {
            const auto id = BinaryIdentifierOf(name);
            if (!id || id->usualDefinition == 0) return TwinBuild::kBadBody;
            out += static_cast<char>(id->code);
            out += static_cast<char>(id->usualDefinition);
        }
        return TwinBuild::kBuilt;
    case 0x41: case 0x43:
        for (std::string_view token : tokens) {
            std::uint8_t id = 0;
            if (!HexBytes(token, &id, 1)) return TwinBuild::kBadBody;
            out += static_cast<char>(id);
            out += static_cast<char>(function == 0x41 ? BaseParameterDefinition(id) : RunParameterDefinition(id));
        }
        return TwinBuild::kBuilt;
    case 0x42: case 0x49:
        if (tokens.size() % 2 != 0) return TwinBuild::kBadBody;
        for (std::size_t i = 0; i < tokens.size(); i += 2) {
            std::uint8_t id = 0;
            if (!HexBytes(tokens[i], &id, 1)) return TwinBuild::kBadBody;
            out += static_cast<char>(id);
            if (function == 0x49) {
                // Passwords are 2 binary bytes, written as 4 hexadecimal digits.
                std::uint8_t password[2];
                if (id != 0x03 || !HexBytes(tokens[i + 1], password, 2)) return TwinBuild::kBadBody;
                out += '\x10';
                out += static_cast<char>(password[0]);
                out += static_cast<char>(password[1]);
                continue;
            }
            std::uint8_t def = RunParameterDefinition(id);
            std::string bcd;
            if (def == 0 || !AppendBcdValue(tokens[i + 1], def & 7, def >> 3, bcd)) {
                def = DefinitionFor(tokens[i + 1]);
                if (def == 0 || !AppendBcdValue(tokens[i + 1], def & 7, def >> 3, bcd)) return TwinBuild::kBadBody;
            }
            out += static_cast<char>(def);
            out += bcd;
        }
        return TwinBuild::kBuilt;
    default:
        // The base configuration (40), the picture request and upgrade and
        // restart commands of the text encoding have no binary form here.
        return TwinBuild::kUnsupported;
    }
}

}  // namespace

const char* TwinBuildText(TwinBuild result)
{
    switch (result) {
    case TwinBuild::kBuilt: return "built";
    case TwinBuild::kNotUplink: return "not an uplink frame";
    case TwinBuild::kBadBody: return "body not decodable";
    case TwinBuild::kTooLong: return "too long";
    case TwinBuild::kUnsupported: return "no counterpart in the other encoding";
    case TwinBuild::kBadFrame: return "malformed frame";
    }
    return "?";
}

TwinBuild BuildTextTwin(const BinaryFrame& frame, std::string& out)
{
    out.clear();
    if (frame.direction != BinaryDirection::kUp) return TwinBuild::kNotUplink;
    out.reserve(kHeaderBytes + 2 * frame.body.size() + 64);
    out += kSoh;
    AppendHexNumber(out, frame.centre, 2);
    out += StationAddressText(frame.station);
    AppendHexNumber(out, frame.password, 4);
    AppendHexNumber(out, frame.functionCode, 2);
    out += "0000";  // direction and length, filled in below
    out += static_cast<char>(frame.startOfBody);
    if (const TwinBuild r = TwinBody(frame, out); r != TwinBuild::kBuilt) {
        out.clear();
        return r;
    }
    const std::size_t length = out.size() - kHeaderBytes;
    if (length > kTextMaxBody) {
        out.clear();
        return TwinBuild::kTooLong;
    }
    out.replace(20, 3, std::string(1, kUpperDigits[(length >> 8) & 0xF]) + kUpperDigits[(length >> 4) & 0xF] +
                           kUpperDigits[length & 0xF]);
    out += static_cast<char>(frame.end);
    AppendHexNumber(out, CalcCrc16(out), 4);
    return TwinBuild::kBuilt;
}

TwinBuild BinaryDownlinkOf(std::string_view textFrame, std::uint8_t acknowledgementEnd, std::string& out)
{
    out.clear();
    TextFrame text;
    BinaryFrame frame;
    if (!ReadTextFrame(textFrame, true, text) || text.startOfBody != kStx) return TwinBuild::kBadFrame;
    if (!BinaryHeaderOf(text, BinaryDirection::kDown, frame)) return TwinBuild::kBadFrame;
    frame.startOfBody = binary_byte::kStx;
    frame.end = text.end == kAck ? acknowledgementEnd : static_cast<std::uint8_t>(text.end);
    std::string body;
    if (!AppendBinaryHead(text.body, body)) return TwinBuild::kBadBody;
    // An acknowledgement is the serial number and time alone.
    if (text.end != kAck) {
        const TwinBuild r = CommandBody(frame.functionCode, text.body.substr(kCommandPrefixBytes), body);
        if (r != TwinBuild::kBuilt) return r;
    }
    return EncodeBinaryFrame(frame, body, out) ? TwinBuild::kBuilt : TwinBuild::kTooLong;
}

TwinBuild BinaryUplinkOf(std::string_view textFrame, std::string& out)
{
    out.clear();
    TextFrame text;
    BinaryFrame frame;
    if (!ReadTextFrame(textFrame, false, text)) return TwinBuild::kBadFrame;
    if (text.startOfBody != kStx) return TwinBuild::kUnsupported;
    if (!BinaryHeaderOf(text, BinaryDirection::kUp, frame)) return TwinBuild::kBadFrame;
    frame.startOfBody = binary_byte::kStx;
    frame.end = static_cast<std::uint8_t>(text.end);
    std::string body;
    if (!AppendBinaryHead(text.body, body)) return TwinBuild::kBadBody;
    const std::string_view rest = text.body.substr(kCommandPrefixBytes);
    const std::vector<std::string_view> tokens = Tokens(rest);
    const bool seriesReport = frame.functionCode == 0x31 || frame.functionCode == 0x38;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string_view name = tokens[i];
        const bool hasValue = i + 1 < tokens.size();
        if (name == "RGZS") {
            const std::size_t at = rest.find("RGZS ");
            std::string_view entry = rest.substr(at + 5);
            while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
            body += "\xF2\xF2";
            body.append(entry.data(), entry.size());
            break;
        }
        if (name == "ST" && hasValue) {
            std::uint8_t address[5];
            if (!HexBytes(tokens[++i], address, 5)) return TwinBuild::kBadBody;
            body += "\xF1\xF1";
            body.append(reinterpret_cast<const char*>(address), 5);
            if (i + 1 < tokens.size() && tokens[i + 1].size() == 1) body += tokens[++i][0];
        } else if (name == "TT" && hasValue) {
            body += "\xF0\xF0";
            if (tokens[i + 1].size() != 10 || !AppendBcdValue(tokens[++i], 0, 5, body)) return TwinBuild::kBadBody;
        } else if (AppendTimeStepCode(name, false, body)) {
            // The rest of a uniform-interval report is one element and its values.
            if (seriesReport && hasValue) {
                const auto id = BinaryIdentifierOf(tokens[++i]);
                if (!id || id->usualDefinition == 0) return TwinBuild::kBadBody;
                body += static_cast<char>(id->code);
                body += static_cast<char>(id->usualDefinition);
                const bool blocks = IsFiveMinuteName(tokens[i]);
                for (++i; i < tokens.size(); ++i) {
                    if (blocks) {
                        // Hourly blocks are hexadecimal bytes, as in the hourly report.
                        const std::size_t n = tokens[i].size() / 2;
                        const std::size_t at = body.size();
                        body.resize(at + n);
                        if (!HexBytes(tokens[i], reinterpret_cast<std::uint8_t*>(&body[at]), n)) {
                            return TwinBuild::kBadBody;
                        }
                    } else if (tokens[i] == "M") {
                        body.append(id->usualDefinition >> 3, '\xFF');
                    } else if (!AppendBcdValue(tokens[i], id->usualDefinition & 7, id->usualDefinition >> 3, body)) {
                        return TwinBuild::kBadBody;
                    }
                }
            }
        } else if ((IsFiveMinuteName(name) || name == "ZT") && hasValue) {
            const auto id = BinaryIdentifierOf(name);
            const std::string_view hex = tokens[++i];
            const std::size_t size = id->usualDefinition >> 3;
            std::uint8_t bytes[kFiveMinuteLevelBytes];
            if (!HexBytes(hex, bytes, size)) return TwinBuild::kBadBody;
            body += static_cast<char>(id->code);
            body += static_cast<char>(id->usualDefinition);
            body.append(reinterpret_cast<const char*>(bytes), size);
        } else if (!hasValue || !AppendNumberElement(name, tokens[++i], body)) {
            return TwinBuild::kBadBody;
        }
    }
    return EncodeBinaryFrame(frame, body, out) ? TwinBuild::kBuilt : TwinBuild::kTooLong;
}

}  // namespace rtu
