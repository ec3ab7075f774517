#include "rtu/control/RemarkText.h"

namespace rtu::control {

std::string EscapeRemark(std::string_view remark)
{
    std::string stored;
    stored.reserve(remark.size());
    for (std::size_t i = 0; i < remark.size(); ++i) {
        const char c = remark[i];
        if (c == '\r') {
            stored += "\\r";
        } else if (c == '\n') {
            stored += "\\n";
        } else if (c == '\\') {
            stored += "\\\\";
        } else if (c == '[' && i == 0) {
            stored += "\\[";
        } else {
            stored += c;
        }
    }
    return stored;
}

std::string UnescapeRemark(std::string_view stored)
{
    std::string remark;
    remark.reserve(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const char c = stored[i];
        if (c == '\\' && i + 1 < stored.size()) {
            const char next = stored[i + 1];
            const char plain = next == 'r' ? '\r' : next == 'n' ? '\n' : next == '\\' ? '\\' : next == '[' ? '[' : 0;
            if (plain != 0) {
                remark += plain;
                ++i;
                continue;
            }
        }
        remark += c;
    }
    return remark;
}

std::size_t CharacterCount(std::string_view text)
{
    std::size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

RemarkField RemarkFieldOverLimit(std::string_view conversionId, std::string_view remark)
{
    if (CharacterCount(conversionId) > kConversionIdLimit) return RemarkField::kConversionId;
    if (CharacterCount(remark) > kRemarkLimit) return RemarkField::kRemark;
    return RemarkField::kNone;
}

}  // namespace rtu::control
