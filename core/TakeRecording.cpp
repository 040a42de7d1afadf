#include "core/TakeRecording.h"

#include <algorithm>

#include "capture/ClockMapping.h"

namespace kestrova {

bool TakeRecording::Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
                         const CameraFormats& formats, bool keepDepth,
                         const TakeWriter::SnapshotWriter& writeSnapshot, std::string* error) {
  framesHeld_.fill(0);
  clockPoints_.fill(ClockPoint());
  firstCycle_ = true;
  keepsClock_ = false;
  clockFailure_.clear();
  dir_ = dir;
  latency_.Clear();
  writer_.SetKeepDepth(keepDepth);
  writer_.SetFrameFormats(formats);
  // An older take's clock file goes with its other files.
  return writer_.Open(dir, cameras, writeSnapshot, error);
}

void TakeRecording::OnCameraFrame(const CameraFrame& frame) {
  if (!writer_.Append(frame.camera, frame.frameNumber, frame.stamp, *frame.final, frame.depth)) return;
  framesHeld_[frame.camera] = frame.frameNumber + 1;
  latency_.Add(HostNowMs() - frame.arrivalMs);
}

bool TakeRecording::AddKnot(int slot, ClockPoint& point) {
  point.written = true;
  return clock_.Add(slot + 1, point.frame, point.stamp, point.hostMs - startMs_, &clockFailure_);
}

bool TakeRecording::OnCycle(const CycleFrame& cycle) {
  if (firstCycle_) {
    firstCycle_ = false;
    startMs_ = cycle.momentMs;
    // Frames matched by number (a replay) have no host clock of their own:
    // such a take keeps no clock file, and readers fall back to its stamps.
    keepsClock_ = !cycle.matchedByNumber;
  }
  for (int slot = 0; slot < kCameraCount && keepsClock_; ++slot) {
    if (cycle.results[slot] != GrabResult::Delivered) continue;
    if (!clock_.IsOpen() && !clock_.Open(dir_, &clockFailure_)) return false;
    ClockPoint& point = clockPoints_[slot];
    const bool first = !point.any;
    point = {true, false, cycle.frameNumber, cycle.stamps[slot], cycle.mappedMs[slot]};
    if ((first || cycle.frameNumber % kClockKnotCycles == 0) && !AddKnot(slot, point)) return false;
  }
  return !writer_.Failed();
}

bool TakeRecording::Close(std::string* error) {
  bool clockWritten = true;
  for (int slot = 0; slot < kCameraCount && clock_.IsOpen(); ++slot) {
    ClockPoint& point = clockPoints_[slot];
    if (point.any && !point.written) clockWritten = AddKnot(slot, point) && clockWritten;
  }
  const bool clockClosed = clock_.Close(clockFailure_.empty() ? &clockFailure_ : nullptr);
  const bool closed = writer_.Close(error);
  if (closed && !(clockWritten && clockClosed)) {
    if (error) *error = clockFailure_;
    return false;
  }
  return closed;
}

std::string TakeRecording::FailureMessage() const {
  const std::string files = writer_.FailureMessage();
  return files.empty() ? clockFailure_ : files;
}

int TakeRecording::FramesInFiles() const {
  return *std::max_element(framesHeld_.begin(), framesHeld_.end());
}

}  // namespace kestrova
