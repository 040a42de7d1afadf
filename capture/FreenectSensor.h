// Real Kinect-class depth cameras through libfreenect. Up to four devices,
// by libfreenect's index, each opened for depth alone. One event thread runs
// libfreenect's event processing for every device; it is stopped and joined
// when the last sensor is shut down. Depth comes at 640 x 480 in millimetres
// and is halved to the sensor layer's 320 x 240 (see FreenectFrames.h); time
// stamps are the device's 60 MHz clock unwrapped into milliseconds since the
// sensor's initialisation. Near mode is asked for where the device has it.
#pragma once

#include <memory>
#include <string>

#include "capture/NuiSensor.h"

namespace kestrova {

// The backend when at least one device is found; else nullptr and the
// reason ("no depth sensor found").
std::unique_ptr<SensorBackend> MakeFreenectBackend(std::string* error);

}  // namespace kestrova
