// A camera's DEPTHn.dat read beside its time-stamp list: every depth frame
// must pair with the line of the same index (same frame number and time
// stamp), and the file must hold exactly as many whole frames as the camera
// has lines. Streaming: one frame in memory at a time; bounded by the
// lines, so a file of more records is read only one record past them.
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
  // The camera's next line.
  void Pair(const TimeStampLine& line);
  // After the last line: one record more is a fault, and so is the file
  // ending before the lines (as a crash leaves it: a cut-short fault).
  void Finish();

  // Frames that paired with their lines before the first fault.
  long long PairedFrames() const { return paired_; }

 private:
  bool Read(DepthFrameRecord* record);
  void Mismatch(std::uint64_t offset, long long index, const std::string& reason, bool cutShort = false);

  CameraReport* report_ = nullptr;
  std::string name_, linesName_;
  DepthFrameReader reader_;
  DepthFrameRecord record_;
  bool open_ = false, decode_ = false, broken_ = false, mismatched_ = false;
  long long pairs_ = 0, paired_ = 0;
};

// Camera `slot`'s depth frames in `dir` paired with its TSn.txt alone,
// without decoding them, for the tools that work on the frames again. A
// take without TSn.txt (only its depth frames were kept) has them read by
// themselves: frame numbers rising, records whole.
struct DepthPairing {
  bool present = false;  // DEPTHn.dat exists
  long long frames = 0;  // whole frames paired with their lines, from the first
  std::vector<ReadFault> faults;
  // No fault, or only the file ending early (a crash): the paired frames are sound.
  bool Sound() const;
  bool OnlyCutShort() const;
};
DepthPairing PairDepthFrames(const std::string& dir, int slot);

}  // namespace kestrova
