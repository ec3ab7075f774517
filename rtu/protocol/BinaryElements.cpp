#include "rtu/protocol/BinaryElements.h"

#include "rtu/protocol/BinaryIdentifiers.h"

namespace rtu {
namespace {

std::uint8_t At(std::string_view bytes, std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); }

bool AllBytes(std::string_view bytes, std::uint8_t b)
{
    for (char c : bytes) {
        if (static_cast<std::uint8_t>(c) != b) return false;
    }
    return true;
}

bool IsFiveMinuteBlock(std::uint8_t id)
{
    return id >= binary_id::kFiveMinuteRain && id <= binary_id::kFiveMinuteLevel8;
}

std::size_t FiveMinuteBlockBytes(std::uint8_t id)
{
    return id == binary_id::kFiveMinuteRain ? kFiveMinuteRainBytes : kFiveMinuteLevelBytes;
}

// Sign, integer digits and decimal digits of a plain decimal text.
struct NumberText {
    bool negative = false;
    std::string_view whole;
    std::string_view fraction;
};

bool SplitNumber(std::string_view text, NumberText& n)
{
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        n.negative = text[0] == '-';
        text.remove_prefix(1);
    }
    const std::size_t point = text.find('.');
    n.whole = text.substr(0, point);
    n.fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (n.whole.empty() && n.fraction.empty()) return false;
    for (std::string_view part : {n.whole, n.fraction}) {
        for (char c : part) {
            if (c < '0' || c > '9') return false;
        }
    }
    return true;
}

}  // namespace

bool BcdDigits(std::string_view bytes, std::string& digits)
{
    for (char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if ((b >> 4) > 9 || (b & 0xF) > 9) return false;
        digits.push_back(static_cast<char>('0' + (b >> 4)));
        digits.push_back(static_cast<char>('0' + (b & 0xF)));
    }
    return true;
}

BcdStatus AppendBcdNumber(std::string_view bytes, int decimals, std::string& text)
{
    if (bytes.empty()) return BcdStatus::kInvalid;
    // All FF is checked before the sign: FF FF FF FF is no value, not "-".
    if (AllBytes(bytes, 0xFF) || AllBytes(bytes, 0xAA)) return BcdStatus::kMissing;
    const bool negative = At(bytes, 0) == 0xFF;
    if (negative) bytes.remove_prefix(1);
    std::string digits;
    digits.reserve(2 * bytes.size() + 8);
    if (!BcdDigits(bytes, digits)) return BcdStatus::kInvalid;
    const auto d = static_cast<std::size_t>(decimals);
    if (digits.size() <= d) digits.insert(0, d + 1 - digits.size(), '0');
    std::size_t first = 0;
    while (first + 1 < digits.size() - d && digits[first] == '0') ++first;
    if (negative) text.push_back('-');
    text.append(digits, first, digits.size() - d - first);
    if (d > 0) {
        text.push_back('.');
        text.append(digits, digits.size() - d, d);
    }
    return BcdStatus::kValue;
}

bool AppendBcdValue(std::string_view text, int decimals, std::size_t size, std::string& out)
{
    NumberText n;
    if (size == 0 || !SplitNumber(text, n) || n.fraction.size() > static_cast<std::size_t>(decimals)) return false;
    std::string digits(n.whole);
    digits.append(n.fraction);
    digits.append(static_cast<std::size_t>(decimals) - n.fraction.size(), '0');
    const std::size_t magnitudeBytes = n.negative ? size - 1 : size;
    while (digits.size() > 2 * magnitudeBytes && digits[0] == '0') digits.erase(0, 1);
    if (digits.size() > 2 * magnitudeBytes || (n.negative && magnitudeBytes == 0)) return false;
    digits.insert(0, 2 * magnitudeBytes - digits.size(), '0');
    if (n.negative) out.push_back(static_cast<char>(0xFF));
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<char>((digits[i] - '0') << 4 | (digits[i + 1] - '0')));
    }
    return true;
}

std::uint8_t DefinitionFor(std::string_view text)
{
    NumberText n;
    if (!SplitNumber(text, n) || n.fraction.size() > 7) return 0;
    std::size_t digits = n.whole.size() + n.fraction.size();
    std::size_t bytes = (digits + 1) / 2 + (n.negative ? 1 : 0);
    if (bytes == 0) bytes = 1;
    if (bytes > 31) return 0;
    return static_cast<std::uint8_t>(bytes << 3 | n.fraction.size());
}

