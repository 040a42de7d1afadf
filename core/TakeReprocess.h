// Processing a take again from the depth frames it kept (DEPTHn.dat): every
// frame runs through the live pipeline with the take's own settings or
// others, and the new take is written by the take writer, so with the same
// settings its point streams and time-stamp lists equal the original ones
// byte for byte.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "record/TakeReader.h"

namespace kestrova {

struct ReprocessOptions {
  std::string take;        // the take with depth frames
  std::string out;         // an existing directory other than `take`
  std::string paramsFile;  // empty: the take's own RECPARAM.txt
  bool replace = false;    // write over a take already in `out` (refused otherwise)
};

struct ReprocessResult {
  int cameras = 0;
  long long frames = 0;           // frames processed, all cameras together
  std::vector<ReadFault> stops;   // depth files cut short: every whole frame was processed
};

// Called after every frame with the frames done and the frames in all.
using ReprocessProgress = std::function<void(std::size_t done, std::size_t total)>;

// False with a reason when nothing could be processed or the new take could
// not be written.
bool ReprocessTake(const ReprocessOptions& options, ReprocessResult* result, std::string* error,
                   const ReprocessProgress& progress = nullptr);

}  // namespace kestrova
