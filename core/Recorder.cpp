#include "core/Recorder.h"
#include "capture/ThreadName.h"

#include <algorithm>
#include <ctime>
#include <system_error>
#include <thread>

#include "settings/TimeText.h"

namespace kestrova {

CRecorder::CRecorder(std::unique_ptr<SensorBackend> backend, const EngineTiming& timing)
    : owner(&ownSettings_), timing_(timing), workers_([this](int slot) { GrabFrame(slot); }) {
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
    // So does one whose frames the pipeline cannot take.
    if (!Succeeded(sensor->NuiInitialize(NUI_INITIALIZE_FLAG_USES_DEPTH)) ||
        !Succeeded(sensor->NuiImageStreamOpen(NUI_IMAGE_TYPE_DEPTH, NUI_IMAGE_RESOLUTION_320x240,
                                              NUI_IMAGE_STREAM_FLAG_ENABLE_NEAR_MODE, 2, nullptr,
                                              &stream)) ||
        !DepthFormatProblem(sensor->NuiDepthFrameFormat()).empty()) {
      sensor->NuiShutdown();
      continue;
    }
    try {
      acquisitions_[i] = std::make_unique<CameraAcquisition>(*sensor, stream);
    } catch (const std::system_error&) {
      sensor->NuiShutdown();  // no thread to drain it: the camera counts as missing
      continue;
    }
    sensors_[i] = std::move(sensor);
    depthStreams_[i] = stream;
  }
}

void CRecorder::StopAcquisitions() {
  for (auto& acquisition : acquisitions_) acquisition.reset();
}

void CRecorder::ShutDownSensors() {
  for (auto& sensor : sensors_) {
    if (sensor) sensor->NuiShutdown();
    sensor.reset();
  }
}

CameraFormats CRecorder::FrameFormats() const {
  CameraFormats formats;
  for (int i = 0; i < kCameraCount; ++i)
    if (acquisitions_[i]) formats[i] = acquisitions_[i]->Format();
  return formats;
}

int CRecorder::SensorCount() const {
  int count = 0;
  for (const auto& sensor : sensors_) count += sensor != nullptr;
  return count;
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

void CRecorder::SelectActiveCameras(const std::array<bool, kCameraCount>& cameras) {
  for (int i = 0; i < kCameraCount; ++i) cameraActive[i] = cameras[i];
}

CycleAssembler::Acquisitions CRecorder::AcquisitionPointers() const {
  CycleAssembler::Acquisitions pointers{};
  for (int i = 0; i < kCameraCount; ++i) pointers[i] = acquisitions_[i].get();
  return pointers;
}

AssemblerTiming CRecorder::AssemblyTiming() const {
  AssemblerTiming timing;
  timing.latencyBudget = timing_.latencyBudget;
  timing.frameWait = timing_.frameWait;
  timing.stallLimit = timing_.stallLimit;
  timing.nominalPeriod = timing_.nominalPeriod;
  return timing;
}

bool CRecorder::RunCycle(FrameConsumer* own, int frameNumber) {
  BeginCycleConsumers(own);
  cycleFrameNumber_ = frameNumber;
  std::array<bool, kCameraCount> delivered{};
  for (int i = 0; i < kCameraCount; ++i) {
    delivered[i] = cameraActive[i] && cycle_.results[i] == GrabResult::Delivered;
    if (cameraActive[i] && !delivered[i]) {
      // No frame this cycle: the camera's clouds are empty, and its
      // consumers get nothing (a take has no line and no record for it).
      workClouds[i].clear();
      clouds[i].clear();
    }
  }
  workers_.Run(delivered);
  statistics_.Count(cycle_);
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
  cycle.momentMs = cycle_.momentMs;
  cycle.spreadMs = cycle_.spreadMs;
  cycle.matchedByNumber = cycle_.matchedByNumber;
  for (int i = 0; i < kCameraCount; ++i) {
    cycle.active[i] = cameraActive[i];
    cycle.results[i] = cameraActive[i] ? cycle_.results[i] : GrabResult::NotRun;
    if (cycle.results[i] == GrabResult::Delivered) {
      cycle.stamps[i] = cycle_.frames[i].stamp;
      cycle.mappedMs[i] = cycle_.frames[i].mappedMs;
    }
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
  // A cycle is bounded by the assembler's waits and the cameras' work, so this wait is too.
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

void CRecorder::PreviewLoop() {
  NameThisThread("kv-preview-loop");
  CycleAssembler assembler(AcquisitionPointers(), AssemblyTiming());
  assembler.DiscardStale();
  // A silent camera is found out as in a take, so the preview stops waiting for it.
  LostCameras lost;
  lost.Start({true, true, true, true});
  std::array<bool, kCameraCount> shown = EnabledCameras(owner->Settings());
  statistics_.Start(shown);
  if (preview_) preview_->Begin(*this);
  int cycles = 0;
  while (previewRunning_) {
    // The cameras it shows change with their check boxes.
    const std::array<bool, kCameraCount> wanted = EnabledCameras(owner->Settings());
    if (wanted != shown) statistics_.Start(shown = wanted);
    SelectActiveCameras(wanted);
    assembler.SetCameras(wanted);
    // A stalled camera only keeps the preview waiting; it may come back.
    const CycleAssembler::Wait wait = assembler.Next(previewRunning_, &cycle_);
    if (wait == CycleAssembler::Wait::Stopped) break;
    if (wait == CycleAssembler::Wait::Stalled) continue;
    if (wait == CycleAssembler::Wait::Ended) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a replay that is over
      continue;
    }
    frameSettings_ = TakeFrameSettings();
    const bool goOn = RunCycle(preview_, 0);
    TrackLostCameras(lost, cycles++, assembler);
    ++previewCycles_;
    if (!goOn) previewRunning_ = false;
  }
  if (preview_) preview_->End(*this);
}

void CRecorder::TrackLostCameras(LostCameras& lost, int frame, CycleAssembler& assembler) {
  for (int i = 0; i < kCameraCount; ++i)
    if (lost.Report(i, cycle_.results[i], frame)) assembler.SetLost(i, lost.LostNow(i));
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
  StopAcquisitions();
  ShutDownSensors();
  closed_ = true;
}

}  // namespace kestrova
