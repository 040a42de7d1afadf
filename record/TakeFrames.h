// The frames of a take, camera by camera, lined up by the frame-number
// column of the time-stamp lists. Opening reads every file once and keeps
// where each camera stands at every 1024th frame, so a frame can be read in
// any order with at most 1023 records skipped, and the memory used stays a
// few bytes per thousand frames whatever the files hold. A camera whose
// files were cut short (a crash) keeps its whole, paired lines and records;
// Stops() says where each such camera stopped.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "record/TakeCheck.h"
#include "record/TakeReader.h"

namespace kestrova {

struct TakeFrame {
  std::int64_t number = 0;                          // the take's frame number
  std::array<bool, kCameraCount> has{};             // the camera recorded this frame
  std::array<std::int64_t, kCameraCount> stamp{};   // its sensor time stamp, ms
  std::array<std::vector<float>, kCameraCount> xyz;  // x, y, z per point
};

class TakeFrames {
 public:
  // False with a reason when the directory holds no readable take.
  bool Open(const std::string& dir, std::string* error);

  const TakeReport& Report() const { return report_; }
  // The cameras that have frames, numbers 1..4.
  std::vector<int> Cameras() const;
  // Frames with a frame number that any camera has, in rising order.
  size_t FrameCount() const { return frameCount_; }
  // The position of the first frame numbered `number` or later (FrameCount() when none).
  size_t FindFrame(std::int64_t number, ReadFault* fault);
  // Reads the frame at `position`; reading the positions in turn seeks nothing.
  bool Read(size_t position, TakeFrame* frame, ReadFault* fault);
  // Where cameras' data ended early.
  const std::vector<ReadFault>& Stops() const { return stops_; }

 private:
  // Where a camera stands: the next pair of line and record to read.
  struct Place {
    std::uint64_t lineOffset = 0, recordOffset = 0;
    long long pair = 0;
    std::int64_t previousFrame = -1;
  };
  struct Checkpoint {
    size_t position = 0;
    std::int64_t number = 0;
    std::array<Place, kCameraCount> places;
  };
  struct Camera {
    long long pairs = 0;
    TimeStampReader lines;
    PointStreamReader records;
    Place at;
    bool pending = false;  // the next pair's line is read ahead into `line`
    TimeStampLine line;
  };

  void Index(const std::vector<int>& slots);
  bool Restore(const Checkpoint& checkpoint, ReadFault* fault);
  bool Fetch(int slot, ReadFault* fault);
  std::int64_t NextNumber() const;
  bool Advance(TakeFrame* frame, ReadFault* fault);

  TakeReport report_;
  std::string dir_;
  size_t frameCount_ = 0;
  std::vector<Checkpoint> checkpoints_;
  std::array<Camera, kCameraCount> cameras_;
  size_t position_ = static_cast<size_t>(-1);  // of the frame Advance reads next
  std::vector<ReadFault> stops_;
};

}  // namespace kestrova
