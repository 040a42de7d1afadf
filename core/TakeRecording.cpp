#include "core/TakeRecording.h"

#include <algorithm>

namespace kestrova {

bool TakeRecording::Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
                         bool keepDepth, const TakeWriter::SnapshotWriter& writeSnapshot,
                         std::string* error) {
  framesHeld_.fill(0);
  writer_.SetKeepDepth(keepDepth);
  return writer_.Open(dir, cameras, writeSnapshot, error);
}

void TakeRecording::OnCameraFrame(const CameraFrame& frame) {
  if (writer_.Append(frame.camera, frame.frameNumber, frame.stamp, *frame.final, frame.pixels))
    framesHeld_[frame.camera] = frame.frameNumber + 1;
}

bool TakeRecording::OnCycle(const CycleFrame&) { return !writer_.Failed(); }

int TakeRecording::FramesInFiles() const {
  return *std::max_element(framesHeld_.begin(), framesHeld_.end());
}

}  // namespace kestrova
