#include "align/AlignmentCollector.h"

namespace kestrova {

AlignmentCollector::AlignmentCollector(const CameraSettings& cameras,
                                       const std::array<bool, kCameraCount>& wanted, int cycles)
    : cameras_(cameras), wanted_(wanted), cyclesWanted_(cycles) {}

void AlignmentCollector::OnCameraFrame(const CameraFrame& frame) {
  const int slot = frame.camera;
  if (!gatherThisCycle_ || !wanted_[slot] || frame.pixels == nullptr) return;
  AddDepthFrame(frame.pixels->values, frame.pixels->width * frame.pixels->height, cameras_[slot],
                clouds_.clouds[slot]);
  clouds_.present[slot] = true;
  gathered_[slot] = true;
}

bool AlignmentCollector::OnCycle(const CycleFrame&) {
  if (done_) return false;
  if (gatherThisCycle_) {
    bool any = false;
    for (int slot = 0; slot < kCameraCount; ++slot) any = any || gathered_[slot];
    if (any) ++clouds_.cycles;
    gathered_ = {};
  }
  ++cyclesSeen_;
  gatherThisCycle_ = cyclesSeen_ % kFramesBetweenAlignCycles == 0;
  if (clouds_.cycles >= cyclesWanted_) done_ = true;
  return !done_;
}

}  // namespace kestrova
