#include "core/Recorder.h"

#include <algorithm>
#include <ctime>
#include <thread>

#include "core/FramePacer.h"
#include "settings/TimeText.h"

namespace kestrova {

CRecorder::CRecorder(std::unique_ptr<SensorBackend> backend, const EngineTiming& timing)
    : owner(&ownSettings_), timing_(timing) {
  for (int i = 0; i < kCameraCount; ++i) cameras_[i] = DefaultCameraSetting(i);
  frameSettings_ = {ownSettings_.Settings(), cameras_};
  if (backend) {
    backendName_ = backend->Name();
    OpenSensors(*backend);
  }
}

CRecorder::~CRecorder() { Close(); }

void CRecorder::OpenSensors(SensorBackend& backend) {
  for (int i = 0; i < kCameraCount; ++i) {
    std::unique_ptr<INuiSensor> sensor;
    if (!Succeeded(backend.NuiCreateSensorByIndex(i, &sensor)) || !sensor) continue;
    // A sensor that cannot be initialised or streamed counts as missing.
    NuiStreamHandle stream = kNoStream;
    if (!Succeeded(sensor->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH)) ||
        !Succeeded(sensor->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240,
                                              NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE, 2, nullptr,
                                              &stream))) {
      sensor->NuiShutdown();
      continue;
    }
    sensors_[i] = std::move(sensor);
    depthStreams_[i] = stream;
  }
}

void CRecorder::ShutDownSensors() {
  for (auto& sensor : sensors_) {
    if (sensor) sensor->NuiShutdown();
    sensor.reset();
  }
}

int CRecorder::SensorCount() const {
  int count = 0;
  for (const auto& sensor : sensors_) count += sensor != nullptr;
  return count;
}

std::array<INuiSensor*, kCameraCount> CRecorder::PacingSensors(
    const std::array<bool, kCameraCount>& cameras) const {
  // A camera that is grabbed is fetched every cycle, so it keeps delivering
  // (a free-running sensor makes a frame only when one was taken).
  std::array<INuiSensor*, kCameraCount> grabbed{}, present{};
  bool anyCamera = false;
  for (int i = 0; i < kCameraCount; ++i) {
    present[i] = sensors_[i].get();
    if (cameras[i]) grabbed[i] = sensors_[i].get();
    anyCamera = anyCamera || (cameras[i] && sensors_[i]);
  }
  return anyCamera ? grabbed : present;
}

std::array<bool, kCameraCount> CRecorder::EnabledCameras(const OperatorSettings& settings) const {
  // A camera without a sensor is never grabbed, whatever its check box says.
  std::array<bool, kCameraCount> enabled{};
  for (int i = 0; i < kCameraCount; ++i)
    enabled[i] = settings.cameraEnabled[i] != 0 && sensors_[i] != nullptr;
  return enabled;
}

CameraSetting CRecorder::Camera(int slot) const {
  std::lock_guard<std::mutex> lock(camerasMutex_);
  return cameras_[slot];
}

void CRecorder::SetCamera(int slot, const CameraSetting& setting) {
  std::lock_guard<std::mutex> lock(camerasMutex_);
  cameras_[slot] = setting;
}

CameraSettings CRecorder::Cameras() const {
  std::lock_guard<std::mutex> lock(camerasMutex_);
  return cameras_;
}

bool CRecorder::SaveParams(const std::string& path, std::string* error) const {
  std::string text = FormatParams(owner->Settings(), Cameras(), CTimeText(std::time(nullptr)));
  return WriteFileAtomically(path, text, error);
}

void CRecorder::LoadParams(std::FILE* file) {
  OperatorSettings settings = owner->Settings();
  CameraSettings cameras = Cameras();
  ReadParams(file, settings, cameras);
  owner->StoreSettings(settings);
  std::lock_guard<std::mutex> lock(camerasMutex_);
  cameras_ = cameras;
}

bool CRecorder::LoadParamsFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  LoadParams(file);
  return true;
}

