// The openni2 sensor option, parsed whether or not OpenNI2 is built in:
//   openni2                   every OpenNI2 depth camera, numbered by serial
//   openni2:DEV,...           these cameras as 1, 2, ...: each an OpenNI2
//                             URI, a serial number, or a FILE.oni to play
//   openni2:...,mode=WxH@FPS  the depth stream's mode (default 640x480@30)
#pragma once

#include <string>
#include <vector>

namespace kestrova {

struct OpenNI2Option {
  std::vector<std::string> devices;  // empty: every device found, by serial
  int width = 640, height = 480, fps = 30;
};

bool IsOpenNI2Option(const std::string& option);
// True when the option plays .oni files only: such cameras end by themselves.
bool IsOpenNI2Playback(const std::string& option);
// A device item that names a recording rather than a camera.
bool IsOniFile(const std::string& device);
// Parses "openni2" or "openni2:..."; false with a reason otherwise.
bool ParseOpenNI2Option(const std::string& option, OpenNI2Option* parsed, std::string* error);

}  // namespace kestrova
