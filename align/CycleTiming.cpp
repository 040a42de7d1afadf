#include "align/CycleTiming.h"

#include <cmath>

namespace kestrova {

namespace {

bool Close(double a, double b) { return std::abs(a - b) <= kStepToleranceMs; }

int FirstWanted(const std::array<bool, kCameraCount>& wanted) {
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (wanted[slot]) return slot;
  return -1;
}

// The offsets of camera `slot` to camera `first` over the cycles both have
// (and that `use` lets through).
std::vector<double> Offsets(const std::vector<CycleStamps>& cycles, int first, int slot,
                            const std::vector<bool>& use) {
  std::vector<double> offsets;
  for (size_t k = 0; k < cycles.size(); ++k)
    if (use[k] && cycles[k].present[first] && cycles[k].present[slot])
      offsets.push_back(cycles[k].time[slot] - cycles[k].time[first]);
  return offsets;
}

// The offset most of `offsets` agree with (the earliest of equally many).
double UsualOffset(const std::vector<double>& offsets) {
  double usual = 0;
  size_t most = 0;
  for (double offset : offsets) {
    size_t agreeing = 0;
    for (double other : offsets) agreeing += Close(offset, other);
    if (agreeing > most) most = agreeing, usual = offset;
  }
  return usual;
}

}  // namespace

std::vector<bool> CyclesInStep(const std::vector<CycleStamps>& cycles,
                               const std::array<bool, kCameraCount>& wanted) {
  std::vector<bool> inStep(cycles.size(), true);
  const int first = FirstWanted(wanted);
  for (size_t k = 0; k < cycles.size(); ++k)
    for (int slot = 0; slot < kCameraCount; ++slot)
      if (wanted[slot] && !cycles[k].present[slot]) inStep[k] = false;

  for (int slot = first + 1; first >= 0 && slot < kCameraCount; ++slot) {
    if (!wanted[slot]) continue;
    const double usual = UsualOffset(Offsets(cycles, first, slot, inStep));
    for (size_t k = 0; k < cycles.size(); ++k)
      if (inStep[k] && !Close(cycles[k].time[slot] - cycles[k].time[first], usual)) inStep[k] = false;
  }
  return inStep;
}

int OffsetChanges(const std::vector<CycleStamps>& cycles, const std::array<bool, kCameraCount>& wanted) {
  const int first = FirstWanted(wanted);
  const std::vector<bool> all(cycles.size(), true);
  for (int slot = first + 1; first >= 0 && slot < kCameraCount; ++slot) {
    if (!wanted[slot]) continue;
    const std::vector<double> offsets = Offsets(cycles, first, slot, all);
    const double usual = UsualOffset(offsets);
    for (double offset : offsets)
      if (!Close(offset, usual)) return slot;
  }
  return -1;
}

}  // namespace kestrova
