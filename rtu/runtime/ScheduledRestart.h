// The scheduled restart: a data centre that runs for months restarts itself
// every Reboot hours, waiting while a picture is still being received.
//
// Two timers decide it:
//   timer 1, every period: a picture being received starts timer 2;
//            otherwise the program restarts. Timer 1 keeps running.
//   timer 2, every 3.6 s while it runs: once no picture is being received it
//            stops and the program restarts.
// The restart stops the service, logs "Reboot......", starts the program's
// own executable again (same arguments, current directory and environment)
// and, when that worked, asks the owner to end this process with exit code
// 16. When the new process could not be started the failure is logged and the
// service is started again, so the data centre does not stay stopped.
//
// Threads: every call belongs to the thread that starts and stops the service
// (the program's main thread); the hooks are called on it.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace rtu {

class ScheduledRestart {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds kWaitPeriod{3600};
    static constexpr int kExitCode = 16;

    struct Hooks {
        std::function<bool()> isReceivingImage;
        std::function<void()> stopService;
        std::function<void()> startService;
        // Starts the new process; false with a reason when it could not be
        // started. Empty: SpawnOwnProgram.
        std::function<bool(std::string& error)> spawn;
        // Ends this process with the code once the current event is handled.
        std::function<void(int exitCode)> requestExit;
    };

    // A period of zero or less: no scheduled restart. Timer 1 first fires one
    // period after `now`.
    ScheduledRestart(std::chrono::milliseconds period, Hooks hooks, Clock::time_point now = Clock::now());

    bool Enabled() const { return period_.count() > 0; }
    std::chrono::milliseconds Period() const { return period_; }
    bool Waiting() const { return waiting_; }  // timer 2 runs
    bool Exiting() const { return exiting_; }  // a new process runs; this one is ending

    // Runs the timer events that are due at `now` (each at most once per
    // call). For owners without timers of their own: call it often, for
    // example every second, or sleep until NextDue().
    void Tick(Clock::time_point now);
    // When the next timer event is due; Clock::time_point::max() when none.
    Clock::time_point NextDue() const;

    // The timer events themselves, for owners that run two timers of their
    // own: timer 1 with Period() (a timer that takes its period in int
    // milliseconds needs Tick instead once the period passes 24 days),
    // timer 2 with kWaitPeriod while Waiting().
    void OnTimer1(Clock::time_point now);
    void OnTimer2(Clock::time_point now);

    // The restart itself; true when a new process was started (and the exit
    // requested).
    bool Restart();

    // Starts /proc/self/exe with this process's arguments (read back from
    // /proc/self/cmdline), its environment and current directory, with the
    // default signal mask and dispositions and no inherited descriptors
    // beyond 0, 1 and 2. False with a reason when it could not be started.
    static bool SpawnOwnProgram(std::string& error);

    // t + d, held at the clock's latest time point instead of overflowing.
    static Clock::time_point Later(Clock::time_point t, std::chrono::milliseconds d);

private:
    std::chrono::milliseconds period_;
    Hooks hooks_;
    Clock::time_point timer1Due_;
    Clock::time_point timer2Due_;
    bool waiting_ = false;
    bool exiting_ = false;
};

}  // namespace rtu
