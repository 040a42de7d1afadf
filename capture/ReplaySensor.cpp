#include "capture/ReplaySensor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "capture/DepthPgm.h"
#include "core/Event.h"
#include "core/Settings.h"

namespace kestrova {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

ReplaySensor::ReplaySensor(int index, std::vector<std::string> frames, double fps)
    : QueuedSensor(index), frames_(std::move(frames)), fps_(fps) {}

ReplaySensor::~ReplaySensor() { NuiShutdown(); }

HRESULT ReplaySensor::NuiInitialize(std::uint32_t flags) {
  return (flags & NUI_INITIALIZE_FLAG_USES_DEPTH) ? S_OK : E_INVALIDARG;
}

HRESULT ReplaySensor::NuiImageStreamOpen(int imageType, int resolution, std::uint32_t,
                                         std::uint32_t frameLimit, ManualResetEvent*,
                                         NuiStreamHandle* stream) {
  if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240)
    return E_INVALIDARG;
  // A replay loses no frame: the queue waits, and frames still waiting keep
  // waking the pacing loop.
  return OpenQueue(frameLimit, FrameQueue::Overflow::Wait, true, stream);
}

bool ReplaySensor::NuiStreamEnded() const {
  return producerDone_ && Queue().Size() == 0;
}

std::string ReplaySensor::NuiStreamError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return error_;
}

std::string ReplaySensor::NuiUniqueId() const {
  return "replay:cam" + std::to_string(index_ + 1);
}

void ReplaySensor::Produce() {
  const double periodMs = 1000.0 / (fps_ > 0 ? fps_ : 30.0);
  const Clock::time_point opened = Clock::now();
  for (size_t n = 0; n < frames_.size(); ++n) {
    if (fps_ > 0) {
      auto due = opened + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double, std::milli>(periodMs * n));
      if (!SleepUntil(due)) break;
    }
    std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
    if (!buffer) break;  // shut down
    std::string error;
    if (!ReadDepthPgm(frames_[n], buffer->pixels, &error)) {
      // The frames before it stay delivered; the take ends on this one.
      std::lock_guard<std::mutex> lock(errorMutex_);
      error_ = "frame " + std::to_string(n + 1) + " of " + std::to_string(frames_.size()) +
               " cannot be read: " + error;
      break;
    }
    NuiTimeStamp stamp;
    stamp.QuadPart = std::llround(periodMs * n);
    if (!Queue().Publish(std::move(buffer), stamp, static_cast<std::uint32_t>(n))) break;
    SignalFrameEnd();
  }
  producerDone_ = true;
}

ReplayBackend::ReplayBackend(const std::string& dir, double fps) : fps_(fps) {
  for (int i = 0; i < kCameraCount; ++i) {
    fs::path folder = fs::path(dir) / ("cam" + std::to_string(i + 1));
    std::error_code error;
    if (!fs::is_directory(folder, error)) continue;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      if (entry.path().extension() == ".pgm") frames_[i].push_back(entry.path().string());
    }
    std::sort(frames_[i].begin(), frames_[i].end());
  }
}

int ReplayBackend::CameraCount() const {
  return static_cast<int>(std::count_if(frames_.begin(), frames_.end(),
                                        [](const auto& frames) { return !frames.empty(); }));
}

HRESULT ReplayBackend::NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) {
  if (sensor == nullptr) return E_INVALIDARG;
  sensor->reset();
  if (index < 0 || index >= kCameraCount || frames_[index].empty()) return E_NUI_DEVICE_NOT_CONNECTED;
  *sensor = std::make_unique<ReplaySensor>(index, frames_[index], fps_);
  return S_OK;
}

}  // namespace kestrova
