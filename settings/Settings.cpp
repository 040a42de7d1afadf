#include "settings/Settings.h"

namespace kestrova {

CameraSetting DefaultCameraSetting(int slot) {
  static const CameraSetting kDefaults[kCameraCount] = {
      {3.0f, 0.0f, -70.0f, 17.0f, -2.0f, -2.0f, 255, 255, 0, 15.0f},
      {78.5f, 1.0f, -4.5f, 16.0f, -90.0f, 0.0f, 0, 255, 0, 15.0f},
      {-85.5f, 1.0f, -9.5f, 14.5f, 90.0f, 0.0f, 0, 255, 255, 15.0f},
      {-5.0f, 0.0f, 65.5f, 15.0f, 179.0f, 1.0f, 0, 0, 255, 15.0f},
  };
  return kDefaults[slot];
}

}  // namespace kestrova
