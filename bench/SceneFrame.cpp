#include "bench/SceneFrame.h"

#include <array>

#include "capture/NuiSensor.h"
#include "capture/SimulatedScene.h"
#include "settings/Settings.h"

namespace kestrova {

const std::vector<std::uint16_t>& SceneFrame(int slot) {
  static const std::array<std::vector<std::uint16_t>, kCameraCount> frames = [] {
    std::array<std::vector<std::uint16_t>, kCameraCount> all;
    SimulatedScene scene;
    for (int i = 0; i < kCameraCount; ++i)
      all[i] = RenderSensorFrame(scene, PoseFromSetting(DefaultCameraSetting(i)), 1.0, 1 + 1000 * i);
    return all;
  }();
  return frames[slot];
}

}  // namespace kestrova
