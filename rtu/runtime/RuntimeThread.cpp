#include "rtu/runtime/RuntimeThread.h"

#include "rtu/common/Log.h"

#include <exception>
#include <utility>

namespace rtu {

RuntimeThread::RuntimeThread(std::string name) : name_(std::move(name)) {}

RuntimeThread::~RuntimeThread() { Stop(); }

void RuntimeThread::Start(std::function<void()> cycle)
{
    std::lock_guard<std::mutex> lock(threadStateLock_);
    if (thread_.joinable()) return;
    cycle_ = std::move(cycle);
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
}

void RuntimeThread::Stop()
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(threadStateLock_);
        stopping_ = true;
        hook = wakeHook_;
    }
    changed_.notify_all();
    if (hook) hook();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void RuntimeThread::Pause()
{
    std::lock_guard<std::mutex> lock(threadStateLock_);
    paused_ = true;
}

void RuntimeThread::Resume()
{
    {
        std::lock_guard<std::mutex> lock(threadStateLock_);
        paused_ = false;
    }
    changed_.notify_all();
}

bool RuntimeThread::IsPaused() const
{
    std::lock_guard<std::mutex> lock(threadStateLock_);
    return paused_;
}

bool RuntimeThread::Stopping() const
{
    std::lock_guard<std::mutex> lock(threadStateLock_);
    return stopping_;
}

bool RuntimeThread::SleepFor(std::chrono::milliseconds period)
{
    std::unique_lock<std::mutex> lock(threadStateLock_);
    return !changed_.wait_for(lock, period, [this] { return stopping_; });
}

void RuntimeThread::SetWakeHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(threadStateLock_);
    wakeHook_ = std::move(hook);
}

void RuntimeThread::Run()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(threadStateLock_);
            changed_.wait(lock, [this] { return stopping_ || !paused_; });
            if (stopping_) return;
        }
        try {
            cycle_();
        } catch (const std::exception& e) {
            RTU_LOG_ERROR("thread " << name_ << ": cycle ended by an exception: " << e.what());
        } catch (...) {
            RTU_LOG_ERROR("thread " << name_ << ": cycle ended by an unknown exception");
        }
    }
}

}  // namespace rtu
