// Sensors that play depth frames from files, for re-processing captured
// depth and for exact tests. DIR holds cam1/ to cam4/ (a missing folder is a
// missing sensor), each with PGM frames played in file-name order. Every
// frame is delivered exactly once and in order: the queue waits for the
// consumer instead of dropping. Time stamps are the frame index times the
// frame period in milliseconds. After the last frame the sensor delivers
// nothing more and says so (NuiStreamEnded).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/FrameQueue.h"
#include "capture/NuiSensor.h"

namespace kestrova {

class ReplaySensor : public INuiSensor {
 public:
  // `fps` paces the delivery; 0 delivers as fast as frames are taken.
  ReplaySensor(int index, std::vector<std::string> frames, double fps);
  ~ReplaySensor() override;

  HRESULT NuiInitialize(std::uint32_t flags) override;
  HRESULT NuiImageStreamOpen(int imageType, int resolution, std::uint32_t streamFlags,
                             std::uint32_t frameLimit, ManualResetEvent* nextFrameEvent,
                             NuiStreamHandle* stream) override;
  HRESULT NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t flags) override;
  HRESULT NuiImageStreamGetNextFrame(NuiStreamHandle stream, std::uint32_t waitMs,
                                     NuiImageFrame* frame) override;
  HRESULT NuiImageStreamReleaseFrame(NuiStreamHandle stream, NuiImageFrame* frame) override;
  void NuiShutdown() override;
  bool NuiStreamEnded() const override;
  std::string NuiUniqueId() const override;

 private:
  void Produce();
  void SignalFrameEnd();

  const int index_;
  const std::vector<std::string> frames_;
  const double fps_;
  std::unique_ptr<FrameQueue> queue_;
  std::thread producer_;
  std::mutex stopMutex_;
  std::condition_variable stopSignal_;
  bool stopping_ = false;
  std::atomic<bool> producerDone_{false};
  std::mutex eventMutex_;
  ManualResetEvent* frameEndEvent_ = nullptr;
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
