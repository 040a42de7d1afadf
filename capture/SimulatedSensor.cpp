#include "capture/SimulatedSensor.h"

#include <cmath>
#include <cstdio>

namespace kestrova {

using Clock = std::chrono::steady_clock;

SimCameraPose SimulatedPose(int index, const SimOptions& options) {
  return PoseFromSetting(options.moved[index] ? options.truePose[index] : DefaultCameraSetting(index));
}

SimulatedSensor::SimulatedSensor(int index, const SimOptions& options,
                                 std::shared_ptr<const SimulatedScene> scene, Clock::time_point worldStart)
    : QueuedSensor(index),
      options_(options),
      scene_(std::move(scene)),
      pose_(SimulatedPose(index, options)),
      worldStart_(worldStart),
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
      initialised_ == Clock::time_point())
    return E_INVALIDARG;
  if (HasQueue()) return E_FAIL;
  staticDepth_ = scene_->RenderStatic(pose_);
  // Free-running, the sensor makes a frame only when one was taken.
  return FreeRunning() ? OpenQueue(frameLimit, FrameQueue::Overflow::Wait, true, stream)
                       : OpenQueue(frameLimit, FrameQueue::Overflow::DropOldest, false, stream);
}

HRESULT SimulatedSensor::BeforeFetch() { return gone_ ? E_NUI_DEVICE_NOT_CONNECTED : S_OK; }

HRESULT SimulatedSensor::OnFrameTaken() {
  return ++taken_ == options_.failFetchAt[index_] ? E_FAIL : S_OK;
}

std::string SimulatedSensor::NuiUniqueId() const {
  char id[32];
  std::snprintf(id, sizeof id, "SIM%04d", index_ + 1);
  return id;
}

std::int64_t SimulatedSensor::ClockMs(Clock::time_point at) const {
  return clockOffsetMs_ +
         std::chrono::duration_cast<std::chrono::milliseconds>(at - initialised_).count();
}

void SimulatedSensor::RenderInto(NuiFrameTexture& texture, std::uint32_t frameNumber) {
  const double seconds = frameNumber / (options_.fps > 0 ? options_.fps : kNominalFps);
  std::copy(staticDepth_.begin(), staticDepth_.end(), depthScratch_.begin());
  std::fill(labelScratch_.begin(), labelScratch_.end(), 0);
  scene_->RenderMoving(pose_, seconds, depthScratch_.data(), labelScratch_.data());
  std::uint32_t noiseOffset = (frameNumber * 2654435761u) ^ (options_.seed * 40503u + index_ * 977u);
  EncodeDepthPixels(depthScratch_.data(), labelScratch_.data(), noiseOffset, texture.pixels.data());
}

bool SimulatedSensor::StopAsInjected(Clock::duration period, std::uint32_t* slot) {
  gone_ = options_.unplugged[index_];
  const int resumeAfter = options_.resumeAfter[index_];
  if (resumeAfter < 0) {
    WaitForShutdown();  // delivers nothing more
    return false;
  }
  if (!SleepUntil(Clock::now() + period * resumeAfter)) return false;
  // The sensor's clock ran on meanwhile.
  if (FreeRunning()) *slot += static_cast<std::uint32_t>(resumeAfter);
  gone_ = false;
  return true;
}

void SimulatedSensor::Produce() {
  const bool paced = !FreeRunning();
  const double fps = paced ? options_.fps : kNominalFps;
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
  // Paced, slot n is due at the world's n-th frame period, and the first is
  // the next one from now.
  auto slotAt = [&](Clock::time_point at) { return static_cast<std::uint32_t>((at - worldStart_) / period); };
  const int stopAfter = options_.stallAfter[index_];
  bool stopBehind = false;
  std::uint32_t slot = paced ? slotAt(Clock::now()) + 1 : 0;
  for (;;) {
    const Clock::time_point due = worldStart_ + period * slot;
    if (paced && !SleepUntil(due)) return;
    if (!stopBehind && stopAfter >= 0 && produced_ >= static_cast<std::uint64_t>(stopAfter)) {
      if (!StopAsInjected(period, &slot)) return;
      stopBehind = true;
      if (paced) slot = slotAt(Clock::now());
      continue;
    }
    std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
    if (buffer) {
      RenderInto(*buffer, slot);
      NuiTimeStamp stamp;
      // Free-running, the clock is the frame count: one nominal period per frame.
      stamp.QuadPart = paced ? ClockMs(due)
                             : clockOffsetMs_ + std::llround(slot * 1000.0 / kNominalFps);
      if (!Queue().Publish(std::move(buffer), stamp, slot)) return;
      ++produced_;
      SignalFrameEnd();
    } else if (!paced) {
      return;  // shut down
    }
    ++slot;
    if (paced) {
      // Frames are taken at the world's moments: those that passed while
      // this thread was held up are lost, as they would be on a real device.
      const auto now = Clock::now();
      if (now > worldStart_ + period * (slot + 1)) slot = slotAt(now);
    }
  }
}

SimulatedBackend::SimulatedBackend(const SimOptions& options)
    : options_(options), scene_(std::make_shared<SimulatedScene>()), worldStart_(Clock::now()) {}

HRESULT SimulatedBackend::NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) {
  if (sensor == nullptr) return E_INVALIDARG;
  sensor->reset();
  if (index < 0 || index >= kCameraCount || !options_.present[index]) return E_NUI_DEVICE_NOT_CONNECTED;
  *sensor = std::make_unique<SimulatedSensor>(index, options_, scene_, worldStart_);
  return S_OK;
}

}  // namespace kestrova
