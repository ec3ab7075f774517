#include "rtu/runtime/ScheduledRestart.h"

#include "rtu/common/Log.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

extern char** environ;

namespace rtu {

namespace {

constexpr const char* kOwnExecutable = "/proc/self/exe";

// This process's arguments as it was started: /proc/self/cmdline holds them
// one after another, each ended by a zero byte.
std::vector<std::string> OwnArguments()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    std::string current;
    for (char c : all) {
        if (c == '\0') {
            arguments.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) arguments.push_back(current);
    if (arguments.empty()) arguments.emplace_back(kOwnExecutable);
    return arguments;
}

}  // namespace

ScheduledRestart::ScheduledRestart(std::chrono::milliseconds period, Hooks hooks, Clock::time_point now)
    : period_(period.count() > 0 ? period : std::chrono::milliseconds(0)),
      hooks_(std::move(hooks)),
      timer1Due_(Enabled() ? Later(now, period_) : Clock::time_point::max()),
      timer2Due_(Clock::time_point::max())
{
    if (!hooks_.spawn) hooks_.spawn = &ScheduledRestart::SpawnOwnProgram;
}

ScheduledRestart::Clock::time_point ScheduledRestart::Later(Clock::time_point t, std::chrono::milliseconds d)
{
    if (d.count() <= 0) return t;
    // Compared in milliseconds: a period of many years does not fit the
    // clock's own unit.
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - t);
    if (d >= room) return Clock::time_point::max();
    return t + std::chrono::duration_cast<Clock::duration>(d);
}

ScheduledRestart::Clock::time_point ScheduledRestart::NextDue() const
{
    if (!Enabled() || exiting_) return Clock::time_point::max();
    return waiting_ && timer2Due_ < timer1Due_ ? timer2Due_ : timer1Due_;
}

void ScheduledRestart::Tick(Clock::time_point now)
{
    if (!Enabled() || exiting_) return;
    if (now >= timer1Due_) {
        // A periodic timer: the next event one period after this one's due
        // time, or after now when the owner fell behind by a whole period.
        const bool behind = std::chrono::duration_cast<std::chrono::milliseconds>(now - timer1Due_) >= period_;
        timer1Due_ = Later(behind ? now : timer1Due_, period_);
        OnTimer1(now);
    }
    if (!exiting_ && waiting_ && now >= timer2Due_) OnTimer2(now);
}

void ScheduledRestart::OnTimer1(Clock::time_point now)
{
    if (exiting_) return;
    if (hooks_.isReceivingImage && hooks_.isReceivingImage()) {
        // (Re)starts timer 2; timer 1 keeps its period.
        waiting_ = true;
        timer2Due_ = Later(now, kWaitPeriod);
        return;
    }
    waiting_ = false;
    Restart();
}

void ScheduledRestart::OnTimer2(Clock::time_point now)
{
    if (exiting_ || !waiting_) return;
    if (hooks_.isReceivingImage && hooks_.isReceivingImage()) {
        timer2Due_ = Later(now, kWaitPeriod);
        return;
    }
    waiting_ = false;
    timer2Due_ = Clock::time_point::max();
    Restart();
}

bool ScheduledRestart::Restart()
{
    if (exiting_) return true;
    if (hooks_.stopService) hooks_.stopService();
    RTU_LOG_DEBUG("Reboot......");
    std::string error;
    if (hooks_.spawn(error)) {
        exiting_ = true;
        waiting_ = false;
        if (hooks_.requestExit) hooks_.requestExit(kExitCode);
        return true;
    }
    RTU_LOG_ERROR("scheduled restart: the new process could not be started (" << error
                                                                              << "); the service is started again");
    if (hooks_.startService) hooks_.startService();
    return false;
}

bool ScheduledRestart::SpawnOwnProgram(std::string& error)
{
    std::vector<std::string> arguments = OwnArguments();
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // The new process starts clean: signals blocked or ignored here (the
    // headless program blocks SIGINT and SIGTERM and ignores SIGPIPE) are
    // unblocked and back at their defaults there, and descriptors of this
    // process (sockets, database files) are not passed on.
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    if (posix_spawnattr_init(&attributes) != 0) {
        error = "posix_spawnattr_init failed";
        return false;
    }
    posix_spawn_file_actions_init(&actions);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

    pid_t child = 0;
    const int rc = posix_spawn(&child, kOwnExecutable, &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        error = std::string(kOwnExecutable) + ": " + std::strerror(rc);
        return false;
    }
    RTU_LOG_DEBUG("scheduled restart: new process " << child << " started");
    return true;
}

}  // namespace rtu
