// The serial line's receive side: its framing state and the queue of
// complete frames between the line's reader thread and the serial parse
// thread.
//
// OnSerialBytes runs on the reader thread, one block at a time in the order
// the bytes arrived; every complete frame is queued with connection id -1
// and link kind 1, which wakes the parse thread waiting in WaitPop. A full
// queue (65535 frames) drops the frame and counts it; drops are logged as an
// ERROR with the count so far, and handed to the drop report, at most once
// every 10 s.
//
// Locks: framingLock_ (the framing state), then the queue's own
// (rtu/runtime/Locks.h has every lock's order).
#pragma once

#include "rtu/uplink/CutFrames.h"
#include "rtu/uplink/FrameQueue.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>

namespace rtu {

class CCommFrameQueue {
public:
    static constexpr int kConnectionId = -1;  // the serial line
    static constexpr int kLinkKind = 1;       // serial

    // What the framing found since the last TakeCounts().
    struct Counts {
        std::uint64_t frames = 0;           // complete frames cut
        std::uint64_t rejectedHeaders = 0;  // frames given up at their header
        std::uint64_t overflows = 0;        // frames given up for their size
        std::uint64_t dropped = 0;          // frames refused by a full queue
    };

    // Told, with the frames dropped so far, when drops are reported; called
    // on the reader thread with no lock of this class held.
    using DropReport = std::function<void(std::uint64_t dropped)>;

    explicit CCommFrameQueue(std::size_t maxItems = FrameQueue::kMaxItems,
                             std::size_t maxBytes = FrameQueue::kMaxBytes);

    // Set before the first bytes arrive (the owner's construction).
    void SetDropReport(DropReport report) { dropReport_ = std::move(report); }

    CCommFrameQueue(const CCommFrameQueue&) = delete;
    CCommFrameQueue& operator=(const CCommFrameQueue&) = delete;

    // Runs the framing rule over a block read from the line and queues each
    // complete frame.
    void OnSerialBytes(std::string_view bytes);

    // The oldest frame without waiting; false when empty.
    bool Pop(QueuedFrame& out);
    // Waits for a frame or Interrupt(); false when interrupted with nothing queued.
    bool WaitPop(QueuedFrame& out);
    // Wakes a waiting consumer (stopping its thread) until Rearm().
    void Interrupt();
    void Rearm();

    // Framing idle and queue emptied (the service stopped).
    void Reset();

    std::size_t Size() const;
    Counts TakeCounts();

    // The queue itself, for a consumer written against FrameQueue.
    FrameQueue& Queue() { return queue_; }

private:
    class Sink;

    std::mutex framingLock_;
    FramingState state_;
    Counts counts_;  // under framingLock_, except `dropped` (the queue's count)
    std::uint64_t droppedTotal_ = 0;  // under framingLock_
    std::chrono::steady_clock::time_point lastDropReport_{};  // under framingLock_; epoch: never
    DropReport dropReport_;
    FrameQueue queue_;
};

}  // namespace rtu
