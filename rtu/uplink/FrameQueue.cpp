#include "rtu/uplink/FrameQueue.h"

#include <utility>

namespace rtu {

FrameQueue::FrameQueue(std::size_t maxItems, std::size_t maxBytes, std::size_t maxPerConnection)
    : maxItems_(maxItems), maxBytes_(maxBytes), maxPerConnection_(maxPerConnection)
{
}

bool FrameQueue::Push(int connectionId, int linkKind, std::string_view frame)
{
    {
        std::lock_guard<std::mutex> lock(frameQueueLock_);
        if (items_.size() >= maxItems_ || bytes_ + frame.size() > maxBytes_ ||
            (maxPerConnection_ != 0 && WaitingLocked(connectionId) >= maxPerConnection_)) {
            ++drops_;
            return false;
        }
        items_.push_back(QueuedFrame{connectionId, linkKind, std::string(frame)});
        bytes_ += frame.size();
        if (maxPerConnection_ != 0) ++waiting_[connectionId];
    }
    ready_.notify_one();
    return true;
}

bool FrameQueue::TryPop(QueuedFrame& out)
{
    std::lock_guard<std::mutex> lock(frameQueueLock_);
    if (items_.empty()) return false;
    PopFrontLocked(out);
    return true;
}

bool FrameQueue::WaitPop(QueuedFrame& out)
{
    std::unique_lock<std::mutex> lock(frameQueueLock_);
    ready_.wait(lock, [this] { return !items_.empty() || interrupted_; });
    if (items_.empty()) return false;
    PopFrontLocked(out);
    return true;
}

std::size_t FrameQueue::WaitingLocked(int connectionId) const
{
    const auto it = waiting_.find(connectionId);
    return it == waiting_.end() ? 0 : it->second;
}

void FrameQueue::PopFrontLocked(QueuedFrame& out)
{
    out = std::move(items_.front());
    items_.pop_front();
    bytes_ -= out.bytes.size();
    if (maxPerConnection_ == 0) return;
    const auto it = waiting_.find(out.connectionId);
    if (it != waiting_.end() && --it->second == 0) waiting_.erase(it);
}

void FrameQueue::Interrupt()
{
    {
        std::lock_guard<std::mutex> lock(frameQueueLock_);
        interrupted_ = true;
    }
    ready_.notify_all();
}

void FrameQueue::Rearm()
{
    std::lock_guard<std::mutex> lock(frameQueueLock_);
    interrupted_ = false;
}

void FrameQueue::Clear()
{
    std::lock_guard<std::mutex> lock(frameQueueLock_);
    items_.clear();
    bytes_ = 0;
    waiting_.clear();
}

std::size_t FrameQueue::Size() const
{
    std::lock_guard<std::mutex> lock(frameQueueLock_);
    return items_.size();
}

std::uint64_t FrameQueue::TakeDropCount()
{
    std::lock_guard<std::mutex> lock(frameQueueLock_);
    return std::exchange(drops_, 0);
}

}  // namespace rtu
