// Sensors that play depth frames from files, for re-processing captured
// depth and for exact tests. DIR holds either a take that kept its depth
// frames (DEPTH1.dat to DEPTH4.dat), or cam1/ to cam4/ with 16-bit PGM or
// PNG frames played in file-name order; a missing file or folder is a
// missing sensor. Every frame is delivered exactly once and in order: the
// queue waits for the consumer instead of dropping. A take's frames keep
// their own time stamps, the take's frame numbers (so the frames of one
// cycle of the take are matched again) and, paced, their own spacing;
// folder frames are numbered by their index and stamped with the index
// times the frame period in milliseconds.
// After the last frame the sensor delivers nothing more and says so
// (NuiStreamEnded); a frame that cannot be read ends the replay there, and
// NuiStreamError says which and why.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/QueuedSensor.h"

namespace kestrova {

class ReplaySensor : public QueuedSensor {
 public:
  // `fps` paces the delivery; 0 delivers as fast as frames are taken.
  ReplaySensor(int index, std::vector<std::string> frames, double fps);
  // Plays the frames of a take's DEPTHn.dat; any `fps` but 0 paces them by
  // their time stamps.
  static std::unique_ptr<ReplaySensor> FromDepthFile(int index, const std::string& path, double fps);
  ~ReplaySensor() override;

  HRESULT NuiInitialize(std::uint32_t flags) override;
  HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t streamFlags,
                             std::uint32_t frameLimit, ManualResetEvent* nextFrameEvent,
                             NuiStreamHandle* stream) override;
  bool NuiStreamEnded() const override;
  std::string NuiStreamError() const override;
  std::string NuiUniqueId() const override;

 protected:
  void Produce() override;

 private:
  void ProduceFromImages();
  void ProduceFromDepthFile();
  void SetError(const std::string& error);

  const std::vector<std::string> frames_;
  std::string depthFile_;  // set: a take's frames instead of image files
  const double fps_;
  std::atomic<bool> producerDone_{false};
  mutable std::mutex errorMutex_;
  std::string error_;
};

class ReplayBackend : public SensorBackend {
 public:
  // Finds the take's depth files in DIR, or else lists the frames of
  // DIR/cam1 .. DIR/cam4. Only regular files are played: anything else in
  // a depth file's or a frame's place is a problem that names it.
  ReplayBackend(const std::string& dir, double fps);
  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override;
  std::string Name() const override { return "replay"; }
  int CameraCount() const;
  // Empty, or why DIR cannot be played ("DIR/DEPTH1.dat: not a regular file").
  const std::string& Problem() const { return problem_; }

 private:
  void Refuse(const std::string& path, const std::string& reason);

  std::string problem_;
  std::array<std::vector<std::string>, 4> frames_;
  std::array<std::string, 4> depthFiles_;
  double fps_;
};

}  // namespace kestrova
