// The take as a consumer of the recording loop: each camera's frame goes
// into that camera's files on its own worker; after the cycle the loop
// learns whether a write failed. It keeps the cameras' clock mapping
// (CLOCK.txt) as the take goes, and measures how long each frame took from
// its arrival to its record in the files.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/FrameConsumer.h"
#include "core/LatencyHistogram.h"
#include "record/TakeClock.h"
#include "record/TakeWriter.h"

namespace kestrova {

class TakeRecording : public FrameConsumer {
 public:
  // Opens the take's files (see TakeWriter::Open) for cameras delivering
  // frames of `formats`; no frame is held yet.
  bool Open(const std::string& dir, const std::array<bool, kCameraCount>& cameras,
            const CameraFormats& formats, bool keepDepth, const TakeWriter::SnapshotWriter& writeSnapshot,
            std::string* error);
  // Writes each camera's last clock knot and closes every file.
  bool Close(std::string* error);

  // Appends the frame to its camera's files.
  void OnCameraFrame(const CameraFrame& frame) override;
  // Adds the cycle's clock knots. False once a file failed: the take ends.
  bool OnCycle(const CycleFrame& cycle) override;

  std::string FailureMessage() const;
  // From each frame's arrival to its record written, this take.
  const LatencyHistogram& Latency() const { return latency_; }
  // One past the latest frame number that any camera's files hold (read
  // between cycles).
  int FramesInFiles() const;

 private:
  // A camera's latest frame, and whether the clock file has a knot for it.
  struct ClockPoint {
    bool any = false;
    bool written = false;
    std::int64_t frame = 0, stamp = 0;
    double hostMs = 0;
  };
  bool AddKnot(int slot, ClockPoint& point);

  TakeWriter writer_;
  TakeClockWriter clock_;
  std::string dir_;
  std::string clockFailure_;
  bool firstCycle_ = true;
  bool keepsClock_ = false;
  double startMs_ = 0;  // the host time of the take's first cycle
  std::array<ClockPoint, kCameraCount> clockPoints_{};  // loop thread only
  LatencyHistogram latency_;
  std::array<int, kCameraCount> framesHeld_{};  // per camera, written by its worker alone
};

}  // namespace kestrova
