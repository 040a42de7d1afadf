// Whether the frames that a loop grabbed in one cycle were taken at one
// moment. They are not always: a camera whose queue still held an older
// frame hands that one over, a frame period behind the others, and what
// moves in the scene then stands elsewhere in its frame. Each camera stamps
// its frames on its own clock, so moments cannot be compared across
// cameras directly; but the gap between two cameras' stamps stays the same
// from cycle to cycle as long as both hand over frames of the same moment.
// A cycle where a camera's gap to the first camera differs from its usual
// gap (the one most cycles show) is out of step. A camera that is behind in
// every cycle alike cannot be told this way.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "settings/Settings.h"

namespace kestrova {

// The stamps (ms, each camera's own clock) of one cycle's frames.
struct CycleStamps {
  std::array<bool, kCameraCount> present{};
  std::array<std::int64_t, kCameraCount> stamp{};
};

// Stamps jitter by a few milliseconds; a frame period is 33 ms at 30
// frames a second, and no sensor delivers more than 100 a second.
constexpr std::int64_t kStepToleranceMs = 8;

// Per cycle: every wanted camera gave a frame, and each keeps its usual gap
// to the first wanted camera within kStepToleranceMs.
std::vector<bool> CyclesInStep(const std::vector<CycleStamps>& cycles,
                               const std::array<bool, kCameraCount>& wanted);

}  // namespace kestrova
