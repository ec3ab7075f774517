// First-in first-out queue of complete frames between the threads that cut
// frames (network workers, the serial reader) and the one parse thread that
// consumes them.
//
// Each frame is stored at its own length; the queue is bounded both by a
// count of items and by the bytes it holds, so a burst cannot exhaust memory.
// It may also bound the frames any one connection has waiting, so that a
// station sending as fast as its socket allows cannot fill the queue and
// starve the others: their frames then wait behind at most that many of its.
// A push never blocks; a full queue refuses the frame and counts the drop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace rtu {

struct QueuedFrame {
    int connectionId = -1;  // the network connection, or -1 for the serial line
    int linkKind = 0;       // 0 network, 1 serial
    std::string bytes;      // the frame; c_str() gives it followed by a zero byte
};

class FrameQueue {
public:
    static constexpr std::size_t kMaxItems = 65535;
    static constexpr std::size_t kMaxBytes = 64u * 1024u * 1024u;

    // Frames one network connection may have waiting in the network queue: a
    // station waits for each answer (pictures go in windows of five), so only
    // a flood comes near it.
    static constexpr std::size_t kMaxPerConnection = 64;

    // maxPerConnection 0: no limit per connection.
    explicit FrameQueue(std::size_t maxItems = kMaxItems, std::size_t maxBytes = kMaxBytes,
                        std::size_t maxPerConnection = 0);

    // Appends a frame and wakes the consumer; false (frame dropped) when full,
    // or when the connection already has its limit of frames waiting.
    bool Push(int connectionId, int linkKind, std::string_view frame);

    // Takes the oldest frame without waiting; false when empty.
    bool TryPop(QueuedFrame& out);

    // Waits until a frame is queued or Interrupt() is called; false when
    // interrupted with nothing queued.
    bool WaitPop(QueuedFrame& out);

    // Wakes a consumer blocked in WaitPop (used to stop its thread). The
    // interruption stays in force until Rearm().
    void Interrupt();
    void Rearm();

    void Clear();
    std::size_t Size() const;
    // Frames refused because the queue was full, since the last call.
    std::uint64_t TakeDropCount();

private:
    // Takes the front item out (the lock held).
    void PopFrontLocked(QueuedFrame& out);
    std::size_t WaitingLocked(int connectionId) const;

    const std::size_t maxItems_;
    const std::size_t maxBytes_;
    const std::size_t maxPerConnection_;
    mutable std::mutex frameQueueLock_;
    std::condition_variable ready_;
    std::deque<QueuedFrame> items_;
    std::size_t bytes_ = 0;
    std::unordered_map<int, std::size_t> waiting_;  // frames queued per connection, when limited
    std::uint64_t drops_ = 0;
    bool interrupted_ = false;
};

}  // namespace rtu
