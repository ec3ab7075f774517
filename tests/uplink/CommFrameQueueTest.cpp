// The serial line's frame queue: framing state and queue together, reset
// when the service stops, bounded, and wakeable for stopping its consumer.
#include "rtu/uplink/CommFrameQueue.h"
#include "tests/runtime/RuntimeTestSupport.h"
#include "tests/transport/TestFrames.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace rtu {
namespace {

using serialtest::Frame;

TEST(CommFrameQueue, ResetDropsTheFrameInProgressAndTheQueuedFrames)
{
    CCommFrameQueue queue;
    const std::string a = Frame("0000000101", "0001");
    const std::string b = Frame("0000000102", "0002 TT 2405061230");
    queue.OnSerialBytes(a);
    queue.OnSerialBytes(b.substr(0, 30));
    ASSERT_EQ(queue.Size(), 1u);

    queue.Reset();
    EXPECT_EQ(queue.Size(), 0u);
    // The rest of the interrupted frame is noise now; the next frame is whole.
    queue.OnSerialBytes(b.substr(30));
    EXPECT_EQ(queue.Size(), 0u);
    queue.OnSerialBytes(a);
    QueuedFrame item;
    ASSERT_TRUE(queue.Pop(item));
    EXPECT_EQ(item.bytes, a);
    EXPECT_EQ(item.connectionId, CCommFrameQueue::kConnectionId);
    EXPECT_EQ(item.linkKind, CCommFrameQueue::kLinkKind);
}

TEST(CommFrameQueue, AFullQueueDropsCountsAndReportsFramesOncePerInterval)
{
    test::LogCapture log;
    CCommFrameQueue queue(2);
    std::vector<std::uint64_t> reports;
    queue.SetDropReport([&](std::uint64_t dropped) { reports.push_back(dropped); });
    const std::string frame = Frame("0000000101", "0001");
    const std::string badHeader = std::string(1, kSoh) + std::string(19, '0') + "XYZ" + std::string(10, '0');
    queue.OnSerialBytes(frame + frame + badHeader + frame);
    EXPECT_EQ(queue.Size(), 2u);
    const CCommFrameQueue::Counts counts = queue.TakeCounts();
    EXPECT_EQ(counts.frames, 3u);
    EXPECT_EQ(counts.dropped, 1u);
    EXPECT_EQ(counts.rejectedHeaders, 1u);
    EXPECT_EQ(queue.TakeCounts().frames, 0u);

    // A flood into the full queue is said once, with the count at that time.
    for (int i = 0; i < 1000; ++i) queue.OnSerialBytes(frame);
    EXPECT_EQ(reports, std::vector<std::uint64_t>{1});
    EXPECT_EQ(log.CountContaining("serial frame queue full: 1 frames dropped so far"), 1);
    EXPECT_EQ(log.CountContaining("serial frame queue full"), 1);
}

TEST(CommFrameQueue, InterruptWakesTheConsumerUntilRearmed)
{
    CCommFrameQueue queue;
    QueuedFrame item;
    bool popped = true;
    std::thread consumer([&] { popped = queue.WaitPop(item); });
    queue.Interrupt();
    consumer.join();
    EXPECT_FALSE(popped);

    queue.Rearm();
    const std::string frame = Frame("0000000101", "0001");
    std::thread waiter([&] { popped = queue.WaitPop(item); });
    queue.OnSerialBytes(frame);  // the push wakes the waiting consumer
    waiter.join();
    EXPECT_TRUE(popped);
    EXPECT_EQ(item.bytes, frame);
}

}  // namespace
}  // namespace rtu
