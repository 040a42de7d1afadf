// What a take directory holds, and whether it is sound: every camera's
// files read against the format and against each other, streaming, so the
// memory used does not grow with the files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/TakeLens.h"
#include "record/TakeReader.h"
#include "settings/ParamsFile.h"
#include "record/TakeVersion.h"

namespace kestrova {

struct CameraReport {
  int number = 0;                // 1..4
  bool inTake = false;           // enabled in RECPARAM.txt (every camera when it is unreadable)
  bool hasPoints = false;        // PCLn.dat present
  bool hasTimeStamps = false;    // TSn.txt present
  long long lineCount = 0;       // whole lines read
  long long records = 0;         // whole records read
  std::uint64_t pointsMin = 0, pointsMax = 0;
  double pointsMean = 0;
  double durationSeconds = 0;    // first to last time stamp
  double frameRate = 0;          // frames per second from the time stamps
  double framePeriodMs = 0;      // the usual step between time stamps
  long long droppedFrames = 0;   // sensor frames missing between time stamps
  long long missingFrames = 0;   // frame numbers of the take this camera has no line for
  bool hasDepth = false;         // DEPTHn.dat present (depth frames kept)
  long long depthFrames = 0;     // its whole frames
  std::uint64_t depthBytes = 0;  // its size
  double depthRatio = 0;         // raw pixel bytes over the file's bytes
  DepthFrameFormat format;       // its frames' size and lens (LENS.txt, else the default)
  std::vector<ReadFault> faults;
};

struct TakeReport {
  std::string dir;
  bool paramsPresent = false;    // RECPARAM.txt exists
  bool hasParams = false;        // ... and reads as a settings file
  std::string timeText;          // the TIME: line's text, printable characters only
  OperatorSettings settings;
  CameraSettings cameras;
  TakeLens lens;                            // LENS.txt, or every camera at the default frame
  bool hasVersion = false;       // VERSION.txt exists and reads (older takes have none)
  TakeVersion version;           // ... which build wrote the take
  std::vector<CameraReport> cameraReports;  // cameras in the take or with files
  std::vector<ReadFault> faults;            // take-wide (RECPARAM.txt, CLOCK.txt, LENS.txt)

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

// Reads every file of the take in `dir`.
TakeReport ExamineTake(const std::string& dir, TakeScan scan = TakeScan::Everything);

// Reads RECPARAM.txt into the report: its settings, or a fault when it is
// missing, not a regular file, or not ten lines of the settings layout. An
// unreadable snapshot leaves every camera with files in the take.
void ReadTakeParams(const std::string& dir, TakeReport* report);

// The cameras in the take (RECPARAM.txt enables them) or with files in
// `dir`, numbers rising, with which of their files are present.
std::vector<CameraReport> FindCameras(const std::string& dir, const TakeReport& report);

// After the cameras are read: a take whose enabled cameras left no file at
// all is a fault (nothing was recorded).
void CheckTakeHasFiles(TakeReport* report);

// One camera's time-stamp list and point stream, read in step: line i with
// record i. Both files are read to their ends, so the report holds the
// counts, the figures and every fault; the pairs come out as they are read.
class CameraScan {
 public:
  struct Pair {
    TimeStampLine line;
    std::uint64_t recordOffset = 0;
    long long recordIndex = 0;
  };
  enum class Step { Pair, Unpaired, End };

  // Opens the camera's files in `dir` that `report` says are present.
  void Open(const std::string& dir, CameraReport* report);
  // Reads the next line and the next record (its points into `xyz`, or
  // skipped when `xyz` is null).
  Step Next(std::vector<float>* xyz, Pair* pair);
  // After the End: compares the counts and completes the figures.
  void Finish();

 private:
  class StampFigures {
   public:
    void Add(std::int64_t stamp);
    void Finish(CameraReport* report);

   private:
    void Fix();
    void Count(std::int64_t step);
    std::int64_t first_ = 0, last_ = 0;
    long long count_ = 0;
    std::vector<std::int64_t> sample_;  // the first steps, until the period is fixed
    double periodMs_ = 0;
    bool fixed_ = false;
    long long dropped_ = 0;
  };

  void CountRecord(std::uint32_t count);
  void CheckCoordinates(const std::vector<float>& xyz, std::uint64_t start, long long index);

  CameraReport* report_ = nullptr;
  std::string tsName_, datName_;
  TimeStampReader lines_;
  PointStreamReader records_;
  bool linesOpen_ = false, recordsOpen_ = false;
  std::int64_t lastFrame_ = -1;
  double pointsTotal_ = 0;
  bool reportedCoordinate_ = false;
  std::uint64_t firstUnpairedLine_ = 0, firstUnpairedRecord_ = 0;
  bool unpairedLine_ = false, unpairedRecord_ = false;
  StampFigures figures_;
};

}  // namespace kestrova
