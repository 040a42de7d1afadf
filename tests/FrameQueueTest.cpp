// The frame buffers behind a depth stream: a live stream drops its oldest
// frame, a replayed one waits; every wait has a limit.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "capture/FrameQueue.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;

void PublishNumbered(FrameQueue& queue, std::uint32_t number) {
  auto buffer = queue.AcquireBuffer();
  ASSERT_NE(buffer, nullptr);
  buffer->pixels[0] = static_cast<std::uint16_t>(number);
  NuiTimeStamp stamp;
  stamp.QuadPart = 1000 + number;
  ASSERT_TRUE(queue.Publish(std::move(buffer), stamp, number));
}

TEST(FrameQueue, LiveStreamKeepsTheNewestFramesWhenNobodyFetches) {
  FrameQueue queue(2, FrameQueue::Overflow::DropOldest);
  for (std::uint32_t n = 0; n < 6; ++n) PublishNumbered(queue, n);
  EXPECT_EQ(queue.Dropped(), 4u);
  NuiImageFrame frame;
  ASSERT_EQ(queue.Pop(0, &frame), S_OK);
  EXPECT_EQ(frame.dwFrameNumber, 4u);
  EXPECT_EQ(frame.liTimeStamp.QuadPart, 1004);
  EXPECT_EQ(frame.pFrameTexture->pixels[0], 4);
  EXPECT_EQ(queue.Release(&frame), S_OK);
  ASSERT_EQ(queue.Pop(0, &frame), S_OK);
  EXPECT_EQ(frame.dwFrameNumber, 5u);
  EXPECT_EQ(queue.Release(&frame), S_OK);
}

TEST(FrameQueue, ALiveStreamsStaleFramesAreDiscardedAndItsNextFrameIsNew) {
  FrameQueue queue(2, FrameQueue::Overflow::DropOldest);
  for (std::uint32_t n = 0; n < 3; ++n) PublishNumbered(queue, n);
  EXPECT_EQ(queue.DiscardDelivered(), 2);
  EXPECT_EQ(queue.Dropped(), 3u);
  NuiImageFrame frame;
  EXPECT_EQ(queue.Pop(0, &frame), E_NUI_FRAME_NO_DATA);
  // The buffers came back: two more frames fit without dropping.
  PublishNumbered(queue, 3);
  PublishNumbered(queue, 4);
  EXPECT_EQ(queue.Dropped(), 3u);
  ASSERT_EQ(queue.Pop(0, &frame), S_OK);
  EXPECT_EQ(frame.dwFrameNumber, 3u);
  queue.Release(&frame);
}

TEST(FrameQueue, AReplayedStreamKeepsEveryFrame) {
  FrameQueue queue(2, FrameQueue::Overflow::Wait);
  PublishNumbered(queue, 0);
  PublishNumbered(queue, 1);
  EXPECT_EQ(queue.DiscardDelivered(), 0);
  NuiImageFrame frame;
  ASSERT_EQ(queue.Pop(0, &frame), S_OK);
  EXPECT_EQ(frame.dwFrameNumber, 0u);
  queue.Release(&frame);
}

TEST(FrameQueue, EmptyQueueTimesOutWithNoData) {
  FrameQueue queue(2, FrameQueue::Overflow::DropOldest);
  NuiImageFrame frame;
  EXPECT_EQ(queue.Pop(20, &frame), E_NUI_FRAME_NO_DATA);
  EXPECT_EQ(frame.pFrameTexture, nullptr);
}

TEST(FrameQueue, ReplayedStreamWaitsForRoomInsteadOfDropping) {
  FrameQueue queue(2, FrameQueue::Overflow::Wait);
  PublishNumbered(queue, 0);
  PublishNumbered(queue, 1);
  auto third = std::async(std::launch::async, [&] { PublishNumbered(queue, 2); });
  EXPECT_EQ(third.wait_for(50ms), std::future_status::timeout);
  NuiImageFrame frame;
  ASSERT_EQ(queue.Pop(0, &frame), S_OK);
  EXPECT_EQ(frame.dwFrameNumber, 0u);
  queue.Release(&frame);
  ASSERT_EQ(third.wait_for(10s), std::future_status::ready);
  for (std::uint32_t expected : {1u, 2u}) {
    ASSERT_EQ(queue.Pop(0, &frame), S_OK);
    EXPECT_EQ(frame.dwFrameNumber, expected);
    queue.Release(&frame);
  }
  EXPECT_EQ(queue.Dropped(), 0u);
}

TEST(FrameQueue, StopWakesAWaitingConsumerAndProducer) {
  FrameQueue queue(1, FrameQueue::Overflow::Wait);
  PublishNumbered(queue, 0);
  auto producer = std::async(std::launch::async, [&] {
    auto buffer = queue.AcquireBuffer();
    return buffer && queue.Publish(std::move(buffer), NuiTimeStamp(), 1);
  });
  std::this_thread::sleep_for(20ms);
  queue.Stop();
  ASSERT_EQ(producer.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(producer.get());
  NuiImageFrame frame;
  EXPECT_EQ(queue.Pop(NUI_INFINITE, &frame), S_OK);  // what was delivered can still be taken
  queue.Release(&frame);
  EXPECT_EQ(queue.Pop(NUI_INFINITE, &frame), E_NUI_DEVICE_NOT_CONNECTED);
}

TEST(FrameQueue, ReleasingAFrameTwiceIsRefused) {
  FrameQueue queue(2, FrameQueue::Overflow::DropOldest);
  PublishNumbered(queue, 0);
  NuiImageFrame frame;
  ASSERT_EQ(queue.Pop(0, &frame), S_OK);
  NuiImageFrame copy = frame;
  EXPECT_EQ(queue.Release(&frame), S_OK);
  EXPECT_EQ(queue.Release(&copy), E_INVALIDARG);
}

}  // namespace
}  // namespace kestrova
