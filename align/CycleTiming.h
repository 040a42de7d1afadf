// Whether the frames of a gathered cycle were taken at one moment, so that
// what moves in the scene stands at one place in every camera's cloud.
//
// Live frames, and those of a take that kept its clock (CLOCK.txt), carry
// their times on the host clock the recorder matched them by. Each
// camera's offset to the first camera is then the same in every cycle:
// about 0 for cameras that take their frames together, some constant part
// of a frame period for cameras that run on their own. A cycle where a
// camera's offset differs from its usual one (the one most cycles show) by
// more than kStepToleranceMs is out of step.
//
// A take without a clock file has only each camera's own stamps, whose
// offsets are unknown: the same test runs on them, but a camera whose
// offset changes during the take (it fell a frame behind, or caught up)
// leaves no way to tell which offset is the right one, and the caller
// should refuse (OffsetChanges). A camera that is behind in every cycle
// alike cannot be told this way either.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "settings/Settings.h"

namespace kestrova {

// The times (ms) of one cycle's frames: on the host clock when known, else
// each camera's own stamps.
struct CycleStamps {
  std::array<bool, kCameraCount> present{};
  std::array<double, kCameraCount> time{};
};

// Times jitter by a few milliseconds; a frame period is 33 ms at 30
// frames a second, and no sensor delivers more than 100 a second.
constexpr double kStepToleranceMs = 8;

// Per cycle: every wanted camera gave a frame, and each keeps its usual
// offset to the first wanted camera within kStepToleranceMs.
std::vector<bool> CyclesInStep(const std::vector<CycleStamps>& cycles,
                               const std::array<bool, kCameraCount>& wanted);

// The first wanted camera (slot) whose offset to the first wanted camera
// takes more than one value (beyond kStepToleranceMs) over the cycles
// where both have a frame; -1 when none does.
int OffsetChanges(const std::vector<CycleStamps>& cycles, const std::array<bool, kCameraCount>& wanted);

}  // namespace kestrova
