// Which cameras a take records: those enabled that have a sensor. A take
// for which cameras are enabled but none has a sensor would record nothing
// while its clock runs, so it is refused; a take with no camera enabled at
// all still runs and leaves its settings snapshot alone.
#pragma once

#include <array>
#include <string>

#include "settings/Settings.h"

namespace kestrova {

extern const char kNoSensorForTake[];  // "none of the enabled cameras has a sensor"

// Marks the cameras of the take in `take`; false with kNoSensorForTake in
// `error` when cameras are enabled and none of them has a sensor.
bool ChooseTakeCameras(const int (&enabled)[kCameraCount], const std::array<bool, kCameraCount>& hasSensor,
                       std::array<bool, kCameraCount>* take, std::string* error);

}  // namespace kestrova
