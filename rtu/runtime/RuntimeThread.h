// One of the data centre's runtime threads: it runs a cycle over and over
// until it is stopped, and can be paused and resumed between two cycles.
//
// A pause never takes effect inside a cycle, so a paused thread holds no lock
// and is inside no database call. Sleeps inside a cycle end early when the
// thread is stopped, so stopping never waits out a long sleep.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace rtu {

class RuntimeThread {
public:
    explicit RuntimeThread(std::string name);
    ~RuntimeThread();

    RuntimeThread(const RuntimeThread&) = delete;
    RuntimeThread& operator=(const RuntimeThread&) = delete;

    // Starts the thread; it calls cycle() until Stop(). Exceptions that
    // escape a cycle are logged and the next cycle runs.
    void Start(std::function<void()> cycle);

    // Sets the stop flag, wakes the thread (also out of a pause or a sleep),
    // calls the wake hook so a thread waiting elsewhere notices, and joins.
    void Stop();

    void Pause();
    void Resume();
    bool IsPaused() const;

    // True once Stop() has begun.
    bool Stopping() const;

    // Sleeps inside a cycle; returns false (early) when the thread is stopping.
    bool SleepFor(std::chrono::milliseconds period);

    // Called by Stop() to wake a thread that waits on something of its own
    // (a frame queue, for example).
    void SetWakeHook(std::function<void()> hook);

    const std::string& Name() const { return name_; }

private:
    void Run();

    const std::string name_;
    std::function<void()> cycle_;
    std::function<void()> wakeHook_;
    mutable std::mutex threadStateLock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool paused_ = false;
    std::thread thread_;
};

}  // namespace rtu