FrameSettings CRecorder::TakeFrameSettings() const { return {owner->Settings(), Cameras()}; }

void CRecorder::SelectActiveCameras(const OperatorSettings& settings) {
  const std::array<bool, kCameraCount> enabled = EnabledCameras(settings);
  for (int i = 0; i < kCameraCount; ++i) cameraActive[i] = enabled[i];
}

bool CRecorder::GrabCycle(FrameConsumer* own, int frameNumber, bool* started) {
  BeginCycleConsumers(own);
  boost::thread_group group;
  *started = true;
  grabsInCycle_ = 0;
  for (int i = 0; i < kCameraCount; ++i) {
    grabResults_[i] = GrabResult::NotRun;
    grabsInCycle_ += cameraActive[i];
  }
  grabsRunning_ = grabsInCycle_;
  for (int i = 0; i < kCameraCount; ++i) {
    if (!cameraActive[i]) continue;
    try {
      group.create_thread([this, i, frameNumber] {
        GrabFrame(i, frameNumber);
        --grabsRunning_;
      });
    } catch (const boost::thread_resource_error&) {
      --grabsRunning_;
      *started = false;
    }
  }
  group.join_all();
  return EndCycleConsumers(own, frameNumber);
}

void CRecorder::BeginCycleConsumers(FrameConsumer* own) {
  std::lock_guard<std::mutex> lock(consumersMutex_);
  cycleConsumers_.clear();  // keeps its capacity: no allocation per cycle
  if (own) cycleConsumers_.push_back(own);
  cycleConsumers_.insert(cycleConsumers_.end(), attached_.begin(), attached_.end());
  cycleHoldsConsumers_ = true;
}

bool CRecorder::EndCycleConsumers(FrameConsumer* own, int frameNumber) {
  CycleFrame cycle;
  cycle.frameNumber = frameNumber;
  cycle.settings = &frameSettings_;
  for (int i = 0; i < kCameraCount; ++i) {
    cycle.active[i] = cameraActive[i];
    cycle.results[i] = grabResults_[i];
    cycle.thinned[i] = &workClouds[i];
    cycle.final[i] = &clouds[i];
  }
  bool goOn = true;
  for (FrameConsumer* consumer : cycleConsumers_) {
    if (consumer->OnCycle(cycle)) continue;
    if (consumer == own) {
      goOn = false;
    } else {
      std::lock_guard<std::mutex> lock(consumersMutex_);
      attached_.erase(std::remove(attached_.begin(), attached_.end(), consumer), attached_.end());
    }
  }
  {
    std::lock_guard<std::mutex> lock(consumersMutex_);
    cycleHoldsConsumers_ = false;
  }
  cycleOver_.notify_all();
  return goOn;
}

void CRecorder::Attach(FrameConsumer* consumer) {
  std::lock_guard<std::mutex> lock(consumersMutex_);
  if (std::find(attached_.begin(), attached_.end(), consumer) == attached_.end())
    attached_.push_back(consumer);
}

void CRecorder::Detach(FrameConsumer* consumer) {
  std::unique_lock<std::mutex> lock(consumersMutex_);
  attached_.erase(std::remove(attached_.begin(), attached_.end(), consumer), attached_.end());
  // A cycle is bounded by the grabs' frame wait, so this wait is too.
  cycleOver_.wait(lock, [this, consumer] {
    return !cycleHoldsConsumers_ ||
           std::find(cycleConsumers_.begin(), cycleConsumers_.end(), consumer) == cycleConsumers_.end();
  });
}

void CRecorder::StartPreview() {
  std::lock_guard<std::mutex> lock(previewControl_);
  if (closing_) return;
  previewWanted_ = true;
  if (previewRunning_) return;
  if (previewThread_.joinable()) previewThread_.join();  // a run that ended by itself
  previewRunning_ = true;  // set before the thread exists, so an early stop is not lost
  try {
    previewThread_ = boost::thread(&CRecorder::PreviewLoop, this);
  } catch (const boost::thread_resource_error&) {
    previewRunning_ = false;
  }
}

