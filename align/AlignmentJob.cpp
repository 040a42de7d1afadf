#include "align/AlignmentJob.h"

#include "align/AlignmentRun.h"
#include "core/Recorder.h"

namespace kestrova {

namespace {

// The longest the gathering may take: its cycles at a slow 10 frames a
// second, and a few seconds more for cameras that start late. Cycles out of
// step that make the collector gather more may not fit: then the cycles in
// step gathered so far are aligned.
std::chrono::milliseconds GatheringLimit(int cycles) {
  return std::chrono::milliseconds(5000 + cycles * kFramesBetweenAlignCycles * 100);
}

std::string CameraName(int slot) { return "camera " + std::to_string(slot + 1); }

}  // namespace

AlignmentJob::AlignmentJob(CRecorder& engine, const OperatorSettings& settings,
                           const CameraSettings& cameras, int cycles, int reference)
    : engine_(engine),
      settings_(settings),
      cameras_(cameras),
      reference_(reference),
      wanted_(engine.EnabledCameras(settings)),
      collector_(cameras, wanted_, cycles),
      deadline_(std::chrono::steady_clock::now() + GatheringLimit(cycles)) {
  int count = 0;
  for (int slot = 0; slot < kCameraCount; ++slot) {
    if (settings.cameraEnabled[slot] && !wanted_[slot]) {
      Fail(CameraName(slot) + " is enabled but has no sensor");
      return;
    }
    count += wanted_[slot] ? 1 : 0;
  }
  if (count < 2) {
    Fail("aligning needs at least two enabled cameras");
    return;
  }
  engine_.Attach(&collector_);
  attached_ = true;
}

AlignmentJob::~AlignmentJob() {
  if (attached_) engine_.Detach(&collector_);
  if (worker_.joinable()) worker_.join();
}

void AlignmentJob::Fail(const std::string& reason) {
  error_ = reason;
  state_ = State::Failed;
}

AlignmentJob::State AlignmentJob::Poll() {
  if (state_ == State::Gathering) {
    const bool gathered = collector_.Done();
    if (!gathered && std::chrono::steady_clock::now() < deadline_) return state_;
    engine_.Detach(&collector_);  // from here on the collector's frames are ours
    attached_ = false;
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (wanted_[slot] && !collector_.Delivered(slot)) {
        Fail(CameraName(slot) + " delivered no depth frame");
        return state_;
      }
    }
    state_ = State::Aligning;
    // Converting the frames takes a few tenths of a second: off the caller's
    // thread, which may be the window's.
    worker_ = std::thread([this, gathered] {
      collector_.Finish();
      if (collector_.Clouds().cycles == 0) {
        workerError_ = gathered ? "the cameras never delivered frames of one moment"
                                : "the cameras delivered too few frames in time";
      } else {
        const auto start = std::chrono::steady_clock::now();
        report_ = AlignCameras(settings_, cameras_, collector_.Clouds(), reference_);
        alignSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
      aligned_ = true;
    });
  }
  if (state_ == State::Aligning && aligned_) {
    worker_.join();
    if (workerError_.empty())
      state_ = State::Done;
    else
      Fail(workerError_);
  }
  return state_;
}

}  // namespace kestrova
