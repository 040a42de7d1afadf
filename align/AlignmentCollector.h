// Gathers the alignment's clouds from a running engine loop. Attached to the
// engine (CRecorder::Attach), it converts the depth frames of every
// kFramesBetweenAlignCycles-th cycle of the wanted cameras into their own coordinates, within
// each camera's depth limit, and adds them to that camera's cloud; after
// the asked number of such cycles it leaves the loop by itself. The
// cameras' frames of one cycle are grabbed together, so what moves in the
// scene stands at the same place in each camera's cloud.
#pragma once

#include <array>
#include <atomic>

#include "align/AlignmentFrames.h"
#include "core/FrameConsumer.h"

namespace kestrova {

class AlignmentCollector : public FrameConsumer {
 public:
  AlignmentCollector(const CameraSettings& cameras, const std::array<bool, kCameraCount>& wanted,
                     int cycles);

  // On a camera's grab thread: its own cloud only.
  void OnCameraFrame(const CameraFrame& frame) override;
  // On the loop thread; false once enough cycles are gathered.
  bool OnCycle(const CycleFrame& cycle) override;

  bool Done() const { return done_; }
  // What was gathered; read once Done() or after the collector is detached.
  const AlignmentClouds& Clouds() const { return clouds_; }

 private:
  CameraSettings cameras_;
  std::array<bool, kCameraCount> wanted_;
  int cyclesWanted_;
  int cyclesSeen_ = 0;
  bool gatherThisCycle_ = true;  // written between cycles, read by the grabs
  std::array<bool, kCameraCount> gathered_{};  // per camera, in this cycle
  AlignmentClouds clouds_;
  std::atomic<bool> done_{false};
};

}  // namespace kestrova
