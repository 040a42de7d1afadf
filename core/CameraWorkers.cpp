#include "core/CameraWorkers.h"
#include "capture/ThreadName.h"

#include <system_error>

namespace kestrova {

CameraWorkers::CameraWorkers(Work work) : work_(std::move(work)) {
  for (int slot = 0; slot < kCameraCount; ++slot) {
    try {
      threads_[slot] = std::thread(&CameraWorkers::Serve, this, slot);
      ++threadsStarted_;
    } catch (const std::system_error&) {
      // Run does this camera's work on the loop's thread.
    }
  }
}

CameraWorkers::~CameraWorkers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

void CameraWorkers::Run(const std::array<bool, kCameraCount>& slots) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int slot = 0; slot < kCameraCount; ++slot) {
      if (!slots[slot] || !threads_[slot].joinable()) continue;
      due_[slot] = true;
      ++running_;
    }
  }
  wake_.notify_all();
  for (int slot = 0; slot < kCameraCount; ++slot)
    if (slots[slot] && !threads_[slot].joinable()) work_(slot);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return running_ == 0; });
}

void CameraWorkers::Serve(int slot) {
  NameThisThread("kv-worker " + std::to_string(slot + 1));
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this, slot] { return ending_ || due_[slot]; });
    if (ending_) return;
    due_[slot] = false;
    lock.unlock();
    work_(slot);
    lock.lock();
    if (--running_ == 0) done_.notify_all();
  }
}

}  // namespace kestrova
