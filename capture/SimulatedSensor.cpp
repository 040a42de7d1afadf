#include "capture/SimulatedSensor.h"

#include <cmath>
#include <cstdio>

#include "core/Event.h"

namespace kestrova {

using Clock = std::chrono::steady_clock;

SimulatedSensor::SimulatedSensor(int index, const SimOptions& options,
                                 std::shared_ptr<const SimulatedScene> scene)
    : index_(index),
      options_(options),
      scene_(std::move(scene)),
      pose_(PoseFromSetting(DefaultCameraSetting(index))),
      depthScratch_(kDepthPixels),
      labelScratch_(kDepthPixels) {}

SimulatedSensor::~SimulatedSensor() { NuiShutdown(); }

HRESULT SimulatedSensor::NuiInitialize(std::uint32_t flags) {
  if ((flags & NUI_INITIALIZE_FLAG_USES_DEPTH) == 0) return E_INVALIDARG;
  initialised_ = Clock::now();
  // Each sensor's clock starts at its own initialisation; model sensors that
  // were switched on at different moments, so their clocks never agree.
  clockOffsetMs_ = 1500 + 7919LL * index_;
  return S_OK;
}

HRESULT SimulatedSensor::NuiImageStreamOpen(int imageType, int resolution, std::uint32_t,
                                            std::uint32_t frameLimit, ManualResetEvent*,
                                            NuiStreamHandle* stream) {
  if (imageType != NUI_IMAGE_TYPE_DEPTH || resolution != NUI_IMAGE_RESOLUTION_320x240 ||
      stream == nullptr || initialised_ == Clock::time_point())
    return E_INVALIDARG;
  if (queue_) return E_FAIL;  // one depth stream per sensor
  staticDepth_ = scene_->RenderStatic(pose_);
  queue_ = std::make_unique<FrameQueue>(
      static_cast<int>(frameLimit),
      options_.fps > 0 ? FrameQueue::Overflow::DropOldest : FrameQueue::Overflow::Wait);
  producer_ = std::thread(&SimulatedSensor::Produce, this);
  *stream = index_;
  return S_OK;
}

HRESULT SimulatedSensor::NuiSetFrameEndEvent(ManualResetEvent* event, std::uint32_t) {
  std::lock_guard<std::mutex> lock(eventMutex_);
  frameEndEvent_ = event;
  // Free-running, the sensor makes a frame only when one was taken: frames
  // already waiting must wake a new listener, or nobody would take one.
  if (FreeRunning() && frameEndEvent_ && queue_ && queue_->Size() > 0) frameEndEvent_->Set();
  return S_OK;
}

HRESULT SimulatedSensor::NuiImageStreamGetNextFrame(NuiStreamHandle stream, std::uint32_t waitMs,
                                                    NuiImageFrame* frame) {
  if (!queue_ || stream != index_) return E_INVALIDARG;
  if (++fetches_ == options_.failFetchAt[index_]) return E_FAIL;
  HRESULT result = queue_->Pop(waitMs, frame);
  if (FreeRunning() && Succeeded(result) && queue_->Size() > 0) SignalFrameEnd();
  return result;
}

HRESULT SimulatedSensor::NuiImageStreamReleaseFrame(NuiStreamHandle stream, NuiImageFrame* frame) {
  if (!queue_ || stream != index_) return E_INVALIDARG;
  return queue_->Release(frame);
}

void SimulatedSensor::NuiShutdown() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_ = true;
  }
  stopSignal_.notify_all();
  if (queue_) queue_->Stop();
  if (producer_.joinable()) producer_.join();
  NuiSetFrameEndEvent(nullptr, 0);
}

std::string SimulatedSensor::NuiUniqueId() const {
  char id[32];
  std::snprintf(id, sizeof id, "SIM%04d", index_ + 1);
  return id;
}

std::uint64_t SimulatedSensor::FramesDropped() const { return queue_ ? queue_->Dropped() : 0; }

std::int64_t SimulatedSensor::ClockMs(Clock::time_point at) const {
  return clockOffsetMs_ +
         std::chrono::duration_cast<std::chrono::milliseconds>(at - initialised_).count();
}

bool SimulatedSensor::SleepUntil(Clock::time_point at) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return !stopSignal_.wait_until(lock, at, [this] { return stopping_; });
}

void SimulatedSensor::RenderInto(NuiFrameTexture& texture, std::uint32_t frameNumber) {
  const double seconds = frameNumber / (options_.fps > 0 ? options_.fps : 30.0);
  std::copy(staticDepth_.begin(), staticDepth_.end(), depthScratch_.begin());
  std::fill(labelScratch_.begin(), labelScratch_.end(), 0);
  scene_->RenderMoving(pose_, seconds, depthScratch_.data(), labelScratch_.data());
  std::uint32_t noiseOffset = (frameNumber * 2654435761u) ^ (options_.seed * 40503u + index_ * 977u);
  EncodeDepthPixels(depthScratch_.data(), labelScratch_.data(), noiseOffset, texture.pixels.data());
}

void SimulatedSensor::SignalFrameEnd() {
  std::lock_guard<std::mutex> lock(eventMutex_);
  if (frameEndEvent_) frameEndEvent_->Set();
}

void SimulatedSensor::Produce() {
  const bool paced = options_.fps > 0;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(paced ? 1.0 / options_.fps : 0.0));
  const Clock::time_point opened = Clock::now();
  const int stallAfter = options_.stallAfter[index_];
  std::uint32_t slot = 0;
  for (;;) {
    const Clock::time_point due = opened + period * slot;
    if (paced && !SleepUntil(due)) return;
    if (stallAfter >= 0 && produced_ >= static_cast<std::uint64_t>(stallAfter)) {
      std::unique_lock<std::mutex> lock(stopMutex_);  // delivers nothing more until shut down
      stopSignal_.wait(lock, [this] { return stopping_; });
      return;
    }
    std::unique_ptr<NuiFrameTexture> buffer = queue_->AcquireBuffer();
    if (buffer) {
      RenderInto(*buffer, slot);
      NuiTimeStamp stamp;
      stamp.QuadPart = ClockMs(paced ? due : Clock::now());
      if (!queue_->Publish(std::move(buffer), stamp, slot)) return;
      ++produced_;
      SignalFrameEnd();
    } else if (!paced) {
      return;  // stopped
    }
    ++slot;
    if (paced) {
      // A sensor runs on its own clock: frame slots that passed while this
      // thread was held up are lost, as they would be on a real device.
      const auto now = Clock::now();
      if (now > opened + period * (slot + 1)) slot = static_cast<std::uint32_t>((now - opened) / period);
    }
  }
}

SimulatedBackend::SimulatedBackend(const SimOptions& options)
    : options_(options), scene_(std::make_shared<SimulatedScene>()) {}

HRESULT SimulatedBackend::NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) {
  if (sensor == nullptr) return E_INVALIDARG;
  sensor->reset();
  if (index < 0 || index >= kCameraCount || !options_.present[index]) return E_NUI_DEVICE_NOT_CONNECTED;
  *sensor = std::make_unique<SimulatedSensor>(index, options_, scene_);
  return S_OK;
}

}  // namespace kestrova
