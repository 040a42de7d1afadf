// One alignment of the live cameras while the engine's preview runs: the
// clouds are gathered from the running loop (the preview goes on), then the
// cameras are aligned on a thread of the job's own. The window polls it
// from its timer and kestrova-align waits on it; neither blocks the loop.
//
//   AlignmentJob job(engine, settings, cameras, kDefaultAlignCycles, -1);
//   while (!job.Finished()) wait a little;
//   job.Report() or job.Error()
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "align/AlignmentCollector.h"
#include "align/CameraAlignment.h"

namespace kestrova {

class CRecorder;

class AlignmentJob {
 public:
  enum class State { Gathering, Aligning, Done, Failed };

  // Attaches to `engine` at once; its preview (or any loop) must be running
  // for frames to come. `reference`: the slot that stays, -1 the first.
  AlignmentJob(CRecorder& engine, const OperatorSettings& settings, const CameraSettings& cameras,
               int cycles, int reference);
  // Detaches and waits for the aligning thread.
  ~AlignmentJob();
  AlignmentJob(const AlignmentJob&) = delete;
  AlignmentJob& operator=(const AlignmentJob&) = delete;

  // Moves the job on and tells where it stands: gathering ends when enough
  // cycles came (aligning starts) or when the cameras gave too few frames
  // in time (failed, with the reason).
  State Poll();
  // Polls: true once Done or Failed.
  bool Finished() {
    const State state = Poll();
    return state == State::Done || state == State::Failed;
  }
  // The result, once Done.
  const AlignmentReport& Report() const { return report_; }
  // How long the aligning took, once Done.
  double AlignSeconds() const { return alignSeconds_; }
  // Why it failed, once Failed.
  const std::string& Error() const { return error_; }
  // What was aligned from (cycles in step, cycles left out), once Done.
  const AlignmentClouds& Clouds() const { return collector_.Clouds(); }

 private:
  void Fail(const std::string& reason);

  CRecorder& engine_;
  OperatorSettings settings_;
  CameraSettings cameras_;
  int reference_;
  std::array<bool, kCameraCount> wanted_;
  AlignmentCollector collector_;
  bool attached_ = false;
  std::chrono::steady_clock::time_point deadline_;
  State state_ = State::Gathering;
  std::thread worker_;
  std::atomic<bool> aligned_{false};
  AlignmentReport report_;
  double alignSeconds_ = 0;
  std::string error_;
  std::string workerError_;  // written by the worker, read after joining it
};

}  // namespace kestrova
