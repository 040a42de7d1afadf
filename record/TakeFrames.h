// The frames of a take, camera by camera, lined up by the frame-number
// column of the time-stamp lists. Opening indexes where every record
// starts, so a frame can be read in any order without holding the take in
// memory. A camera whose files were cut short (a crash) keeps its whole,
// paired lines and records; Stops() says where each such camera stopped.
#pragma once

#include <array>
#include <map>
#include <memory>
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
  // Every frame number any camera has, rising.
  const std::vector<std::int64_t>& FrameNumbers() const { return numbers_; }
  // Reads the frame at `position` in FrameNumbers().
  bool Read(size_t position, TakeFrame* frame, ReadFault* fault);
  // Where cameras' data ended early.
  const std::vector<ReadFault>& Stops() const { return stops_; }

 private:
  struct Entry {
    std::uint64_t offset;
    long long record;
    std::int64_t stamp;
  };
  TakeReport report_;
  std::string dir_;
  std::vector<std::int64_t> numbers_;
  std::array<std::map<std::int64_t, Entry>, kCameraCount> index_;
  std::array<std::unique_ptr<PointStreamReader>, kCameraCount> readers_;
  std::vector<ReadFault> stops_;
};

}  // namespace kestrova