BinaryBodyLayout BodyLayoutOf(std::uint8_t functionCode)
{
    switch (functionCode) {
    case 0x2F: return BinaryBodyLayout::kHeadOnly;
    case 0x30: case 0x31: case 0x32: case 0x33: case 0x34: case 0x36: case 0x37: case 0x38: case 0x3A:
    case 0x44:
        return BinaryBodyLayout::kReport;
    case 0x35: case 0x39: return BinaryBodyLayout::kManual;
    case 0x40: case 0x41: case 0x42: case 0x43: case 0x49: return BinaryBodyLayout::kParameters;
    case 0x45: return BinaryBodyLayout::kVersion;
    default: return BinaryBodyLayout::kStation;
    }
}

const char* BodyDecodeText(BodyDecode result)
{
    switch (result) {
    case BodyDecode::kOk: return "ok";
    case BodyDecode::kTooShort: return "body shorter than serial number and send time";
    case BodyDecode::kBadSendTime: return "send time is not BCD";
    case BodyDecode::kBadStation: return "no station group";
    case BodyDecode::kTruncated: return "element runs past the body";
    case BodyDecode::kBadSeries: return "series of empty values";
    }
    return "?";
}

bool SendTimeDigitsOf(const BinaryBody& body, std::string& digits)
{
    return BcdDigits(std::string_view(reinterpret_cast<const char*>(body.sendTime.data()), body.sendTime.size()),
                     digits);
}

namespace {

class BodyReader {
public:
    BodyReader(std::uint8_t functionCode, BinaryBodyLayout layout, std::string_view body, BinaryBody& out)
        : functionCode_(functionCode), layout_(layout), body_(body), out_(out)
    {
    }

    BodyDecode Run();

private:
    std::size_t Left() const { return body_.size() - pos_; }
    BodyDecode Station(bool withKind);
    BodyDecode Elements(bool parameters);
    void Add(BinaryElementKind kind, std::uint16_t id, std::uint8_t def, std::size_t at, std::size_t size,
             std::size_t groupBytes = 0)
    {
        out_.elements.push_back(BinaryElement{kind, id, def, body_.substr(at, size), groupBytes});
    }

