#include "rtu/uplink/CommFrameQueue.h"

namespace rtu {

class CCommFrameQueue::Sink final : public FrameSink {
public:
    explicit Sink(FrameQueue& queue) : queue_(queue) {}
    void OnFrame(std::string_view frame) override { queue_.Push(kConnectionId, kLinkKind, frame); }

private:
    FrameQueue& queue_;
};

CCommFrameQueue::CCommFrameQueue(std::size_t maxItems, std::size_t maxBytes) : queue_(maxItems, maxBytes) {}

void CCommFrameQueue::OnSerialBytes(std::string_view bytes)
{
    std::lock_guard<std::mutex> lock(framing_);
    Sink sink(queue_);
    const CutResult result = CutFrames(state_, bytes, sink);
    counts_.frames += result.frames;
    counts_.rejectedHeaders += result.rejectedHeaders;
    counts_.overflows += result.overflows;
}

bool CCommFrameQueue::Pop(QueuedFrame& out) { return queue_.TryPop(out); }

bool CCommFrameQueue::WaitPop(QueuedFrame& out) { return queue_.WaitPop(out); }

void CCommFrameQueue::Interrupt() { queue_.Interrupt(); }

void CCommFrameQueue::Rearm() { queue_.Rearm(); }

void CCommFrameQueue::Reset()
{
    std::lock_guard<std::mutex> lock(framing_);
    state_.Reset();
    queue_.Clear();
}

std::size_t CCommFrameQueue::Size() const { return queue_.Size(); }

CCommFrameQueue::Counts CCommFrameQueue::TakeCounts()
{
    std::lock_guard<std::mutex> lock(framing_);
    Counts taken = counts_;
    taken.dropped = queue_.TakeDropCount();
    counts_ = Counts();
    return taken;
}

}  // namespace rtu
