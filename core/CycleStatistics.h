// How the running loop's cycles came out, for the recorder's progress line,
// the window and tests: the spread of each cycle's frames on the host clock
// (how far apart in time its cameras took them), the cycles a camera had no
// frame in, and the sensor frames a camera's time stamps show it never
// handed over. Counted from the start of each loop run.
//
// Thread contract: Count runs on the loop thread between cycles; the
// readers may run on any thread at any time (every value is atomic).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "core/CycleAssembler.h"

namespace kestrova {

class CycleStatistics {
 public:
  // A gap in a camera's stamps longer than this many of its periods is an
  // outage (the lost-camera report tells it), not dropped frames; a stamp
  // that goes back counts nothing.
  static constexpr double kLongestCountedGapPeriods = 90;

  // A new loop run of the cameras marked in `cameras`.
  void Start(const std::array<bool, kCameraCount>& cameras);
  void Count(const AssembledCycle& cycle);

  std::uint64_t Cycles() const { return cycles_; }
  double LastSpreadMs() const { return lastSpreadMs_; }
  double LargestSpreadMs() const { return largestSpreadMs_; }
  // Cycles of the run in which camera `slot` had no frame.
  std::uint64_t Missed(int slot) const { return missed_[slot]; }
  std::uint64_t Delivered(int slot) const { return delivered_[slot]; }
  // Sensor frames camera `slot` never handed over to a cycle, as the gaps
  // in its time stamps show (at its own frame period).
  std::uint64_t Dropped(int slot) const { return dropped_[slot]; }

 private:
  std::array<bool, kCameraCount> cameras_{};
  std::array<std::int64_t, kCameraCount> previousStamp_{};
  std::array<bool, kCameraCount> havePrevious_{};
  std::atomic<std::uint64_t> cycles_{0};
  std::atomic<double> lastSpreadMs_{0}, largestSpreadMs_{0};
  std::array<std::atomic<std::uint64_t>, kCameraCount> missed_{}, delivered_{}, dropped_{};
};

}  // namespace kestrova
