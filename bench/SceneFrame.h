// A realistic depth frame for benchmarks: a camera's view of the simulated
// scene, with noise, as the sensor would deliver it.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrova {

// Camera `slot`'s (0..3) view from its default pose, the moving objects at 1 s.
const std::vector<std::uint16_t>& SceneFrame(int slot = 0);

}  // namespace kestrova
