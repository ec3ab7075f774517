#include "rtu/uplink/StatementTarget.h"

#include "rtu/storage/SqlDialect.h"

#include <cstdarg>
#include <cstdio>

namespace rtu {

std::string SqlText(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(needed));
    }
    va_end(args);
    return text;
}

std::string RefreshStatement(const std::vector<std::string>& storageNumbers)
{
    std::string list;
    for (const std::string& number : storageNumbers) {
        if (!list.empty()) list += ',';
        list += "'" + storage::SqlEscape(number) + "'";
    }
    return SqlText("update DeviceInfo set RefreshDate = GETDATE() where YCZNo in (%s)", list.c_str());
}

}  // namespace rtu
