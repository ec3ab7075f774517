#include "rtu/common/RateLimitedLog.h"

#include <utility>
#include <vector>

#include "rtu/common/Log.h"

namespace rtu {

RateLimitedLog::RateLimitedLog(Now now, Writer writer, std::chrono::steady_clock::duration interval)
    : now_(std::move(now)), writer_(std::move(writer)), interval_(interval)
{
}

void RateLimitedLog::SetClock(Now now)
{
    std::lock_guard<std::mutex> lock(refusalLogLock_);
    now_ = std::move(now);
}

bool RateLimitedLog::Admit(const std::string& key, log4cplus::LogLevel level, std::uint64_t& heldBack)
{
    std::lock_guard<std::mutex> lock(refusalLogLock_);
    const TimePoint now = now_();
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        if (entries_.size() >= kMaxKeys) ForgetQuietLocked(now);
        if (entries_.size() >= kMaxKeys) {
            ++overflowHeld_;
            return false;
        }
        entries_.emplace(key, Entry{now, 0, level});
        heldBack = 0;
        return true;
    }
    Entry& entry = it->second;
    if (now - entry.lastWritten < interval_) {
        ++entry.heldBack;
        entry.level = level;
        return false;
    }
    heldBack = std::exchange(entry.heldBack, 0);
    entry.lastWritten = now;
    entry.level = level;
    return true;
}

void RateLimitedLog::Write(log4cplus::LogLevel level, const std::string& line, std::uint64_t heldBack)
{
    if (heldBack == 0) {
        writer_(level, line);
        return;
    }
    writer_(level, line + " (" + std::to_string(heldBack) + " more like it held back before)");
}

void RateLimitedLog::Flush()
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval_).count();
    std::vector<std::pair<log4cplus::LogLevel, std::string>> lines;
    {
        std::lock_guard<std::mutex> lock(refusalLogLock_);
        const TimePoint now = now_();
        for (auto& [key, entry] : entries_) {
            if (entry.heldBack == 0 || now - entry.lastWritten < interval_) continue;
            lines.emplace_back(entry.level, key + ": " + std::to_string(entry.heldBack) + " more in the last " +
                                                std::to_string(seconds) + " s");
            entry.heldBack = 0;
            entry.lastWritten = now;
        }
        if (overflowHeld_ != 0) {
            lines.emplace_back(log4cplus::ERROR_LOG_LEVEL,
                               std::to_string(std::exchange(overflowHeld_, 0)) +
                                   " log lines of too many different peers held back");
        }
        ForgetQuietLocked(now);
    }
    // Written outside the lock: an appender may be slow.
    for (const auto& [level, line] : lines) writer_(level, line);
}

void RateLimitedLog::ForgetQuietLocked(TimePoint now)
{
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.heldBack == 0 && now - it->second.lastWritten >= interval_)
            it = entries_.erase(it);
        else
            ++it;
    }
}

RateLimitedLog& RefusalLog()
{
    static RateLimitedLog log([] { return std::chrono::steady_clock::now(); },
                              [](log4cplus::LogLevel level, const std::string& line) {
                                  MainLogger().log(level, LOG4CPLUS_STRING_TO_TSTRING(line));
                              });
    return log;
}

}  // namespace rtu
