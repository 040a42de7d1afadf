// Depth cameras through OpenNI2 (PrimeSense Carmine, Asus Xtion, Orbbec
// Astra, Structure and the like), and recordings made with OpenNI2's tools
// (FILE.oni). Each camera's depth stream is opened at the chosen mode
// (640 x 480 at 30 frames a second by default) in millimetres, mirroring
// off; its lens follows from the stream's fields of view, its time stamps
// are the device's (microseconds, kept as milliseconds).
//
// Cameras named by serial are found by opening every device OpenNI2 lists
// and reading its serial, so a camera keeps its number however it is
// plugged; with no devices named, the cameras found are numbered in the
// order of their serials. A camera that OpenNI2 cannot open (busy, gone) is
// missing, and the terminal is told why with OpenNI2's own error. A camera
// that OpenNI2 reports disconnected during a run is lost: its fetches answer
// E_NUI_DEVICE_NOT_CONNECTED at once, while the others go on.
//
// A recording plays in its own time and ends after its last frame (or when
// it gives no frame for 2 s) (NuiStreamEnded), as replay: does.
#pragma once

#include <memory>
#include <string>

#include "capture/NuiSensor.h"
#include "capture/OpenNI2Option.h"

namespace kestrova {

// The backend when at least one camera opens; else nullptr and the reason.
std::unique_ptr<SensorBackend> MakeOpenNI2Backend(const OpenNI2Option& spec, std::string* error);

}  // namespace kestrova
