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
    for (int i = 0; i < kCameraCount; ++i) {
      SimCameraPose pose = PoseFromSetting(DefaultCameraSetting(i));
      std::vector<std::uint16_t> depth = scene.RenderStatic(pose);
      std::vector<std::uint8_t> label(kDepthPixels, 0);
      scene.RenderMoving(pose, 1.0, depth.data(), label.data());
      all[i].resize(kDepthPixels);
      EncodeDepthPixels(depth.data(), label.data(), 1 + 1000 * i, all[i].data());
    }
    return all;
  }();
  return frames[slot];
}

}  // namespace kestrova
