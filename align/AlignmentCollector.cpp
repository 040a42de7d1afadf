#include "align/AlignmentCollector.h"

namespace kestrova {

AlignmentCollector::AlignmentCollector(const CameraSettings& cameras,
                                       const std::array<bool, kCameraCount>& wanted, int cycles)
    : cameras_(cameras), wanted_(wanted), cyclesWanted_(cycles), gathered_(1) {}

void AlignmentCollector::OnCameraFrame(const CameraFrame& frame) {
  const int slot = frame.camera;
  if (!gatherThisCycle_ || !wanted_[slot] || frame.pixels == nullptr) return;
  Gathered& cycle = gathered_.back();
  const std::uint16_t* values = frame.pixels->values;
  cycle.pixels[slot].assign(values, values + frame.pixels->width * frame.pixels->height);
  cycle.stamps.stamp[slot] = frame.stamp;
  cycle.stamps.present[slot] = true;
  delivered_[slot] = true;
}

bool AlignmentCollector::OnCycle(const CycleFrame&) {
  if (done_) return false;
  if (gatherThisCycle_) {
    bool any = false;
    for (bool present : gathered_.back().stamps.present) any = any || present;
    if (any)
      ++cyclesGathered_;
    else
      gathered_.pop_back();
    std::vector<CycleStamps> stamps;
    for (const Gathered& cycle : gathered_) stamps.push_back(cycle.stamps);
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
  std::vector<CycleStamps> stamps;
  for (const Gathered& cycle : gathered_) stamps.push_back(cycle.stamps);
  const std::vector<bool> inStep = CyclesInStep(stamps, wanted_);
  for (size_t k = 0; k < gathered_.size() && clouds_.cycles < cyclesWanted_; ++k) {
    if (!inStep[k]) {
      ++clouds_.leftOut;
      continue;
    }
    for (int slot = 0; slot < kCameraCount; ++slot) {
      const std::vector<std::uint16_t>& pixels = gathered_[k].pixels[slot];
      if (!wanted_[slot]) continue;
      AddDepthFrame(pixels.data(), static_cast<int>(pixels.size()), cameras_[slot], clouds_.clouds[slot]);
      clouds_.present[slot] = true;
    }
    ++clouds_.cycles;
  }
  gathered_.clear();
  gathered_.shrink_to_fit();
}

}  // namespace kestrova
