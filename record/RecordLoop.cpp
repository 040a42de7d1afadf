// The recording side of the engine: starting, stopping and running a take.
#include <cstdio>

#include "core/FramePacer.h"
#include "core/Recorder.h"
#include "record/TakePaths.h"

namespace kestrova {

namespace {
constexpr int kElapsedRefreshCycles = 30;
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

  std::string paramsPath;
  if (!ComposeTakePath(OutputDir(), "RECPARAM.txt", &paramsPath, error)) return false;
  recording_ = true;
  if (!SaveParams(paramsPath, error)) {
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
  const bool resumePreview = StopPreview();
  takeRunning_ = true;
  SelectActiveCameras(owner->Settings());
  TakeEnd end = TakeEnd::Stopped;
  std::string why;
  int frame = 0;
  {
    FramePacer pacer(PacingSensor(), timing_.nominalPeriod);
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [start] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now() - start)
          .count();
    };
    while (recording_) {
      FramePacer::Wait wait = pacer.Next(recording_, timing_.stallLimit);
      if (wait == FramePacer::Wait::Stopped) break;
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
      ++frame;
      ++recordCycles_;
      if (frame % kElapsedRefreshCycles == 0) owner->SetElapsedText(ElapsedText(elapsedMs()));
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
  if (closing_) end = TakeEnd::Closed;
  recording_ = false;
  takeRunning_ = false;
  FinishTake(end, frame, why);
  if (resumePreview) StartPreview();
  recordLoopAlive_ = false;
}

}  // namespace kestrova
