// The limiter of repeated log lines: one line per key per interval, and
// every line held back is counted somewhere.
#include "rtu/common/RateLimitedLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rtu {
namespace {

TEST(RateLimitedLog, OneLinePerKeyPerIntervalAndEveryHeldBackLineIsCountedOnce)
{
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    std::vector<std::string> written;
    RateLimitedLog log([&] { return now; },
                       [&](log4cplus::LogLevel, const std::string& line) { written.push_back(line); });
    const auto at = [&](int seconds) { now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1) +
                                             std::chrono::seconds(seconds); };
    const auto line = [&](const std::string& key, const std::string& text) {
        std::uint64_t held = 0;
        if (log.Admit(key, log4cplus::DEBUG_LOG_LEVEL, held)) log.Write(log4cplus::DEBUG_LOG_LEVEL, text, held);
    };

    for (int second = 0; second < 5; ++second) {
        at(second);
        line("connection 1: wrong check code", "bad 1");
    }
    at(1);
    line("connection 2: wrong check code", "bad 2");  // another peer is not silenced
    at(9);
    log.Flush();  // the interval of connection 1 has not passed
    EXPECT_EQ(written, (std::vector<std::string>{"bad 1", "bad 2"}));

    at(10);
    log.Flush();
    at(12);
    line("connection 1: wrong check code", "bad 1");  // within the interval the flush opened
    at(20);
    line("connection 1: wrong check code", "bad 1");
    at(40);
    log.Flush();  // nothing held back: nothing written, the keys are forgotten
    line("connection 1: wrong check code", "bad 1");
    EXPECT_EQ(written, (std::vector<std::string>{"bad 1", "bad 2", "connection 1: wrong check code: 4 more in the last 10 s",
                                                 "bad 1 (1 more like it held back before)", "bad 1"}));
}

}  // namespace
}  // namespace rtu
