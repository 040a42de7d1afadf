// A camera's DEPTHn.dat read beside its time-stamp list: every depth frame
// must pair with the line of the same index (same frame number and time
// stamp), and the file must hold exactly as many whole frames as the camera
// has lines and records. Streaming: one frame in memory at a time.
#pragma once

#include <string>

#include "record/DepthFrameFile.h"
#include "record/TakeCheck.h"

namespace kestrova {

class DepthScan {
 public:
  // Opens the camera's depth file in `dir`, when there is one; `decode`
  // decompresses and checks every frame, else only the record bounds.
  void Open(const std::string& dir, CameraReport* report, bool decode);
  // The camera's next paired line.
  void Pair(const TimeStampLine& line);
  // After the last pair: reads what is left, completes the figures.
  void Finish();

 private:
  bool Read(DepthFrameRecord* record);
  void Mismatch(std::uint64_t offset, long long index, const std::string& reason);

  CameraReport* report_ = nullptr;
  std::string name_;
  DepthFrameReader reader_;
  DepthFrameRecord record_;
  bool open_ = false, decode_ = false, broken_ = false, mismatched_ = false;
  long long pairs_ = 0;
};

}  // namespace kestrova
