#include "core/CycleStatistics.h"

#include <cmath>

namespace kestrova {

void CycleStatistics::Start(const std::array<bool, kCameraCount>& cameras) {
  cameras_ = cameras;
  havePrevious_.fill(false);
  cycles_ = 0;
  lastSpreadMs_ = 0;
  largestSpreadMs_ = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) missed_[slot] = delivered_[slot] = dropped_[slot] = 0;
}

void CycleStatistics::Count(const AssembledCycle& cycle) {
  ++cycles_;
  lastSpreadMs_ = cycle.spreadMs;
  if (cycle.spreadMs > largestSpreadMs_) largestSpreadMs_ = cycle.spreadMs;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (!cameras_[slot] || cycle.results[slot] == GrabResult::NotRun) continue;
    if (cycle.results[slot] != GrabResult::Delivered) {
      ++missed_[slot];
      continue;
    }
    ++delivered_[slot];
    const AcquiredFrame& frame = cycle.frames[slot];
    if (havePrevious_[slot] && frame.periodMs > 0 && frame.stamp > previousStamp_[slot]) {
      const double periods = static_cast<double>(frame.stamp - previousStamp_[slot]) / frame.periodMs;
      if (periods >= 1.5 && periods <= kLongestCountedGapPeriods)
        dropped_[slot] += static_cast<std::uint64_t>(std::llround(periods)) - 1;
    }
    previousStamp_[slot] = frame.stamp;
    havePrevious_[slot] = true;
  }
}

}  // namespace kestrova
