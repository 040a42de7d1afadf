// `kestrova-take export`: one PCD or PLY file per frame and camera, or with
// merge one per frame with every camera, each point in its camera's preview
// colour, written with PCL's own I/O.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "record/TakeReader.h"

namespace kestrova {

struct ExportOptions {
  std::string dir;
  std::string out;
  bool ply = false;             // else PCD
  bool centimetres = true;      // divide by the take's calibration; else PCL units
  bool merge = false;
  std::int64_t firstFrame = 0;  // frame numbers, inclusive
  std::int64_t lastFrame = std::numeric_limits<std::int64_t>::max();
};

// "A:B", "A:" or ":B" (frame numbers, inclusive).
bool ParseFrameRange(const std::string& text, ExportOptions* options, std::string* error);

struct ExportResult {
  int frames = 0;
  int files = 0;
  std::vector<ReadFault> stops;       // where a camera's data ended early
  std::vector<ReadFault> takeFaults;  // RECPARAM.txt unreadable: every camera with files exported
};

// Writes the files; `progress(done, total)` is called as frames are written.
// False with a reason when nothing sensible can be written (no take, an
// unusable calibration for centimetres, a file that cannot be written).
bool ExportTake(const ExportOptions& options, ExportResult* result, std::string* error,
                const std::function<void(size_t, size_t)>& progress);

}  // namespace kestrova
