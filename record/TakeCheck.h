// What a take directory holds, and whether it is sound: every camera's
// files read against the format and against each other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/ParamsFile.h"
#include "record/TakeReader.h"

namespace kestrova {

struct CameraReport {
  int number = 0;                // 1..4
  bool inTake = false;           // enabled in RECPARAM.txt (every camera when it is missing)
  bool hasPoints = false;        // PCLn.dat present
  bool hasTimeStamps = false;    // TSn.txt present
  std::vector<TimeStampLine> lines;
  long long records = 0;         // whole records read
  std::uint64_t pointsMin = 0, pointsMax = 0;
  double pointsMean = 0;
  double durationSeconds = 0;    // first to last time stamp
  double frameRate = 0;          // frames per second from the time stamps
  double framePeriodMs = 0;      // the usual step between time stamps
  long long droppedFrames = 0;   // sensor frames missing between time stamps
  long long missingFrames = 0;   // frame numbers of the take this camera has no line for
  std::vector<ReadFault> faults;
};

struct TakeReport {
  std::string dir;
  bool hasParams = false;
  std::string timeText;          // the TIME: line's text
  OperatorSettings settings;
  CameraSettings cameras;
  std::vector<CameraReport> cameraReports;  // cameras in the take or with files
  std::vector<ReadFault> faults;            // take-wide (RECPARAM.txt)

  bool Sound() const;
  // Every fault, take-wide first, then camera by camera.
  std::vector<ReadFault> AllFaults() const;
  // Cameras with files that RECPARAM.txt does not enable: left by an older take.
  std::vector<int> OlderTakeCameras() const;
};

enum class TakeScan {
  Everything,  // every coordinate is read and checked
  Records,     // record counts and bounds only; the points are skipped
};

// Reads every file of the take in `dir` (streaming: the point files are
// never held in memory whole).
TakeReport ExamineTake(const std::string& dir, TakeScan scan = TakeScan::Everything);

}  // namespace kestrova