bool CRecorder::StopPreview() {
  std::lock_guard<std::mutex> lock(previewControl_);
  bool wasRunning = previewRunning_.exchange(false);
  if (previewThread_.joinable()) previewThread_.join();
  return wasRunning;
}

void CRecorder::ForgetPreviousStamps() {
  for (auto& stamp : previousStamp_) stamp = -1;
  for (auto& period : framePeriodMs_) period = 0;
}

void CRecorder::CountDroppedFrames(int camera, std::int64_t stamp) {
  std::int64_t previous = previousStamp_[camera];
  previousStamp_[camera] = stamp;
  // The shortest step between two frames is the sensor's own frame period.
  if (previous >= 0 && stamp > previous &&
      (framePeriodMs_[camera] == 0 || stamp - previous < framePeriodMs_[camera]))
    framePeriodMs_[camera] = static_cast<double>(stamp - previous);
  if (previous < 0 || timing_.sensorFramePeriodMs <= 0) return;
  double periods = static_cast<double>(stamp - previous) / timing_.sensorFramePeriodMs;
  if (periods >= 1.5) droppedFrames_[camera] += static_cast<std::uint64_t>(periods + 0.5) - 1;
}

void CRecorder::OnPointPicked(float x, float y, float z) {
  std::lock_guard<std::mutex> lock(picksMutex_);
  if (picks_.count < 2) {
    float* point = picks_.points[picks_.count];
    point[0] = x;
    point[1] = y;
    point[2] = z;
  }
  picks_.count = (picks_.count + 1) % 3;
}

PickState CRecorder::Picks() const {
  std::lock_guard<std::mutex> lock(picksMutex_);
  return picks_;
}

void CRecorder::DiscardQueuedFrames() {
  for (int i = 0; i < kCameraCount; ++i)
    if (sensors_[i]) sensors_[i]->NuiImageStreamDiscardQueued(depthStreams_[i]);
}

void CRecorder::PreviewLoop() {
  ForgetPreviousStamps();
  DiscardQueuedFrames();
  for (bool& poll : pollOnly_) poll = false;
  if (preview_) preview_->Begin(*this);
  {
    // Paced by the cameras it shows, which change with their check boxes.
    FramePacer::Sensors pacing = PacingSensors(EnabledCameras(owner->Settings()));
    auto pacer = std::make_unique<FramePacer>(pacing, timing_.nominalPeriod);
    while (previewRunning_) {
      const FramePacer::Sensors wanted = PacingSensors(EnabledCameras(owner->Settings()));
      if (wanted != pacing) {
        pacer.reset();
        pacer = std::make_unique<FramePacer>(wanted, timing_.nominalPeriod);
        pacing = wanted;
      }
      // A stalled pacing sensor only keeps the preview waiting; it may come back.
      FramePacer::Wait wait = pacer->Next(previewRunning_, timing_.stallLimit);
      if (wait == FramePacer::Wait::Stopped) break;
      if (wait == FramePacer::Wait::Stalled) continue;
      if (wait == FramePacer::Wait::Ended) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a replay that is over
        continue;
      }
      frameSettings_ = TakeFrameSettings();
      SelectActiveCameras(frameSettings_.operatorSettings);
      bool started;
      const bool shown = GrabCycle(preview_, 0, &started);
      ++previewCycles_;
      if (!shown) previewRunning_ = false;
    }
  }
  if (preview_) preview_->End(*this);
}

void CRecorder::Close() {
  if (closed_) return;
  closing_ = true;
  previewWanted_ = false;
  StopPreview();
  {
    std::lock_guard<std::mutex> lock(recordControl_);
    recording_ = false;
    // Also joins a take that the time limit ended and that is still finishing.
    if (recordThread_.joinable()) recordThread_.join();
  }
  StopPreview();
  ShutDownSensors();
  closed_ = true;
}

}  // namespace kestrova
