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
    : index_(index), frames_(std::move(frames)), fps_(fps) {}

ReplaySensor::~ReplaySensor() { NuiShutdown(); }

HRESULT ReplaySensor::NuiInitialize(std::uint32_t flags) {
  return (flags & NUI_INITIALIZE_FLAG_USES_DEPTH) ? S_OK : E_INVALIDARG;
}

HRESULT ReplaySensor::NuiImageStreamOpen(int imageType, int resolution, std::uint32_t,
                                         std::uint32_t frameLimit, ManualResetEvent*,
                                         NuiStreamHandle* stream) {
  if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240 ||
      stream == nullptr)
    return E_INVALIDARG;
  if (queue_) return E_FAIL;
  queue_ = std::make_unique<FrameQueue>(static_cast<int>(frameLimit), FrameQueue::Overflow::Wait);
  producer_ = std::thread(&ReplaySensor::Produce, this);
  *stream = index_;
  return S_OK;
}

HRESULT ReplaySensor::NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t) {
  std::lock_guard<std::mutex> lock(eventMutex_);
  frameEndEvent_ = event;
  // Frames may already wait in the queue: tell the new listener at once.
  if (frameEndEvent_ && queue_ && queue_->Size() > 0) frameEndEvent_->Set();
  return S_OK;
}

HRESULT ReplaySensor::NuiImageStreamGetNextFrame(NuiStreamHandle stream, std::uint32_t waitMs,
                                                 NuiImageFrame* frame) {
  if (!queue_ || stream != index_) return E_INVALIDARG;
  HRESULT result = queue_->Pop(waitMs, frame);
  // A frame still waiting after this one must wake the pacing loop again,
  // or it would never be taken: a replay loses no frame.
  if (Succeeded(result) && queue_->Size() > 0) SignalFrameEnd();
  return result;
}

HRESULT ReplaySensor::NuiImageStreamReleaseFrame(NuiStreamHandle stream, NuiImageFrame* frame) {
  if (!queue_ || stream != index_) return E_INVALIDARG;
  return queue_->Release(frame);
}

void ReplaySensor::NuiShutdown() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
  }
  stopSignal_.notify_all();
  if (queue_) queue_->Stop();
  if (producer_.joinable()) producer_.join();
  NuiSetFrameEndEvent(nullptr, 0);
}

bool ReplaySensor::NuiStreamEnded() const {
  return producerDone_ && (!queue_ || queue_->Size() == 0);
}

std::string ReplaySensor::NuiUniqueId() const {
  return "replay:cam" + std::to_string(index_ + 1);
}

void ReplaySensor::SignalFrameEnd() {
  std::lock_guard<std::mutex> lock(eventMutex_);
  if (frameEndEvent_) frameEndEvent_->Set();
}

void ReplaySensor::Produce() {
  const double periodMs = 1000.0 / (fps_ > 0 ? fps_ : 30.0);
  const Clock::time_point opened = Clock::now();
  for (size_t n = 0; n < frames_.size(); ++n) {
    if (fps_ > 0) {
      auto due = opened + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double, std::milli>(periodMs * n));
      std::unique_lock<std::mutex> lock(stopMutex_);
      if (stopSignal_.wait_until(lock, due, [this] { return stopping_; })) break;
    }
    std::unique_ptr<NuiFrameTexture> buffer = queue_->AcquireBuffer();
    if (!buffer) break;  // shut down
    std::string error;
    if (!ReadDepthPgm(frames_[n], buffer->pixels, &error)) {
      std::fprintf(stderr, "kestrova: camera %d: %s; the replay of this camera ends here\n",
                   index_ + 1, error.c_str());
      break;
    }
    NuiTimeStamp stamp;
    stamp.QuadPart = std::llround(periodMs * n);
    if (!queue_->Publish(std::move(buffer), stamp, static_cast<std::uint32_t>(n))) break;
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
