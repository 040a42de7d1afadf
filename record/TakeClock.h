// CLOCK.txt: where a take's frames lie on one clock. Each camera stamps its
// frames on a clock of its own; while recording, the recorder maps every
// camera's stamps onto the host's monotonic clock (from the frames' arrival
// times) and matches the cameras' frames of one moment by it. This file
// keeps that mapping, so that readers can put every frame of every camera
// on the one clock the recorder used.
//
// Text, CR LF line ends, written as the take goes (flushed with every line;
// a take cut short keeps every whole line):
//   # Kestrova clock 1: camera frame stamp_ms host_ms
//   1 0 1500 0.000
//   2 0 9419 0.812
//   ...
// A line starting with '#' is a comment (the first names the format and
// its version). Every other line is a knot: the camera number (1 to 4), the
// take's frame number, that frame's stamp (ms on the camera's clock, as in
// TSn.txt) and the host time the recorder put it at (ms since the take's
// first cycle, three decimals). Knots come at each camera's first frame,
// then about once a second (every 30 cycles) and at its last frame, in
// rising frame numbers. A frame between two knots of its camera maps
// linearly from the earlier one at the pair's rate; before the first knot
// and after the last the nearest pair's rate goes on. With one knot alone,
// or a pair whose stamps went back (a clock that was reset), stamps count
// as host milliseconds from the earlier knot.
//
// The file is optional: takes made before it existed have none, and
// readers then fall back to the median mapping of TakeTimes.h.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "record/TakeLayout.h"
#include "record/TakeReader.h"
#include "settings/Settings.h"

namespace kestrova {

inline constexpr char kTakeClockHeader[] = "# Kestrova clock 1: camera frame stamp_ms host_ms\r\n";
// Every knot of a camera: its first frame, then one every this many cycles, and its last.
constexpr int kClockKnotCycles = 30;
// A reader refuses a clock file with more knots than this (a take of a day
// at 100 frames a second and four cameras has fewer than 120 000).
constexpr std::size_t kMaxClockKnots = 1u << 20;

struct ClockKnot {
  std::int64_t frame = 0;
  std::int64_t stamp = 0;
  double hostMs = 0;
};

// One knot line, "%d %lld %lld %.3f\r\n".
std::string ClockKnotLine(int camera, std::int64_t frame, std::int64_t stamp, double hostMs);

class TakeClock {
 public:
  // Reads DIR/CLOCK.txt. False when there is none (`fault->any` clear) or
  // it is damaged (`fault` says where).
  bool Read(const std::string& dir, ReadFault* fault);
  void Add(int camera, const ClockKnot& knot);

  // Whether camera `number` (1..4) has a knot.
  bool Has(int number) const { return !knots_[number - 1].empty(); }
  // The host time (ms since the take's first cycle) of camera `number`'s
  // frame `frame` stamped `stamp`; the camera must have a knot.
  double Map(int number, std::int64_t frame, std::int64_t stamp) const;
  const std::vector<ClockKnot>& Knots(int number) const { return knots_[number - 1]; }

 private:
  std::array<std::vector<ClockKnot>, kCameraCount> knots_;
};

// Writes CLOCK.txt as a take goes: opened with the take's other files,
// a knot line at a time.
class TakeClockWriter {
 public:
  ~TakeClockWriter();
  // Creates (or empties) DIR/CLOCK.txt and writes its first line.
  bool Open(const std::string& dir, std::string* error);
  bool Add(int camera, std::int64_t frame, std::int64_t stamp, double hostMs, std::string* error);
  bool Close(std::string* error);
  bool IsOpen() const { return file_ != nullptr; }

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

}  // namespace kestrova
