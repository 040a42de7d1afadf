// Processing a take again from the depth frames it kept (DEPTHn.dat): every
// frame runs through the live pipeline with the take's own settings or
// others, and the new take is written by the take writer, so with the same
// settings its point streams and time-stamp lists equal the original ones
// byte for byte. The new take is staged and put into place only when
// complete: a run that fails or is stopped leaves no take.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "record/TakeReader.h"

namespace kestrova {

struct ReprocessOptions {
  std::string take;        // the take with depth frames
  std::string out;         // a directory other than `take`; made when missing
  std::string paramsFile;  // empty: the take's own RECPARAM.txt
  bool replace = false;    // write over a take already in `out` (refused otherwise)
  std::function<bool()> stop = nullptr;  // asked after every frame: true ends the run, writing nothing
};

struct ReprocessResult {
  int cameras = 0;
  long long frames = 0;           // frames processed, all cameras together
  std::vector<ReadFault> stops;   // depth files cut short (a crash): every whole frame was processed
  bool stopped = false;           // `stop` ended the run
};

// Called after every frame with the frames done and the frames in all.
using ReprocessProgress = std::function<void(std::size_t done, std::size_t total)>;

// False with a reason when the new take was not written: nothing could be
// processed, a depth file has a fault other than a cut-short tail (named
// with its file, record and byte), the new take could not be written, or
// `stop` ended the run.
bool ReprocessTake(const ReprocessOptions& options, ReprocessResult* result, std::string* error,
                   const ReprocessProgress& progress = nullptr);

}  // namespace kestrova
