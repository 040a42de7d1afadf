#include "align/AlignmentCollector.h"

namespace kestrova {

AlignmentCollector::AlignmentCollector(const CameraSettings& cameras,
                                       const std::array<bool, kCameraCount>& wanted, int cycles)
    : cameras_(cameras), wanted_(wanted), cyclesWanted_(cycles), gathered_(1) {}

void AlignmentCollector::OnCameraFrame(const CameraFrame& frame) {
  const int slot = frame.camera;
  if (!gatherThisCycle_ || !wanted_[slot] || frame.depth == nullptr) return;
  GatheredCycle& cycle = gathered_.back();
  const DepthFrameFormat& format = frame.depth->format;
  const std::uint16_t* values = frame.depth->pixels;
  cycle.pixels[slot].assign(values, values + format.BufferPixels());
  cycle.formats[slot] = format;
  cycle.stamps.present[slot] = true;
  delivered_[slot] = true;
}

bool AlignmentCollector::OnCycle(const CycleFrame& frame) {
  if (done_) return false;
  if (gatherThisCycle_) {
    // On the host clock the loop matched them by; frames matched by
    // number (a replay) are of one moment by that.
    for (int slot = 0; slot < kCameraCount; ++slot)
      gathered_.back().stamps.time[slot] = frame.matchedByNumber ? 0.0 : frame.mappedMs[slot];
    bool any = false;
    for (bool present : gathered_.back().stamps.present) any = any || present;
    if (any)
      ++cyclesGathered_;
    else
      gathered_.pop_back();
    std::vector<CycleStamps> stamps;
    for (const GatheredCycle& cycle : gathered_) stamps.push_back(cycle.stamps);
    int inStep = 0;
    for (bool step : CyclesInStep(stamps, wanted_)) inStep += step;
    if (inStep >= cyclesWanted_ || cyclesGathered_ >= kGatheredPerWantedCycle * cyclesWanted_) {
      // Between cycles no grab runs, and none gathers from here on.
      gatherThisCycle_ = false;
      done_ = true;
      return false;
    }
  }
  ++cyclesSeen_;
  gatherThisCycle_ = cyclesSeen_ % kFramesBetweenAlignCycles == 0;
  if (gatherThisCycle_) gathered_.emplace_back();
  return true;
}

void AlignmentCollector::Finish() {
  if (finished_) return;
  if (!done_ && !gathered_.empty() && gatherThisCycle_) gathered_.pop_back();  // a cycle cut short
  ConvertCyclesInStep();
  finished_ = true;
  done_ = true;
}

void AlignmentCollector::ConvertCyclesInStep() {
  AddCyclesInStep(gathered_, wanted_, cameras_, cyclesWanted_, &clouds_);
  gathered_.clear();
  gathered_.shrink_to_fit();
}

}  // namespace kestrova
