#include "bench/SceneFrame.h"

#include <array>

#include "capture/SimulatedScene.h"
#include "settings/Settings.h"

namespace kestrova {

DepthFrameFormat SceneFormat(bool large) {
  return large ? ScaledDefaultFormat(kMaxDepthWidth, kMaxDepthHeight) : DepthFrameFormat();
}

const std::vector<std::uint16_t>& SceneFrame(int slot, bool large) {
  using Frames = std::array<std::vector<std::uint16_t>, kCameraCount>;
  auto render = [](bool big) {
    Frames all;
    SimulatedScene scene;
    for (int i = 0; i < kCameraCount; ++i)
      all[i] = RenderSensorFrame(scene, PoseFromSetting(DefaultCameraSetting(i)), 1.0, 1 + 1000 * i, SceneFormat(big));
    return all;
  };
  static const Frames frames = render(false);
  static const Frames largeFrames = render(true);
  return (large ? largeFrames : frames)[slot];
}

}  // namespace kestrova
