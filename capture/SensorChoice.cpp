#include "capture/SensorChoice.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "capture/OpenNI2Option.h"
#include "capture/ReplaySensor.h"
#include "capture/net/NetBackend.h"
#ifdef KESTROVA_WITH_FREENECT
#include "capture/FreenectSensor.h"
#endif
#ifdef KESTROVA_WITH_OPENNI2
#include "capture/OpenNI2Sensor.h"
#endif

namespace kestrova {

namespace {

bool ParseInt(const std::string& text, long low, long high, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

// "C@F": camera number and frame count.
bool ParseCameraAt(const std::string& text, int* slot, int* count) {
  size_t at = text.find('@');
  long camera, frames;
  if (at == std::string::npos || !ParseInt(text.substr(0, at), 1, kCameraCount, &camera) ||
      !ParseInt(text.substr(at + 1), 0, 1L << 30, &frames))
    return false;
  *slot = static_cast<int>(camera - 1);
  *count = static_cast<int>(frames);
  return true;
}

// "C@N" with N from -limit to limit.
bool ParseCameraSigned(const std::string& text, long limit, int* slot, int* count) {
  size_t at = text.find('@');
  long camera, number;
  if (at == std::string::npos || !ParseInt(text.substr(0, at), 1, kCameraCount, &camera) ||
      !ParseInt(text.substr(at + 1), -limit, limit, &number))
    return false;
  *slot = static_cast<int>(camera - 1);
  *count = static_cast<int>(number);
  return true;
}

// The real cameras, when this build has the libfreenect backend.
std::unique_ptr<SensorBackend> FreenectBackend(bool wholeFrames, std::string* error) {
#ifdef KESTROVA_WITH_FREENECT
  return MakeFreenectBackend(wholeFrames, error);
#else
  (void)wholeFrames;
  *error = "freenect is not built in (libfreenect was not found when Kestrova was built)";
  return nullptr;
#endif
}

// The OpenNI2 cameras or recordings, when this build has the OpenNI2 backend.
std::unique_ptr<SensorBackend> OpenNI2Backend(const OpenNI2Option& spec, std::string* error) {
#ifdef KESTROVA_WITH_OPENNI2
  return MakeOpenNI2Backend(spec, error);
#else
  (void)spec;
  *error = "openni2 is not built in (OpenNI2 was not found when Kestrova was built)";
  return nullptr;
#endif
}

// "freenect", "freenect:320x240" (the default) or "freenect:640x480".
bool ParseFreenectSpec(const std::string& spec, bool* wholeFrames, std::string* error) {
  *wholeFrames = false;
  if (spec == "freenect") return true;
  const std::string size = spec.substr(9);
  if (size == "640x480" || size == "320x240") {
    *wholeFrames = size == "640x480";
    return true;
  }
  *error = "freenect frames are 320x240 (every second pixel of every second row) or 640x480 (whole), not '" +
           size + "'";
  return false;
}

bool IsFreenectSpec(const std::string& spec) { return spec == "freenect" || spec.rfind("freenect:", 0) == 0; }

}  // namespace

bool ParseFrameSize(const std::string& text, int* width, int* height, std::string* error) {
  const size_t x = text.find('x');
  long w = 0, h = 0;
  if (x == std::string::npos || !ParseInt(text.substr(0, x), 1, kMaxDepthWidth, &w) ||
      !ParseInt(text.substr(x + 1), 1, kMaxDepthHeight, &h)) {
    *error = "frame size '" + text + "' is not WxH of 1 to " + std::to_string(kMaxDepthWidth) + " by 1 to " +
             std::to_string(kMaxDepthHeight) + " pixels";
    return false;
  }
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}

namespace {

// "C@X/Y/Z/RX/RY/RZ": camera number and pose (cm, degrees).
bool ParseCameraPose(const std::string& text, int* slot, CameraSetting* pose) {
  size_t at = text.find('@');
  long camera;
  if (at == std::string::npos || !ParseInt(text.substr(0, at), 1, kCameraCount, &camera)) return false;
  float numbers[6];
  std::stringstream values(text.substr(at + 1));
  std::string value;
  int count = 0;
  while (std::getline(values, value, '/')) {
    if (count == 6) return false;
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(number) || std::abs(number) > 10000) return false;
    numbers[count++] = static_cast<float>(number);
  }
  if (count != 6) return false;
  *slot = static_cast<int>(camera - 1);
  *pose = DefaultCameraSetting(*slot);
  pose->x = numbers[0], pose->y = numbers[1], pose->z = numbers[2];
  pose->rx = numbers[3], pose->ry = numbers[4], pose->rz = numbers[5];
  return true;
}

class NoSensorBackend : public SensorBackend {
 public:
  HRESULT NuiCreateSensorByIndex(int, std::unique_ptr<INuiSensor>* sensor) override {
    if (sensor) sensor->reset();
    return E_NUI_DEVICE_NOT_CONNECTED;
  }
  std::string Name() const override { return "none"; }
};

}  // namespace

bool KnownSensorSpec(const std::string& spec) {
  return spec == "sim" || IsFreenectSpec(spec) || IsOpenNI2Option(spec) || spec.rfind("sim:", 0) == 0 ||
         spec.rfind("replay:", 0) == 0 || net::IsNetSpec(spec);
}

const char kSensorSpecHelp[] =
    "SPEC is one of:\n"
    "  freenect                 real Kinect-class cameras through libfreenect, their\n"
    "                           640 x 480 depth halved to 320 x 240\n"
    "  freenect:640x480         the same at the cameras' own 640 x 480, through\n"
    "                           each camera's own lens\n"
    "  openni2                  OpenNI2 cameras (PrimeSense, Asus Xtion, Orbbec,\n"
    "                           Structure), numbered by serial, 640 x 480 at 30 fps\n"
    "  openni2:DEV,...          these OpenNI2 cameras as 1, 2, ...: each a URI, a\n"
    "                           serial number, or a FILE.oni recording to play\n"
    "    mode=WxH@FPS           the depth stream's mode (default 640x480@30)\n"
    "  sim                      four simulated cameras\n"
    "  sim:N                    N simulated cameras (0 to 4), numbers 1 to N\n"
    "  sim:N,OPTION,...         simulated cameras with options (C: a camera, 1 to 4):\n"
    "    absent=C               camera C is missing\n"
    "    stall=C@F              camera C goes silent after F frames\n"
    "    unplug=C@F             camera C is unplugged after F frames\n"
    "    resume=C@P             the stalled or unplugged camera C delivers again\n"
    "                           P frame periods later\n"
    "    failfetch=C@F          the F-th frame taken from camera C fails\n"
    "    late=C@MS              camera C's frames come MS ms late for one second\n"
    "                           in every five (a congested link)\n"
    "    jitter=C@MS            camera C's frames come up to MS ms late at random\n"
    "    drop=C@PERCENT         camera C loses PERCENT of its frames at random\n"
    "    drift=C@PPM            camera C's clock runs PPM parts per million fast\n"
    "                           (slow when negative)\n"
    "    seed=S                 S seeds the pixel noise and the random faults\n"
    "    pose=C@X/Y/Z/RX/RY/RZ  camera C stands at this pose (cm, degrees)\n"
    "                           instead of its camera's default pose\n"
    "    size=WxH               frames of W x H pixels (default 320x240, at most\n"
    "                           640x480), the default lens's field of view\n"
    "  replay:DIR               depth frames played from a take's DEPTHn.dat in DIR,\n"
    "                           or from DIR/cam1 to DIR/cam4 (16-bit PNG or PGM\n"
    "                           files); a replay ends after its last frame\n"
    "  net:STATION/C,...[,domain=N][,security=DIR]\n"
    "                           cameras of kestrova-station on other machines,\n"
    "                           slot by slot (- leaves a slot empty), on DDS domain N,\n"
    "                           with DDS Security from this machine's files in DIR\n"
    "                           (scripts/rig-security.sh); net,... is the same\n"
    "  net                      the first four remote cameras found\n";

bool CheckSensorSpec(const std::string& spec, std::string* error) {
  if (spec == "sim") return true;
  if (IsFreenectSpec(spec)) {
    bool wholeFrames;
    return ParseFreenectSpec(spec, &wholeFrames, error);
  }
  if (spec.rfind("sim:", 0) == 0) {
    SimOptions options;
    return ParseSimOptions(spec.substr(4), &options, error);
  }
  if (IsOpenNI2Option(spec)) {
    OpenNI2Option parsed;
    return ParseOpenNI2Option(spec, &parsed, error);
  }
  if (spec.rfind("replay:", 0) == 0) {
    if (spec.size() > 7) return true;
    *error = "replay:DIR needs the folder to play";
    return false;
  }
  if (net::IsNetSpec(spec)) {
    net::NetSpec netSpec;
    return net::ParseNetSpec(spec.substr(3), &netSpec, error);
  }
  *error = "unknown sensors '" + spec + "' (use sim, sim:N, replay:DIR, freenect, openni2 or net; see --help)";
  return false;
}

bool SensorsEndByThemselves(const std::string& spec) {
  return spec.rfind("replay:", 0) == 0 || IsOpenNI2Playback(spec);
}

std::unique_ptr<SensorBackend> MakeNoSensorBackend() { return std::make_unique<NoSensorBackend>(); }

const char kTrySimulatedCameras[] = "To try Kestrova on simulated cameras, start it with --sensors sim";

std::unique_ptr<SensorBackend> MakeRealSensorBackend(std::string* error) {
  return FreenectBackend(false, error);
}

bool ParseSimOptions(const std::string& text, SimOptions* options, std::string* error) {
  std::stringstream items(text);
  std::string item;
  bool first = true;
  while (std::getline(items, item, ',')) {
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    long number = 0;
    int slot = 0, count = 0;
    CameraSetting pose;
    if (first && eq == std::string::npos) {
      if (!ParseInt(item, 0, kCameraCount, &number)) {
        *error = "sensor count must be 0 to 4: '" + item + "'";
        return false;
      }
      for (int i = 0; i < kCameraCount; ++i) options->present[i] = i < number;
    } else if (key == "absent" && ParseInt(value, 1, kCameraCount, &number)) {
      options->present[number - 1] = false;
    } else if ((key == "stall" || key == "unplug") && ParseCameraAt(value, &slot, &count)) {
      options->stallAfter[slot] = count;
      options->unplugged[slot] = key == "unplug";
    } else if (key == "resume" && ParseCameraAt(value, &slot, &count)) {
      options->resumeAfter[slot] = count;
    } else if (key == "failfetch" && ParseCameraAt(value, &slot, &count) && count > 0) {
      options->failFetchAt[slot] = count;
    } else if ((key == "late" || key == "jitter") && ParseCameraAt(value, &slot, &count) && count <= 2000) {
      (key == "late" ? options->lateMs : options->jitterMs)[slot] = count;
    } else if (key == "drop" && ParseCameraAt(value, &slot, &count) && count <= 100) {
      options->dropPercent[slot] = count;
    } else if (key == "drift" && ParseCameraSigned(value, 10000, &slot, &count)) {
      options->driftPpm[slot] = count;
    } else if (key == "seed" && ParseInt(value, 0, 0x7FFFFFFF, &number)) {
      options->seed = static_cast<std::uint32_t>(number);
    } else if (key == "pose" && ParseCameraPose(value, &slot, &pose)) {
      options->moved[slot] = true;
      options->truePose[slot] = pose;
    } else if (key == "size") {
      if (!ParseFrameSize(value, &options->width, &options->height, error)) return false;
    } else {
      *error = "unknown simulation option '" + item + "' (see the simulation options in --help)";
      return false;
    }
    first = false;
  }
  for (int i = 0; i < kCameraCount; ++i) {
    if (options->resumeAfter[i] >= 0 && options->stallAfter[i] < 0) {
      *error = "resume=" + std::to_string(i + 1) + "@P needs a stall or unplug of camera " +
               std::to_string(i + 1);
      return false;
    }
  }
  return true;
}

std::unique_ptr<SensorBackend> MakeSensorBackend(const std::string& spec, double fps,
                                                 std::string* error) {
  if (!(fps >= 0) || fps > 1000) {
    *error = "frame rate must be 0 to 1000";
    return nullptr;
  }
  if (!CheckSensorSpec(spec, error)) return nullptr;
  if (spec == "sim" || spec.rfind("sim:", 0) == 0) {
    SimOptions options;
    options.fps = fps;
    if (spec.size() > 4 && !ParseSimOptions(spec.substr(4), &options, error)) return nullptr;
    return std::make_unique<SimulatedBackend>(options);
  }
  if (spec.rfind("replay:", 0) == 0) {
    std::string dir = spec.substr(7);
    auto backend = std::make_unique<ReplayBackend>(dir, fps);
    if (!backend->Problem().empty()) {
      *error = backend->Problem();
      return nullptr;
    }
    if (backend->CameraCount() == 0) {
      *error = "no frames to replay in " + dir + " (expected a take with DEPTHn.dat, or cam1/ to cam4/ with .pgm or .png files)";
      return nullptr;
    }
    return backend;
  }
  if (IsFreenectSpec(spec)) {
    bool wholeFrames;
    if (!ParseFreenectSpec(spec, &wholeFrames, error)) return nullptr;
    return FreenectBackend(wholeFrames, error);
  }
  if (IsOpenNI2Option(spec)) {
    OpenNI2Option parsed;
    if (!ParseOpenNI2Option(spec, &parsed, error)) return nullptr;
    return OpenNI2Backend(parsed, error);
  }
  if (net::IsNetSpec(spec)) {
    net::NetSpec netSpec;
    if (!net::ParseNetSpec(spec.substr(3), &netSpec, error)) return nullptr;
    return net::MakeNetBackend(netSpec, error);
  }
  return nullptr;  // CheckSensorSpec refused it

}

}  // namespace kestrova
