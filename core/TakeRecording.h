// The take as a consumer of the recording loop: each camera's frame goes
// into that camera's files on its own worker; after the cycle the loop
// learns whether a write failed. It measures how long each frame took from
// its arrival to its record in the files.
#pragma once

#include <array>
#include <string>

#include "core/FrameConsumer.h"
#include "core/LatencyHistogram.h"
#include "record/TakeWriter.h"

namespace kestrova {

class TakeRecording : public FrameConsumer {
 public:
  // Opens the take's files (see TakeWriter::Open); no frame is held yet.
  bool Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
            bool keepDepth, const TakeWriter::SnapshotWriter& writeSnapshot, std::string* error);
  bool Close(std::string* error) { return writer_.Close(error); }

  // Appends the frame to its camera's files.
  void OnCameraFrame(const CameraFrame& frame) override;
  // False once a camera's files failed: the take ends.
  bool OnCycle(const CycleFrame& cycle) override;

  std::string FailureMessage() const { return writer_.FailureMessage(); }
  // From each frame's arrival to its record written, this take.
  const LatencyHistogram& Latency() const { return latency_; }
  // One past the latest frame number that any camera's files hold (read
  // between cycles).
  int FramesInFiles() const;

 private:
  TakeWriter writer_;
  LatencyHistogram latency_;
  std::array<int, kCameraCount> framesHeld_{};  // per camera, written by its worker alone
};

}  // namespace kestrova
