// Chooses the sensor backend from a command-line text:
//   sim                 four simulated sensors
//   sim:N               N simulated sensors, at indexes 0..N-1
//   sim:N,absent=C,stall=C@F,unplug=C@F,resume=C@P,failfetch=C@F,seed=S
//   sim:N,pose=C@X/Y/Z/RX/RY/RZ
//   sim:N,late=C@MS,jitter=C@MS,drop=C@PERCENT,drift=C@PPM,size=WxH
//                       with camera C (1..4) missing, going silent or
//                       unplugged after F frames (back P frame periods
//                       later with resume), failing its F-th fetch,
//                       standing at another pose (cm, degrees) than its
//                       camera's default, its frames coming MS ms late
//                       for one second in every five (late), or up to MS
//                       late at random (jitter), losing
//                       PERCENT of its frames at random, or its clock
//                       running PPM parts per million fast; every
//                       camera's frames W x H pixels
//   replay:DIR          depth frames played from a take's DEPTHn.dat in DIR,
//                       or from DIR/cam1 .. DIR/cam4
//   freenect            real Kinect-class cameras through libfreenect
//   freenect:640x480    the same at their own 640 x 480
//   openni2[:DEV,...]   OpenNI2 cameras or FILE.oni recordings (OpenNI2Option.h)
//   net                 the first four remote cameras found on the network
//   net:STATION/C,-,...,domain=N
//                       remote cameras of stations, slot by slot (- leaves
//                       a slot empty), on DDS domain N (default 0)
#pragma once

#include <memory>
#include <string>

#include "capture/NuiSensor.h"
#include "capture/SimulatedSensor.h"

namespace kestrova {

// True when `spec` names a kind of sensors (whether or not any are found).
bool KnownSensorSpec(const std::string& spec);

// False with a reason when `spec` is no sensor text: an unknown kind, a bad
// simulation option, replay: without a folder, a bad net: list. Every
// program answers that as a bad option (status 2); a good text that finds
// no sensor is a failure of the work (status 1).
bool CheckSensorSpec(const std::string& spec, std::string* error);

// True for sensors that end by themselves after their last frame (replay:).
bool SensorsEndByThemselves(const std::string& spec);

// The table of sensor texts and simulation options that every program's
// --help shows, starting "SPEC is one of".
extern const char kSensorSpecHelp[];

// "640x480": a frame size of 1 to 640 by 1 to 480 pixels; false with a reason otherwise.
bool ParseFrameSize(const std::string& text, int* width, int* height, std::string* error);

// Parses the part after "sim:" into `options`; false with a reason otherwise.
bool ParseSimOptions(const std::string& text, SimOptions* options, std::string* error);

// What both programs add when they find no real camera.
extern const char kTrySimulatedCameras[];

// Real depth cameras, when a hardware backend finds any; else nullptr with
// the reason.
std::unique_ptr<SensorBackend> MakeRealSensorBackend(std::string* error);

// A backend with no sensor at all.
std::unique_ptr<SensorBackend> MakeNoSensorBackend();

// The backend named by `spec` with frame rate `fps` (0 = free-running), or
// nullptr with a reason.
std::unique_ptr<SensorBackend> MakeSensorBackend(const std::string& spec, double fps,
                                                 std::string* error);

}  // namespace kestrova
