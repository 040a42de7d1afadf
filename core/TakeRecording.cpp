#include "core/TakeRecording.h"

#include <algorithm>

#include "capture/ClockMapping.h"

namespace kestrova {

bool TakeRecording::Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
                         bool keepDepth, const TakeWriter::SnapshotWriter& writeSnapshot,
                         std::string* error) {
  framesHeld_.fill(0);
  latency_.Clear();
  writer_.SetKeepDepth(keepDepth);
  return writer_.Open(dir, cameras, writeSnapshot, error);
}

void TakeRecording::OnCameraFrame(const CameraFrame& frame) {
  if (!writer_.Append(frame.camera, frame.frameNumber, frame.stamp, *frame.final, frame.pixels)) return;
  framesHeld_[frame.camera] = frame.frameNumber + 1;
  latency_.Add(HostNowMs() - frame.arrivalMs);
}

bool TakeRecording::OnCycle(const CycleFrame&) { return !writer_.Failed(); }

int TakeRecording::FramesInFiles() const {
  return *std::max_element(framesHeld_.begin(), framesHeld_.end());
}

}  // namespace kestrova
