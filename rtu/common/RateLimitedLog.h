// Lines that bad input from the network can repeat without end (refused
// frames, refused registrations, a full queue) go through a limiter: at most
// one line per key every 10 seconds. The lines held back are counted; the
// next line of the key says how many there were, and a periodic Flush writes
// the count of a key that went quiet, so no refusal goes unreported and no
// peer can flood the log.
//
// A key names what was refused and from whom ("connection 12: wrong check
// code"), so one peer cannot silence the lines about another.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include <log4cplus/loglevel.h>

namespace rtu {

class RateLimitedLog {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Now = std::function<TimePoint()>;
    // Writes one finished line at a log4cplus level.
    using Writer = std::function<void(log4cplus::LogLevel level, const std::string& line)>;

    static constexpr std::chrono::seconds kInterval{10};
    // Keys remembered at most; beyond it the quiet ones are forgotten first,
    // and a new key is admitted only after that.
    static constexpr std::size_t kMaxKeys = 4096;

    RateLimitedLog(Now now, Writer writer, std::chrono::steady_clock::duration interval = kInterval);

    // True when a line of `key` may be written now; `heldBack` is then the
    // number of lines of the key held back since its last written line.
    // False (and the line counted) when the key had a line less than an
    // interval ago.
    bool Admit(const std::string& key, log4cplus::LogLevel level, std::uint64_t& heldBack);

    // Writes an admitted line, followed by the count held back before it.
    void Write(log4cplus::LogLevel level, const std::string& line, std::uint64_t heldBack);

    // The clock; tests replace it.
    void SetClock(Now now);

    // For each key whose interval has passed with lines held back: one line
    // "KEY: N more in the last S s". Keys quiet for a whole interval are
    // forgotten.
    void Flush();

private:
    struct Entry {
        TimePoint lastWritten;
        std::uint64_t heldBack = 0;
        log4cplus::LogLevel level = log4cplus::DEBUG_LOG_LEVEL;
    };

    void ForgetQuietLocked(TimePoint now);

    Now now_;
    Writer writer_;
    const std::chrono::steady_clock::duration interval_;
    std::mutex refusalLogLock_;
    std::map<std::string, Entry> entries_;
    std::uint64_t overflowHeld_ = 0;  // lines refused a key because the map was full
};

// The program's limiter: lines go to the logger "MAIN".
RateLimitedLog& RefusalLog();

}  // namespace rtu

// Stream-style, at most one line per key every 10 s:
// RTU_LOG_LIMITED(log4cplus::DEBUG_LOG_LEVEL, "connection " + id + ": bad check code", "..." << station);
#define RTU_LOG_LIMITED(level, key, expr)                                         \
    do {                                                                          \
        std::uint64_t rtuHeldBack_ = 0;                                           \
        if (::rtu::RefusalLog().Admit((key), (level), rtuHeldBack_)) {            \
            std::ostringstream rtuLine_;                                          \
            rtuLine_ << expr;                                                     \
            ::rtu::RefusalLog().Write((level), rtuLine_.str(), rtuHeldBack_);     \
        }                                                                         \
    } while (false)
