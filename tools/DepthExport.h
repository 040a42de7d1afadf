// `kestrova-take export --depth`: the depth frames a take kept, as one
// 16-bit greyscale image per frame and camera that other depth tools read,
// OUT/camN/frameNNNNNN.png (or .pgm), NNNNNN the take's frame number. The
// images hold millimetres (the sensor pixel shifted right by 3), so the
// pixel's low bits are not kept. Beside each camera's images go its
// intrinsics (intrinsics.txt and Open3D's intrinsics.json, with the depth
// scale; see DepthIntrinsics.h); `replay:OUT` plays the folders through them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "record/TakeReader.h"

namespace kestrova {

struct DepthExportOptions {
  std::string take;
  std::string out;   // must exist
  bool png = true;   // else 16-bit binary PGM
};

struct DepthExportResult {
  int cameras = 0;
  long long files = 0;
  std::vector<ReadFault> stops;  // depth files cut short (a crash): every whole frame was written
};

// False with a reason when the take holds no depth frames, a depth file has
// a fault other than a cut-short tail (named with its file, record and
// byte), or a file cannot be written. The frames are numbered by the take,
// rising in every file, so each is one file. `progress(done, total)` is called after every frame.
bool ExportDepthFrames(const DepthExportOptions& options, DepthExportResult* result,
                       std::string* error, const std::function<void(size_t, size_t)>& progress);

}  // namespace kestrova
