// Sensors that play depth frames from files, for re-processing captured
// depth and for exact tests. DIR holds cam1/ to cam4/ (a missing folder is a
// missing sensor), each with PGM frames played in file-name order. Every
// frame is delivered exactly once and in order: the queue waits for the
// consumer instead of dropping. Time stamps are the frame index times the
// frame period in milliseconds. After the last frame the sensor delivers
// nothing more and says so (NuiStreamEnded); a frame that cannot be read
// ends the replay there, and NuiStreamError says which and why.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "capture/QueuedSensor.h"

namespace kestrova {

class ReplaySensor : public QueuedSensor {
 public:
  // `fps` paces the delivery; 0 delivers as fast as frames are taken.
  ReplaySensor(int index, std::vector<std::string> frames, double fps);
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
  const std::vector<std::string> frames_;
  const double fps_;
  std::atomic<bool> producerDone_{false};
  mutable std::mutex errorMutex_;
  std::string error_;
};

class ReplayBackend : public SensorBackend {
 public:
  // Lists the frames of DIR/cam1 .. DIR/cam4.
  ReplayBackend(const std::string& dir, double fps);
  HRESULT NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) override;
  std::string Name() const override { return "replay"; }
  int CameraCount() const;

 private:
  std::array<std::vector<std::string>, 4> frames_;
  double fps_;
};

}  // namespace kestrova
