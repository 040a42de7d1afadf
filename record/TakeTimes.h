// One time table for all cameras of a take.
//
// The cameras' clocks are independent (each counts from its own start):
// what ties their frames together is the cycle, the take's frame number.
// While recording, the recorder put every camera's stamps on the host's
// clock and gave each cycle the frames of one moment on it; a take that
// keeps that mapping (CLOCK.txt, see TakeClock.h) is read on it: every
// frame's time is its camera's mapped stamp.
//
// Takes without a clock file (older ones, replays) are read as before it
// existed: on the clock of the reference camera, the one with the most
// frames (the lowest number among equals). Every other camera's clock is
// mapped onto it by a constant offset: the median of the differences of
// the stamps over the cycles both have among the first 4096 frames of each
// (taken in camera order, against every camera mapped before; a camera
// that shares no such cycle is placed by its first frame number at 30
// frames per second).
//
// The take time of a cycle (ms since the take's first cycle) is the
// reference camera's time of its frame; a cycle the reference missed takes
// the median of the other cameras' times. A camera's missed frame stays
// missing, never made up.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record/TakeClock.h"
#include "record/TakeReader.h"

namespace kestrova {

// Frames of each camera used to find its clock's offset.
constexpr size_t kClockSampleFrames = 4096;

// One camera's frames: its lines' frame numbers and stamps, in order.
class CameraClock {
 public:
  int number = 0;          // 1..4
  long long frames = 0;    // all its frames
  std::vector<std::int64_t> sampleFrames, sampleStamps;  // the first kClockSampleFrames
  std::int64_t firstStamp = 0;
  double offsetMs = 0;     // maps its stamps onto the reference's clock

  void Add(std::int64_t frame, std::int64_t stamp);
};

// One row of the table.
struct TimeRow {
  std::int64_t frame = 0;
  double takeTimeMs = 0;
  std::vector<bool> has;                  // per camera of the table, in its order
  std::vector<std::int64_t> stamp;        // the sensor's time stamp, ms
  std::vector<std::int64_t> sinceFirst;   // ms since the camera's first frame
};

// Chooses the reference and sets every camera's offset.
// Returns the index of the reference in `cameras`.
size_t MapClocks(std::vector<CameraClock>& cameras);

// The times of one cycle's frames (`mapped`, for the cameras that have
// it) into the cycle's take time, before the first cycle's is subtracted.
double CycleTime(size_t reference, const TimeRow& row, const std::vector<double>& mapped);

// The median, the mean of the middle two for an even count.
double Median(std::vector<double> values);

// The time table of the take in a directory, read in two passes (the
// clocks, then the rows in frame order), so memory does not grow with the
// take. Only whole pairs of line and record count as frames.
class TakeTimeTable {
 public:
  // False with a reason when the directory holds no camera with frames.
  bool Open(const std::string& dir, std::string* error);
  const std::vector<CameraClock>& Cameras() const { return cameras_; }
  size_t Reference() const { return reference_; }
  // Hands out the rows in frame order. False with a reason on a fault.
  bool ForEachRow(const std::function<void(const TimeRow&)>& onRow, std::string* error);
  // Whether the take's own clock file places the frames; if not, why not
  // (no file, or a damaged one: ClockNote()).
  bool UsesClockFile() const { return useClock_; }
  const std::string& ClockNote() const { return clockNote_; }
  // After ForEachRow: the largest spread of the mapped times of one cycle,
  // and the cycles that lack a frame of some camera of the table.
  double LargestSpreadMs() const { return largestSpreadMs_; }
  long long CyclesMissingACamera() const { return cyclesMissing_; }

 private:
  std::string dir_;
  std::vector<CameraClock> cameras_;
  size_t reference_ = 0;
  TakeClock clock_;
  bool useClock_ = false;
  std::string clockNote_;
  double largestSpreadMs_ = 0;
  long long cyclesMissing_ = 0;
};

}  // namespace kestrova
