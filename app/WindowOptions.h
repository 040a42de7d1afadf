// The options of the window program, read before the window system starts,
// so that --help and a bad option are answered on the terminal even where
// there is no display.
#pragma once

#include <string>
#include <vector>

namespace kestrova {

struct WindowOptions {
  std::string sensors;  // empty: the real depth cameras
  double fps = 30;
  bool keepDepth = false;  // "Keep depth frames" checked at start
  bool help = false;
  bool version = false;
};

// False with a one-line reason when the arguments are not understood.
bool ParseWindowOptions(const std::vector<std::string>& args, WindowOptions* options,
                        std::string* error);

std::string WindowUsage();

}  // namespace kestrova
