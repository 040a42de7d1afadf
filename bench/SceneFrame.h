// A realistic depth frame for benchmarks: a camera's view of the simulated
// scene, with noise, as the sensor would deliver it.
#pragma once

#include <cstdint>
#include <vector>

#include "settings/DepthFrameFormat.h"

namespace kestrova {

// The default 320 x 240 frame, or (`large`) 640 x 480 with the same field of view.
DepthFrameFormat SceneFormat(bool large = false);

// Camera `slot`'s (0..3) view from its default pose, the moving objects at 1 s.
const std::vector<std::uint16_t>& SceneFrame(int slot = 0, bool large = false);

}  // namespace kestrova
