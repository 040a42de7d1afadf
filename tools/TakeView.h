// `kestrova-take view`: plays a take in a 3D viewer at its recorded rate,
// each camera in its colour, inside the region-of-interest box.
// Keys: space pauses and resumes; Right or n steps a frame forward, Left or
// b one back; ] plays twice as fast, [ half as fast; Home starts again.
#pragma once

#include <string>

namespace kestrova {

struct ViewOptions {
  std::string dir;
  double speed = 1.0;
  bool once = false;       // end after the last frame instead of waiting
  std::string screenshot;  // a PNG of the last frame shown, written at the end
};

// Returns when the window is closed (or, with once, after the last frame).
bool ViewTake(const ViewOptions& options, std::string* error);

}  // namespace kestrova
