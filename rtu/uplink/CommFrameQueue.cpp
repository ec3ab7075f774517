#include "rtu/uplink/CommFrameQueue.h"

#include "rtu/common/Log.h"

namespace rtu {

namespace {

constexpr std::chrono::seconds kDropReportInterval{10};

}  // namespace

class CCommFrameQueue::Sink final : public FrameSink {
public:
    explicit Sink(FrameQueue& queue) : queue_(queue) {}
    void OnFrame(std::string_view frame) override
    {
        if (!queue_.Push(kConnectionId, kLinkKind, frame)) ++dropped;
    }

    std::uint64_t dropped = 0;

private:
    FrameQueue& queue_;
};

CCommFrameQueue::CCommFrameQueue(std::size_t maxItems, std::size_t maxBytes) : queue_(maxItems, maxBytes) {}

void CCommFrameQueue::OnSerialBytes(std::string_view bytes)
{
    std::uint64_t report = 0;  // frames dropped so far, when it is time to say so
    {
        std::lock_guard<std::mutex> lock(framingLock_);
        Sink sink(queue_);
        const CutResult result = CutFrames(state_, bytes, sink);
        counts_.frames += result.frames;
        counts_.rejectedHeaders += result.rejectedHeaders;
        counts_.overflows += result.overflows;
        if (sink.dropped != 0) {
            droppedTotal_ += sink.dropped;
            const auto now = std::chrono::steady_clock::now();
            if (lastDropReport_ == std::chrono::steady_clock::time_point{} ||
                now - lastDropReport_ >= kDropReportInterval) {
                lastDropReport_ = now;
                report = droppedTotal_;
            }
        }
    }
    if (report == 0) return;
    RTU_LOG_ERROR("serial frame queue full: " << report << " frames dropped so far");
    if (dropReport_) dropReport_(report);
}

bool CCommFrameQueue::Pop(QueuedFrame& out) { return queue_.TryPop(out); }

bool CCommFrameQueue::WaitPop(QueuedFrame& out) { return queue_.WaitPop(out); }

void CCommFrameQueue::Interrupt() { queue_.Interrupt(); }

void CCommFrameQueue::Rearm() { queue_.Rearm(); }

void CCommFrameQueue::Reset()
{
    std::lock_guard<std::mutex> lock(framingLock_);
    state_.Reset();
    queue_.Clear();
}

std::size_t CCommFrameQueue::Size() const { return queue_.Size(); }

CCommFrameQueue::Counts CCommFrameQueue::TakeCounts()
{
    std::lock_guard<std::mutex> lock(framingLock_);
    Counts taken = counts_;
    taken.dropped = queue_.TakeDropCount();
    counts_ = Counts();
    return taken;
}

}  // namespace rtu
