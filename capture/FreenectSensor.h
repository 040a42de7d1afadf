// Real Kinect-class depth cameras through libfreenect. Up to four devices,
// numbered in libfreenect's order and opened by serial where every serial
// can be read, each for depth alone; one event thread serves them all (see
// FreenectContext.h). Depth comes at 640 x 480 in millimetres and is halved
// to the default 320 x 240 frame (see FreenectFrames.h), or kept whole
// through the device's own lens (freenect:640x480); time stamps are
// the device's 60 MHz clock unwrapped into milliseconds since the sensor's
// initialisation. Near mode is asked for where the device has it.
//
// A camera that starts its stream but delivers no frame (USB bandwidth)
// fails to open its stream, as a missing one. A camera whose USB device
// libfreenect marks dead (unplugged) is lost: its fetches answer
// E_NUI_DEVICE_NOT_CONNECTED at once, while the others go on. The terminal
// is told of both, with the camera's number and serial.
#pragma once

#include <memory>
#include <string>

#include "capture/NuiSensor.h"

namespace kestrova {

// The backend when at least one device is found; else nullptr and the
// reason ("no depth sensor found"). `wholeFrames`: 640 x 480 frames, else
// the default 320 x 240.
std::unique_ptr<SensorBackend> MakeFreenectBackend(bool wholeFrames, std::string* error);

}  // namespace kestrova
