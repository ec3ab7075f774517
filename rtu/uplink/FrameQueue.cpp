#include "rtu/uplink/FrameQueue.h"

#include <utility>

namespace rtu {

FrameQueue::FrameQueue(std::size_t maxItems, std::size_t maxBytes)
    : maxItems_(maxItems), maxBytes_(maxBytes)
{
}

bool FrameQueue::Push(int connectionId, int linkKind, std::string_view frame)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (items_.size() >= maxItems_ || bytes_ + frame.size() > maxBytes_) {
            ++drops_;
            return false;
        }
        items_.push_back(QueuedFrame{connectionId, linkKind, std::string(frame)});
        bytes_ += frame.size();
    }
    ready_.notify_one();
    return true;
}

bool FrameQueue::TryPop(QueuedFrame& out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return false;
    out = std::move(items_.front());
    items_.pop_front();
    bytes_ -= out.bytes.size();
    return true;
}

bool FrameQueue::WaitPop(QueuedFrame& out)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !items_.empty() || interrupted_; });
    if (items_.empty()) return false;
    out = std::move(items_.front());
    items_.pop_front();
    bytes_ -= out.bytes.size();
    return true;
}

void FrameQueue::Interrupt()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interrupted_ = true;
    }
    ready_.notify_all();
}

void FrameQueue::Rearm()
{
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = false;
}

void FrameQueue::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    bytes_ = 0;
}

std::size_t FrameQueue::Size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.size();
}

std::uint64_t FrameQueue::TakeDropCount()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(drops_, 0);
}

}  // namespace rtu
