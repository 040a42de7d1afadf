// The recording side of the engine: starting, stopping and running a take.
#include <cstdio>

#include "core/FramePacer.h"
#include "core/Recorder.h"
#include "record/TakeCameras.h"

namespace kestrova {

namespace {
constexpr int kElapsedRefreshCycles = 30;
// A camera of the take that delivers no frame this many cycles in a row
// (each grab waits its bounded time) is taken to be gone: unplugged or stopped.
constexpr int kMissesOfAStoppedCamera = 3;
}

std::string ElapsedText(std::int64_t elapsedMs) {
  char text[64];
  std::snprintf(text, sizeof text, "%2d min %2d sec", static_cast<int>(elapsedMs / 60000),
                static_cast<int>((elapsedMs / 1000) % 60));
  return text;
}

void CRecorder::SetOutputDir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(takeMutex_);
  outputDir_ = dir;
}

std::string CRecorder::OutputDir() const {
  std::lock_guard<std::mutex> lock(takeMutex_);
  return outputDir_;
}

TakeOutcome CRecorder::LastTake() const {
  std::lock_guard<std::mutex> lock(takeMutex_);
  return lastTake_;
}

void CRecorder::FinishTake(TakeEnd end, int cycles, const std::string& message) {
  std::lock_guard<std::mutex> lock(takeMutex_);
  lastTake_ = {end, cycles, message};
}

bool CRecorder::TakeThreadAlive() const { return recordLoopAlive_; }

int CRecorder::EndedInput(const INuiSensor* pacer) const {
  for (int i = 0; i < kCameraCount; ++i) {
    if (!sensors_[i] || !sensors_[i]->NuiStreamEnded()) continue;
    if (takeCameras_[i] || sensors_[i].get() == pacer) return i;
  }
  return -1;
}

bool CRecorder::StartRecording(std::string* error) {
  std::lock_guard<std::mutex> lock(recordControl_);
  if (closing_) {
    if (error) *error = "the recorder is closing";
    return false;
  }
  if (recording_) {
    if (error) *error = "a take is already running";
    return false;
  }
  // A take that the time limit ended may still be closing its files and
  // handing the sensors back: wait for it, so two takes never overlap.
  if (recordThread_.joinable()) recordThread_.join();

  // Every file of the take is opened, and the settings snapshot written,
  // before the take counts as started. A camera without a sensor gets no files.
  OperatorSettings settings = owner->Settings();
  std::array<bool, kCameraCount> hasSensor;
  for (int i = 0; i < kCameraCount; ++i) hasSensor[i] = sensors_[i] != nullptr;
  if (!ChooseTakeCameras(settings.cameraEnabled, hasSensor, &takeCameras_, error)) return false;
  recording_ = true;
  auto writeSnapshot = [this](const std::string& path, std::string* why) {
    return SaveParams(path, why);
  };
  if (!takeWriter_.Open(OutputDir(), takeCameras_, writeSnapshot, error)) {
    recording_ = false;
    return false;
  }
  FinishTake(TakeEnd::None, 0, std::string());
  try {
    recordLoopAlive_ = true;
    recordThread_ = boost::thread(&CRecorder::RecordLoop, this);
  } catch (const boost::thread_resource_error&) {
    recordLoopAlive_ = false;
    recording_ = false;
    takeWriter_.Close(nullptr);
    if (error) *error = "cannot start the recording thread";
    return false;
  }
  return true;
}

bool CRecorder::StopRecording() {
  std::lock_guard<std::mutex> lock(recordControl_);
  // Only in the state Recording: while the record press is still waiting
  // for the preview to hand over the sensors, a stop does nothing.
  if (!takeRunning_ || !recording_) return false;
  recording_ = false;
  if (recordThread_.joinable()) recordThread_.join();
  return true;
}

void CRecorder::RecordLoop() {
  StopPreview();
  takeRunning_ = true;
  ForgetPreviousStamps();
  for (int i = 0; i < kCameraCount; ++i) cameraActive[i] = takeCameras_[i];
  TakeEnd end = TakeEnd::Stopped;
  std::string why;
  int frame = 0;
  int misses[kCameraCount] = {0, 0, 0, 0};
  {
    INuiSensor* pacingSensor = PacingSensor();
    FramePacer pacer(pacingSensor, timing_.nominalPeriod);
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [start] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now() - start)
          .count();
    };
    while (recording_) {
      FramePacer::Wait wait = pacer.Next(recording_, timing_.stallLimit);
      if (wait == FramePacer::Wait::Stopped) break;
      if (wait == FramePacer::Wait::Ended) {
        recording_ = false;
        end = TakeEnd::InputEnded;
        why = "the replayed frames ran out";
        break;
      }
      if (wait == FramePacer::Wait::Stalled) {
        recording_ = false;
        end = TakeEnd::SensorStalled;
        why = "the sensors stopped delivering frames";
        break;
      }
      frameSettings_ = TakeFrameSettings();
      if (!GrabCycle(true, frame)) {
        recording_ = false;
        end = TakeEnd::ThreadFailed;
        why = "a grab thread could not be started";
        break;
      }
      int stopped = -1;
      for (int i = 0; i < kCameraCount; ++i) {
        misses[i] = cameraActive[i] && !grabbedFrame_[i] ? misses[i] + 1 : 0;
        if (misses[i] >= kMissesOfAStoppedCamera && stopped < 0) stopped = i;
      }
      if (stopped >= 0) {
        recording_ = false;
        end = TakeEnd::SensorStalled;
        why = "camera " + std::to_string(stopped + 1) + " stopped delivering frames";
        break;
      }
      if (takeWriter_.Failed()) {
        recording_ = false;
        end = TakeEnd::WriteFailed;
        why = takeWriter_.FailureMessage();
        break;
      }
      ++frame;
      ++recordCycles_;
      if (frame % kElapsedRefreshCycles == 0) owner->SetElapsedText(ElapsedText(elapsedMs()));
      const int cycleLimit = takeCycleLimit_;
      if (cycleLimit > 0 && frame >= cycleLimit) {
        recording_ = false;
        end = TakeEnd::CycleLimit;
        break;
      }
      int ended = EndedInput(pacingSensor);
      if (ended >= 0) {
        recording_ = false;
        end = TakeEnd::InputEnded;
        why = "the replayed frames of camera " + std::to_string(ended + 1) + " ran out";
        break;
      }
      // Strict, in double: at exactly the limit the take goes on, and a
      // limit that is not a number never ends it.
      double limitSeconds = owner->Settings().maxRecordingMinutes * 60.0;
      if (limitSeconds < elapsedMs() / 1000.0) {
        recording_ = false;
        end = TakeEnd::TimeLimit;
        break;
      }
    }
  }
  std::string closeError;
  if (!takeWriter_.Close(&closeError) && end != TakeEnd::WriteFailed) {
    end = TakeEnd::WriteFailed;
    why = closeError;
  }
  if (closing_ && end == TakeEnd::Stopped) end = TakeEnd::Closed;
  recording_ = false;
  takeRunning_ = false;
  FinishTake(end, frame, why);
  // The preview comes back after every take, unless the program never
  // asked for one (a headless recording) or is closing.
  if (previewWanted_ && !closing_) StartPreview();
  recordLoopAlive_ = false;
}

}  // namespace kestrova