    const std::uint8_t functionCode_;
    const BinaryBodyLayout layout_;
    const std::string_view body_;
    BinaryBody& out_;
    std::size_t pos_ = 0;
};

BodyDecode BodyReader::Run()
{
    if (body_.size() < 8) return BodyDecode::kTooShort;
    out_.serial = static_cast<std::uint16_t>(At(body_, 0) << 8 | At(body_, 1));
    for (std::size_t i = 0; i < 6; ++i) out_.sendTime[i] = At(body_, 2 + i);
    std::string digits;
    if (!SendTimeDigitsOf(out_, digits)) return BodyDecode::kBadSendTime;
    pos_ = 8;
    switch (layout_) {
    case BinaryBodyLayout::kHeadOnly:
        out_.text = body_.substr(pos_);
        return BodyDecode::kOk;
    case BinaryBodyLayout::kManual:
        return Elements(false);
    case BinaryBodyLayout::kReport:
        if (const BodyDecode r = Station(true); r != BodyDecode::kOk) return r;
        return Elements(false);
    case BinaryBodyLayout::kParameters:
        if (const BodyDecode r = Station(false); r != BodyDecode::kOk) return r;
        return Elements(true);
    case BinaryBodyLayout::kVersion: {
        if (const BodyDecode r = Station(false); r != BodyDecode::kOk) return r;
        if (Left() < 1) return BodyDecode::kTruncated;
        const std::size_t n = At(body_, pos_);
        if (Left() < 1 + n) return BodyDecode::kTruncated;
        out_.text = body_.substr(pos_ + 1, n);
        return BodyDecode::kOk;
    }
    case BinaryBodyLayout::kStation:
        // Answers without a station group are kept as they are.
        if (Left() >= 1 && At(body_, pos_) == binary_id::kStationAddress) {
            if (const BodyDecode r = Station(false); r != BodyDecode::kOk) return r;
        }
        if (functionCode_ == 0x46 || functionCode_ == 0x4B) return Elements(false);
        out_.text = body_.substr(pos_);
        return BodyDecode::kOk;
    }
    return BodyDecode::kOk;
}

// F1 F1 + 5 address bytes (+ the kind byte); also F1 + 5 bytes without the
// second F1, which some stations send.
BodyDecode BodyReader::Station(bool withKind)
{
    if (Left() < 6 || At(body_, pos_) != binary_id::kStationAddress) {
        return BodyDecode::kBadStation;
    }
    std::size_t at = pos_ + 1;
    if (At(body_, at) == binary_id::kStationAddress && Left() >= 7) ++at;
    if (body_.size() - at < 5) return BodyDecode::kBadStation;
    for (std::size_t i = 0; i < 5; ++i) out_.station[i] = At(body_, at + i);
    out_.hasStation = true;
    pos_ = at + 5;
    if (withKind && Left() >= 1 && At(body_, pos_) != binary_id::kObservationTime) {
        out_.kind = At(body_, pos_);
        out_.hasKind = true;
        ++pos_;
    }
    return BodyDecode::kOk;
}

BodyDecode BodyReader::Elements(bool parameters)
{
    const bool series = functionCode_ == 0x31 || functionCode_ == 0x38;
    bool stepSeen = false;
    while (pos_ < body_.size()) {
        std::uint16_t id = At(body_, pos_++);
        if (id == binary_id::kExtension) {
            if (Left() < 1) return BodyDecode::kTruncated;
            id = static_cast<std::uint16_t>(0xFF00 | At(body_, pos_++));
        }
        if (Left() < 1) return BodyDecode::kTruncated;
        const std::uint8_t def = At(body_, pos_++);
        const std::size_t at = pos_;
        std::size_t size = def >> 3;
        BinaryElementKind kind = parameters ? BinaryElementKind::kParameter : BinaryElementKind::kNumber;
        if (id == binary_id::kManualEntry || id == binary_id::kPicture || id == binary_id::kBulkData) {
            Add(BinaryElementKind::kRest, id, def, at, Left());
            pos_ = body_.size();
            return BodyDecode::kOk;
        }
        if (parameters) {
            // The relay range of the base configuration counts its bytes in
            // the whole definition byte.
            if (id == 0x0E && (functionCode_ == 0x40 || functionCode_ == 0x41)) size = def;
        } else if (series && stepSeen) {
            const std::size_t group = id <= 0xFF && IsFiveMinuteBlock(static_cast<std::uint8_t>(id))
                                          ? FiveMinuteBlockBytes(static_cast<std::uint8_t>(id))
                                          : size;
            if (group == 0) return BodyDecode::kBadSeries;
            // An incomplete last group is not a value.
            Add(BinaryElementKind::kSeries, id, def, at, Left() / group * group, group);
            pos_ = body_.size();
            return BodyDecode::kOk;
        } else if (id == binary_id::kObservationTime) {
            kind = BinaryElementKind::kObservationTime;
            if (def == binary_id::kObservationTime) size = 5;
        } else if (id <= 0xFF && IsFiveMinuteBlock(static_cast<std::uint8_t>(id))) {
            size = FiveMinuteBlockBytes(static_cast<std::uint8_t>(id));
            kind = id == binary_id::kFiveMinuteRain ? BinaryElementKind::kFiveMinuteRain
                                                    : BinaryElementKind::kFiveMinuteLevel;
        } else if (id == binary_id::kTimeStep) {
            kind = BinaryElementKind::kTimeStep;
            stepSeen = true;
        } else if (id == binary_id::kStateWord) {
            kind = BinaryElementKind::kStateWord;
        }
        if (Left() < size) return BodyDecode::kTruncated;
        Add(kind, id, def, at, size);
        pos_ += size;
    }
    return BodyDecode::kOk;
}

}  // namespace

BodyDecode DecodeBinaryBody(std::uint8_t functionCode, std::string_view body, BinaryBody& out)
{
    out = BinaryBody{};
    return BodyReader(functionCode, BodyLayoutOf(functionCode), body, out).Run();
}

BodyDecode DecodeBinaryBody(const BinaryFrame& frame, BinaryBody& out)
{
    out = BinaryBody{};
    const BinaryBodyLayout layout =
        frame.direction == BinaryDirection::kDown ? BinaryBodyLayout::kHeadOnly : BodyLayoutOf(frame.functionCode);
    return BodyReader(frame.functionCode, layout, frame.body, out).Run();
}

}  // namespace rtu
