#include "linkcore/socketserver/Trace.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unistd.h>

namespace linkcore {

namespace {

std::mutex& TraceLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

bool TraceEnabled()
{
    static const bool enabled = [] {
        const char* value = std::getenv("LINKCORE_TRACE");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

void Trace(const std::string& text)
{
    if (!TraceEnabled()) {
        return;
    }
    std::string line = std::to_string(static_cast<long>(::gettid()));
    line += ": ";
    line += text;
    line += '\n';
    std::lock_guard<std::mutex> guard(TraceLock());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void Trace(const char* text)
{
    if (TraceEnabled()) {
        Trace(std::string(text));
    }
}

std::string SystemErrorText(int error)
{
    char storage[512];
    storage[0] = '\0';
    // The GNU strerror_r may return a static text instead of filling storage.
    const char* text = ::strerror_r(error, storage, sizeof(storage));
    std::string result = text != nullptr ? text : "";
    result += '\n';
    return result;
}

std::string PointerText(const void* pointer)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%016" PRIXPTR, reinterpret_cast<std::uintptr_t>(pointer));
    return text;
}

}  // namespace linkcore
