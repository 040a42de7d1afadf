// Hands the newest cycle from the preview loop to the preview's render
// thread. The loop puts each cycle in, copying its final clouds into
// buffers that are reused from cycle to cycle (the engine refills its own
// clouds at the next cycle); the render thread takes the newest out.
// A cycle the render thread had no time for is replaced by the next one:
// a slow redraw skips preview frames, never camera frames.
//
// Thread contract: Put from one thread (the loop's), Take from one other
// (the render thread's); each holds the lock only to copy in or swap.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/FrameConsumer.h"

namespace kestrova {

// What the Preview shows of one cycle, with clouds of its own.
struct PreviewFrame {
  bool active[kCameraCount] = {false, false, false, false};
  std::vector<float> points[kCameraCount];  // x, y, z of each point of the final cloud
  int colours[kCameraCount][3] = {};        // 0..255
  float box[6] = {};  // the region: x min, x max, y min, y max, z min, z max in PCL units

  // Copies the cycle in, reusing this frame's buffers.
  void CopyFrom(const CycleFrame& cycle);
};

class PreviewMailbox {
 public:
  // The loop: the newest cycle, in place of one not yet taken.
  void Put(const CycleFrame& cycle);
  // The render thread: swaps the newest cycle into `frame` (the old one's
  // buffers stay for the next Put). False when none came within `wait`.
  bool Take(PreviewFrame* frame, std::chrono::milliseconds wait);
  // Cycles put in that were never taken, because a newer one came first.
  unsigned long Skipped() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable put_;
  PreviewFrame newest_;
  bool fresh_ = false;
  unsigned long skipped_ = 0;
};

}  // namespace kestrova
