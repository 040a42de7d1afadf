#include "record/TakeCameras.h"

namespace kestrova {

const char kNoSensorForTake[] = "none of the enabled cameras has a sensor";

bool CheckTakeCameras(const int (&enabled)[kCameraCount], const std::array<bool, kCameraCount>& take,
                      std::string* error) {
  bool anyEnabled = false, anyTaken = false;
  for (int i = 0; i < kCameraCount; ++i) {
    anyEnabled |= enabled[i] != 0;
    anyTaken |= take[i];
  }
  if (anyEnabled && !anyTaken) {
    if (error) *error = kNoSensorForTake;
    return false;
  }
  return true;
}

}  // namespace kestrova
