// The options of kestrova-record, parsed from the command line.
#pragma once

#include <string>
#include <vector>

namespace kestrova {

struct RecordOptions {
  std::string sensors;     // empty: the real cameras, as the window
  bool replace = false;    // record over a take already in the directory
  bool keepDepth = false;  // keep every depth frame (DEPTHn.dat per camera)
  double fps = 30;
  std::string paramsFile;  // empty: KVA_Params.txt when present, else defaults
  std::string outputDir;
  long frames = 0;         // record exactly this many cycles
  double seconds = 0;      // or stop at this time limit
  bool help = false;
  bool version = false;
};

// False with a one-line reason when the arguments do not make a take.
bool ParseRecordOptions(const std::vector<std::string>& args, RecordOptions* options,
                        std::string* error);

std::string RecordUsage();

}  // namespace kestrova
