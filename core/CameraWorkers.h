// The long-lived workers of a cycle: one thread per camera slot, started
// with the engine and ended with it, so that no thread is created per
// cycle. The loop hands each cycle's cameras to their workers and waits
// until all of them are done; each worker runs only its own camera's work.
// A worker whose thread could not be started runs its work on the loop's
// thread instead.
//
// Thread contract: Run is called by one loop thread at a time. The work
// function runs on camera `slot`'s worker, concurrently with other slots'
// work but never with its own; everything the loop wrote before Run is
// visible to it, and everything it wrote is visible to the loop after Run.
#pragma once

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "settings/Settings.h"

namespace kestrova {

class CameraWorkers {
 public:
  using Work = std::function<void(int slot)>;

  explicit CameraWorkers(Work work);
  ~CameraWorkers();  // ends and joins every worker
  CameraWorkers(const CameraWorkers&) = delete;
  CameraWorkers& operator=(const CameraWorkers&) = delete;

  // Runs the work of every slot marked in `slots`, each on its worker, and
  // returns once all of them are done.
  void Run(const std::array<bool, kCameraCount>& slots);

  // Threads started for the workers (for tests: no thread is created per cycle).
  int ThreadsStarted() const { return threadsStarted_; }

 private:
  void Serve(int slot);

  const Work work_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::array<bool, kCameraCount> due_{};
  int running_ = 0;
  bool ending_ = false;
  std::array<std::thread, kCameraCount> threads_;
  int threadsStarted_ = 0;
};

}  // namespace kestrova
