#include "rtu/protocol/HexText.h"

#include <algorithm>

namespace rtu {
namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";

void AppendHex2(std::string& out, unsigned char byte)
{
    out.push_back(kUpperDigits[byte >> 4]);
    out.push_back(kUpperDigits[byte & 0x0F]);
}

// The lenient nibble rule of HexTextToBytes.
int LenientNibble(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9') {
        return u - '0';
    }
    const int upper = (u >= 'a' && u <= 'z') ? u - ('a' - 'A') : u;
    return upper - 55;
}

}  // namespace

std::string BytesToHexText(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        AppendHex2(out, static_cast<unsigned char>(c));
    }
    return out;
}

std::size_t HexTextToBytes(std::string_view text, std::uint8_t* out, std::size_t capacity)
{
    std::size_t n = text.size() / 2;
    if (n > capacity) {
        n = capacity;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const int value = LenientNibble(text[2 * i]) * 16 + LenientNibble(text[2 * i + 1]);
        out[i] = static_cast<std::uint8_t>(value & 0xFF);
    }
    return n;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool IsHexText(std::string_view text)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    for (char c : text) {
        if (HexDigitValue(c) < 0) {
            return false;
        }
    }
    return true;
}

std::string ByteToHex2(std::uint8_t byte)
{
    std::string out;
    AppendHex2(out, byte);
    return out;
}

std::string HexDumpText(std::string_view bytes, int width)
{
    std::size_t perLine = width > 3 ? static_cast<std::size_t>((width - 1) / 3) : 1;
    std::string out;
    if (bytes.empty()) {
        return out;
    }
    const std::size_t lines = (bytes.size() + perLine - 1) / perLine;
    out.reserve(lines * (perLine * 4 + 4));
    for (std::size_t start = 0; start < bytes.size(); start += perLine) {
        const std::size_t end = std::min(bytes.size(), start + perLine);
        for (std::size_t i = start; i < end; ++i) {
            AppendHex2(out, static_cast<unsigned char>(bytes[i]));
            out.push_back(' ');
        }
        out.append((perLine - (end - start)) * 3, ' ');
        out.append(" - ");
        for (std::size_t i = start; i < end; ++i) {
            const auto u = static_cast<unsigned char>(bytes[i]);
            out.push_back(u >= 0x20 && u < 0x7F ? static_cast<char>(u) : '.');
        }
        out.push_back('\n');
    }
    return out;
}

}  // namespace rtu
