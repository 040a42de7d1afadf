// The recording side of the engine: starting, stopping and running a take.
#include <cstdio>
#include <vector>

#include "core/Recorder.h"
#include "capture/ThreadName.h"
#include "record/TakeCameras.h"

namespace kestrova {

namespace {

// "camera 2 stopped delivering frames", "cameras 1, 3 stopped delivering frames".
std::string StoppedCamerasText(const std::vector<int>& slots) {
  std::string numbers;
  for (int slot : slots) numbers += (numbers.empty() ? "" : ", ") + std::to_string(slot + 1);
  return (slots.size() == 1 ? "camera " : "cameras ") + numbers + " stopped delivering frames";
}
}  // namespace

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

void CRecorder::EndOfInput(int slot, TakeEnd* end, std::string* why) const {
  const std::string camera = "camera " + std::to_string(slot + 1);
  const std::string error = slot >= 0 ? sensors_[slot]->NuiStreamError() : std::string();
  if (error.empty()) {
    *end = TakeEnd::InputEnded;
    *why = "the replayed frames of " + camera + " ran out";
  } else {
    *end = TakeEnd::InputFailed;
    *why = camera + ": " + error;
  }
}

std::vector<int> CRecorder::TakeSlots() const {
  std::vector<int> slots;
  for (int i = 0; i < kCameraCount; ++i)
    if (takeCameras_[i]) slots.push_back(i);
  return slots;
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
  takeCameras_ = EnabledCameras(settings);
  if (!CheckTakeCameras(settings.cameraEnabled, takeCameras_, error)) return false;
  recording_ = true;
  auto writeSnapshot = [this](const std::string& path, std::string* why) {
    return SaveParams(path, why);
  };
  if (!take_.Open(OutputDir(), takeCameras_, FrameFormats(), keepDepth_, writeSnapshot, error)) {
    recording_ = false;
    return false;
  }
  FinishTake(TakeEnd::None, 0, std::string());
  owner->SetElapsedText(ElapsedText(0));  // not the previous take's time
  lostCameras_.Start(takeCameras_);
  try {
    recordLoopAlive_ = true;
    recordThread_ = boost::thread(&CRecorder::RecordLoop, this);
  } catch (const boost::thread_resource_error&) {
    recordLoopAlive_ = false;
    recording_ = false;
    take_.Close(nullptr);
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
  NameThisThread("kv-record-loop");
  StopPreview();
  takeRunning_ = true;
  bool anyCamera = false;
  for (int i = 0; i < kCameraCount; ++i) anyCamera = anyCamera || takeCameras_[i];
  SelectActiveCameras(takeCameras_);
  statistics_.Start(takeCameras_);
  TakeEnd end = TakeEnd::Stopped;
  std::string why;
  // Every way a take ends but a stop: the loop goes no further.
  auto endTake = [this, &end, &why](TakeEnd how, std::string reason = std::string()) {
    recording_ = false;
    end = how;
    why = std::move(reason);
  };
  int frame = 0;
  std::int64_t takeMs = 0;
  {
    CycleAssembler assembler(AcquisitionPointers(), AssemblyTiming());
    assembler.SetCameras(takeCameras_);
    assembler.DiscardStale();
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [start] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now() - start)
          .count();
    };
    std::int64_t shownSeconds = 0;
    while (recording_) {
      const CycleAssembler::Wait wait = assembler.Next(recording_, &cycle_);
      if (wait == CycleAssembler::Wait::Stopped) break;
      if (wait == CycleAssembler::Wait::Ended) {
        EndOfInput(assembler.EndedSlot(), &end, &why);
        endTake(end, why);
        break;
      }
      if (wait == CycleAssembler::Wait::Stalled) {
        // Not one camera that could pace the take gave a frame.
        lostCameras_.LoseAll(frame);
        std::vector<int> stopped = TakeSlots();
        if (!anyCamera)
          for (int i = 0; i < kCameraCount && stopped.empty(); ++i)
            if (sensors_[i]) stopped.push_back(i);
        endTake(TakeEnd::SensorStalled, StoppedCamerasText(stopped));
        break;
      }
      frameSettings_ = TakeFrameSettings();
      const bool written = RunCycle(&take_, frame);
      TrackLostCameras(lostCameras_, frame, assembler);
      if (lostCameras_.AllLost()) {
        // With no camera left the take ends; one that stays is recorded on.
        endTake(TakeEnd::SensorStalled, StoppedCamerasText(TakeSlots()));
        break;
      }
      if (!written) {
        endTake(TakeEnd::WriteFailed, take_.FailureMessage());
        break;
      }
      ++frame;
      ++recordCycles_;
      // The elapsed time whenever it reaches a new second.
      const std::int64_t ms = elapsedMs();
      if (ms / 1000 != shownSeconds) {
        shownSeconds = ms / 1000;
        owner->SetElapsedText(ElapsedText(ms));
      }
      const int cycleLimit = takeCycleLimit_;
      if (cycleLimit > 0 && frame >= cycleLimit) {
        endTake(TakeEnd::CycleLimit);
        break;
      }
      // Strict, in double: at exactly the limit the take goes on, and a
      // limit that is not a number never ends it.
      const double limitSeconds = owner->Settings().maxRecordingMinutes * 60.0;
      if (limitSeconds < elapsedMs() / 1000.0) {
        endTake(TakeEnd::TimeLimit);
        break;
      }
    }
    takeMs = elapsedMs();
  }
  owner->SetElapsedText(ElapsedText(takeMs));  // the take's whole length
  std::string closeError;
  if (!take_.Close(&closeError) && end != TakeEnd::WriteFailed) {
    end = TakeEnd::WriteFailed;
    why = closeError;
  }
  if (closing_ && end == TakeEnd::Stopped) end = TakeEnd::Closed;
  recording_ = false;
  takeRunning_ = false;
  // The count that the files bear out: a cycle cut short by a fault still
  // counts when some camera's files hold it, and cycles that no camera
  // delivered at the end of a take do not.
  FinishTake(end, anyCamera ? take_.FramesInFiles() : frame, why);
  // The preview comes back after every take, unless the program never
  // asked for one (a headless recording) or is closing.
  if (previewWanted_ && !closing_) StartPreview();
  recordLoopAlive_ = false;
}

}  // namespace kestrova
