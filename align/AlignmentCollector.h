// Gathers the alignment's clouds from a running engine loop. Attached to the
// engine (CRecorder::Attach), it keeps the depth frames and stamps of every
// kFramesBetweenAlignCycles-th cycle of the wanted cameras. Once the asked
// number of those cycles were taken in step (CyclesInStep), or three times
// as many were gathered, it leaves the loop by itself. Finish(), after it
// was detached, converts the frames of the cycles in step into each
// camera's own coordinates, within its depth limit.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "align/AlignmentFrames.h"
#include "align/CycleTiming.h"
#include "core/FrameConsumer.h"

namespace kestrova {

class AlignmentCollector : public FrameConsumer {
 public:
  AlignmentCollector(const CameraSettings& cameras, const std::array<bool, kCameraCount>& wanted,
                     int cycles);

  // On a camera's grab thread: its own frame only.
  void OnCameraFrame(const CameraFrame& frame) override;
  // On the loop thread; false once enough cycles are gathered.
  bool OnCycle(const CycleFrame& cycle) override;

  // Enough cycles were gathered; the loop has let it go.
  bool Done() const { return done_; }
  // Whether camera `slot` delivered any frame to gather.
  bool Delivered(int slot) const { return delivered_[slot]; }
  // Once detached (whether Done or not): converts the frames of the cycles
  // in step gathered so far into Clouds().
  void Finish();
  // What was gathered, once Finish()ed. `cycles` counts the cycles in step
  // that the clouds hold.
  const AlignmentClouds& Clouds() const { return clouds_; }
  // Cycles gathered, in step or not.
  int CyclesGathered() const { return cyclesGathered_; }

 private:
  void ConvertCyclesInStep();

  CameraSettings cameras_;
  std::array<bool, kCameraCount> wanted_;
  int cyclesWanted_;
  int cyclesSeen_ = 0;
  int cyclesGathered_ = 0;  // with a frame of some wanted camera
  bool gatherThisCycle_ = true;  // written between cycles, read by the grabs
  // The last is filled during a gathered cycle, each camera its own entries.
  std::vector<GatheredCycle> gathered_;
  std::array<bool, kCameraCount> delivered_{};  // each written by its camera's grab only
  AlignmentClouds clouds_;
  std::atomic<bool> done_{false};
  bool finished_ = false;
};

}  // namespace kestrova
