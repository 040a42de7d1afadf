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
      pixelScratch_(kDepthPixels),
      faults_(options.seed * 2654435761u + static_cast<std::uint32_t>(index) * 97u),
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
  const double drift = 1.0 + options_.driftPpm[index_] * 1e-6;
  return clockOffsetMs_ +
         static_cast<std::int64_t>(std::floor(std::chrono::duration<double, std::milli>(at - initialised_).count() * drift));
}

void SimulatedSensor::RenderInto(std::uint16_t* pixels, std::uint32_t frameNumber) {
  const double seconds = frameNumber / (options_.fps > 0 ? options_.fps : kNominalFps);
  std::copy(staticDepth_.begin(), staticDepth_.end(), depthScratch_.begin());
  std::fill(labelScratch_.begin(), labelScratch_.end(), 0);
  scene_->RenderMoving(pose_, seconds, depthScratch_.data(), labelScratch_.data());
  std::uint32_t noiseOffset = (frameNumber * 2654435761u) ^ (options_.seed * 40503u + index_ * 977u);
  EncodeDepthPixels(depthScratch_.data(), labelScratch_.data(), noiseOffset, pixels);
}

bool SimulatedSensor::Deliver(const std::uint16_t* pixels, std::int64_t stamp, std::uint32_t frameNumber) {
  std::unique_ptr<NuiFrameTexture> buffer = Queue().AcquireBuffer();
  if (!buffer) return !Queue().KeepsEveryFrame();  // every buffer held: this frame is skipped
  std::copy(pixels, pixels + kDepthPixels, buffer->pixels.begin());
  NuiTimeStamp time;
  time.QuadPart = stamp;
  if (!Queue().Publish(std::move(buffer), time, frameNumber)) return false;
  ++produced_;
  SignalFrameEnd();
  return true;
}

bool SimulatedSensor::WaitDelivering(Clock::time_point at) {
  for (;;) {
    if (!held_.empty() && held_.front().comesAt <= at) {
      if (!SleepUntil(held_.front().comesAt)) return false;
      HeldFrame& frame = held_.front();
      if (!Deliver(frame.pixels.data(), frame.stamp, frame.frameNumber)) return false;
      spare_.push_back(std::move(frame.pixels));
      held_.pop_front();
      continue;
    }
    return SleepUntil(at);
  }
}

bool SimulatedSensor::Take(Clock::time_point due, std::uint32_t slot) {
  const int dropPercent = options_.dropPercent[index_];
  if (dropPercent > 0 && static_cast<int>(faults_() % 100) < dropPercent) return true;  // lost on the way
  const std::int64_t stamp = ClockMs(due);
  // Held up for one second in every five (a congested link), and by a
  // random part of the jitter (a busy bus) always.
  const auto second = std::chrono::duration_cast<std::chrono::seconds>(due - worldStart_).count();
  const int lateMs = second % kLateEverySeconds == kLateEverySeconds / 2 ? options_.lateMs[index_] : 0;
  const int jitterMs = options_.jitterMs[index_];
  if (lateMs == 0 && jitterMs == 0) {
    RenderInto(pixelScratch_.data(), slot);
    return Deliver(pixelScratch_.data(), stamp, slot);
  }
  HeldFrame frame;
  const int delayMs = lateMs + (jitterMs > 0 ? static_cast<int>(faults_() % (jitterMs + 1)) : 0);
  // Frames keep their order: none overtakes one held back longer.
  frame.comesAt = std::max(due + std::chrono::milliseconds(delayMs),
                           held_.empty() ? Clock::time_point() : held_.back().comesAt);
  frame.stamp = stamp;
  frame.frameNumber = slot;
  if (!spare_.empty()) {
    frame.pixels = std::move(spare_.back());
    spare_.pop_back();
  }
  frame.pixels.resize(kDepthPixels);
  RenderInto(frame.pixels.data(), slot);
  held_.push_back(std::move(frame));
  return true;
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
    if (paced && !WaitDelivering(due)) return;
    if (!stopBehind && stopAfter >= 0 && produced_ >= static_cast<std::uint64_t>(stopAfter)) {
      if (!StopAsInjected(period, &slot)) return;
      stopBehind = true;
      if (paced) slot = slotAt(Clock::now());
      continue;
    }
    if (paced) {
      if (!Take(due, slot)) return;
    } else {
      // Free-running, the clock is the frame count: one nominal period per frame.
      RenderInto(pixelScratch_.data(), slot);
      if (!Deliver(pixelScratch_.data(), clockOffsetMs_ + std::llround(slot * 1000.0 / kNominalFps), slot))
        return;
    }
    ++slot;
    if (paced) {
      // Frames are taken at the world's moments whether this thread runs or
      // not: those that passed while it was held up come late, as a real
      // device's buffered frames do, up to what such buffers hold; older
      // ones are lost.
      const auto now = Clock::now();
      if (now > worldStart_ + period * (slot + kHeldFramesAtMost)) slot = slotAt(now);
    }
  }
}

SimulatedBackend::SimulatedBackend(const SimOptions& options)
    : options_(options),
      scene_(std::make_shared<SimulatedScene>()),
      // The host's monotonic clock started the world: the simulated cameras
      // of every program on this machine (a recorder and its stations) take
      // their frames at the same moments, as cameras on one sync signal do.
      worldStart_(Clock::time_point()) {}

HRESULT SimulatedBackend::NuiCreateSensorByIndex(int index, std::unique_ptr<INuiSensor>* sensor) {
  if (sensor == nullptr) return E_INVALIDARG;
  sensor->reset();
  if (index < 0 || index >= kCameraCount || !options_.present[index]) return E_NUI_DEVICE_NOT_CONNECTED;
  *sensor = std::make_unique<SimulatedSensor>(index, options_, scene_, worldStart_);
  return S_OK;
}

}  // namespace kestrova
