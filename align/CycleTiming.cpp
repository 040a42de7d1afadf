#include "align/CycleTiming.h"

#include <cstdlib>

namespace kestrova {

namespace {

bool Close(std::int64_t a, std::int64_t b) { return std::llabs(a - b) <= kStepToleranceMs; }

// The gap most of `gaps` agree with (the earliest of equally many).
std::int64_t UsualGap(const std::vector<std::int64_t>& gaps) {
  std::int64_t usual = 0;
  size_t most = 0;
  for (std::int64_t gap : gaps) {
    size_t agreeing = 0;
    for (std::int64_t other : gaps) agreeing += Close(gap, other);
    if (agreeing > most) most = agreeing, usual = gap;
  }
  return usual;
}

}  // namespace

std::vector<bool> CyclesInStep(const std::vector<CycleStamps>& cycles,
                               const std::array<bool, kCameraCount>& wanted) {
  std::vector<bool> inStep(cycles.size(), true);
  int first = -1;
  for (int slot = 0; slot < kCameraCount && first < 0; ++slot)
    if (wanted[slot]) first = slot;
  for (size_t k = 0; k < cycles.size(); ++k)
    for (int slot = 0; slot < kCameraCount; ++slot)
      if (wanted[slot] && !cycles[k].present[slot]) inStep[k] = false;

  for (int slot = first + 1; first >= 0 && slot < kCameraCount; ++slot) {
    if (!wanted[slot]) continue;
    std::vector<std::int64_t> gaps;
    for (size_t k = 0; k < cycles.size(); ++k)
      if (inStep[k]) gaps.push_back(cycles[k].stamp[slot] - cycles[k].stamp[first]);
    const std::int64_t usual = UsualGap(gaps);
    for (size_t k = 0; k < cycles.size(); ++k)
      if (inStep[k] && !Close(cycles[k].stamp[slot] - cycles[k].stamp[first], usual)) inStep[k] = false;
  }
  return inStep;
}

}  // namespace kestrova
