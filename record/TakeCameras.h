// Which cameras a take records: those enabled that have a sensor (the
// engine's EnabledCameras). A take
// for which cameras are enabled but none has a sensor would record nothing
// while its clock runs, so it is refused; a take with no camera enabled at
// all still runs and leaves its settings snapshot alone.
#pragma once

#include <array>
#include <string>

#include "settings/Settings.h"

namespace kestrova {

extern const char kNoSensorForTake[];  // "none of the enabled cameras has a sensor"

// False with kNoSensorForTake in `error` when cameras are enabled and none
// of them is in `take`, the set that has sensors.
bool CheckTakeCameras(const int (&enabled)[kCameraCount], const std::array<bool, kCameraCount>& take,
                      std::string* error);

}  // namespace kestrova
