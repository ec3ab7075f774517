// The decisions of the scheduled restart, with the new process simulated.
#include "rtu/runtime/ScheduledRestart.h"

#include "tests/runtime/PicturesTestSupport.h"

#include <gtest/gtest.h>

#include <climits>

namespace rtu::pictures_test {
namespace {

using namespace std::chrono_literals;
using TimePoint = ScheduledRestart::Clock::time_point;

class ScheduledRestartTest : public ::testing::Test {
protected:
    ScheduledRestart::Hooks Hooks()
    {
        ScheduledRestart::Hooks hooks;
        hooks.isReceivingImage = [this] { return receiving_; };
        hooks.stopService = [this] { calls_.push_back("stop"); };
        hooks.startService = [this] { calls_.push_back("start"); };
        hooks.spawn = [this](std::string& error) {
            calls_.push_back("spawn");
            if (!spawnWorks_) error = "no such file";
            return spawnWorks_;
        };
        hooks.requestExit = [this](int code) { calls_.push_back("exit " + std::to_string(code)); };
        return hooks;
    }

    const TimePoint start_{std::chrono::hours(10)};
    bool receiving_ = false;
    bool spawnWorks_ = true;
    std::vector<std::string> calls_;
};

TEST_F(ScheduledRestartTest, TheProgramRestartsOnePeriodAfterStartAndEndsWithCode16)
{
    LogCapture log;
    ScheduledRestart restart(1h, Hooks(), start_);
    restart.Tick(start_ + 1h - 1ms);
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(restart.NextDue(), start_ + 1h);
    restart.Tick(start_ + 1h);
    EXPECT_EQ(calls_, (std::vector<std::string>{"stop", "spawn", "exit 16"}));
    EXPECT_EQ(log.CountContaining("Reboot......"), 1);
    EXPECT_TRUE(restart.Exiting());
    restart.Tick(start_ + 2h);
    EXPECT_EQ(calls_.size(), 3u) << "nothing more once this process is ending";
}

TEST_F(ScheduledRestartTest, ARestartWaitsInStepsOf3600MillisecondsWhileAPictureIsReceived)
{
    ScheduledRestart restart(1h, Hooks(), start_);
    receiving_ = true;
    restart.Tick(start_ + 1h);
    EXPECT_TRUE(restart.Waiting());
    EXPECT_EQ(restart.NextDue(), start_ + 1h + 3600ms);
    restart.Tick(start_ + 1h + 3600ms);
    EXPECT_TRUE(calls_.empty());
    receiving_ = false;
    restart.Tick(start_ + 1h + 7000ms);
    EXPECT_TRUE(calls_.empty()) << "timer 2 fires every 3.6 s, not earlier";
    restart.Tick(start_ + 1h + 7200ms);
    EXPECT_EQ(calls_, (std::vector<std::string>{"stop", "spawn", "exit 16"}));
    EXPECT_FALSE(restart.Waiting());
}

TEST_F(ScheduledRestartTest, AFailedRestartStartsTheServiceAgainAndTriesAtTheNextPeriod)
{
    spawnWorks_ = false;
    ScheduledRestart restart(2h, Hooks(), start_);
    restart.Tick(start_ + 2h);
    EXPECT_EQ(calls_, (std::vector<std::string>{"stop", "spawn", "start"}));
    EXPECT_FALSE(restart.Exiting());
    EXPECT_EQ(restart.NextDue(), start_ + 4h);

    spawnWorks_ = true;
    calls_.clear();
    restart.Tick(start_ + 4h);
    EXPECT_EQ(calls_, (std::vector<std::string>{"stop", "spawn", "exit 16"}));
}

TEST_F(ScheduledRestartTest, LargeOrMissingPeriodsNeverOverflow)
{
    const std::chrono::milliseconds largest = std::chrono::hours(INT_MAX);
    ScheduledRestart restart(largest, Hooks(), start_);
    EXPECT_TRUE(restart.Enabled());
    EXPECT_GT(restart.NextDue(), start_ + std::chrono::hours(24 * 365 * 100));
    restart.Tick(start_ + std::chrono::hours(24 * 365 * 100));
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(ScheduledRestart::Later(TimePoint::max() - 1h, 2h), TimePoint::max());

    ScheduledRestart none(0ms, Hooks(), start_);
    EXPECT_FALSE(none.Enabled());
    none.Tick(start_ + std::chrono::hours(24 * 365));
    EXPECT_EQ(none.NextDue(), TimePoint::max());
    EXPECT_TRUE(calls_.empty());
}

}  // namespace
}  // namespace rtu::pictures_test
