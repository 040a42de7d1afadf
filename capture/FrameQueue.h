// The frame buffers of one depth stream: a pool of pixel buffers and the
// queue of delivered frames that the consumer takes with a bounded wait.
// A live sensor drops its oldest frame when the consumer falls behind; a
// replayed one waits instead, so that no frame is lost.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/NuiSensor.h"

namespace kestrova {

class FrameQueue {
 public:
  enum class Overflow { DropOldest, Wait };

  // Every buffer holds one frame of `format`.
  FrameQueue(int frameLimit, Overflow overflow, const DepthFrameFormat& format = DepthFrameFormat());

  // Producer: a buffer to render the next frame into. With DropOldest it
  // may take back the oldest undelivered frame; nullptr when every buffer is
  // held by the consumer (the frame is then skipped) or the queue stopped.
  std::unique_ptr<NuiFrameTexture> AcquireBuffer();

  // Producer: hands a rendered frame to the consumer. With Wait it blocks
  // while the queue is full. False when the queue stopped (the buffer is kept).
  bool Publish(std::unique_ptr<NuiFrameTexture> texture, NuiTimeStamp stamp,
               std::uint32_t frameNumber);

  // Consumer: the oldest delivered frame, waiting at most `waitMs`.
  HRESULT Pop(std::uint32_t waitMs, NuiImageFrame* frame);
  HRESULT Release(NuiImageFrame* frame);

  // With DropOldest: the delivered frames not yet taken are dropped (and
  // counted so). With Wait every frame is kept. Returns how many were dropped.
  int DiscardDelivered();

  // Ends the stream: wakes every waiter; Publish and Pop fail from now on.
  void Stop();

  // Frames delivered and not yet taken.
  int Size() const;
  bool KeepsEveryFrame() const { return overflow_ == Overflow::Wait; }
  const DepthFrameFormat& Format() const { return format_; }

  // Frames taken back undelivered because the consumer fell behind.
  std::uint64_t Dropped() const;

 private:
  struct Delivered {
    std::unique_ptr<NuiFrameTexture> texture;
    NuiTimeStamp stamp;
    std::uint32_t frameNumber;
  };

  const int frameLimit_;
  const int bufferLimit_;
  const Overflow overflow_;
  const DepthFrameFormat format_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<NuiFrameTexture>> free_;
  std::deque<Delivered> ready_;
  std::vector<std::unique_ptr<NuiFrameTexture>> held_;
  int allocated_ = 0;
  std::uint64_t dropped_ = 0;
  bool stopped_ = false;
};

}  // namespace kestrova
